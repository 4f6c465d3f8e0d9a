#include "tests/support/winmm_standin.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform;

namespace q9test {

namespace {

constexpr DWORD kDriverBufferSize = 8192;
constexpr int kDriverBuffers = 4;

void CopyName(const char* from, char16_t (&to)[32])
{
    std::size_t n = 0;
    for (; n + 1 < std::size(to) && from[n] != 0; ++n) to[n] = static_cast<unsigned char>(from[n]);
    to[n] = 0;
}

}  // namespace

struct WinmmStandIn::State {
    MidiApi& device;
    DriverQuirk quirk;
    mutable std::mutex mutex;

    struct Client {
        WinmmProc callback = nullptr;
        DWORD_PTR instance = 0;
    };
    // One send: the caller's system header and the driver's own copy of it,
    // which the device holds while the message goes out.
    struct Send {
        WinmmHeader* header = nullptr;
        std::uintptr_t handle = 0;
        MIDIHDR mirror{};
        std::vector<char> bytes;
        bool returned = false;   // done or reset: the caller has it back
    };
    std::map<std::uintptr_t, Client> outs;   // our handle → the caller
    std::map<std::uintptr_t, HMIDIOUT> outDevice;
    struct In {
        Client client;
        HMIDIIN device = 0;
        std::deque<WinmmHeader*> queued;
        bool started = false;   // between midiInStart and midiInStop / midiInReset
        std::mutex addMutex;    // a buffer going back to the device against the close
        bool closed = false;    // under addMutex
        std::vector<std::unique_ptr<MIDIHDR>> buffers;   // the driver's own, at the device
        std::vector<std::unique_ptr<char[]>> data;
    };
    std::map<std::uintptr_t, std::unique_ptr<In>> ins;
    std::map<const WinmmHeader*, bool> prepared;
    std::vector<std::unique_ptr<Send>> sends;   // every send, kept until the driver goes
    std::uintptr_t nextHandle = 0x5000;
    unsigned sendCount = 0;
    unsigned replyCount = 0;
    unsigned damagedCount = 0;
    bool gone = false;
    Counts counts;

    // Calls the driver makes later, from its own thread.
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> later;
    std::condition_variable laterChanged;
    bool stopping = false;
    std::thread thread;

    State(MidiApi& device, DriverQuirk quirk) : device(device), quirk(quirk)
    {
        thread = std::thread([this] { RunLater(); });
    }

    ~State()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        laterChanged.notify_all();
        thread.join();
    }

    void RunLater()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            if (later.empty()) {
                laterChanged.wait(lock);
                continue;
            }
            const auto due = later.begin()->first;
            if (std::chrono::steady_clock::now() < due) {
                laterChanged.wait_until(lock, due);
                continue;
            }
            std::function<void()> call = std::move(later.begin()->second);
            later.erase(later.begin());
            lock.unlock();
            call();
            lock.lock();
        }
    }

    void Later(unsigned ms, std::function<void()> call)
    {
        later.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), std::move(call));
        laterChanged.notify_all();
    }

    // The caller gets its header back, done; under the lock, the callback after it.
    std::function<void()> Return(Send& send)
    {
        if (send.returned) return {};
        send.returned = true;
        --counts.headersHeld;
        send.header->dwFlags = (send.header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        const Client client = outs.count(send.handle) ? outs[send.handle] : Client{};
        WinmmHeader* header = send.header;
        const std::uintptr_t handle = send.handle;
        return [client, header, handle] {
            if (client.callback != nullptr)
                client.callback(handle, MOM_DONE, client.instance, reinterpret_cast<DWORD_PTR>(header), 0);
        };
    }

    // The device finished the driver's copy of a send.
    static void OnDeviceOut(HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
    {
        if (msg != MOM_DONE) return;
        auto* self = reinterpret_cast<State*>(instance);
        std::function<void()> call;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            for (auto& send : self->sends) {
                if (reinterpret_cast<DWORD_PTR>(&send->mirror) == p1) call = self->Return(*send);
            }
        }
        if (call) call();
    }

    // The driver reads the message's bytes when it sends them (under the
    // lock: until the send is returned the caller may not take them away).
    static void Capture(Send& send)
    {
        send.bytes.assign(send.header->lpData, send.header->lpData + send.header->dwBufferLength);
        send.mirror.lpData = send.bytes.data();
        send.mirror.dwBufferLength = static_cast<DWORD>(send.bytes.size());
    }

    // Hands the captured message to the device (not under the lock: the
    // device may finish it at once, through OnDeviceOut).
    void Forward(Send& send, HMIDIOUT out)
    {
        device.OutPrepareHeader(out, &send.mirror, sizeof(MIDIHDR));
        device.OutLongMsg(out, &send.mirror, sizeof(MIDIHDR));
    }

    // A reply from the device, for the caller's next buffer.
    static void OnDeviceIn(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
    {
        if (msg != MIM_LONGDATA || p1 == 0) return;
        auto* in = reinterpret_cast<In*>(instance);
        auto* buffer = reinterpret_cast<MIDIHDR*>(p1);
        std::vector<char> reply(buffer->lpData, buffer->lpData + buffer->dwBytesRecorded);
        State* self = active;
        if (self == nullptr) return;
        std::vector<std::function<void()>> calls;
        bool open = false;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            open = !self->stopping && self->ins.count(reinterpret_cast<std::uintptr_t>(in)) != 0;
            if (open && !reply.empty()) self->Deliver(*in, reply, calls);
        }
        for (auto& call : calls) call();
        // The driver's buffer goes back to the device, not under the driver's
        // lock (the device calls OnDeviceOut under its own).
        std::lock_guard<std::mutex> adding(in->addMutex);
        if (open && !in->closed) {
            buffer->dwFlags &= ~MHDR_DONE;
            self->device.InAddBuffer(in->device, buffer, sizeof(MIDIHDR));
        }
    }

    void Deliver(In& in, std::vector<char> reply, std::vector<std::function<void()>>& calls)
    {
        ++replyCount;
        const bool damage = quirk.kind == DriverQuirk::DamagesInput && quirk.every != 0 && replyCount % quirk.every == 0;
        UINT message = MIM_LONGDATA;
        if (damage) {
            ++counts.damaged;
            if (++damagedCount % 2 == 1) {
                // An empty buffer first; the reply follows in the next one.
                HandBack(in, MIM_LONGDATA, {}, calls);
            } else {
                // The reply arrives cut short, flagged as broken: it is lost.
                reply.resize(reply.size() / 2);
                message = MIM_LONGERROR;
            }
        }
        HandBack(in, message, reply, calls);
    }

    void HandBack(In& in, UINT message, const std::vector<char>& bytes, std::vector<std::function<void()>>& calls)
    {
        if (in.queued.empty()) {
            if (in.started) ++counts.lostReplies;
            return;
        }
        WinmmHeader* header = in.queued.front();
        in.queued.pop_front();
        --counts.headersHeld;
        const std::size_t n = std::min<std::size_t>(bytes.size(), header->dwBufferLength);
        if (n > 0) std::memcpy(header->lpData, bytes.data(), n);
        header->dwBytesRecorded = static_cast<DWORD>(n);
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        const Client client = in.client;
        const std::uintptr_t handle = reinterpret_cast<std::uintptr_t>(&in);
        calls.push_back([client, handle, message, header] {
            client.callback(handle, message, client.instance, reinterpret_cast<DWORD_PTR>(header), 0);
        });
    }

    // The device went: both directions hear of it (the caller calls them
    // without the lock).
    std::vector<std::function<void()>> Unplug()
    {
        gone = true;
        std::vector<std::function<void()>> notices;
        for (auto& [handle, client] : outs)
            notices.push_back([client, handle] { client.callback(handle, MOM_CLOSE, client.instance, 0, 0); });
        for (auto& [handle, in] : ins) {
            const Client client = in->client;
            notices.push_back([client, handle] { client.callback(handle, MIM_CLOSE, client.instance, 0, 0); });
        }
        return notices;
    }

    static inline State* active = nullptr;
};

// ---------------------------------------------------------------------------
// The call table.

namespace {

using State = WinmmStandIn::State;

State& S()
{
    return *State::active;
}

MMRESULT Prepare(WinmmHeader* header)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    header->dwFlags |= MHDR_PREPARED;
    if (!S().prepared[header]) ++S().counts.preparedHeaders;
    S().prepared[header] = true;
    return MMSYSERR_NOERROR;
}

MMRESULT Unprepare(WinmmHeader* header)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    if ((header->dwFlags & MHDR_INQUEUE) != 0) {
        ++S().counts.stillPlaying;
        return MIDIERR_STILLPLAYING;
    }
    header->dwFlags &= ~MHDR_PREPARED;
    if (S().prepared[header]) --S().counts.preparedHeaders;
    S().prepared.erase(header);
    return MMSYSERR_NOERROR;
}

MMRESULT InOpen(std::uintptr_t* handle, UINT id, WinmmProc callback, DWORD_PTR instance, DWORD)
{
    auto in = std::make_unique<State::In>();
    in->client = {callback, instance};
    HMIDIIN device = 0;
    const MMRESULT r = S().device.InOpen(&device, id, &State::OnDeviceIn, reinterpret_cast<DWORD_PTR>(in.get()),
                                         CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) return r;
    in->device = device;
    for (int i = 0; i < kDriverBuffers; ++i) {
        in->data.push_back(std::make_unique<char[]>(kDriverBufferSize));
        auto buffer = std::make_unique<MIDIHDR>();
        buffer->lpData = in->data.back().get();
        buffer->dwBufferLength = kDriverBufferSize;
        S().device.InPrepareHeader(device, buffer.get(), sizeof(MIDIHDR));
        S().device.InAddBuffer(device, buffer.get(), sizeof(MIDIHDR));
        in->buffers.push_back(std::move(buffer));
    }
    *handle = reinterpret_cast<std::uintptr_t>(in.get());
    std::lock_guard<std::mutex> lock(S().mutex);
    ++S().counts.openHandles;
    S().ins[*handle] = std::move(in);
    return MMSYSERR_NOERROR;
}

State::In* FindIn(std::uintptr_t h)
{
    auto it = S().ins.find(h);
    return it == S().ins.end() ? nullptr : it->second.get();
}

MMRESULT InReset(std::uintptr_t h)
{
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        State::In* in = FindIn(h);
        if (in == nullptr) return MMSYSERR_INVALHANDLE;
        in->started = false;
        while (!in->queued.empty()) S().HandBack(*in, MIM_LONGDATA, {}, calls);
    }
    for (auto& call : calls) call();
    return MMSYSERR_NOERROR;
}

MMRESULT InAddBuffer(std::uintptr_t h, WinmmHeader* header, UINT)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    State::In* in = FindIn(h);
    if (in == nullptr) return MMSYSERR_INVALHANDLE;
    if (S().gone) return MMSYSERR_NODRIVER;
    if ((header->dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
    if ((header->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    in->queued.push_back(header);
    ++S().counts.headersHeld;
    return MMSYSERR_NOERROR;
}

MMRESULT InStartStop(std::uintptr_t h, bool start)
{
    HMIDIIN device = 0;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        State::In* in = FindIn(h);
        if (in == nullptr) return MMSYSERR_INVALHANDLE;
        if (S().gone) return MMSYSERR_NODRIVER;
        in->started = start;
        device = in->device;
    }
    return start ? S().device.InStart(device) : S().device.InStop(device);
}

MMRESULT InClose(std::uintptr_t h)
{
    std::unique_ptr<State::In> in;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        State::In* found = FindIn(h);
        if (found == nullptr) return MMSYSERR_INVALHANDLE;
        if (!found->queued.empty()) {
            ++S().counts.stillPlaying;
            return MIDIERR_STILLPLAYING;
        }
        in = std::move(S().ins[h]);
        S().ins.erase(h);
        --S().counts.openHandles;
    }
    {
        std::lock_guard<std::mutex> adding(in->addMutex);
        in->closed = true;
    }
    S().device.InReset(in->device);
    for (auto& buffer : in->buffers) S().device.InUnprepareHeader(in->device, buffer.get(), sizeof(MIDIHDR));
    S().device.InClose(in->device);
    if (!S().gone) in->client.callback(h, MIM_CLOSE, in->client.instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT OutOpen(std::uintptr_t* handle, UINT id, WinmmProc callback, DWORD_PTR instance, DWORD)
{
    HMIDIOUT device = 0;
    const MMRESULT r = S().device.OutOpen(&device, id, reinterpret_cast<DWORD_PTR>(&State::OnDeviceOut),
                                          reinterpret_cast<DWORD_PTR>(State::active), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) return r;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        *handle = ++S().nextHandle;
        S().outs[*handle] = {callback, instance};
        S().outDevice[*handle] = device;
        ++S().counts.openHandles;
    }
    callback(*handle, MOM_OPEN, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT OutLongMsg(std::uintptr_t h, WinmmHeader* header, UINT)
{
    std::function<void()> call;
    std::vector<std::function<void()>> notices;
    State::Send* forward = nullptr;
    HMIDIOUT out = 0;
    bool gone = false;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        if (S().outs.count(h) == 0) return MMSYSERR_INVALHANDLE;
        if ((header->dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
        if ((header->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
        const DriverQuirk& quirk = S().quirk;
        const unsigned n = ++S().sendCount;
        const bool nth = quirk.every != 0 && n % quirk.every == 0;
        if (quirk.kind == DriverQuirk::Unplugs && n == quirk.every) notices = S().Unplug();
        gone = S().gone;
        if (!gone) {
            S().sends.push_back(std::make_unique<State::Send>());
            State::Send& send = *S().sends.back();
            send.header = header;
            send.handle = h;
            header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
            ++S().counts.headersHeld;
            out = S().outDevice[h];
            if ((quirk.kind == DriverQuirk::HoldsPastLimit || quirk.kind == DriverQuirk::HoldsUntilReset) && nth) {
                ++S().counts.held;
                if (quirk.kind == DriverQuirk::HoldsPastLimit) {
                    // Sent at last, long after the sender stopped waiting: its
                    // bytes are read only now.
                    State::Send* held = &send;
                    S().Later(quirk.holdMs, [held, out] {
                        {
                            std::lock_guard<std::mutex> later(S().mutex);
                            if (held->returned) return;
                            State::Capture(*held);
                        }
                        S().Forward(*held, out);
                    });
                }
            } else {
                State::Capture(send);
                forward = &send;
            }
        }
    }
    for (auto& notice : notices) notice();
    if (gone) return MMSYSERR_NODRIVER;
    if (forward == nullptr) return MMSYSERR_NOERROR;
    S().Forward(*forward, out);
    {
        // A device that finished before it returned said nothing.
        std::lock_guard<std::mutex> lock(S().mutex);
        if ((std::atomic_ref<DWORD>(forward->mirror.dwFlags).load() & MHDR_DONE) != 0) call = S().Return(*forward);
    }
    if (call) call();
    return MMSYSERR_NOERROR;
}

MMRESULT OutReset(std::uintptr_t h)
{
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        if (S().outs.count(h) == 0) return MMSYSERR_INVALHANDLE;
        ++S().counts.resets;
        for (auto& send : S().sends) {
            if (send->handle == h && !send->returned) calls.push_back(S().Return(*send));
        }
    }
    for (auto& call : calls)
        if (call) call();
    return MMSYSERR_NOERROR;
}

MMRESULT OutClose(std::uintptr_t h)
{
    State::Client client;
    HMIDIOUT device = 0;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        if (S().outs.count(h) == 0) return MMSYSERR_INVALHANDLE;
        for (auto& send : S().sends) {
            if (send->handle == h && !send->returned) {
                ++S().counts.stillPlaying;
                return MIDIERR_STILLPLAYING;
            }
        }
        client = S().outs[h];
        device = S().outDevice[h];
        S().outs.erase(h);
        S().outDevice.erase(h);
        --S().counts.openHandles;
    }
    S().device.OutClose(device);
    if (!S().gone) client.callback(h, MOM_CLOSE, client.instance, 0, 0);
    return MMSYSERR_NOERROR;
}

const WinmmCalls kCalls = {
    [] { return S().device.InGetNumDevs(); },
    [](UINT id, WinmmCaps* caps) {
        MIDIINCAPSA a{};
        const MMRESULT r = S().device.InGetDevCaps(id, &a, sizeof a);
        CopyName(a.szPname, caps->name);
        return r;
    },
    InOpen,
    InReset,
    [](std::uintptr_t, WinmmHeader* header, UINT) { return Prepare(header); },
    InAddBuffer,
    [](std::uintptr_t h) { return InStartStop(h, true); },
    [](std::uintptr_t h) { return InStartStop(h, false); },
    [](std::uintptr_t, WinmmHeader* header, UINT) { return Unprepare(header); },
    InClose,
    [] { return S().device.OutGetNumDevs(); },
    [](UINT id, WinmmCaps* caps) {
        MIDIOUTCAPSA a{};
        const MMRESULT r = S().device.OutGetDevCaps(id, &a, sizeof a);
        CopyName(a.szPname, caps->name);
        return r;
    },
    OutOpen,
    OutClose,
    [](std::uintptr_t, WinmmHeader* header, UINT) { return Prepare(header); },
    OutLongMsg,
    [](std::uintptr_t, WinmmHeader* header, UINT) { return Unprepare(header); },
    OutReset,
};

}  // namespace

WinmmStandIn::WinmmStandIn(MidiApi& device, DriverQuirk quirk) : state(new State(device, quirk))
{
    State::active = state;
}

WinmmStandIn::~WinmmStandIn()
{
    delete state;   // its thread ends first: no call of it runs afterwards
    State::active = nullptr;
}

const WinmmCalls& WinmmStandIn::Calls()
{
    return kCalls;
}

WinmmStandIn::Counts WinmmStandIn::Snapshot() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->counts;
}

}  // namespace q9test
