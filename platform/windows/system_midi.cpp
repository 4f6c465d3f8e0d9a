// Windows: the system's MIDI services are winmm itself.
#include "platform/system_midi.h"

#include "platform/windows/winmm_midi.h"

#include <memory>

namespace platform {

void AddSystemBackends(MidiSystem& system)
{
    system.Add(std::make_unique<WinmmMidi>(SystemWinmmCalls()));
}

std::string TakeSystemMidiNote()
{
    // winmm tells nothing about who holds a device.
    return {};
}

}  // namespace platform
