// The virtual ARKO Q9 as a MIDI backend: one input and one output device,
// the device model served from a thread of its own, with modelled link and
// flash times.
#include "virtual_device/virtual_midi.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

using namespace platform;

namespace {

// The header fields this backend uses end with dwFlags; shorter records are refused.
constexpr UINT kMinHeaderSize = offsetof(MIDIHDR, dwFlags) + sizeof(DWORD);
constexpr std::size_t kMaxIncoming = 1 << 16;   // longest SysEx message collected from the host

void SetFlags(MIDIHDR* header, DWORD set, DWORD clear)
{
    std::atomic_ref<DWORD> flags(header->dwFlags);
    DWORD old = flags.load();
    while (!flags.compare_exchange_weak(old, (old & ~clear) | set)) {
    }
}

bool HasFlag(MIDIHDR* header, DWORD flag) { return (std::atomic_ref<DWORD>(header->dwFlags).load() & flag) != 0; }

template <class Caps>
MMRESULT FillCaps(UINT id, Caps* caps, UINT size, const std::string& name)
{
    if (id != 0) return MMSYSERR_BADDEVICEID;
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    Caps full{};
    std::strncpy(full.szPname, name.c_str(), kMaxPnameLen - 1);
    std::memcpy(caps, &full, std::min<std::size_t>(size, sizeof(Caps)));
    return MMSYSERR_NOERROR;
}

}  // namespace

VirtualMidi::VirtualMidi(const VirtualDeviceSettings& settings) : device(settings)
{
    thread = std::thread([this] { Run(); });
}

VirtualMidi::~VirtualMidi()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
        FinishInFlightSends();
    }
    wake.notify_all();
    thread.join();
    std::lock_guard lock(mutex);
    SaveLocked();
}

std::unique_ptr<VirtualMidi> MakeVirtualMidi(const std::string& text, std::string& error)
{
    VirtualDeviceSettings settings;
    if (!ParseVirtualDeviceSettings(text, settings, error)) return nullptr;
    auto midi = std::make_unique<VirtualMidi>(settings);
    if (!midi->Device().LoadError().empty()) {
        error = "virtual device: " + midi->Device().LoadError();
        return nullptr;
    }
    error.clear();
    return midi;
}

// ---------------------------------------------------------------------------
// Test access.

std::vector<std::uint8_t> VirtualMidi::FlashCopy()
{
    std::lock_guard lock(mutex);
    return device.Flash();
}

std::vector<VirtualQ9::LogEntry> VirtualMidi::LogCopy()
{
    std::lock_guard lock(mutex);
    return device.Log();
}

void VirtualMidi::SendFromDevice(std::vector<std::uint8_t> message)
{
    {
        std::lock_guard lock(mutex);
        QueueForHost(std::move(message), Clock::now());
    }
    wake.notify_all();
}

std::vector<std::vector<std::uint8_t>> VirtualMidi::HostMessages()
{
    std::lock_guard lock(mutex);
    return {hostMessages.begin(), hostMessages.end()};
}

std::uint64_t VirtualMidi::HostBytes()
{
    std::lock_guard lock(mutex);
    return hostBytes;
}

bool VirtualMidi::WaitIdle(std::uint32_t timeoutMs)
{
    std::unique_lock lock(mutex);
    return idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return timeline.empty() && toHost.empty() && callbacksRunning == 0; });
}

std::uint32_t VirtualMidi::DiscardedReplies()
{
    std::lock_guard lock(mutex);
    return discarded;
}

std::string VirtualMidi::LastSaveError()
{
    std::lock_guard lock(mutex);
    return saveError;
}

// ---------------------------------------------------------------------------
// The device thread.

VirtualMidi::Clock::duration VirtualMidi::LinkTime(std::size_t bytes) const
{
    const std::uint64_t link = device.Settings().linkBytesPerSecond;
    if (link == 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(static_cast<std::uint64_t>(bytes) * 1000000000ULL / link));
}

void VirtualMidi::Run()
{
#if defined(__linux__)
    // The modelled times are due at exact instants: without this the kernel
    // may wake the thread up to 50 us late at each one (its default slack),
    // which would count as link time the host did not cause.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Named, so that what the modelled device costs can be told apart.
    prctl(PR_SET_NAME, "q9-virtual", 0UL, 0UL, 0UL);
#endif
    std::unique_lock lock(mutex);
    deviceThreadId = std::this_thread::get_id();
    while (!stopping) {
        DeliverToHost(lock);
        if (stopping) break;
        if (timeline.empty()) {
            idle.notify_all();
            wake.wait(lock);
            continue;
        }
        const auto first = timeline.begin();
        const Clock::time_point at = first->first.first;
        if (at > Clock::now()) {
            wake.wait_until(lock, at);
            continue;
        }
        Timed event = std::move(first->second);
        timeline.erase(first);
        switch (event.what) {
        case Timed::What::Done: {
            const auto it = inFlight.find(event.send);
            if (it != inFlight.end()) {
                MIDIHDR* header = it->second;
                inFlight.erase(it);
                FinishSend(header);
            }
            break;
        }
        case Timed::What::Arrive: HandleArrival(event.bytes, at); break;
        case Timed::What::Deliver:
            if (inOpen && inStarted)
                toHost.push_back(std::move(event.bytes));
            else
                ++discarded;
            break;
        }
        idle.notify_all();
    }
}

// The host's bytes reach the device as a MIDI byte stream: a SysEx message
// runs from F0 to F7; a new F0 abandons an unfinished message; bytes outside
// a message and real-time bytes are ignored.
void VirtualMidi::HandleArrival(const std::vector<std::uint8_t>& bytes, Clock::time_point at)
{
    for (const std::uint8_t b : bytes) {
        if (b == 0xF0) {
            incoming.assign(1, b);
            inSysEx = true;
        } else if (!inSysEx || b >= 0xF8) {
            continue;
        } else if (b == 0xF7) {
            incoming.push_back(b);
            inSysEx = false;
            Clock::time_point t = std::max(at, deviceFree);
            for (VirtualQ9::Reply& reply : device.Receive(incoming.data(), incoming.size())) {
                t += std::chrono::milliseconds(reply.busyMs);
                if (!reply.lost)
                    QueueForHost(std::move(reply.bytes),
                                 t + std::chrono::milliseconds(device.Settings().lateMs + reply.heldMs));
            }
            deviceFree = t;
            incoming.clear();
        } else if (incoming.size() < kMaxIncoming) {
            incoming.push_back(b);
        } else {
            inSysEx = false;   // runaway message: dropped
            incoming.clear();
        }
    }
}

void VirtualMidi::QueueForHost(std::vector<std::uint8_t> bytes, Clock::time_point ready)
{
    const Clock::time_point at = std::max(ready, replyLinkFree) + LinkTime(bytes.size());
    replyLinkFree = at;
    Timed event;
    event.what = Timed::What::Deliver;
    event.bytes = std::move(bytes);
    timeline.emplace(std::make_pair(at, sequence++), std::move(event));
}

// Fills the host's input buffers with the replies that are due, one buffer
// at a time, and hands each back through the callback (without the lock, so
// that the callback can queue the buffer again).
void VirtualMidi::DeliverToHost(std::unique_lock<std::mutex>& lock)
{
    while (!toHost.empty() && inOpen && inStarted && !inBuffers.empty() && !stopping) {
        MIDIHDR* header = inBuffers.front();
        inBuffers.pop_front();
        const std::vector<std::uint8_t>& message = toHost.front();
        const std::size_t n = std::min<std::size_t>(message.size() - toHostOffset, header->dwBufferLength);
        std::memcpy(header->lpData, message.data() + toHostOffset, n);
        toHostOffset += n;
        if (toHostOffset == message.size()) {
            toHost.pop_front();
            toHostOffset = 0;
        }
        header->dwBytesRecorded = static_cast<DWORD>(n);
        SetFlags(header, MHDR_DONE, MHDR_INQUEUE);
        const MidiInProc callback = inCallback;
        const DWORD_PTR instance = inInstance;
        const HMIDIIN handle = inHandle;
        if (callback == nullptr) continue;
        ++callbacksRunning;
        lock.unlock();
        callback(handle, MIM_LONGDATA, instance, reinterpret_cast<DWORD_PTR>(header), 0);
        lock.lock();
        --callbacksRunning;
        idle.notify_all();
    }
}

// Hands every queued input buffer back empty and done, through the callback.
void VirtualMidi::ReturnInputBuffers(std::unique_lock<std::mutex>& lock)
{
    std::deque<MIDIHDR*> buffers;
    buffers.swap(inBuffers);
    const MidiInProc callback = inCallback;
    const DWORD_PTR instance = inInstance;
    const HMIDIIN handle = inHandle;
    for (MIDIHDR* header : buffers) {
        header->dwBytesRecorded = 0;
        SetFlags(header, MHDR_DONE, MHDR_INQUEUE);
    }
    if (callback == nullptr) return;
    ++callbacksRunning;
    lock.unlock();
    for (MIDIHDR* header : buffers) callback(handle, MIM_LONGDATA, instance, reinterpret_cast<DWORD_PTR>(header), 0);
    lock.lock();
    --callbacksRunning;
    idle.notify_all();
}

// Marks every header still in flight done and forgets it: after this the
// device thread never touches the caller's header again.
void VirtualMidi::FinishInFlightSends()
{
    std::map<std::uint64_t, MIDIHDR*> finishing;
    finishing.swap(inFlight);
    for (auto& [id, header] : finishing) FinishSend(header);
}

// The header is done and the sender hears of it at once.  The callback runs
// under the mutex, so OutClose (which takes it) never returns while one runs.
void VirtualMidi::FinishSend(MIDIHDR* header)
{
    SetFlags(header, MHDR_DONE, MHDR_INQUEUE);
    if (outCallback != nullptr)
        outCallback(outHandle, MOM_DONE, outInstance, reinterpret_cast<DWORD_PTR>(header), 0);
}

void VirtualMidi::WaitForCallbacks(std::unique_lock<std::mutex>& lock)
{
    if (std::this_thread::get_id() == deviceThreadId) return;
    idle.wait(lock, [&] { return callbacksRunning == 0; });
}

void VirtualMidi::SaveLocked()
{
    std::string error;
    if (!device.SaveFlash(error)) saveError = error;
}

// ---------------------------------------------------------------------------
// Input device.

UINT VirtualMidi::InGetNumDevs() { return 1; }

MMRESULT VirtualMidi::InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size) { return FillCaps(id, caps, size, Name()); }

void VirtualMidi::SetDeviceName(const std::string& name)
{
    std::lock_guard lock(mutex);
    deviceName = name;
}

std::string VirtualMidi::Name()
{
    std::lock_guard lock(mutex);
    return deviceName;
}

MMRESULT VirtualMidi::InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags)
{
    if (id != 0) return MMSYSERR_BADDEVICEID;
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    if (flags == CALLBACK_FUNCTION ? callback == nullptr : flags != CALLBACK_NULL) return MMSYSERR_INVALPARAM;
    HMIDIIN opened = 0;
    {
        std::lock_guard lock(mutex);
        if (inOpen) return MMSYSERR_ALLOCATED;
        inOpen = true;
        inStarted = false;
        inHandle = nextHandle++;
        inCallback = flags == CALLBACK_FUNCTION ? callback : nullptr;
        inInstance = instance;
        opened = inHandle;
    }
    *handle = opened;
    if (flags == CALLBACK_FUNCTION) callback(opened, MIM_OPEN, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidi::InReset(HMIDIIN handle)
{
    std::unique_lock lock(mutex);
    if (!IsIn(handle)) return MMSYSERR_INVALHANDLE;
    inStarted = false;
    discarded += static_cast<std::uint32_t>(toHost.size());
    toHost.clear();
    toHostOffset = 0;
    ReturnInputBuffers(lock);
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidi::InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    std::lock_guard lock(mutex);
    if (!IsIn(handle)) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < kMinHeaderSize || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
    SetFlags(header, MHDR_PREPARED, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidi::InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    {
        std::lock_guard lock(mutex);
        if (!IsIn(handle)) return MMSYSERR_INVALHANDLE;
        if (header == nullptr || size < kMinHeaderSize || header->lpData == nullptr || header->dwBufferLength == 0)
            return MMSYSERR_INVALPARAM;
        if (!HasFlag(header, MHDR_PREPARED)) return MIDIERR_UNPREPARED;
        if (std::find(inBuffers.begin(), inBuffers.end(), header) != inBuffers.end()) return MIDIERR_STILLPLAYING;
        header->dwBytesRecorded = 0;
        SetFlags(header, MHDR_INQUEUE, MHDR_DONE);
        inBuffers.push_back(header);
    }
    wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidi::InStart(HMIDIIN handle)
{
    {
        std::lock_guard lock(mutex);
        if (!IsIn(handle)) return MMSYSERR_INVALHANDLE;
        inStarted = true;
    }
    wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidi::InStop(HMIDIIN handle)
{
    std::lock_guard lock(mutex);
    if (!IsIn(handle)) return MMSYSERR_INVALHANDLE;
    inStarted = false;
    discarded += static_cast<std::uint32_t>(toHost.size());
    toHost.clear();
    toHostOffset = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidi::InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    std::lock_guard lock(mutex);
    if (!IsIn(handle)) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
    if (std::find(inBuffers.begin(), inBuffers.end(), header) != inBuffers.end()) return MIDIERR_STILLPLAYING;
    SetFlags(header, 0, MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidi::InClose(HMIDIIN handle)
{
    MidiInProc callback = nullptr;
    DWORD_PTR instance = 0;
    {
        std::unique_lock lock(mutex);
        if (!IsIn(handle)) return MMSYSERR_INVALHANDLE;
        if (!inBuffers.empty()) return MIDIERR_STILLPLAYING;   // reset first: the buffers are still ours
        WaitForCallbacks(lock);
        if (!IsIn(handle)) return MMSYSERR_INVALHANDLE;
        callback = inCallback;
        instance = inInstance;
        inOpen = false;
        inStarted = false;
        inCallback = nullptr;
        discarded += static_cast<std::uint32_t>(toHost.size());
        toHost.clear();
        toHostOffset = 0;
        SaveLocked();
    }
    if (callback != nullptr) callback(handle, MIM_CLOSE, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------------------
// Output device.

UINT VirtualMidi::OutGetNumDevs() { return 1; }

MMRESULT VirtualMidi::OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size) { return FillCaps(id, caps, size, Name()); }

MMRESULT VirtualMidi::OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    if (id != 0) return MMSYSERR_BADDEVICEID;
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    if (flags == CALLBACK_FUNCTION ? callback == 0 : flags != CALLBACK_NULL) return MMSYSERR_INVALPARAM;
    const auto proc = flags == CALLBACK_FUNCTION ? reinterpret_cast<MidiOutProc>(callback) : nullptr;
    HMIDIOUT opened = 0;
    {
        std::lock_guard lock(mutex);
        if (outOpen) return MMSYSERR_ALLOCATED;
        outOpen = true;
        outHandle = nextHandle++;
        outCallback = proc;
        outInstance = instance;
        opened = outHandle;
    }
    *handle = opened;
    if (proc != nullptr) proc(opened, MOM_OPEN, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidi::OutClose(HMIDIOUT handle)
{
    MidiOutProc callback = nullptr;
    DWORD_PTR instance = 0;
    {
        std::lock_guard lock(mutex);
        if (!IsOut(handle)) return MMSYSERR_INVALHANDLE;
        FinishInFlightSends();
        callback = outCallback;
        instance = outInstance;
        outOpen = false;
        outCallback = nullptr;
        SaveLocked();
    }
    if (callback != nullptr) callback(handle, MOM_CLOSE, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidi::OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    std::lock_guard lock(mutex);
    if (!IsOut(handle)) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < kMinHeaderSize || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
    SetFlags(header, MHDR_PREPARED, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidi::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    {
        std::lock_guard lock(mutex);
        if (!IsOut(handle)) return MMSYSERR_INVALHANDLE;
        if (header == nullptr || size < kMinHeaderSize || header->lpData == nullptr || header->dwBufferLength == 0)
            return MMSYSERR_INVALPARAM;
        if (!HasFlag(header, MHDR_PREPARED)) return MIDIERR_UNPREPARED;
        for (const auto& [id, pending] : inFlight)
            if (pending == header) return MIDIERR_STILLPLAYING;

        const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
        std::vector<std::uint8_t> bytes(data, data + header->dwBufferLength);
        hostBytes += bytes.size();
        if (hostMessages.size() == kHostMessagesKept) {
            // The oldest record's storage takes the new message: no allocation per message.
            std::vector<std::uint8_t> reused = std::move(hostMessages.front());
            hostMessages.pop_front();
            reused.assign(bytes.begin(), bytes.end());
            hostMessages.push_back(std::move(reused));
        } else {
            hostMessages.push_back(bytes);
        }
        SetFlags(header, MHDR_INQUEUE, MHDR_DONE);

        const Clock::time_point done = std::max(Clock::now(), hostLinkFree) + LinkTime(bytes.size());
        hostLinkFree = done;
        const std::uint64_t send = nextSend++;
        inFlight.emplace(send, header);
        // The device has the message by the time the sender sees its header done.
        Timed arrival;
        arrival.what = Timed::What::Arrive;
        arrival.bytes = std::move(bytes);
        timeline.emplace(std::make_pair(done, sequence++), std::move(arrival));
        Timed finished;
        finished.what = Timed::What::Done;
        finished.send = send;
        timeline.emplace(std::make_pair(done, sequence++), std::move(finished));
    }
    wake.notify_all();
    return MMSYSERR_NOERROR;
}

// A header still in flight is let go at once (marked done, never touched
// again) and the caller is told MIDIERR_STILLPLAYING; its bytes still reach
// the device.
MMRESULT VirtualMidi::OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    std::lock_guard lock(mutex);
    if (!IsOut(handle)) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
    for (auto it = inFlight.begin(); it != inFlight.end(); ++it) {
        if (it->second == header) {
            inFlight.erase(it);
            FinishSend(header);
            return MIDIERR_STILLPLAYING;
        }
    }
    SetFlags(header, 0, MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}
