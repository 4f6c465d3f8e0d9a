// The timer service behind platform::Timer() on the multimedia timer:
// timeSetEvent runs OnSystemTimer on the system's timer thread, which calls
// the event's own callback.  The service keeps its events in a table so that
// KillEvent can wait for a running callback (also of a one-shot event that
// has already fired), and so that nothing runs once an event is killed.
//
// The multimedia timer cannot be woken before its period, so a wakeable
// event is not one of its events: it has a thread of its own that sleeps on
// an auto-reset kernel event (its first period as the wait's limit, then no
// limit) and runs the callback each time the event is set.  A wake that
// comes while the callback runs leaves the event set, so the callback runs
// once more afterwards, and wakes never pile up beyond that.
#include "platform/timer_service.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <system_error>
#include <vector>

namespace platform {

static_assert(sizeof(void*) == 8, "the multimedia timer's callback is called here without __stdcall: x64 only");

namespace {

// Ids of wakeable events, apart from the multimedia timer's own (small) ids.
constexpr UINT kWakeableIdBit = 0x80000000u;

}  // namespace

struct TimerService::Wakeable {
    TimerProc callback = nullptr;
    DWORD_PTR user = 0;
    DWORD firstDelay = 0;
    HANDLE wake = nullptr;   // auto-reset
    std::thread thread;
    std::mutex mutex;        // guards the two flags; the thread needs nothing of the service
    bool killed = false;
    bool asleep = false;     // waiting without a limit for its next wake

    ~Wakeable()
    {
        if (wake != nullptr) ::CloseHandle(wake);
    }
};

void TimerService::RunWakeable(UINT id, std::shared_ptr<Wakeable> w)
{
    DWORD wait = w->firstDelay;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            if (w->killed) return;
            w->asleep = wait == INFINITE;
        }
        ::WaitForSingleObject(w->wake, wait);
        wait = INFINITE;
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            w->asleep = false;
            if (w->killed) return;
        }
        w->callback(id, 0, w->user, 0, 0);
    }
}

// Returns once the callback does not run and never will again, unless it is
// the callback itself that ends its event: then its thread ends after it.
void TimerService::EndWakeable(const std::shared_ptr<Wakeable>& w)
{
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        w->killed = true;
    }
    ::SetEvent(w->wake);
    if (!w->thread.joinable()) return;
    if (std::this_thread::get_id() == w->thread.get_id())
        w->thread.detach();
    else
        w->thread.join();
}

UINT TimerService::SetWakeableEvent(UINT delay, UINT /*resolution*/, TimerProc callback, DWORD_PTR user)
{
    if (callback == nullptr || delay < kPeriodMin || delay > kPeriodMax) return 0;
    auto w = std::make_shared<Wakeable>();
    w->callback = callback;
    w->user = user;
    w->firstDelay = delay;
    w->wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (w->wake == nullptr) return 0;

    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return 0;
    UINT id = 0;
    do {
        lastWakeableId = (lastWakeableId + 1) & ~kWakeableIdBit;
        id = kWakeableIdBit | lastWakeableId;
    } while (lastWakeableId == 0 || wakeables.count(id) != 0);
    try {
        w->thread = std::thread(&TimerService::RunWakeable, id, w);
    } catch (const std::system_error&) {
        return 0;
    }
    wakeables.emplace(id, std::move(w));
    return id;
}

MMRESULT TimerService::WakeEvent(UINT id)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = wakeables.find(id); it != wakeables.end()) {
        ::SetEvent(it->second->wake);
        return TIMERR_NOERROR;
    }
    // An ordinary event runs at its next period.
    return events.count(id) != 0 ? TIMERR_NOCANDO : MMSYSERR_INVALPARAM;
}

std::size_t TimerService::SleepingEvents() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t asleep = 0;
    for (const auto& [id, w] : wakeables) {
        std::lock_guard<std::mutex> inner(w->mutex);
        if (w->asleep) ++asleep;
    }
    return asleep;
}

TimerService::~TimerService()
{
    std::vector<UINT> ids;
    std::vector<std::shared_ptr<Wakeable>> ending;
    {
        std::unique_lock<std::mutex> lock(mutex);
        stopping = true;
        for (const auto& [id, entry] : events) ids.push_back(id);
        events.clear();
        for (auto& [id, w] : wakeables) ending.push_back(std::move(w));
        wakeables.clear();
    }
    for (const auto& w : ending) EndWakeable(w);
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
    return events.size() + wakeables.size();
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
    if ((id & kWakeableIdBit) != 0) {   // never seen: the system's ids are small
        ::timeKillEvent(id);
        return 0;
    }
    const Clock::duration period = std::chrono::milliseconds(delay);
    events[id] = Entry{callback, user, period, Clock::now() + period, periodic};
    return id;
}

MMRESULT TimerService::KillEvent(UINT id)
{
    bool pending = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (auto it = wakeables.find(id); it != wakeables.end()) {
            const std::shared_ptr<Wakeable> w = std::move(it->second);
            wakeables.erase(it);
            lock.unlock();
            EndWakeable(w);
            return TIMERR_NOERROR;
        }
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
