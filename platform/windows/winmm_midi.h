// The winmm MIDI backend: the ports' calls passed on to the system's own
// midiIn*/midiOut* functions.  The calls themselves sit behind a table of
// function pointers (WinmmCalls); this class does the translation around
// them, so that tests can put a recording driver in the system's place:
//
// - Names: the system's UTF-16 device names (the W capability calls, so a
//   Japanese name survives any code page) become UTF-8, cut to 31 characters.
// - Callbacks: an open with CALLBACK_FUNCTION registers the backend's own
//   callback with a record of the caller's callback and instance, which it
//   calls with every message (MIM_* / MOM_*) until the device is closed.
// - Headers: the system's MIDIHDR is packed, the layer's is not, so each
//   prepared header has a system copy (WinmmHeader) that the driver works
//   on.  What the driver reports back (bytes recorded, MHDR_DONE) reaches
//   the caller's header before its callback runs: input buffers when they
//   come back (MIM_LONGDATA, also from a reset), output messages on MOM_DONE
//   (outputs are always opened with the backend's own callback for that).
// - Handles: the system's handles, as integers.
#pragma once

#include "platform/mmsystem.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

// The system's MIDIHDR, byte for byte (it is packed).
#pragma pack(push, 1)
struct WinmmHeader {
    char* lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    WinmmHeader* lpNext;
    DWORD_PTR reserved;
    DWORD dwOffset;
    DWORD_PTR dwReserved[8];
};
#pragma pack(pop)

// Messages of the output callback.

// The callback that the system calls (same parameters for input and output).
using WinmmProc = void (*)(std::uintptr_t handle, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);

// What the capability calls answer: the system's fields, the name in UTF-16.
struct WinmmCaps {
    WORD mid = 0;
    WORD pid = 0;
    MMVERSION driverVersion = 0;
    char16_t name[32] = {};
    WORD technology = 0;
    WORD voices = 0;
    WORD notes = 0;
    WORD channelMask = 0;
    DWORD support = 0;
};

struct WinmmCalls {
    UINT (*inGetNumDevs)();
    MMRESULT (*inGetDevCaps)(UINT id, WinmmCaps* caps);
    MMRESULT (*inOpen)(std::uintptr_t* handle, UINT id, WinmmProc callback, DWORD_PTR instance, DWORD flags);
    MMRESULT (*inReset)(std::uintptr_t handle);
    MMRESULT (*inPrepareHeader)(std::uintptr_t handle, WinmmHeader* header, UINT size);
    MMRESULT (*inAddBuffer)(std::uintptr_t handle, WinmmHeader* header, UINT size);
    MMRESULT (*inStart)(std::uintptr_t handle);
    MMRESULT (*inStop)(std::uintptr_t handle);
    MMRESULT (*inUnprepareHeader)(std::uintptr_t handle, WinmmHeader* header, UINT size);
    MMRESULT (*inClose)(std::uintptr_t handle);
    UINT (*outGetNumDevs)();
    MMRESULT (*outGetDevCaps)(UINT id, WinmmCaps* caps);
    MMRESULT (*outOpen)(std::uintptr_t* handle, UINT id, WinmmProc callback, DWORD_PTR instance, DWORD flags);
    MMRESULT (*outClose)(std::uintptr_t handle);
    MMRESULT (*outPrepareHeader)(std::uintptr_t handle, WinmmHeader* header, UINT size);
    MMRESULT (*outLongMsg)(std::uintptr_t handle, WinmmHeader* header, UINT size);
    MMRESULT (*outUnprepareHeader)(std::uintptr_t handle, WinmmHeader* header, UINT size);
    MMRESULT (*outReset)(std::uintptr_t handle);
};

// The real winmm (Windows builds only).
const WinmmCalls& SystemWinmmCalls();

// A UTF-16 name (up to its NUL or `length` units) as UTF-8, cut to 31
// characters; a lone surrogate becomes U+FFFD.
std::string Utf16DeviceName(const char16_t* name, std::size_t length);

class WinmmMidi final : public MidiApi {
public:
    explicit WinmmMidi(const WinmmCalls& calls);
    ~WinmmMidi() override;
    WinmmMidi(const WinmmMidi&) = delete;
    WinmmMidi& operator=(const WinmmMidi&) = delete;

    UINT InGetNumDevs() override;
    MMRESULT InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size) override;
    MMRESULT InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags) override;
    MMRESULT InReset(HMIDIIN handle) override;
    MMRESULT InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size) override;
    MMRESULT InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size) override;
    MMRESULT InStart(HMIDIIN handle) override;
    MMRESULT InStop(HMIDIIN handle) override;
    MMRESULT InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size) override;
    MMRESULT InClose(HMIDIIN handle) override;

    UINT OutGetNumDevs() override;
    MMRESULT OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size) override;
    MMRESULT OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) override;
    MMRESULT OutClose(HMIDIOUT handle) override;
    MMRESULT OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) override;
    MMRESULT OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size) override;
    MMRESULT OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) override;
    MMRESULT OutReset(HMIDIOUT handle) override;

    // Devices open through this backend (both directions).
    std::size_t OpenDevices() const;

private:
    // The caller's side of one open device; its address is the instance
    // the system passes back.
    struct Client {
        WinmmMidi* backend;
        MidiInProc callback;   // nullptr: the caller wants no messages
        DWORD_PTR instance;
    };
    // The system's copy of a prepared header (first member: the system
    // hands back its address).
    struct Shadow {
        WinmmHeader system;
        MIDIHDR* mine;
        std::uintptr_t handle;
    };
    static void OnSystemMessage(std::uintptr_t handle, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);
    using OpenCall = MMRESULT (*)(std::uintptr_t*, UINT, WinmmProc, DWORD_PTR, DWORD);
    MMRESULT Open(OpenCall call, std::uintptr_t* handle, UINT id, MidiInProc callback, DWORD_PTR instance,
                  DWORD flags);
    MMRESULT Close(MMRESULT (*call)(std::uintptr_t), std::uintptr_t handle);
    using HeaderCall = MMRESULT (*)(std::uintptr_t, WinmmHeader*, UINT);
    MMRESULT Prepare(HeaderCall call, std::uintptr_t handle, MIDIHDR* header, UINT size);
    MMRESULT Submit(HeaderCall call, std::uintptr_t handle, MIDIHDR* header, UINT size);
    MMRESULT Unprepare(HeaderCall call, std::uintptr_t handle, MIDIHDR* header, UINT size);
    // Copies what the driver wrote into the caller's header.
    static void Report(const Shadow& shadow);

    const WinmmCalls calls;
    mutable std::mutex mutex;
    std::map<std::uintptr_t, std::unique_ptr<Client>> clients;   // by handle, for devices opened with a callback
    std::map<std::uintptr_t, bool> open;                         // every open handle
    std::map<const MIDIHDR*, std::unique_ptr<Shadow>> shadows;   // prepared headers
};

}  // namespace platform
