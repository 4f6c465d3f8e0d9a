// The real winmm behind WinmmCalls: each entry calls the system's function
// of that name, converting only the types (handles, capability records).
#include "platform/windows/winmm_midi.h"

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstddef>
#include <iterator>

using platform::WinmmCaps;
using platform::WinmmHeader;
using platform::WinmmProc;

namespace {

// The backend's copy of a header is the system's, field for field.
static_assert(sizeof(WinmmHeader) == sizeof(::MIDIHDR));
static_assert(offsetof(WinmmHeader, lpData) == offsetof(::MIDIHDR, lpData));
static_assert(offsetof(WinmmHeader, dwBufferLength) == offsetof(::MIDIHDR, dwBufferLength));
static_assert(offsetof(WinmmHeader, dwBytesRecorded) == offsetof(::MIDIHDR, dwBytesRecorded));
static_assert(offsetof(WinmmHeader, dwUser) == offsetof(::MIDIHDR, dwUser));
static_assert(offsetof(WinmmHeader, dwFlags) == offsetof(::MIDIHDR, dwFlags));
static_assert(offsetof(WinmmHeader, lpNext) == offsetof(::MIDIHDR, lpNext));
static_assert(offsetof(WinmmHeader, dwOffset) == offsetof(::MIDIHDR, dwOffset));
static_assert(offsetof(WinmmHeader, dwReserved) == offsetof(::MIDIHDR, dwReserved));
// The callbacks are called without __stdcall, which only x64 ignores.
static_assert(sizeof(void*) == 8, "x64 only");
static_assert(sizeof(wchar_t) == sizeof(char16_t));
static_assert(MOM_DONE == 0x3C9 && MIM_LONGDATA == 0x3C4 && CALLBACK_FUNCTION == 0x30000);   // the values in platform/mmsystem.h

::MIDIHDR* Sys(WinmmHeader* header)
{
    return reinterpret_cast<::MIDIHDR*>(header);
}

HMIDIIN In(std::uintptr_t handle)
{
    return reinterpret_cast<HMIDIIN>(handle);
}

HMIDIOUT Out(std::uintptr_t handle)
{
    return reinterpret_cast<HMIDIOUT>(handle);
}

void CopyName(const WCHAR* from, char16_t (&to)[32])
{
    std::size_t n = 0;
    for (; n + 1 < std::size(to) && from[n] != 0; ++n) to[n] = static_cast<char16_t>(from[n]);
    to[n] = 0;
}

// The fields an input's and an output's capabilities share.
template <typename SystemCaps>
void CopyCaps(const SystemCaps& system, WinmmCaps* caps)
{
    caps->mid = system.wMid;
    caps->pid = system.wPid;
    caps->driverVersion = system.vDriverVersion;
    CopyName(system.szPname, caps->name);
    caps->support = system.dwSupport;
}

platform::UINT InGetNumDevs()
{
    return ::midiInGetNumDevs();
}

platform::MMRESULT InGetDevCaps(platform::UINT id, WinmmCaps* caps)
{
    MIDIINCAPSW system{};
    const MMRESULT result = ::midiInGetDevCapsW(id, &system, sizeof system);
    if (result != MMSYSERR_NOERROR) return result;
    CopyCaps(system, caps);
    return MMSYSERR_NOERROR;
}

platform::MMRESULT InOpen(std::uintptr_t* handle, platform::UINT id, WinmmProc callback, platform::DWORD_PTR instance,
                          platform::DWORD flags)
{
    HMIDIIN opened = nullptr;
    const MMRESULT result = ::midiInOpen(&opened, id, reinterpret_cast<DWORD_PTR>(callback), instance, flags);
    *handle = result == MMSYSERR_NOERROR ? reinterpret_cast<std::uintptr_t>(opened) : 0;
    return result;
}

platform::MMRESULT InReset(std::uintptr_t h) { return ::midiInReset(In(h)); }
platform::MMRESULT InPrepareHeader(std::uintptr_t h, WinmmHeader* header, platform::UINT size)
{
    return ::midiInPrepareHeader(In(h), Sys(header), size);
}
platform::MMRESULT InAddBuffer(std::uintptr_t h, WinmmHeader* header, platform::UINT size)
{
    return ::midiInAddBuffer(In(h), Sys(header), size);
}
platform::MMRESULT InStart(std::uintptr_t h) { return ::midiInStart(In(h)); }
platform::MMRESULT InStop(std::uintptr_t h) { return ::midiInStop(In(h)); }
platform::MMRESULT InUnprepareHeader(std::uintptr_t h, WinmmHeader* header, platform::UINT size)
{
    return ::midiInUnprepareHeader(In(h), Sys(header), size);
}
platform::MMRESULT InClose(std::uintptr_t h) { return ::midiInClose(In(h)); }

platform::UINT OutGetNumDevs()
{
    return ::midiOutGetNumDevs();
}

platform::MMRESULT OutGetDevCaps(platform::UINT id, WinmmCaps* caps)
{
    MIDIOUTCAPSW system{};
    const MMRESULT result = ::midiOutGetDevCapsW(id, &system, sizeof system);
    if (result != MMSYSERR_NOERROR) return result;
    CopyCaps(system, caps);
    caps->technology = system.wTechnology;
    caps->voices = system.wVoices;
    caps->notes = system.wNotes;
    caps->channelMask = system.wChannelMask;
    caps->support = system.dwSupport;
    return MMSYSERR_NOERROR;
}

platform::MMRESULT OutOpen(std::uintptr_t* handle, platform::UINT id, WinmmProc callback, platform::DWORD_PTR instance,
                           platform::DWORD flags)
{
    HMIDIOUT opened = nullptr;
    const MMRESULT result = ::midiOutOpen(&opened, id, reinterpret_cast<DWORD_PTR>(callback), instance, flags);
    *handle = result == MMSYSERR_NOERROR ? reinterpret_cast<std::uintptr_t>(opened) : 0;
    return result;
}

platform::MMRESULT OutClose(std::uintptr_t h) { return ::midiOutClose(Out(h)); }
platform::MMRESULT OutPrepareHeader(std::uintptr_t h, WinmmHeader* header, platform::UINT size)
{
    return ::midiOutPrepareHeader(Out(h), Sys(header), size);
}
platform::MMRESULT OutLongMsg(std::uintptr_t h, WinmmHeader* header, platform::UINT size)
{
    return ::midiOutLongMsg(Out(h), Sys(header), size);
}
platform::MMRESULT OutUnprepareHeader(std::uintptr_t h, WinmmHeader* header, platform::UINT size)
{
    return ::midiOutUnprepareHeader(Out(h), Sys(header), size);
}
platform::MMRESULT OutReset(std::uintptr_t h) { return ::midiOutReset(Out(h)); }

}  // namespace

namespace platform {

const WinmmCalls& SystemWinmmCalls()
{
    static constexpr WinmmCalls kCalls = {
        InGetNumDevs,  InGetDevCaps,     InOpen,     InReset,           InPrepareHeader, InAddBuffer,
        InStart,       InStop,           InUnprepareHeader, InClose,
        OutGetNumDevs, OutGetDevCaps,    OutOpen,    OutClose,          OutPrepareHeader, OutLongMsg,
        OutUnprepareHeader, OutReset,
    };
    return kCalls;
}

}  // namespace platform
