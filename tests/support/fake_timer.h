// A recording stand-in for the timer service: it remembers every call with
// its arguments, answers SetEvent as scripted, and runs an event's callback
// only when the test fires it by hand.  It installs itself as the process's
// timer service for its lifetime (unless told not to).
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/mmsystem.h"

class FakeTimer : public platform::TimerApi {
public:
    enum class Op { GetDevCaps, BeginPeriod, EndPeriod, SetEvent, KillEvent };

    struct Call {
        Op op;
        platform::UINT value = 0;        // size, period, delay or event id
        platform::UINT resolution = 0;   // SetEvent
        platform::TimerProc callback = nullptr;
        platform::DWORD_PTR user = 0;
        platform::UINT flags = 0;
        platform::UINT result = 0;       // what the call answered
    };

    explicit FakeTimer(bool install = true);
    ~FakeTimer() override;
    FakeTimer(const FakeTimer&) = delete;
    FakeTimer& operator=(const FakeTimer&) = delete;

    platform::MMRESULT GetDevCaps(platform::TIMECAPS* caps, platform::UINT size) override;
    platform::MMRESULT BeginPeriod(platform::UINT period) override;
    platform::MMRESULT EndPeriod(platform::UINT period) override;
    platform::UINT SetEvent(platform::UINT delay, platform::UINT resolution, platform::TimerProc callback,
                            platform::DWORD_PTR user, platform::UINT flags) override;
    platform::MMRESULT KillEvent(platform::UINT id) override;

    // What GetDevCaps reports (default: 1 and 1000000).
    void SetCaps(platform::UINT periodMin, platform::UINT periodMax);
    // The next SetEvent answers `result` (0 = failure) instead of a fresh id.
    void ScriptSetEvent(platform::UINT result);

    // Runs the callback of a live event once on the calling thread, with the
    // arguments the service would pass; false when no such event is live.
    bool Fire(platform::UINT id);

    std::vector<Call> Calls() const;
    // The calls as short texts, e.g. "BeginPeriod(1)", "SetEvent(1,1,periodic)=7", "KillEvent(7)".
    std::vector<std::string> Log() const;
    void ClearCalls();

    std::vector<platform::UINT> LiveEvents() const;
    int RaisedPeriods() const;   // BeginPeriod minus EndPeriod calls

private:
    struct Live {
        platform::TimerProc callback;
        platform::DWORD_PTR user;
    };

    mutable std::mutex mutex;
    std::vector<Call> calls;
    std::map<platform::UINT, Live> live;
    std::deque<platform::UINT> scripted;
    platform::UINT lastId = 0;
    platform::TIMECAPS caps{1, 1000000};
    int raised = 0;
    bool installed = false;
    platform::TimerApi* previous = nullptr;
};
