#include "tests/support/fake_timer.h"

using namespace platform;

FakeTimer::FakeTimer(bool install)
{
    if (install) {
        previous = InstallTimer(this);
        installed = true;
    }
}

FakeTimer::~FakeTimer()
{
    if (installed) InstallTimer(previous);
}

MMRESULT FakeTimer::GetDevCaps(TIMECAPS* out, UINT size)
{
    std::lock_guard<std::mutex> lock(mutex);
    MMRESULT result = TIMERR_NOCANDO;
    if (out != nullptr && size >= sizeof(TIMECAPS)) {
        *out = caps;
        result = TIMERR_NOERROR;
    }
    calls.push_back({Op::GetDevCaps, size, 0, nullptr, 0, 0, result});
    return result;
}

MMRESULT FakeTimer::BeginPeriod(UINT period)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++raised;
    calls.push_back({Op::BeginPeriod, period, 0, nullptr, 0, 0, TIMERR_NOERROR});
    return TIMERR_NOERROR;
}

MMRESULT FakeTimer::EndPeriod(UINT period)
{
    std::lock_guard<std::mutex> lock(mutex);
    --raised;
    calls.push_back({Op::EndPeriod, period, 0, nullptr, 0, 0, TIMERR_NOERROR});
    return TIMERR_NOERROR;
}

UINT FakeTimer::SetEvent(UINT delay, UINT resolution, TimerProc callback, DWORD_PTR user, UINT flags)
{
    std::lock_guard<std::mutex> lock(mutex);
    UINT id;
    if (!scripted.empty()) {
        id = scripted.front();
        scripted.pop_front();
    } else {
        id = ++lastId;
    }
    if (id != 0) live[id] = Live{callback, user};
    calls.push_back({Op::SetEvent, delay, resolution, callback, user, flags, id});
    return id;
}

MMRESULT FakeTimer::KillEvent(UINT id)
{
    std::lock_guard<std::mutex> lock(mutex);
    const MMRESULT result = live.erase(id) != 0 ? TIMERR_NOERROR : MMSYSERR_INVALPARAM;
    calls.push_back({Op::KillEvent, id, 0, nullptr, 0, 0, result});
    return result;
}

void FakeTimer::SetCaps(UINT periodMin, UINT periodMax)
{
    std::lock_guard<std::mutex> lock(mutex);
    caps = TIMECAPS{periodMin, periodMax};
}

void FakeTimer::ScriptSetEvent(UINT result)
{
    std::lock_guard<std::mutex> lock(mutex);
    scripted.push_back(result);
}

bool FakeTimer::Fire(UINT id)
{
    Live event{};
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = live.find(id);
        if (it == live.end()) return false;
        event = it->second;
    }
    // Outside the lock: the callback may call back into the service.
    event.callback(id, 0, event.user, 0, 0);
    return true;
}

std::vector<FakeTimer::Call> FakeTimer::Calls() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
}

std::vector<std::string> FakeTimer::Log() const
{
    std::vector<std::string> texts;
    for (const Call& call : Calls()) {
        const std::string value = std::to_string(call.value);
        switch (call.op) {
        case Op::GetDevCaps: texts.push_back("GetDevCaps(" + value + ")"); break;
        case Op::BeginPeriod: texts.push_back("BeginPeriod(" + value + ")"); break;
        case Op::EndPeriod: texts.push_back("EndPeriod(" + value + ")"); break;
        case Op::KillEvent: texts.push_back("KillEvent(" + value + ")"); break;
        case Op::SetEvent:
            texts.push_back("SetEvent(" + value + "," + std::to_string(call.resolution) + "," +
                            (call.flags == TIME_PERIODIC ? "periodic" : "flags " + std::to_string(call.flags)) +
                            ")=" + std::to_string(call.result));
            break;
        }
    }
    return texts;
}

void FakeTimer::ClearCalls()
{
    std::lock_guard<std::mutex> lock(mutex);
    calls.clear();
}

std::vector<UINT> FakeTimer::LiveEvents() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<UINT> ids;
    for (const auto& entry : live) ids.push_back(entry.first);
    return ids;
}

int FakeTimer::RaisedPeriods() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return raised;
}
