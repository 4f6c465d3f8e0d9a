// CDxMTimer against a recording timer service, and against the real one.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "midi/dx_mtimer.h"
#include "tests/support/fake_timer.h"

using namespace platform;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

struct CallbackLog {
    std::atomic<int> calls{0};
    std::atomic<DWORD_PTR> lastUser{0};
    std::atomic<int> wrongUser{0};
    DWORD_PTR expectedUser = 0;
};

void CountingCallback(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    auto* log = reinterpret_cast<CallbackLog*>(user);
    log->lastUser = user;
    if (user != log->expectedUser) ++log->wrongUser;
    ++log->calls;
}

// A timer that handles its own periods.  It stops in its own destructor, so
// no period reaches OnTimerEvent while the derived part is being torn down.
class CountingTimer : public CDxMTimer {
public:
    ~CountingTimer() { Stop(); }
    void OnTimerEvent() override { ++events; }
    std::atomic<int> events{0};
};

template <typename Predicate>
bool Eventually(Predicate predicate)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The same without sleeping: for states that follow within microseconds.
template <typename Predicate>
bool Soon(Predicate predicate)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::yield();
    }
    return true;
}

// ---------------------------------------------------------------------------
// Against the recording fake.

TEST(DxMTimerFake, ConstructionReadsCapsAndNothingElse)
{
    FakeTimer fake;
    fake.SetCaps(3, 700);
    CDxMTimer timer;
    EXPECT_THAT(fake.Log(), ElementsAre("GetDevCaps(8)"));
    EXPECT_EQ(timer.caps.wPeriodMin, 3u);
    EXPECT_EQ(timer.caps.wPeriodMax, 700u);
    EXPECT_EQ(timer.timerId, 0u);
}

TEST(DxMTimerFake, StartRaisesResolutionAndSetsPeriodicEventWithCallersData)
{
    FakeTimer fake;
    fake.SetCaps(2, 1000);
    CDxMTimer timer;
    fake.ClearCalls();

    CallbackLog log;
    log.expectedUser = reinterpret_cast<DWORD_PTR>(&log);
    const UINT id = timer.Start(1, CountingCallback, log.expectedUser);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(timer.timerId, id);
    EXPECT_THAT(fake.Log(), ElementsAre("BeginPeriod(2)", "SetEvent(1,2,periodic)=" + std::to_string(id)));
    const auto calls = fake.Calls();
    EXPECT_EQ(calls[1].callback, &CountingCallback);
    EXPECT_EQ(calls[1].user, log.expectedUser);

    for (int i = 0; i < 3; ++i) EXPECT_TRUE(fake.Fire(id));
    EXPECT_EQ(log.calls, 3);
    EXPECT_EQ(log.wrongUser, 0);
}

TEST(DxMTimerFake, StopEndsEventAndGivesResolutionBackOnlyWhenRunning)
{
    FakeTimer fake;
    CDxMTimer timer;
    fake.ClearCalls();

    EXPECT_EQ(timer.Stop(), 1);
    EXPECT_THAT(fake.Log(), IsEmpty()) << "stopping a stopped timer calls nothing";

    CallbackLog log;
    const UINT id = timer.Start(5, CountingCallback, reinterpret_cast<DWORD_PTR>(&log));
    fake.ClearCalls();
    EXPECT_EQ(timer.Stop(), 1);
    EXPECT_THAT(fake.Log(), ElementsAre("KillEvent(" + std::to_string(id) + ")", "EndPeriod(1)"));
    EXPECT_EQ(timer.timerId, 0u);
    EXPECT_THAT(fake.LiveEvents(), IsEmpty());
    EXPECT_EQ(fake.RaisedPeriods(), 0);

    fake.ClearCalls();
    EXPECT_EQ(timer.Stop(), 1);
    EXPECT_THAT(fake.Log(), IsEmpty());
}

TEST(DxMTimerFake, RestartEndsTheRunningEventBeforeTheNewOneStarts)
{
    FakeTimer fake;
    CDxMTimer timer;
    CallbackLog log;
    const UINT first = timer.Start(1, CountingCallback, reinterpret_cast<DWORD_PTR>(&log));
    fake.ClearCalls();

    const UINT second = timer.Start(4, CountingCallback, reinterpret_cast<DWORD_PTR>(&log));
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first);
    EXPECT_THAT(fake.Log(), ElementsAre("KillEvent(" + std::to_string(first) + ")", "EndPeriod(1)",
                                        "BeginPeriod(1)", "SetEvent(4,1,periodic)=" + std::to_string(second)));
    EXPECT_THAT(fake.LiveEvents(), ElementsAre(second));
    EXPECT_EQ(fake.RaisedPeriods(), 1);
    EXPECT_FALSE(fake.Fire(first));
}

TEST(DxMTimerFake, DestructionEndsRunningEventOnce)
{
    FakeTimer fake;
    UINT id = 0;
    {
        CDxMTimer timer;
        CallbackLog log;
        id = timer.Start(1, CountingCallback, reinterpret_cast<DWORD_PTR>(&log));
        fake.ClearCalls();
    }
    EXPECT_THAT(fake.Log(), ElementsAre("KillEvent(" + std::to_string(id) + ")", "EndPeriod(1)"));
    EXPECT_EQ(fake.RaisedPeriods(), 0);
}

TEST(DxMTimerFake, WithoutCallbackEachPeriodRunsOnTimerEvent)
{
    FakeTimer fake;
    CountingTimer timer;
    fake.ClearCalls();

    const UINT id = timer.Start(1, nullptr, 0x1234);   // the caller's data is ignored
    ASSERT_NE(id, 0u);
    const auto calls = fake.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].callback, &CDxMTimer::DefaultTimerCallback);
    EXPECT_EQ(calls[1].user, reinterpret_cast<DWORD_PTR>(static_cast<CDxMTimer*>(&timer)));

    fake.Fire(id);
    fake.Fire(id);
    EXPECT_EQ(timer.events, 2);

}

// A timer service that cannot wake early: the wakeable start falls back to an
// ordinary periodic event, with the same resolution bookkeeping.
TEST(DxMTimerFake, WakeableStartOnAServiceThatCannotWakeIsPeriodic)
{
    FakeTimer fake;
    CDxMTimer timer;
    fake.ClearCalls();
    CallbackLog log;
    log.expectedUser = reinterpret_cast<DWORD_PTR>(&log);
    const UINT id = timer.StartWakeable(1, CountingCallback, log.expectedUser);
    ASSERT_NE(id, 0u);
    EXPECT_THAT(fake.Log(), ElementsAre("BeginPeriod(1)", "SetEvent(1,1,periodic)=" + std::to_string(id)));
    EXPECT_EQ(timeWakeEvent(id), TIMERR_NOCANDO);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(fake.Fire(id));
    EXPECT_EQ(log.calls, 3);
    EXPECT_EQ(log.wrongUser, 0);
    fake.ClearCalls();
    timer.Stop();
    EXPECT_THAT(fake.Log(), ElementsAre("KillEvent(" + std::to_string(id) + ")", "EndPeriod(1)"));
    EXPECT_EQ(fake.RaisedPeriods(), 0);
}

TEST(DxMTimerFake, FailedStartGivesResolutionBackAtOnceAndCountsAsStopped)
{
    FakeTimer fake;
    CDxMTimer timer;
    fake.ClearCalls();
    fake.ScriptSetEvent(0);

    CallbackLog log;
    EXPECT_EQ(timer.Start(1, CountingCallback, reinterpret_cast<DWORD_PTR>(&log)), 0u);
    EXPECT_EQ(timer.timerId, 0u);
    EXPECT_THAT(fake.Log(), ElementsAre("BeginPeriod(1)", "SetEvent(1,1,periodic)=0", "EndPeriod(1)"));
    EXPECT_EQ(fake.RaisedPeriods(), 0);

    fake.ClearCalls();
    EXPECT_EQ(timer.Stop(), 1);
    EXPECT_THAT(fake.Log(), IsEmpty());

    // The timer is usable again afterwards.
    const UINT id = timer.Start(1, CountingCallback, reinterpret_cast<DWORD_PTR>(&log));
    EXPECT_NE(id, 0u);
    EXPECT_EQ(fake.RaisedPeriods(), 1);
}

// ---------------------------------------------------------------------------
// Against the real timer service.

TEST(DxMTimerReal, CallbackRunsRepeatedlyAndNeverAfterStopReturned)
{
    struct Shared {
        std::atomic<int> calls{0};
        std::atomic<bool> stopped{false};
        std::atomic<int> lateCalls{0};
    } shared;
    auto callback = [](UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
        auto* s = reinterpret_cast<Shared*>(user);
        if (s->stopped) ++s->lateCalls;
        ++s->calls;
    };

    CDxMTimer timer;
    EXPECT_EQ(timer.caps.wPeriodMin, 1u);
    ASSERT_NE(timer.Start(1, callback, reinterpret_cast<DWORD_PTR>(&shared)), 0u);
    EXPECT_TRUE(Eventually([&] { return shared.calls >= 20; }));
    timer.Stop();
    shared.stopped = true;
    const int atStop = shared.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(shared.calls, atStop);
    EXPECT_EQ(shared.lateCalls, 0);
}

TEST(DxMTimerReal, WakeableCallbackRunsOncePerWakeAndNeverAfterStop)
{
    CallbackLog log;
    log.expectedUser = reinterpret_cast<DWORD_PTR>(&log);
    CDxMTimer timer;
    const UINT id = timer.StartWakeable(1, CountingCallback, log.expectedUser);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(Soon([&] { return log.calls == 1; })) << "the run after the first period";
    for (int wake = 1; wake <= 5; ++wake) {
        const int before = log.calls;
        EXPECT_EQ(timeWakeEvent(id), TIMERR_NOERROR);
        EXPECT_TRUE(Soon([&] { return log.calls > before; }));
    }
    EXPECT_EQ(log.wrongUser, 0);
    timer.Stop();
    EXPECT_NE(timeWakeEvent(id), TIMERR_NOERROR);
}

TEST(DxMTimerReal, OnTimerEventRunsOnTheTimerThread)
{
    CountingTimer timer;
    ASSERT_NE(timer.Start(1, nullptr, 0), 0u);
    EXPECT_TRUE(Eventually([&] { return timer.events >= 10; }));
}

TEST(DxMTimerReal, StopWaitsForTheRunningCallback)
{
    struct Shared {
        std::atomic<bool> inside{false};
        std::atomic<bool> release{false};
        std::atomic<bool> stopped{false};
        std::atomic<int> lateCalls{0};
    } shared;
    auto callback = [](UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
        auto* s = reinterpret_cast<Shared*>(user);
        if (s->stopped) ++s->lateCalls;
        s->inside = true;
        while (!s->release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        s->inside = false;
    };

    auto timer = std::make_unique<CDxMTimer>();
    ASSERT_NE(timer->Start(1, callback, reinterpret_cast<DWORD_PTR>(&shared)), 0u);
    ASSERT_TRUE(Eventually([&] { return shared.inside.load(); }));

    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        timer.reset();   // destruction stops the timer
        destroyed = true;
        shared.stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(destroyed) << "destruction returned while the callback still ran";
    shared.release = true;
    destroyer.join();
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(shared.inside);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(shared.lateCalls, 0);
}

}  // namespace
