// The timer service behind platform::Timer() on the multimedia timer:
// timeSetEvent runs OnSystemTimer on the system's timer thread, which calls
// the event's own callback.  The service keeps its events in a table so that
// KillEvent can wait for a running callback (also of a one-shot event that
// has already fired), and so that nothing runs once an event is killed.
#include "platform/timer_service.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <vector>

namespace platform {

static_assert(sizeof(void*) == 8, "the multimedia timer's callback is called here without __stdcall: x64 only");

TimerService::~TimerService()
{
    std::vector<UINT> ids;
    {
        std::unique_lock<std::mutex> lock(mutex);
        stopping = true;
        for (const auto& [id, entry] : events) ids.push_back(id);
        events.clear();
    }
    // Synchronous kill: returns once no callback of the event runs.
    for (UINT id : ids) ::timeKillEvent(id);
    std::unique_lock<std::mutex> lock(mutex);
    if (std::this_thread::get_id() != threadId) finished.wait(lock, [this] { return runningId == 0; });
    for (; raisedPeriods > 0; --raisedPeriods) ::timeEndPeriod(kPeriodMin);
}

MMRESULT TimerService::GetDevCaps(TIMECAPS* caps, UINT size)
{
    if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
    ::TIMECAPS system{};
    if (::timeGetDevCaps(&system, sizeof system) != MMSYSERR_NOERROR) return TIMERR_NOCANDO;
    caps->wPeriodMin = system.wPeriodMin;
    caps->wPeriodMax = system.wPeriodMax;
    return TIMERR_NOERROR;
}

MMRESULT TimerService::BeginPeriod(UINT period)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (::timeBeginPeriod(period) != TIMERR_NOERROR) return TIMERR_NOCANDO;
    ++raisedPeriods;
    return TIMERR_NOERROR;
}

MMRESULT TimerService::EndPeriod(UINT period)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (raisedPeriods == 0) return TIMERR_NOCANDO;
    if (::timeEndPeriod(period) != TIMERR_NOERROR) return TIMERR_NOCANDO;
    --raisedPeriods;
    return TIMERR_NOERROR;
}

int TimerService::RaisedPeriods() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return raisedPeriods;
}

std::size_t TimerService::ActiveEvents() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return events.size();
}

TimerService::Clock::time_point TimerService::NextDeadline(Clock::time_point due, Clock::duration period,
                                                           Clock::time_point now)
{
    if (period <= Clock::duration::zero()) return now;
    const Clock::time_point next = due + period;
    if (next > now) return next;
    const auto missed = (now - due) / period;
    return due + (missed + 1) * period;
}

UINT TimerService::SetEvent(UINT delay, UINT resolution, TimerProc callback, DWORD_PTR user, UINT flags)
{
    // Only function callbacks exist here; the event-handle forms are refused.
    if (callback == nullptr || delay < kPeriodMin || delay > kPeriodMax) return 0;
    if ((flags & ~TIME_PERIODIC) != 0) return 0;

    // Held while the system sets the event, so that its first callback
    // finds the event in the table.
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return 0;
    const bool periodic = (flags & TIME_PERIODIC) != 0;
    const UINT id = ::timeSetEvent(delay, resolution, &TimerService::OnSystemTimer, reinterpret_cast<DWORD_PTR>(this),
                                   (periodic ? TIME_PERIODIC : TIME_ONESHOT) | TIME_CALLBACK_FUNCTION |
                                       TIME_KILL_SYNCHRONOUS);
    if (id == 0) return 0;
    const Clock::duration period = std::chrono::milliseconds(delay);
    events[id] = Entry{callback, user, period, Clock::now() + period, periodic};
    return id;
}

MMRESULT TimerService::KillEvent(UINT id)
{
    bool pending = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        auto it = events.find(id);
        // A one-shot event that has fired is gone from the system already.
        if (it != events.end()) {
            pending = true;
            events.erase(it);
        }
        if (id != 0 && runningId == id) {
            if (std::this_thread::get_id() != threadId) {
                finished.wait(lock, [this, id] { return runningId != id; });
            }
            if (!pending) return TIMERR_NOERROR;
        }
    }
    if (!pending) return MMSYSERR_INVALPARAM;
    ::timeKillEvent(id);
    return TIMERR_NOERROR;
}

void TimerService::OnSystemTimer(UINT id, UINT /*msg*/, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    auto* self = reinterpret_cast<TimerService*>(user);
    std::unique_lock<std::mutex> lock(self->mutex);
    auto it = self->events.find(id);
    if (it == self->events.end()) return;   // killed meanwhile
    const Entry entry = it->second;
    if (!entry.periodic) self->events.erase(it);
    self->runningId = id;
    self->threadId = std::this_thread::get_id();
    lock.unlock();
    entry.callback(id, 0, entry.user, 0, 0);
    lock.lock();
    self->runningId = 0;
    self->finished.notify_all();
}

}  // namespace platform
