// The MIDI and timer services of the operating system, as the ports and the
// timer see them: the record layouts, result codes and callback messages of
// the classic multimedia API, and one small interface per service.  Every
// MIDI backend (ALSA, JACK, the virtual ARKO Q9, the test fakes) implements
// MidiApi; the ports reach the system only through the free functions below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using MMRESULT = std::uint32_t;
using MMVERSION = std::uint32_t;

// Opaque device handles; 0 is never a valid handle.
using HMIDIIN = std::uintptr_t;
using HMIDIOUT = std::uintptr_t;

// Result codes.
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
// The device itself is gone (unplugged): nothing sent to it again can arrive.
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_UNPREPARED = 64;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
inline constexpr MMRESULT MIDIERR_NODEVICE = 68;

// Header flags (dwFlags).
inline constexpr DWORD MHDR_DONE = 0x00000001;
inline constexpr DWORD MHDR_PREPARED = 0x00000002;
inline constexpr DWORD MHDR_INQUEUE = 0x00000004;

// Open flags.
inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD CALLBACK_FUNCTION = 0x00030000;

// Messages of the MIDI input callback.
inline constexpr UINT MIM_OPEN = 0x3C1;
inline constexpr UINT MIM_CLOSE = 0x3C2;
inline constexpr UINT MIM_DATA = 0x3C3;
inline constexpr UINT MIM_LONGDATA = 0x3C4;
inline constexpr UINT MIM_ERROR = 0x3C5;
inline constexpr UINT MIM_LONGERROR = 0x3C6;
inline constexpr UINT MIM_MOREDATA = 0x3CC;

// Messages of the MIDI output callback.
inline constexpr UINT MOM_OPEN = 0x3C7;
inline constexpr UINT MOM_CLOSE = 0x3C8;
inline constexpr UINT MOM_DONE = 0x3C9;

// One long (SysEx) buffer, as handed between a port and the driver.
struct MIDIHDR {
    char* lpData = nullptr;       // the buffer
    DWORD dwBufferLength = 0;     // its capacity (input) or message length (output)
    DWORD dwBytesRecorded = 0;    // input: bytes the driver recorded
    DWORD_PTR dwUser = 0;
    DWORD dwFlags = 0;            // MHDR_DONE, MHDR_PREPARED, MHDR_INQUEUE
    MIDIHDR* lpNext = nullptr;
    DWORD_PTR reserved = 0;
    DWORD dwOffset = 0;
    DWORD_PTR dwReserved[8] = {};
};

// Device names are UTF-8 here.  A name holds at most 31 characters, which
// can take up to 124 bytes; szPname has room for that and its NUL, and so has
// every buffer that GetDeviceName fills.
inline constexpr UINT kMaxPnameChars = 31;
inline constexpr UINT kMaxPnameLen = 128;
inline constexpr UINT kDeviceNameCapacity = kMaxPnameLen;

struct MIDIINCAPSA {
    WORD wMid = 0;
    WORD wPid = 0;
    MMVERSION vDriverVersion = 0;
    char szPname[kMaxPnameLen] = {};
    DWORD dwSupport = 0;
};

struct MIDIOUTCAPSA {
    WORD wMid = 0;
    WORD wPid = 0;
    MMVERSION vDriverVersion = 0;
    char szPname[kMaxPnameLen] = {};
    WORD wTechnology = 0;
    WORD wVoices = 0;
    WORD wNotes = 0;
    WORD wChannelMask = 0;
    DWORD dwSupport = 0;
};

// The input callback: device handle, message, instance data, parameter 1
// (for MIM_LONGDATA the returned MIDIHDR*), parameter 2.
using MidiInProc = void (*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
// The output callback, passed to OutOpen as its DWORD_PTR `callback` with
// CALLBACK_FUNCTION: device handle, message, instance data, parameter 1 (for
// MOM_DONE the finished MIDIHDR*), parameter 2.
using MidiOutProc = void (*)(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// One MIDI service.  Device ids run from 0 to count - 1 in each direction.
// Backends call the input callback from a thread of their own.
//
// Output opened with CALLBACK_FUNCTION: once the backend is finished with a
// long message's header it sets MHDR_DONE (release store) and only then calls
// the callback with MOM_DONE and the header, at once and from any thread; it
// may still hold a lock of its own then (the callback takes only short locks
// of its own and calls no MIDI function).  No callback of a device runs any
// more once its OutClose has returned.
//
// OutReset ends at once every long message the backend still holds for the
// device, on whatever thread it is being sent: the bytes not yet sent are
// dropped, and each header comes back as a finished one does (MHDR_DONE,
// then MOM_DONE).  The device stays open and takes new messages.
class MidiApi {
public:
    virtual ~MidiApi() = default;

    virtual UINT InGetNumDevs() = 0;
    virtual MMRESULT InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size) = 0;
    virtual MMRESULT InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance,
                            DWORD flags) = 0;
    virtual MMRESULT InReset(HMIDIIN handle) = 0;
    virtual MMRESULT InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size) = 0;
    virtual MMRESULT InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size) = 0;
    virtual MMRESULT InStart(HMIDIIN handle) = 0;
    virtual MMRESULT InStop(HMIDIIN handle) = 0;
    virtual MMRESULT InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size) = 0;
    virtual MMRESULT InClose(HMIDIIN handle) = 0;

    virtual UINT OutGetNumDevs() = 0;
    virtual MMRESULT OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size) = 0;
    virtual MMRESULT OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance,
                             DWORD flags) = 0;
    virtual MMRESULT OutClose(HMIDIOUT handle) = 0;
    virtual MMRESULT OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) = 0;
    virtual MMRESULT OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size) = 0;
    virtual MMRESULT OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) = 0;
    virtual MMRESULT OutReset(HMIDIOUT handle) = 0;
};

// The process-wide MIDI service.  Until something is installed it is a
// service with no devices.  Install() does not take ownership; the caller
// keeps the service alive while it is installed and reinstalls the previous
// one (returned) when done.
MidiApi& Midi();
MidiApi* InstallMidi(MidiApi* api);

// The calls the ports make, forwarded to Midi().
UINT midiInGetNumDevs();
MMRESULT midiInGetDevCapsA(UINT id, MIDIINCAPSA* caps, UINT size);
MMRESULT midiInOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags);
MMRESULT midiInReset(HMIDIIN handle);
MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size);
MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size);
MMRESULT midiInStart(HMIDIIN handle);
MMRESULT midiInStop(HMIDIIN handle);
MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size);
MMRESULT midiInClose(HMIDIIN handle);

UINT midiOutGetNumDevs();
MMRESULT midiOutGetDevCapsA(UINT id, MIDIOUTCAPSA* caps, UINT size);
MMRESULT midiOutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
MMRESULT midiOutClose(HMIDIOUT handle);
MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size);
MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size);
MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size);
MMRESULT midiOutReset(HMIDIOUT handle);

// ---------------------------------------------------------------------------
// Timer service.

struct TIMECAPS {
    UINT wPeriodMin = 0;
    UINT wPeriodMax = 0;
};

inline constexpr UINT TIME_ONESHOT = 0;
inline constexpr UINT TIME_PERIODIC = 1;
inline constexpr MMRESULT TIMERR_NOERROR = 0;
inline constexpr MMRESULT TIMERR_NOCANDO = 97;

// The timer callback: event id, message, user data, two reserved values.
using TimerProc = void (*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// A periodic timer service.  Callbacks of one event run one after another on
// the service's timer thread; KillEvent returns only when no callback of that
// event is running any more (unless called from that callback itself).
//
// Waking early is optional.  A service that can do it overrides both calls
// below; one that cannot keeps the defaults and is still correct: its
// "wakeable" events are plain periodic ones, so their callbacks run every
// period and find at most a period later what a wake would have signalled.
class TimerApi {
public:
    virtual ~TimerApi() = default;
    virtual MMRESULT GetDevCaps(TIMECAPS* caps, UINT size) = 0;
    virtual MMRESULT BeginPeriod(UINT period) = 0;
    virtual MMRESULT EndPeriod(UINT period) = 0;
    virtual UINT SetEvent(UINT delay, UINT resolution, TimerProc callback, DWORD_PTR user, UINT flags) = 0;
    virtual MMRESULT KillEvent(UINT id) = 0;

    // An event whose callback runs once after its first period and then
    // only when woken, and sleeps otherwise.  Default: SetEvent(...,
    // TIME_PERIODIC), whose callback runs every period.
    virtual UINT SetWakeableEvent(UINT delay, UINT resolution, TimerProc callback, DWORD_PTR user)
    {
        return SetEvent(delay, resolution, callback, user, TIME_PERIODIC);
    }
    // Runs the event's callback as soon as the timer thread is free; a wake
    // that comes while the callback runs makes it run once more afterwards.
    // Callable from any thread; an id that is not live is ignored.  Default:
    // TIMERR_NOCANDO (the callback runs at its next period instead).
    virtual MMRESULT WakeEvent(UINT /*id*/) { return TIMERR_NOCANDO; }
};

// The process-wide timer service (a real one by default); same rules as
// InstallMidi().
TimerApi& Timer();
TimerApi* InstallTimer(TimerApi* api);

MMRESULT timeGetDevCaps(TIMECAPS* caps, UINT size);
MMRESULT timeBeginPeriod(UINT period);
MMRESULT timeEndPeriod(UINT period);
UINT timeSetEvent(UINT delay, UINT resolution, TimerProc callback, DWORD_PTR user, UINT flags);
MMRESULT timeKillEvent(UINT id);
// The optional calls, the same for every timer service.
inline UINT timeSetWakeableEvent(UINT delay, UINT resolution, TimerProc callback, DWORD_PTR user)
{
    return Timer().SetWakeableEvent(delay, resolution, callback, user);
}
inline MMRESULT timeWakeEvent(UINT id)
{
    return Timer().WakeEvent(id);
}

// Gives up the processor for about `ms` milliseconds.
void Sleep(UINT ms);

}  // namespace platform
