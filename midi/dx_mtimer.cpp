#include "midi/dx_mtimer.h"

using namespace platform;

CDxMTimer::CDxMTimer()
{
    // The result is not examined: the capabilities are taken as reported.
    timeGetDevCaps(&caps, sizeof(TIMECAPS));
    timerId = 0;
}

CDxMTimer::~CDxMTimer()
{
    // Waits for a callback of the event that is running at this moment.
    Stop();
}

UINT CDxMTimer::Start(UINT period, TimerProc callback, DWORD_PTR user)
{
    return StartEvent(period, callback, user, false);
}

UINT CDxMTimer::StartWakeable(UINT period, TimerProc callback, DWORD_PTR user)
{
    return StartEvent(period, callback, user, true);
}

UINT CDxMTimer::StartEvent(UINT period, TimerProc callback, DWORD_PTR user, bool wakeable)
{
    Stop();
    timeBeginPeriod(caps.wPeriodMin);
    if (callback == nullptr) {
        callback = &CDxMTimer::DefaultTimerCallback;
        user = reinterpret_cast<DWORD_PTR>(this);
    }
    const UINT id = wakeable ? timeSetWakeableEvent(period, caps.wPeriodMin, callback, user)
                             : timeSetEvent(period, caps.wPeriodMin, callback, user, TIME_PERIODIC);
    timerId = id;
    // No event, so no Stop will ever give the raised resolution back: do it now.
    if (id == 0) timeEndPeriod(caps.wPeriodMin);
    return id;
}

int CDxMTimer::Stop()
{
    if (timerId != 0) {
        // Returns only when no callback of the event runs any more.
        timeKillEvent(timerId);
        timeEndPeriod(caps.wPeriodMin);
    }
    timerId = 0;
    return 1;
}

void CDxMTimer::DefaultTimerCallback(UINT /*id*/, UINT /*msg*/, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    auto* timer = reinterpret_cast<CDxMTimer*>(user);
    if (timer != nullptr) timer->OnTimerEvent();
}
