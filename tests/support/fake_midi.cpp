#include "tests/support/fake_midi.h"

#include "platform/sysex_assembler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

using namespace platform;

namespace q9test {

namespace {

void StoreFlags(MIDIHDR* header, DWORD set, DWORD clear)
{
    std::atomic_ref<DWORD> flags(header->dwFlags);
    DWORD value = flags.load(std::memory_order_relaxed);
    flags.store((value & ~clear) | set, std::memory_order_release);
}

DWORD LoadFlags(MIDIHDR* header)
{
    return std::atomic_ref<DWORD>(header->dwFlags).load(std::memory_order_acquire);
}

template <typename Caps>
void FillCaps(Caps* caps, const std::string& name)
{
    *caps = Caps{};
    CopyDeviceName(name, caps->szPname);   // cut to 31 characters, as a driver does
}

}  // namespace

const char* FakeMidi::Name(Op op)
{
    switch (op) {
    case Op::InGetNumDevs: return "midiInGetNumDevs";
    case Op::InGetDevCaps: return "midiInGetDevCapsA";
    case Op::InOpen: return "midiInOpen";
    case Op::InReset: return "midiInReset";
    case Op::InPrepareHeader: return "midiInPrepareHeader";
    case Op::InAddBuffer: return "midiInAddBuffer";
    case Op::InStart: return "midiInStart";
    case Op::InStop: return "midiInStop";
    case Op::InUnprepareHeader: return "midiInUnprepareHeader";
    case Op::InClose: return "midiInClose";
    case Op::OutGetNumDevs: return "midiOutGetNumDevs";
    case Op::OutGetDevCaps: return "midiOutGetDevCapsA";
    case Op::OutOpen: return "midiOutOpen";
    case Op::OutClose: return "midiOutClose";
    case Op::OutPrepareHeader: return "midiOutPrepareHeader";
    case Op::OutLongMsg: return "midiOutLongMsg";
    case Op::OutUnprepareHeader: return "midiOutUnprepareHeader";
    case Op::OutReset: return "midiOutReset";
    }
    return "?";
}

FakeMidi::FakeMidi() = default;

FakeMidi::~FakeMidi()
{
    {
        std::lock_guard<std::mutex> lock(laterMutex);
        stopping = true;
    }
    laterCond.notify_all();
    for (auto& thread : laterThreads) thread.join();
}

void FakeMidi::SetInDevices(std::vector<std::string> names)
{
    std::lock_guard<std::mutex> lock(mutex);
    inNames = std::move(names);
}

void FakeMidi::SetOutDevices(std::vector<std::string> names)
{
    std::lock_guard<std::mutex> lock(mutex);
    outNames = std::move(names);
}

void FakeMidi::Script(Op op, MMRESULT result)
{
    std::lock_guard<std::mutex> lock(mutex);
    scripts[op].once.push_back(result);
}

void FakeMidi::ScriptAlways(Op op, MMRESULT result)
{
    std::lock_guard<std::mutex> lock(mutex);
    scripts[op].always = true;
    scripts[op].alwaysResult = result;
}

void FakeMidi::ClearScript(Op op)
{
    std::lock_guard<std::mutex> lock(mutex);
    scripts.erase(op);
}

bool FakeMidi::Scripted(Op op, MMRESULT& result)
{
    auto it = scripts.find(op);
    if (it == scripts.end()) return false;
    if (!it->second.once.empty()) {
        result = it->second.once.front();
        it->second.once.pop_front();
        return true;
    }
    if (it->second.always) {
        result = it->second.alwaysResult;
        return true;
    }
    return false;
}

MMRESULT FakeMidi::Record(Call call)
{
    call.name = Name(call.op);
    call.thread = std::this_thread::get_id();
    calls.push_back(call);
    return call.result;
}

std::vector<FakeMidi::Call> FakeMidi::Calls() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
}

std::vector<std::string> FakeMidi::CallNames() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names;
    for (const auto& call : calls) names.push_back(call.name);
    return names;
}

int FakeMidi::Count(Op op) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [op](const Call& c) { return c.op == op; }));
}

void FakeMidi::ClearCalls()
{
    std::lock_guard<std::mutex> lock(mutex);
    calls.clear();
}

void FakeMidi::MarkDone(MIDIHDR* header)
{
    StoreFlags(header, MHDR_DONE, MHDR_INQUEUE);
}

void FakeMidi::FinishOutput(HMIDIOUT handle, MIDIHDR* header)
{
    MarkDone(header);
    const auto it = outCallbacks.find(handle);
    if (it != outCallbacks.end())
        it->second.first(handle, MOM_DONE, it->second.second, reinterpret_cast<DWORD_PTR>(header), 0);
}

// ---------------------------------------------------------------------------
// Input.

bool FakeMidi::Deliver(const std::vector<std::uint8_t>& bytes)
{
    HMIDIIN handle = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        handle = lastIn;
    }
    return Deliver(handle, bytes);
}

bool FakeMidi::Deliver(HMIDIIN handle, const std::vector<std::uint8_t>& bytes)
{
    std::lock_guard<std::recursive_mutex> turn(deliverMutex);
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t before = offset;
        if (!ReturnOne(handle, MIM_LONGDATA, bytes.data() + offset, bytes.size() - offset, offset)) return false;
        if (offset == before) return false;   // a buffer with no room
    }
    return true;
}

bool FakeMidi::ReturnBuffer(UINT msg, const std::vector<std::uint8_t>& bytes)
{
    HMIDIIN handle = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        handle = lastIn;
    }
    std::lock_guard<std::recursive_mutex> turn(deliverMutex);
    std::size_t used = 0;
    return ReturnOne(handle, msg, bytes.data(), bytes.size(), used) && used == bytes.size();
}

bool FakeMidi::ReturnOne(HMIDIIN handle, UINT msg, const std::uint8_t* bytes, std::size_t size, std::size_t& used)
{
    MIDIHDR* header = nullptr;
    MidiInProc callback = nullptr;
    DWORD_PTR instance = 0;
    {
        std::unique_lock<std::mutex> lock(mutex);
        // A port gives its buffers back from a thread of its own: wait for
        // one while the device runs (bounded, for a port that never does).
        const auto ready = [&] {
            const auto it = inputs.find(handle);
            return it == inputs.end() || !it->second.started || !it->second.posted.empty();
        };
        postedChanged.wait_for(lock, std::chrono::seconds(10), ready);
        auto it = inputs.find(handle);
        if (it == inputs.end() || !it->second.started || it->second.posted.empty()) return false;
        header = it->second.posted.front();
        it->second.posted.pop_front();
        const std::size_t n = std::min<std::size_t>(header->dwBufferLength, size);
        if (n > 0) std::memcpy(header->lpData, bytes, n);
        header->dwBytesRecorded = static_cast<DWORD>(n);
        used += n;
        callback = it->second.callback;
        instance = it->second.instance;
        MarkDone(header);
    }
    if (callback != nullptr) callback(handle, msg, instance, reinterpret_cast<DWORD_PTR>(header), 0);
    return true;
}

void FakeMidi::SetResetPartial(std::vector<std::uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    resetPartial = std::move(bytes);
    hasResetPartial = true;
}

std::size_t FakeMidi::PostedBuffers() const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = inputs.find(lastIn);
    return it == inputs.end() ? 0 : it->second.posted.size();
}

bool FakeMidi::InputOpen() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return !inputs.empty();
}

bool FakeMidi::InputStarted() const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = inputs.find(lastIn);
    return it != inputs.end() && it->second.started;
}

HMIDIIN FakeMidi::LastInHandle() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastIn;
}

UINT FakeMidi::InGetNumDevs()
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::InGetNumDevs};
    call.result = static_cast<MMRESULT>(inNames.size());
    return Record(call);
}

template <typename Caps>
MMRESULT FakeMidi::GetCaps(Op op, UINT id, Caps* caps, UINT size, const std::vector<std::string>& names)
{
    Call call{op};
    call.id = id;
    call.size = size;
    if (Scripted(op, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    if (caps == nullptr || size < sizeof(Caps)) {
        call.result = MMSYSERR_INVALPARAM;
    } else if (id >= names.size()) {
        call.result = MMSYSERR_BADDEVICEID;
    } else {
        FillCaps(caps, names[id]);
        call.result = MMSYSERR_NOERROR;
    }
    return Record(call);
}

MMRESULT FakeMidi::InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size)
{
    std::lock_guard<std::mutex> lock(mutex);
    return GetCaps(Op::InGetDevCaps, id, caps, size, inNames);
}

MMRESULT FakeMidi::InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags)
{
    HMIDIIN opened = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        Call call{Op::InOpen};
        call.id = id;
        call.callback = reinterpret_cast<DWORD_PTR>(callback);
        call.instance = instance;
        call.flags = flags;
        if (Scripted(Op::InOpen, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
        if (handle == nullptr) {
            call.result = MMSYSERR_INVALPARAM;
            return Record(call);
        }
        if (id >= inNames.size()) {
            call.result = MMSYSERR_BADDEVICEID;
            return Record(call);
        }
        opened = nextHandle++;
        InDevice device;
        device.id = id;
        device.callback = callback;
        device.instance = instance;
        inputs[opened] = device;
        lastIn = opened;
        *handle = opened;
        call.handle = opened;
        call.result = MMSYSERR_NOERROR;
        Record(call);
    }
    if (callback != nullptr) callback(opened, MIM_OPEN, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidi::InReset(HMIDIIN handle)
{
    std::deque<MIDIHDR*> returned;
    MidiInProc callback = nullptr;
    DWORD_PTR instance = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        Call call{Op::InReset};
        call.handle = handle;
        if (Scripted(Op::InReset, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
        auto it = inputs.find(handle);
        if (it == inputs.end()) {
            call.result = MMSYSERR_INVALHANDLE;
            return Record(call);
        }
        it->second.started = false;
        postedChanged.notify_all();
        returned.swap(it->second.posted);
        callback = it->second.callback;
        instance = it->second.instance;
        bool first = true;
        for (MIDIHDR* header : returned) {
            header->dwBytesRecorded = 0;
            if (first && hasResetPartial) {
                const std::size_t n = std::min<std::size_t>(header->dwBufferLength, resetPartial.size());
                std::memcpy(header->lpData, resetPartial.data(), n);
                header->dwBytesRecorded = static_cast<DWORD>(n);
                hasResetPartial = false;
            }
            first = false;
            MarkDone(header);
        }
        call.result = MMSYSERR_NOERROR;
        Record(call);
    }
    for (MIDIHDR* header : returned)
        if (callback != nullptr) callback(handle, MIM_LONGDATA, instance, reinterpret_cast<DWORD_PTR>(header), 0);
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidi::InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::InPrepareHeader};
    call.handle = handle;
    call.header = header;
    call.size = size;
    if (Scripted(Op::InPrepareHeader, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    if (inputs.find(handle) == inputs.end()) {
        call.result = MMSYSERR_INVALHANDLE;
    } else if (header == nullptr || size < sizeof(MIDIHDR)) {
        call.result = MMSYSERR_INVALPARAM;
    } else {
        StoreFlags(header, MHDR_PREPARED, 0);
        call.result = MMSYSERR_NOERROR;
    }
    return Record(call);
}

MMRESULT FakeMidi::InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::InAddBuffer};
    call.handle = handle;
    call.header = header;
    call.size = size;
    if (Scripted(Op::InAddBuffer, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    auto it = inputs.find(handle);
    if (it == inputs.end()) {
        call.result = MMSYSERR_INVALHANDLE;
    } else if (header == nullptr || size < sizeof(MIDIHDR)) {
        call.result = MMSYSERR_INVALPARAM;
    } else if ((LoadFlags(header) & MHDR_PREPARED) == 0) {
        call.result = MIDIERR_UNPREPARED;
    } else if (std::find(it->second.posted.begin(), it->second.posted.end(), header) != it->second.posted.end()) {
        call.result = MIDIERR_STILLPLAYING;
    } else {
        header->dwBytesRecorded = 0;
        StoreFlags(header, MHDR_INQUEUE, MHDR_DONE);
        it->second.posted.push_back(header);
        postedChanged.notify_all();
        call.result = MMSYSERR_NOERROR;
    }
    return Record(call);
}

MMRESULT FakeMidi::InStart(HMIDIIN handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::InStart};
    call.handle = handle;
    if (Scripted(Op::InStart, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    auto it = inputs.find(handle);
    if (it == inputs.end()) {
        call.result = MMSYSERR_INVALHANDLE;
    } else {
        it->second.started = true;
        postedChanged.notify_all();
        call.result = MMSYSERR_NOERROR;
    }
    return Record(call);
}

MMRESULT FakeMidi::InStop(HMIDIIN handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::InStop};
    call.handle = handle;
    if (Scripted(Op::InStop, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    auto it = inputs.find(handle);
    if (it == inputs.end()) {
        call.result = MMSYSERR_INVALHANDLE;
    } else {
        it->second.started = false;
        postedChanged.notify_all();
        call.result = MMSYSERR_NOERROR;
    }
    return Record(call);
}

MMRESULT FakeMidi::InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::InUnprepareHeader};
    call.handle = handle;
    call.header = header;
    call.size = size;
    if (Scripted(Op::InUnprepareHeader, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    auto it = inputs.find(handle);
    if (it == inputs.end()) {
        call.result = MMSYSERR_INVALHANDLE;
    } else if (header == nullptr || size < sizeof(MIDIHDR)) {
        call.result = MMSYSERR_INVALPARAM;
    } else if (std::find(it->second.posted.begin(), it->second.posted.end(), header) != it->second.posted.end()) {
        call.result = MIDIERR_STILLPLAYING;
    } else {
        StoreFlags(header, 0, MHDR_PREPARED);
        call.result = MMSYSERR_NOERROR;
    }
    return Record(call);
}

MMRESULT FakeMidi::InClose(HMIDIIN handle)
{
    MidiInProc callback = nullptr;
    DWORD_PTR instance = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        Call call{Op::InClose};
        call.handle = handle;
        if (Scripted(Op::InClose, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
        auto it = inputs.find(handle);
        if (it == inputs.end()) {
            call.result = MMSYSERR_INVALHANDLE;
            return Record(call);
        }
        if (!it->second.posted.empty()) {
            call.result = MIDIERR_STILLPLAYING;
            return Record(call);
        }
        callback = it->second.callback;
        instance = it->second.instance;
        inputs.erase(it);
        postedChanged.notify_all();
        call.result = MMSYSERR_NOERROR;
        Record(call);
    }
    if (callback != nullptr) callback(handle, MIM_CLOSE, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------------------
// Output.

std::vector<std::vector<std::uint8_t>> FakeMidi::Sent() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return sent;
}

void FakeMidi::ClearSent()
{
    std::lock_guard<std::mutex> lock(mutex);
    sent.clear();
}

void FakeMidi::SetDoneMode(DoneMode mode)
{
    std::lock_guard<std::mutex> lock(mutex);
    doneMode = mode;
}

void FakeMidi::SetDoneDelay(unsigned ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    doneDelayMs = ms;
}

std::size_t FakeMidi::PendingHeaders() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return pending.size();
}

void FakeMidi::CompletePending()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::pair<HMIDIOUT, MIDIHDR*>> finishing;
    finishing.swap(pending);
    for (auto& entry : finishing) FinishOutput(entry.first, entry.second);
}

void FakeMidi::OnSend(std::function<void(const std::vector<std::uint8_t>&)> function)
{
    std::lock_guard<std::mutex> lock(mutex);
    responder = std::move(function);
}

bool FakeMidi::OutputOpen() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return !outputs.empty();
}

HMIDIOUT FakeMidi::LastOutHandle() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastOut;
}

UINT FakeMidi::OutGetNumDevs()
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::OutGetNumDevs};
    call.result = static_cast<MMRESULT>(outNames.size());
    return Record(call);
}

MMRESULT FakeMidi::OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size)
{
    std::lock_guard<std::mutex> lock(mutex);
    return GetCaps(Op::OutGetDevCaps, id, caps, size, outNames);
}

MMRESULT FakeMidi::OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::OutOpen};
    call.id = id;
    call.callback = callback;
    call.instance = instance;
    call.flags = flags;
    if (Scripted(Op::OutOpen, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    if (handle == nullptr) {
        call.result = MMSYSERR_INVALPARAM;
    } else if (id >= outNames.size()) {
        call.result = MMSYSERR_BADDEVICEID;
    } else {
        const HMIDIOUT opened = nextHandle++;
        outputs[opened] = id;
        lastOut = opened;
        *handle = opened;
        call.handle = opened;
        call.result = MMSYSERR_NOERROR;
        if (flags == CALLBACK_FUNCTION && callback != 0) {
            const auto proc = reinterpret_cast<MidiOutProc>(callback);
            outCallbacks[opened] = {proc, instance};
            proc(opened, MOM_OPEN, instance, 0, 0);
        }
    }
    return Record(call);
}

MMRESULT FakeMidi::OutClose(HMIDIOUT handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::OutClose};
    call.handle = handle;
    if (Scripted(Op::OutClose, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    if (outputs.erase(handle) == 0) {
        call.result = MMSYSERR_INVALHANDLE;
    } else {
        // A closed device never touches its headers again.
        std::erase_if(pending, [handle](const auto& entry) { return entry.first == handle; });
        call.result = MMSYSERR_NOERROR;
        const auto it = outCallbacks.find(handle);
        if (it != outCallbacks.end()) {
            const auto [proc, instance] = it->second;
            outCallbacks.erase(it);
            proc(handle, MOM_CLOSE, instance, 0, 0);
        }
    }
    return Record(call);
}

MMRESULT FakeMidi::OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::OutPrepareHeader};
    call.handle = handle;
    call.header = header;
    call.size = size;
    if (Scripted(Op::OutPrepareHeader, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    if (outputs.find(handle) == outputs.end()) {
        call.result = MMSYSERR_INVALHANDLE;
    } else if (header == nullptr || size < sizeof(MIDIHDR)) {
        call.result = MMSYSERR_INVALPARAM;
    } else {
        StoreFlags(header, MHDR_PREPARED, 0);
        call.result = MMSYSERR_NOERROR;
    }
    return Record(call);
}

MMRESULT FakeMidi::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    std::function<void(const std::vector<std::uint8_t>&)> respond;
    std::vector<std::uint8_t> bytes;
    {
        std::lock_guard<std::mutex> lock(mutex);
        Call call{Op::OutLongMsg};
        call.handle = handle;
        call.header = header;
        call.size = size;
        if (Scripted(Op::OutLongMsg, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
        if (outputs.find(handle) == outputs.end()) {
            call.result = MMSYSERR_INVALHANDLE;
            return Record(call);
        }
        if (header == nullptr || size < sizeof(MIDIHDR) || header->lpData == nullptr) {
            call.result = MMSYSERR_INVALPARAM;
            return Record(call);
        }
        if ((LoadFlags(header) & MHDR_PREPARED) == 0) {
            call.result = MIDIERR_UNPREPARED;
            return Record(call);
        }
        bytes.assign(header->lpData, header->lpData + header->dwBufferLength);
        sent.push_back(bytes);
        StoreFlags(header, MHDR_INQUEUE, MHDR_DONE);
        switch (doneMode) {
        case DoneMode::Immediately:
            FinishOutput(handle, header);
            break;
        case DoneMode::Never:
            pending.emplace_back(handle, header);
            break;
        case DoneMode::Later: {
            pending.emplace_back(handle, header);
            const unsigned delay = doneDelayMs;
            std::lock_guard<std::mutex> later(laterMutex);
            laterThreads.emplace_back([this, handle, header, delay] {
                {
                    std::unique_lock<std::mutex> wait(laterMutex);
                    if (laterCond.wait_for(wait, std::chrono::milliseconds(delay), [this] { return stopping; }))
                        return;
                }
                std::lock_guard<std::mutex> lock(mutex);
                auto it = std::find_if(pending.begin(), pending.end(),
                                       [header](const auto& entry) { return entry.second == header; });
                if (it == pending.end()) return;
                pending.erase(it);
                FinishOutput(handle, header);
            });
            break;
        }
        }
        call.result = MMSYSERR_NOERROR;
        Record(call);
        respond = responder;
    }
    if (respond) respond(bytes);
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMidi::OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::OutUnprepareHeader};
    call.handle = handle;
    call.header = header;
    call.size = size;
    if (Scripted(Op::OutUnprepareHeader, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    if (outputs.find(handle) == outputs.end()) {
        call.result = MMSYSERR_INVALHANDLE;
    } else if (header == nullptr || size < sizeof(MIDIHDR)) {
        call.result = MMSYSERR_INVALPARAM;
    } else if (std::find_if(pending.begin(), pending.end(), [header](const auto& entry) {
                   return entry.second == header;
               }) != pending.end()) {
        call.result = MIDIERR_STILLPLAYING;
    } else {
        StoreFlags(header, 0, MHDR_PREPARED);
        call.result = MMSYSERR_NOERROR;
    }
    return Record(call);
}

MMRESULT FakeMidi::OutReset(HMIDIOUT handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    Call call{Op::OutReset};
    call.handle = handle;
    if (Scripted(Op::OutReset, call.result) && call.result != MMSYSERR_NOERROR) return Record(call);
    if (outputs.find(handle) == outputs.end()) {
        call.result = MMSYSERR_INVALHANDLE;
        return Record(call);
    }
    std::vector<std::pair<HMIDIOUT, MIDIHDR*>> finishing;
    std::erase_if(pending, [&](const auto& entry) {
        if (entry.first != handle) return false;
        finishing.push_back(entry);
        return true;
    });
    for (const auto& entry : finishing) FinishOutput(entry.first, entry.second);
    call.result = MMSYSERR_NOERROR;
    return Record(call);
}

}  // namespace q9test
