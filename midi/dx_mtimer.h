// One periodic multimedia timer event at the finest resolution the timer
// service offers.
#pragma once

#include "platform/mmsystem.h"

class CDxMTimer {
public:
    CDxMTimer();
    CDxMTimer(const CDxMTimer&) = delete;
    CDxMTimer& operator=(const CDxMTimer&) = delete;
    ~CDxMTimer();   // not virtual: nothing is destroyed through a base pointer

    // Replaces any running event with a new periodic one; the event id, 0 on failure.
    platform::UINT Start(platform::UINT period, platform::TimerProc callback, platform::DWORD_PTR user);
    int Stop();     // always 1

    virtual void OnTimerEvent() {}

    static void DefaultTimerCallback(platform::UINT id, platform::UINT msg, platform::DWORD_PTR user,
                                     platform::DWORD_PTR, platform::DWORD_PTR);

    platform::UINT timerId = 0;
    platform::TIMECAPS caps;
};
