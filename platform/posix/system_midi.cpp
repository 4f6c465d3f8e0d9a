#include "platform/system_midi.h"

#include "platform/sync_output_callbacks.h"

#include <memory>

#if defined(Q9_HAVE_ALSA)
#include "platform/alsa/rawmidi.h"
#endif
#if defined(Q9_HAVE_JACK)
#include "platform/jack/midi.h"
#endif

namespace platform {

void AddSystemBackends([[maybe_unused]] MidiSystem& system)
{
#if defined(Q9_HAVE_ALSA)
    system.Add(std::make_unique<SyncOutputCallbacks>(std::make_unique<AlsaMidi>()));
#endif
#if defined(Q9_HAVE_JACK)
    system.Add(std::make_unique<SyncOutputCallbacks>(std::make_unique<JackMidi>()));
#endif
}

std::string TakeSystemMidiNote()
{
#if defined(Q9_HAVE_ALSA)
    return AlsaMidi::TakeNote();
#else
    return {};
#endif
}

}  // namespace platform
