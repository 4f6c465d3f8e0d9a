// The operating system's own MIDI services, for the front ends.
#pragma once

#include "platform/midi_system.h"

#include <string>

namespace platform {

// Adds the backends this build has, in this order: ALSA raw MIDI (hardware)
// and JACK (when a server runs), each behind SyncOutputCallbacks.  Backends
// without devices list nothing.
void AddSystemBackends(MidiSystem& system);

// What the system backends found out about the last failed open (who holds
// the device, a missing permission), for the user; empty when nothing.
std::string TakeSystemMidiNote();

}  // namespace platform
