// The process-wide timer service and the free functions the timer calls,
// over whichever TimerService this system has (posix/timer_service.cpp or
// windows/timer_service.cpp) unless a test installed another; and the deadline
// arithmetic both services share.
#include "platform/timer_service.h"

#include <atomic>

namespace platform {

namespace {

std::atomic<TimerApi*> installedTimer{nullptr};

TimerService& DefaultTimer()
{
    // Constructed on first use, destroyed at exit; its thread starts only
    // when an event is set and is joined by the destructor.
    static TimerService service;
    return service;
}

}  // namespace

TimerApi& Timer()
{
    TimerApi* api = installedTimer.load(std::memory_order_acquire);
    return api != nullptr ? *api : DefaultTimer();
}

// nullptr stands for the real service, both as argument and as result.
TimerApi* InstallTimer(TimerApi* api)
{
    return installedTimer.exchange(api, std::memory_order_acq_rel);
}

TimerService::Clock::time_point TimerService::NextDeadline(Clock::time_point due, Clock::duration period,
                                                           Clock::time_point now)
{
    if (period <= Clock::duration::zero()) return now;
    const Clock::time_point next = due + period;
    if (next > now) return next;
    // Behind by one period or more: the first deadline of the grid after now.
    const auto missed = (now - due) / period;
    return due + (missed + 1) * period;
}

MMRESULT timeGetDevCaps(TIMECAPS* caps, UINT size)
{
    return Timer().GetDevCaps(caps, size);
}

MMRESULT timeBeginPeriod(UINT period)
{
    return Timer().BeginPeriod(period);
}

MMRESULT timeEndPeriod(UINT period)
{
    return Timer().EndPeriod(period);
}

UINT timeSetEvent(UINT delay, UINT resolution, TimerProc callback, DWORD_PTR user, UINT flags)
{
    return Timer().SetEvent(delay, resolution, callback, user, flags);
}

MMRESULT timeKillEvent(UINT id)
{
    return Timer().KillEvent(id);
}

}  // namespace platform
