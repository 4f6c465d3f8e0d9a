// Closing raw MIDI devices whose card has gone (a USB device unplugged).
//
// Closing one may wait for the kernel's drain of bytes that will never
// leave (an output's; an input's close waits for its output's, as the
// kernel closes both directions of a device under one lock), so LetGo
// closes it on a thread of its own and nobody waits for that.
//
// Such a close must be under way before the process ends: a file that the
// exit itself closes gets no signal and waits the whole drain, while a
// thread blocked in close is interrupted by the exit.  So the backend's end
// calls AwaitClosesUnderWay, which waits until every such thread is in its
// close or done, as the kernel reports it (the call a thread is blocked in,
// /proc/self/task/TID/syscall), not for a guessed while: a busy machine may
// start the thread late.
#pragma once

#include <alsa/asoundlib.h>

namespace platform {

void LetGo(snd_rawmidi_t* rawmidi);
void AwaitClosesUnderWay();

}  // namespace platform
