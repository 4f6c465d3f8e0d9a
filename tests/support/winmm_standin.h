// A winmm driver for the winmm backend's call table, played over another
// MIDI service (in the tests, the virtual ARKO Q9 behind a scripted link).
// It keeps the rules a real driver keeps and a careless caller trips over:
//
// - Output headers belong to the driver from midiOutLongMsg until it marks
//   them done (MOM_DONE) or midiOutReset returns them; while it holds one,
//   unpreparing it fails (MIDIERR_STILLPLAYING) and so does closing.  The
//   message's bytes are read when the driver gets round to sending them.
// - Input buffers are filled in the order they were added; a reply that
//   finds no buffer is lost.  midiInReset returns every buffer it holds;
//   closing with buffers still queued fails.
// - Callbacks come from the driver's own threads, never under its lock.
//
// Its quirks are those of drivers in the field: one that finishes a send
// long after the sender's limit (or only when reset), one that hands back
// empty buffers and damaged messages (MIM_LONGERROR), one whose device is
// unplugged mid-update.  It counts what it holds, so a test can see that
// nothing was left with it after the ports closed.
#pragma once

#include "platform/windows/winmm_midi.h"

#include <cstdint>

namespace q9test {

struct DriverQuirk {
    enum Kind {
        None,
        HoldsPastLimit,    // every `every`-th send is finished `holdMs` later, or when reset
        HoldsUntilReset,   // every `every`-th send is finished only by a reset
        DamagesInput,      // every `every`-th reply: an empty buffer before it, or it arrives cut (MIM_LONGERROR)
        Unplugs,           // the device goes at the `every`-th send
    };
    Kind kind = None;
    unsigned every = 0;
    unsigned holdMs = 0;
};

// One driver at a time: it serves the call table while it exists.
class WinmmStandIn {
public:
    WinmmStandIn(platform::MidiApi& device, DriverQuirk quirk);
    ~WinmmStandIn();
    WinmmStandIn(const WinmmStandIn&) = delete;
    WinmmStandIn& operator=(const WinmmStandIn&) = delete;

    static const platform::WinmmCalls& Calls();

    struct Counts {
        int openHandles = 0;
        int preparedHeaders = 0;   // prepared and not unprepared, both directions
        int headersHeld = 0;       // sends not yet done and input buffers queued
        int held = 0;              // sends the quirk held back
        int resets = 0;            // midiOutReset calls
        int damaged = 0;           // empty buffers and MIM_LONGERROR handed back by the quirk
        int lostReplies = 0;       // replies that found no input buffer
        int stillPlaying = 0;      // unprepares and closes refused because the driver held a header
    };
    Counts Snapshot() const;

    struct State;

private:
    State* state;
};

}  // namespace q9test
