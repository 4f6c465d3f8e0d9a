#include "platform/timer_service.h"

#include <algorithm>
#include <atomic>
#include <system_error>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace platform {

TimerService::~TimerService()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        events.clear();
    }
    wake.notify_all();
    if (!thread.joinable()) return;
    if (std::this_thread::get_id() == thread.get_id()) {
        // The process is ending from inside a callback: that callback is
        // this very thread, which must not wait for itself.
        thread.detach();
    } else {
        thread.join();
    }
}

MMRESULT TimerService::GetDevCaps(TIMECAPS* caps, UINT size)
{
    if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
    caps->wPeriodMin = kPeriodMin;
    caps->wPeriodMax = kPeriodMax;
    return TIMERR_NOERROR;
}

MMRESULT TimerService::BeginPeriod(UINT period)
{
    if (period < kPeriodMin || period > kPeriodMax) return TIMERR_NOCANDO;
    std::lock_guard<std::mutex> lock(mutex);
    ++raisedPeriods;
    return TIMERR_NOERROR;
}

MMRESULT TimerService::EndPeriod(UINT period)
{
    if (period < kPeriodMin || period > kPeriodMax) return TIMERR_NOCANDO;
    std::lock_guard<std::mutex> lock(mutex);
    if (raisedPeriods == 0) return TIMERR_NOCANDO;
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

std::size_t TimerService::SleepingEvents() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [this](const auto& event) {
        return event.second.due == kAsleep && event.first != runningId;
    }));
}

UINT TimerService::NewIdLocked()
{
    // Ids are never 0 and never one of a live event, also after wrapping.
    do {
        ++lastId;
    } while (lastId == 0 || events.count(lastId) != 0 || lastId == runningId);
    return lastId;
}

UINT TimerService::SetEvent(UINT delay, UINT /*resolution*/, TimerProc callback, DWORD_PTR user, UINT flags)
{
    // Only function callbacks exist here; the event-handle forms are refused.
    if ((flags & ~TIME_PERIODIC) != 0) return 0;
    return AddEvent(delay, callback, user, (flags & TIME_PERIODIC) != 0, false);
}

UINT TimerService::SetWakeableEvent(UINT delay, UINT /*resolution*/, TimerProc callback, DWORD_PTR user)
{
    return AddEvent(delay, callback, user, true, true);
}

UINT TimerService::AddEvent(UINT delay, TimerProc callback, DWORD_PTR user, bool periodic, bool wakeable)
{
    if (callback == nullptr || delay < kPeriodMin || delay > kPeriodMax) return 0;

    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return 0;
    if (!thread.joinable()) {
        try {
            thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return 0;
        }
    }
    const Clock::duration period = std::chrono::milliseconds(delay);
    const UINT id = NewIdLocked();
    Entry entry{callback, user, period, Clock::now() + period, periodic};
    entry.wakeable = wakeable;
    events.emplace(id, entry);
    wake.notify_all();
    return id;
}

MMRESULT TimerService::WakeEvent(UINT id)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = events.find(id);
        if (it == events.end()) return MMSYSERR_INVALPARAM;
        it->second.woken = true;
        // While its callback runs, the thread sees `woken` when it returns.
        if (runningId != id) it->second.due = Clock::now();
    }
    wake.notify_all();
    return TIMERR_NOERROR;
}

MMRESULT TimerService::KillEvent(UINT id)
{
    std::unique_lock<std::mutex> lock(mutex);
    bool found = events.erase(id) != 0;
    if (id != 0 && runningId == id) {
        found = true;
        // A callback of this event is running: wait until it has returned,
        // unless it is that callback itself that kills its event.
        if (std::this_thread::get_id() != thread.get_id()) {
            finished.wait(lock, [this, id] { return runningId != id; });
        }
    }
    if (found) wake.notify_all();
    return found ? TIMERR_NOERROR : MMSYSERR_INVALPARAM;
}

void TimerService::Run()
{
#if defined(__linux__)
    pthread_setname_np(pthread_self(), "q9-timer");   // as tools that list threads show it
#endif
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (events.empty()) {
            wake.wait(lock);
            continue;
        }
        auto next = std::min_element(events.begin(), events.end(),
                                     [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
        const Clock::time_point due = next->second.due;
        if (due == kAsleep) {
            wake.wait(lock);   // nothing due until a wake, a new event or the end
            continue;
        }
        if (Clock::now() < due) {
            wake.wait_until(lock, due);
            continue;
        }

        const UINT id = next->first;
        const Entry entry = next->second;
        if (!entry.periodic) events.erase(next);
        else next->second.woken = false;   // this run serves every wake so far
        runningId = id;
        lock.unlock();
        entry.callback(id, 0, entry.user, 0, 0);
        lock.lock();
        runningId = 0;
        finished.notify_all();

        // The next deadline counts from the one just served, so the period
        // never drifts; a callback that overran skips the periods it missed.
        // A wake that came during the run runs the callback again at once; a
        // wakeable event otherwise sleeps until the next wake.
        auto again = events.find(id);
        if (again == events.end()) continue;
        Entry& left = again->second;
        if (left.woken)
            left.due = Clock::now();
        else if (left.wakeable)
            left.due = kAsleep;
        else
            left.due = NextDeadline(due, entry.period, Clock::now());
    }
}

}  // namespace platform
