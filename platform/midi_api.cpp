// The process-wide MIDI service and the free functions the ports call.
#include "platform/midi_system.h"

#include <atomic>

namespace platform {

namespace {

MidiApi& NoDevices()
{
    static NullMidi none;
    return none;
}

// nullptr stands for the service with no devices.
std::atomic<MidiApi*> installed{nullptr};

}  // namespace

MidiApi& Midi()
{
    MidiApi* api = installed.load(std::memory_order_acquire);
    return api != nullptr ? *api : NoDevices();
}

MidiApi* InstallMidi(MidiApi* api)
{
    MidiApi* previous = installed.exchange(api == &NoDevices() ? nullptr : api, std::memory_order_acq_rel);
    return previous != nullptr ? previous : &NoDevices();
}

UINT midiInGetNumDevs() { return Midi().InGetNumDevs(); }

MMRESULT midiInGetDevCapsA(UINT id, MIDIINCAPSA* caps, UINT size) { return Midi().InGetDevCaps(id, caps, size); }

MMRESULT midiInOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags)
{
    return Midi().InOpen(handle, id, callback, instance, flags);
}

MMRESULT midiInReset(HMIDIIN handle) { return Midi().InReset(handle); }

MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return Midi().InPrepareHeader(handle, header, size);
}

MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size) { return Midi().InAddBuffer(handle, header, size); }

MMRESULT midiInStart(HMIDIIN handle) { return Midi().InStart(handle); }

MMRESULT midiInStop(HMIDIIN handle) { return Midi().InStop(handle); }

MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return Midi().InUnprepareHeader(handle, header, size);
}

MMRESULT midiInClose(HMIDIIN handle) { return Midi().InClose(handle); }

UINT midiOutGetNumDevs() { return Midi().OutGetNumDevs(); }

MMRESULT midiOutGetDevCapsA(UINT id, MIDIOUTCAPSA* caps, UINT size) { return Midi().OutGetDevCaps(id, caps, size); }

MMRESULT midiOutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    return Midi().OutOpen(handle, id, callback, instance, flags);
}

MMRESULT midiOutClose(HMIDIOUT handle) { return Midi().OutClose(handle); }

MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return Midi().OutPrepareHeader(handle, header, size);
}

MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size) { return Midi().OutLongMsg(handle, header, size); }

MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return Midi().OutUnprepareHeader(handle, header, size);
}

MMRESULT midiOutReset(HMIDIOUT handle) { return Midi().OutReset(handle); }

}  // namespace platform
