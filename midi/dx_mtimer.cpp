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
    Stop();
    timeBeginPeriod(caps.wPeriodMin);
    if (callback != nullptr) {
        timerId = timeSetEvent(period, caps.wPeriodMin, callback, user, TIME_PERIODIC);
    } else {
        timerId = timeSetEvent(period, caps.wPeriodMin, &CDxMTimer::DefaultTimerCallback,
                               reinterpret_cast<DWORD_PTR>(this), TIME_PERIODIC);
    }
    // No event, so no Stop will ever give the raised resolution back: do it now.
    if (timerId == 0) timeEndPeriod(caps.wPeriodMin);
    return timerId;
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
