// The real timer service behind platform::Timer(): one timer thread, started
// when the first event is set, that runs the callbacks of every event one
// after another at absolute deadlines of a steady clock.  It wakes early: a
// woken event runs as soon as the thread is free, and while every event is
// a sleeping wakeable one the thread waits without a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/mmsystem.h"

namespace platform {

class TimerService : public TimerApi {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr UINT kPeriodMin = 1;
    static constexpr UINT kPeriodMax = 1000000;

    TimerService() = default;
    ~TimerService() override;   // ends the timer thread; pending events never run again
    TimerService(const TimerService&) = delete;
    TimerService& operator=(const TimerService&) = delete;

    MMRESULT GetDevCaps(TIMECAPS* caps, UINT size) override;
    MMRESULT BeginPeriod(UINT period) override;
    MMRESULT EndPeriod(UINT period) override;
    UINT SetEvent(UINT delay, UINT resolution, TimerProc callback, DWORD_PTR user, UINT flags) override;
    MMRESULT KillEvent(UINT id) override;
    // Wakeable events run at once when woken.  (On Windows the multimedia
    // timer cannot be woken early: there a wakeable event has a thread of its
    // own that sleeps on a kernel event, and WakeEvent refuses the ordinary
    // events with TIMERR_NOCANDO.)
    UINT SetWakeableEvent(UINT delay, UINT resolution, TimerProc callback, DWORD_PTR user) override;
    MMRESULT WakeEvent(UINT id) override;

    // BeginPeriod calls not yet matched by an EndPeriod.
    int RaisedPeriods() const;
    // Events that are set and not yet killed (a one-shot event counts until it has fired).
    std::size_t ActiveEvents() const;
    // Wakeable events asleep: not running, nothing due until their next wake.
    std::size_t SleepingEvents() const;

    // The deadline after `due` for a period of `period`, on the same grid of
    // absolute deadlines (so nothing drifts), and later than `now`: periods
    // that passed while the thread was behind are skipped, not run in a burst.
    static Clock::time_point NextDeadline(Clock::time_point due, Clock::duration period,
                                          Clock::time_point now);

private:
    struct Entry {
        TimerProc callback;
        DWORD_PTR user;
        Clock::duration period;
        Clock::time_point due;     // kAsleep: a wakeable event waiting for its wake
        bool periodic;
        bool wakeable = false;
        bool woken = false;        // a wake its callback has not served yet
    };
    static constexpr Clock::time_point kAsleep = Clock::time_point::max();

    void Run();
    // Windows: the multimedia timer's callback, which runs the event's own.
    static void OnSystemTimer(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR, DWORD_PTR);
    UINT NewIdLocked();
    UINT AddEvent(UINT delay, TimerProc callback, DWORD_PTR user, bool periodic, bool wakeable);

#if defined(_WIN32)
    struct Wakeable;   // windows/timer_service.cpp
    static void RunWakeable(UINT id, std::shared_ptr<Wakeable> wakeable);
    static void EndWakeable(const std::shared_ptr<Wakeable>& wakeable);
    std::map<UINT, std::shared_ptr<Wakeable>> wakeables;
    UINT lastWakeableId = 0;
#endif

    mutable std::mutex mutex;
    std::condition_variable wake;       // events changed, or the service ends
    std::condition_variable finished;   // a callback returned
    std::map<UINT, Entry> events;
    UINT lastId = 0;
    UINT runningId = 0;                 // event whose callback runs now, 0 if none
    int raisedPeriods = 0;
    bool stopping = false;
    std::thread thread;
    std::thread::id threadId;
};

}  // namespace platform
