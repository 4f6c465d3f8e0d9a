// Windows: the system's MIDI services are winmm itself.
#include "platform/system_midi.h"

#include "platform/winmm_midi.h"

#include <memory>

namespace platform {

void AddSystemBackends(MidiSystem& system)
{
    system.Add(std::make_unique<WinmmMidi>(SystemWinmmCalls()));
}

}  // namespace platform
