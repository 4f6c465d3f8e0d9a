// The real timer service: capabilities, period counting, argument checks,
// deadline arithmetic, and its thread's behaviour with live callbacks.
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/timer_service.h"

using namespace platform;
using namespace std::chrono_literals;
using Clock = TimerService::Clock;

namespace {

template <typename Predicate>
bool Eventually(Predicate predicate)
{
    const auto limit = Clock::now() + 20s;
    while (!predicate()) {
        if (Clock::now() > limit) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The same without sleeping: for states that follow within microseconds.
template <typename Predicate>
bool Soon(Predicate predicate)
{
    const auto limit = Clock::now() + 20s;
    while (!predicate()) {
        if (Clock::now() > limit) return false;
        std::this_thread::yield();
    }
    return true;
}

void Nothing(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}


struct Counter {
    std::atomic<int> calls{0};
    std::atomic<UINT> lastId{0};
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
};

void Count(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    auto* counter = reinterpret_cast<Counter*>(user);
    if (counter->inside.fetch_add(1) != 0) ++counter->overlaps;
    counter->lastId = id;
    if (msg == 0) ++counter->calls;
    std::this_thread::sleep_for(100us);
    counter->inside.fetch_sub(1);
}

TEST(TimerService, CapsAndPeriodCounting)
{
    TimerService service;
    TIMECAPS caps;
    EXPECT_EQ(service.GetDevCaps(&caps, sizeof caps), TIMERR_NOERROR);
    EXPECT_EQ(caps.wPeriodMin, 1u);
    EXPECT_GE(caps.wPeriodMax, 1000u);
    EXPECT_EQ(service.GetDevCaps(&caps, 4), TIMERR_NOCANDO);
    EXPECT_EQ(service.GetDevCaps(nullptr, sizeof caps), TIMERR_NOCANDO);

    EXPECT_EQ(service.EndPeriod(1), TIMERR_NOCANDO) << "nothing to give back yet";
    EXPECT_EQ(service.BeginPeriod(0), TIMERR_NOCANDO);
    EXPECT_EQ(service.BeginPeriod(1), TIMERR_NOERROR);
    EXPECT_EQ(service.BeginPeriod(1), TIMERR_NOERROR);
    EXPECT_EQ(service.RaisedPeriods(), 2);
    EXPECT_EQ(service.EndPeriod(1), TIMERR_NOERROR);
    EXPECT_EQ(service.EndPeriod(1), TIMERR_NOERROR);
    EXPECT_EQ(service.RaisedPeriods(), 0);
    EXPECT_EQ(service.EndPeriod(1), TIMERR_NOCANDO);
}

TEST(TimerService, RefusesEventsItCannotRun)
{
    TimerService service;
    EXPECT_EQ(service.SetEvent(1, 1, nullptr, 0, TIME_PERIODIC), 0u);
    EXPECT_EQ(service.SetEvent(0, 1, Nothing, 0, TIME_PERIODIC), 0u);
    EXPECT_EQ(service.SetEvent(TimerService::kPeriodMax + 1, 1, Nothing, 0, TIME_PERIODIC), 0u);
    EXPECT_EQ(service.SetEvent(1, 1, Nothing, 0, TIME_PERIODIC | 0x10), 0u) << "event-handle forms";
    EXPECT_EQ(service.ActiveEvents(), 0u);
    EXPECT_EQ(service.KillEvent(0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(service.KillEvent(12345), MMSYSERR_INVALPARAM);
}

TEST(TimerService, NextDeadlineKeepsTheGridAndSkipsMissedPeriods)
{
    const Clock::time_point start{};
    const Clock::duration period = 1ms;
    // On time (or late by less than a period): exactly one period later.
    EXPECT_EQ(TimerService::NextDeadline(start, period, start), start + 1ms);
    EXPECT_EQ(TimerService::NextDeadline(start, period, start + 300us), start + 1ms);
    EXPECT_EQ(TimerService::NextDeadline(start, period, start + 999us), start + 1ms);
    // Behind: the first grid point after now, never one in the past.
    EXPECT_EQ(TimerService::NextDeadline(start, period, start + 1ms), start + 2ms);
    EXPECT_EQ(TimerService::NextDeadline(start, period, start + 3500us), start + 4ms);
    EXPECT_EQ(TimerService::NextDeadline(start, 7ms, start + 50ms), start + 56ms);

    // Many periods served on time land exactly on start + n * period.
    Clock::time_point due = start;
    for (int i = 0; i < 1000; ++i) due = TimerService::NextDeadline(due, 3ms, due + 1ms);
    EXPECT_EQ(due, start + 3000ms);
}

TEST(TimerService, PeriodicEventRunsRepeatedlyWithItsIdAndData)
{
    TimerService service;
    Counter counter;
    const UINT id = service.SetEvent(1, 1, Count, reinterpret_cast<DWORD_PTR>(&counter), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(service.ActiveEvents(), 1u);
    EXPECT_TRUE(Eventually([&] { return counter.calls >= 10; }));
    EXPECT_EQ(counter.lastId, id);

    EXPECT_EQ(service.KillEvent(id), TIMERR_NOERROR);
    const int atKill = counter.calls;
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(counter.calls, atKill);
    EXPECT_EQ(service.KillEvent(id), MMSYSERR_INVALPARAM) << "killed twice";
    EXPECT_EQ(service.ActiveEvents(), 0u);
}

TEST(TimerService, CallbacksOfAllEventsRunOneAfterAnother)
{
    TimerService service;
    Counter shared;   // all events count into one object, so any overlap shows
    std::set<UINT> ids;
    for (int i = 0; i < 4; ++i) {
        const UINT id = service.SetEvent(1, 1, Count, reinterpret_cast<DWORD_PTR>(&shared), TIME_PERIODIC);
        ASSERT_NE(id, 0u);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 4u) << "ids are distinct";
    EXPECT_TRUE(Eventually([&] { return shared.calls >= 100; }));
    for (UINT id : ids) EXPECT_EQ(service.KillEvent(id), TIMERR_NOERROR);
    EXPECT_EQ(shared.overlaps, 0);
}

TEST(TimerService, CallbackMayKillItsOwnEvent)
{
    TimerService service;
    struct Shared {
        TimerService* service;
        std::atomic<int> calls{0};
        std::atomic<MMRESULT> killResult{99};
    } shared{&service};
    auto selfKill = [](UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
        auto* s = reinterpret_cast<Shared*>(user);
        ++s->calls;
        s->killResult = s->service->KillEvent(id);
    };
    ASSERT_NE(service.SetEvent(1, 1, selfKill, reinterpret_cast<DWORD_PTR>(&shared), TIME_PERIODIC), 0u);
    EXPECT_TRUE(Eventually([&] { return shared.calls >= 1; }));
    EXPECT_TRUE(Eventually([&] { return service.ActiveEvents() == 0; }));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(shared.calls, 1);
    EXPECT_EQ(shared.killResult, TIMERR_NOERROR);
}

TEST(TimerService, WakeableEventRunsAfterItsFirstPeriodThenOncePerWake)
{
    TimerService service;
    struct Shared {
        std::atomic<int> calls{0};
        std::atomic<bool> hold{false};    // the next run waits inside until released
        std::atomic<bool> inside{false};
        std::atomic<bool> release{false};
    } shared;
    auto callback = [](UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
        auto* s = reinterpret_cast<Shared*>(user);
        if (s->hold.exchange(false)) {
            s->inside = true;
            while (!s->release) std::this_thread::yield();
        }
        ++s->calls;
    };
    const UINT id = service.SetWakeableEvent(1, 1, callback, reinterpret_cast<DWORD_PTR>(&shared));
    ASSERT_NE(id, 0u);
    auto runsThenSleeps = [&](int calls) {
        return Soon([&] { return shared.calls == calls && service.SleepingEvents() == 1; });
    };
    EXPECT_TRUE(runsThenSleeps(1)) << "one run after the first period, then asleep";
    for (int wake = 1; wake <= 3; ++wake) {
        EXPECT_EQ(service.WakeEvent(id), TIMERR_NOERROR);
        EXPECT_TRUE(runsThenSleeps(1 + wake)) << "one run per wake";
    }

    // Wakes that come while the callback runs make it run once more afterwards.
    shared.hold = true;
    EXPECT_EQ(service.WakeEvent(id), TIMERR_NOERROR);
    ASSERT_TRUE(Soon([&] { return shared.inside.load(); }));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(service.WakeEvent(id), TIMERR_NOERROR);
    shared.release = true;
    EXPECT_TRUE(runsThenSleeps(6));

    EXPECT_EQ(service.KillEvent(id), TIMERR_NOERROR);
    EXPECT_EQ(service.WakeEvent(id), MMSYSERR_INVALPARAM);

    Counter counter;
    const UINT slow = service.SetEvent(60000, 1, Count, reinterpret_cast<DWORD_PTR>(&counter),
                                       TIME_PERIODIC);
#if !defined(_WIN32)
    // An ordinary event woken runs at once, long before its period.
    EXPECT_EQ(service.WakeEvent(slow), TIMERR_NOERROR);
    EXPECT_TRUE(Soon([&] { return counter.calls == 1; }));
#else
    // The multimedia timer's own events cannot be woken early.
    EXPECT_EQ(service.WakeEvent(slow), TIMERR_NOCANDO);
#endif
    EXPECT_EQ(service.SleepingEvents(), 0u);
}

TEST(TimerService, EndsCleanlyWithLiveEvents)
{
    Counter counter;
    {
        TimerService service;
        ASSERT_NE(service.SetEvent(1, 1, Count, reinterpret_cast<DWORD_PTR>(&counter), TIME_PERIODIC), 0u);
        EXPECT_TRUE(Eventually([&] { return counter.calls >= 3; }));
    }
    const int atEnd = counter.calls;
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(counter.calls, atEnd);
    EXPECT_EQ(counter.inside, 0);
}

}  // namespace
