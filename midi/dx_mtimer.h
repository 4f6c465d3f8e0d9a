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
    // The same, but the callback sleeps until it is woken (timeWakeEvent with
    // the event id, from any thread): it runs once after the first period and
    // then once per wake.  A timer service that cannot wake early runs it
    // every period instead.
    platform::UINT StartWakeable(platform::UINT period, platform::TimerProc callback, platform::DWORD_PTR user);
    int Stop();     // always 1

    virtual void OnTimerEvent() {}

    static void DefaultTimerCallback(platform::UINT id, platform::UINT msg, platform::DWORD_PTR user,
                                     platform::DWORD_PTR, platform::DWORD_PTR);

    platform::UINT timerId = 0;
    platform::TIMECAPS caps;

private:
    platform::UINT StartEvent(platform::UINT period, platform::TimerProc callback, platform::DWORD_PTR user,
                              bool wakeable);
};
