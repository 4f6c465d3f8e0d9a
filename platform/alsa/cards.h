// Helpers of the ALSA raw MIDI backend (cards.cpp).
#pragma once

#include "platform/mmsystem.h"

#include <string>

namespace platform {

// Keeps a text for AlsaMidi::TakeNote.
void SetAlsaNote(std::string text);
// The open's result for an ALSA error; a busy device (with the processes
// that hold it, when /proc/asound names them) or a missing permission is
// noted for the user.
MMRESULT AlsaOpenError(int err, int card, int device);
// The id and name of card `card`, or false with the ALSA error in `err`.
bool ReadAlsaCard(int card, std::string& id, std::string& name, int& err);

}  // namespace platform
