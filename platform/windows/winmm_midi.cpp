#include "platform/windows/winmm_midi.h"

#include "platform/sysex_assembler.h"

#include <atomic>
#include <iterator>

namespace platform {

namespace {

constexpr DWORD kCallbackTypeMask = 0x00070000;

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string Utf16DeviceName(const char16_t* name, std::size_t length)
{
    std::string out;
    for (std::size_t i = 0; i < length && name[i] != 0; ++i) {
        const char16_t unit = name[i];
        char32_t c = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((static_cast<char32_t>(unit - 0xD800) << 10) | (name[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return CutDeviceName(out);
}

WinmmMidi::WinmmMidi(const WinmmCalls& calls) : calls(calls) {}

WinmmMidi::~WinmmMidi() = default;

std::size_t WinmmMidi::OpenDevices() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return open.size();
}

void WinmmMidi::Report(const Shadow& shadow)
{
    // The flags last, with release: whoever sees MHDR_DONE sees the rest.
    shadow.mine->dwBytesRecorded = shadow.system.dwBytesRecorded;
    std::atomic_ref<DWORD>(shadow.mine->dwFlags).store(shadow.system.dwFlags, std::memory_order_release);
}

void WinmmMidi::OnSystemMessage(std::uintptr_t handle, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
{
    // Runs on the system's callback thread; the record lives until the
    // close call, during which the last message (MIM_CLOSE / MOM_CLOSE) comes.
    const auto* client = reinterpret_cast<const Client*>(instance);
    if ((msg == MIM_LONGDATA || msg == MIM_LONGERROR || msg == MOM_DONE) && p1 != 0) {
        // A header the driver is done with: the caller gets its own back.
        const auto* shadow = reinterpret_cast<const Shadow*>(p1);
        MIDIHDR* mine = shadow->mine;
        Report(*shadow);   // after this the caller may unprepare and free the shadow
        p1 = reinterpret_cast<DWORD_PTR>(mine);
    }
    if (client->callback != nullptr) client->callback(handle, msg, client->instance, p1, p2);
}

MMRESULT WinmmMidi::Open(OpenCall call, std::uintptr_t* handle, UINT id, MidiInProc callback, DWORD_PTR instance,
                         DWORD flags)
{
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    *handle = 0;
    const DWORD type = flags & kCallbackTypeMask;
    // Only function callbacks, or none, exist in this layer.
    if (type != CALLBACK_NULL && type != CALLBACK_FUNCTION) return MMSYSERR_INVALPARAM;
    if (type == CALLBACK_FUNCTION && callback == nullptr) return MMSYSERR_INVALPARAM;

    // The backend's own callback in every case: it returns the headers.
    auto client = std::make_unique<Client>(Client{this, type == CALLBACK_FUNCTION ? callback : nullptr, instance});
    std::uintptr_t opened = 0;
    const MMRESULT result = call(&opened, id, &OnSystemMessage, reinterpret_cast<DWORD_PTR>(client.get()),
                                 (flags & ~kCallbackTypeMask) | CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) return result;
    if (opened == 0) return MMSYSERR_ERROR;
    std::lock_guard<std::mutex> lock(mutex);
    open[opened] = true;
    clients[opened] = std::move(client);
    *handle = opened;
    return MMSYSERR_NOERROR;
}

MMRESULT WinmmMidi::Close(MMRESULT (*call)(std::uintptr_t), std::uintptr_t handle)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (open.count(handle) == 0) return MMSYSERR_INVALHANDLE;
    }
    // Not under the lock: the system calls back (MIM_CLOSE) during the close.
    const MMRESULT result = call(handle);
    if (result != MMSYSERR_NOERROR) return result;   // still open: buffers are queued, say
    std::lock_guard<std::mutex> lock(mutex);
    open.erase(handle);
    clients.erase(handle);
    // Headers left prepared on a closed device are of no use to anyone.
    std::erase_if(shadows, [handle](const auto& entry) { return entry.second->handle == handle; });
    return MMSYSERR_NOERROR;
}

MMRESULT WinmmMidi::Prepare(HeaderCall call, std::uintptr_t handle, MIDIHDR* header, UINT size)
{
    if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    Shadow* shadow = nullptr;
    bool added = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (open.count(handle) == 0) return MMSYSERR_INVALHANDLE;
        auto& slot = shadows[header];
        if (slot && slot->handle != handle) return MMSYSERR_INVALPARAM;   // prepared for another device
        if (!slot) {
            slot = std::make_unique<Shadow>(Shadow{WinmmHeader{}, header, handle});
            added = true;
        }
        shadow = slot.get();
    }
    shadow->system.lpData = header->lpData;
    shadow->system.dwBufferLength = header->dwBufferLength;
    shadow->system.dwUser = header->dwUser;
    const MMRESULT result = call(handle, &shadow->system, sizeof(WinmmHeader));
    if (result == MMSYSERR_NOERROR) {
        Report(*shadow);
    } else if (added) {
        std::lock_guard<std::mutex> lock(mutex);
        shadows.erase(header);
    }
    return result;
}

MMRESULT WinmmMidi::Submit(HeaderCall call, std::uintptr_t handle, MIDIHDR* header, UINT size)
{
    if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    Shadow* shadow = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (open.count(handle) == 0) return MMSYSERR_INVALHANDLE;
        auto it = shadows.find(header);
        if (it == shadows.end() || it->second->handle != handle) return MIDIERR_UNPREPARED;
        shadow = it->second.get();
    }
    // The caller may have pointed the header elsewhere since preparing it.
    shadow->system.lpData = header->lpData;
    shadow->system.dwBufferLength = header->dwBufferLength;
    shadow->system.dwBytesRecorded = 0;
    shadow->system.dwUser = header->dwUser;
    // Not done until the driver says so (it may do so before returning).
    std::atomic_ref<DWORD>(header->dwFlags).fetch_and(~MHDR_DONE, std::memory_order_relaxed);
    return call(handle, &shadow->system, sizeof(WinmmHeader));
}

MMRESULT WinmmMidi::Unprepare(HeaderCall call, std::uintptr_t handle, MIDIHDR* header, UINT size)
{
    if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    Shadow* shadow = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (open.count(handle) == 0) return MMSYSERR_INVALHANDLE;
        auto it = shadows.find(header);
        if (it == shadows.end() || it->second->handle != handle) return MMSYSERR_NOERROR;   // nothing prepared
        shadow = it->second.get();
    }
    const MMRESULT result = call(handle, &shadow->system, sizeof(WinmmHeader));
    if (result != MMSYSERR_NOERROR) return result;   // still queued, say
    Report(*shadow);
    std::lock_guard<std::mutex> lock(mutex);
    shadows.erase(header);
    return MMSYSERR_NOERROR;
}

// The fields an input's and an output's capabilities share.
template <typename Caps>
void CopyCaps(const WinmmCaps& system, Caps* caps)
{
    *caps = Caps{};
    caps->wMid = system.mid;
    caps->wPid = system.pid;
    caps->vDriverVersion = system.driverVersion;
    CopyDeviceName(Utf16DeviceName(system.name, std::size(system.name)), caps->szPname);
    caps->dwSupport = system.support;
}

// Passes a call on for a handle this backend opened.
#define Q9_FORWARD(handle, call, ...)                                          \
    do {                                                                       \
        {                                                                      \
            std::lock_guard<std::mutex> lock(mutex);                           \
            if (open.count(handle) == 0) return MMSYSERR_INVALHANDLE;          \
        }                                                                      \
        return calls.call(handle __VA_OPT__(, ) __VA_ARGS__);                  \
    } while (false)

UINT WinmmMidi::InGetNumDevs()
{
    return calls.inGetNumDevs();
}

MMRESULT WinmmMidi::InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size)
{
    if (caps == nullptr || size < sizeof(MIDIINCAPSA)) return MMSYSERR_INVALPARAM;
    WinmmCaps system;
    const MMRESULT result = calls.inGetDevCaps(id, &system);
    if (result != MMSYSERR_NOERROR) return result;
    CopyCaps(system, caps);
    return MMSYSERR_NOERROR;
}

MMRESULT WinmmMidi::InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags)
{
    return Open(calls.inOpen, handle, id, callback, instance, flags);
}

MMRESULT WinmmMidi::InReset(HMIDIIN handle) { Q9_FORWARD(handle, inReset); }
MMRESULT WinmmMidi::InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return Prepare(calls.inPrepareHeader, handle, header, size);
}
MMRESULT WinmmMidi::InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return Submit(calls.inAddBuffer, handle, header, size);
}
MMRESULT WinmmMidi::InStart(HMIDIIN handle) { Q9_FORWARD(handle, inStart); }
MMRESULT WinmmMidi::InStop(HMIDIIN handle) { Q9_FORWARD(handle, inStop); }
MMRESULT WinmmMidi::InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return Unprepare(calls.inUnprepareHeader, handle, header, size);
}

MMRESULT WinmmMidi::InClose(HMIDIIN handle)
{
    return Close(calls.inClose, handle);
}

UINT WinmmMidi::OutGetNumDevs()
{
    return calls.outGetNumDevs();
}

MMRESULT WinmmMidi::OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size)
{
    if (caps == nullptr || size < sizeof(MIDIOUTCAPSA)) return MMSYSERR_INVALPARAM;
    WinmmCaps system;
    const MMRESULT result = calls.outGetDevCaps(id, &system);
    if (result != MMSYSERR_NOERROR) return result;
    CopyCaps(system, caps);
    caps->wTechnology = system.technology;
    caps->wVoices = system.voices;
    caps->wNotes = system.notes;
    caps->wChannelMask = system.channelMask;
    caps->dwSupport = system.support;
    return MMSYSERR_NOERROR;
}

MMRESULT WinmmMidi::OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    // Output callbacks take the same parameters as input ones.
    return Open(calls.outOpen, handle, id, reinterpret_cast<MidiInProc>(callback), instance, flags);
}

MMRESULT WinmmMidi::OutClose(HMIDIOUT handle)
{
    return Close(calls.outClose, handle);
}

MMRESULT WinmmMidi::OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return Prepare(calls.outPrepareHeader, handle, header, size);
}
MMRESULT WinmmMidi::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return Submit(calls.outLongMsg, handle, header, size);
}
MMRESULT WinmmMidi::OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return Unprepare(calls.outUnprepareHeader, handle, header, size);
}
// The headers come back through MOM_DONE, each reported into the caller's.
MMRESULT WinmmMidi::OutReset(HMIDIOUT handle) { Q9_FORWARD(handle, outReset); }

#undef Q9_FORWARD

}  // namespace platform
