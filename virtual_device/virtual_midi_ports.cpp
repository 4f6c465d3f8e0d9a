// The virtual ARKO Q9 as a MIDI backend: the MIDI calls the host makes on
// its input and output device.
#include "virtual_device/virtual_midi.h"

#include "virtual_device/header_flags.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

using namespace platform;
using namespace virtual_midi;

namespace {

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
    MMRESULT result = MMSYSERR_NOERROR;
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

        // stall=: the device takes no byte for stall-ms first.  cut=: only the
        // front half reaches it, without the end.  ghost=: the sender is told
        // the send failed, and the device still reads the message, a little
        // after the sender gave up.
        const VirtualDeviceSettings& settings = device.Settings();
        const std::uint32_t count = ++hostSends;
        Clock::time_point start = std::max(Clock::now(), hostLinkFree);
        if (settings.stall.Hits(count)) start += std::chrono::milliseconds(settings.stallMs);
        const Clock::time_point done = start + LinkTime(bytes.size());
        Timed arrival;
        arrival.what = Timed::What::Arrive;
        arrival.bytes = std::move(bytes);
        arrival.start = start;
        if (settings.cut.Hits(count)) arrival.bytes.resize(arrival.bytes.size() / 2);
        if (settings.ghost.Hits(count)) {
            const Clock::time_point arrives = done + std::chrono::milliseconds(kGhostLateMs);
            hostLinkFree = arrives;
            timeline.emplace(std::make_pair(arrives, sequence++), std::move(arrival));
            result = MMSYSERR_ERROR;
        } else {
            SetFlags(header, MHDR_INQUEUE, MHDR_DONE);
            hostLinkFree = done;
            const std::uint64_t send = nextSend++;
            inFlight.emplace(send, header);
            arrival.send = send;
            // The device has the message by the time the sender sees its header done.
            timeline.emplace(std::make_pair(done, sequence++), std::move(arrival));
            Timed finished;
            finished.what = Timed::What::Done;
            finished.send = send;
            timeline.emplace(std::make_pair(done, sequence++), std::move(finished));
        }
    }
    wake.notify_all();
    return result;
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

MMRESULT VirtualMidi::OutReset(HMIDIOUT handle)
{
    {
        std::lock_guard lock(mutex);
        if (!IsOut(handle)) return MMSYSERR_INVALHANDLE;
        if (inFlight.empty()) return MMSYSERR_NOERROR;
        // Each message in flight reaches the device as far as the link has
        // carried it by now, at once; the link is free from now on.
        const Clock::time_point now = Clock::now();
        std::vector<decltype(timeline)::node_type> cut;
        for (auto it = timeline.begin(); it != timeline.end();) {
            const Timed& event = it->second;
            const bool ended = (event.what == Timed::What::Arrive || event.what == Timed::What::Done) &&
                               inFlight.count(event.send) != 0;
            if (!ended) {
                ++it;
            } else if (event.what == Timed::What::Arrive) {
                cut.push_back(timeline.extract(it++));
            } else {
                it = timeline.erase(it);   // done now
            }
        }
        for (auto& node : cut) {
            Timed& arrival = node.mapped();
            const Clock::time_point done = node.key().first;
            std::size_t carried = 0;
            if (now >= done) {
                carried = arrival.bytes.size();
            } else if (now > arrival.start) {
                carried = static_cast<std::size_t>(static_cast<double>(arrival.bytes.size()) *
                                                   static_cast<double>((now - arrival.start).count()) /
                                                   static_cast<double>((done - arrival.start).count()));
            }
            if (carried == 0) continue;
            arrival.bytes.resize(carried);
            node.key() = {now, sequence++};
            timeline.insert(std::move(node));
        }
        hostLinkFree = now;
        FinishInFlightSends();
    }
    wake.notify_all();
    return MMSYSERR_NOERROR;
}
