// MIDI output callbacks for a backend that finishes its sends before
// OutLongMsg returns.
#pragma once

#include "platform/mmsystem.h"

#include <map>
#include <memory>
#include <mutex>

namespace platform {

// The output callback for a backend whose OutLongMsg returns only once it is
// finished with the header (marked done when the send succeeded), as ALSA's
// and JACK's do: the backend is opened without a callback, and this layer
// calls the owner's with MOM_OPEN after an open, MOM_DONE right after each
// long message that the backend finished, and MOM_CLOSE after a close.  No
// callback of a device runs once its OutClose has returned.  Input passes
// straight through.
class SyncOutputCallbacks final : public MidiApi {
public:
    explicit SyncOutputCallbacks(std::unique_ptr<MidiApi> inner);
    SyncOutputCallbacks(const SyncOutputCallbacks&) = delete;
    SyncOutputCallbacks& operator=(const SyncOutputCallbacks&) = delete;

    MidiApi& Inner() { return *inner; }

    UINT InGetNumDevs() override { return inner->InGetNumDevs(); }
    MMRESULT InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size) override { return inner->InGetDevCaps(id, caps, size); }
    MMRESULT InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags) override
    {
        return inner->InOpen(handle, id, callback, instance, flags);
    }
    MMRESULT InReset(HMIDIIN handle) override { return inner->InReset(handle); }
    MMRESULT InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size) override
    {
        return inner->InPrepareHeader(handle, header, size);
    }
    MMRESULT InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size) override
    {
        return inner->InAddBuffer(handle, header, size);
    }
    MMRESULT InStart(HMIDIIN handle) override { return inner->InStart(handle); }
    MMRESULT InStop(HMIDIIN handle) override { return inner->InStop(handle); }
    MMRESULT InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size) override
    {
        return inner->InUnprepareHeader(handle, header, size);
    }
    MMRESULT InClose(HMIDIIN handle) override { return inner->InClose(handle); }

    UINT OutGetNumDevs() override { return inner->OutGetNumDevs(); }
    MMRESULT OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size) override
    {
        return inner->OutGetDevCaps(id, caps, size);
    }
    MMRESULT OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) override;
    MMRESULT OutClose(HMIDIOUT handle) override;
    MMRESULT OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) override
    {
        return inner->OutPrepareHeader(handle, header, size);
    }
    MMRESULT OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size) override;
    MMRESULT OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) override
    {
        return inner->OutUnprepareHeader(handle, header, size);
    }
    // A send that the reset ends comes back from the backend's OutLongMsg
    // done, and its MOM_DONE is called there.
    MMRESULT OutReset(HMIDIOUT handle) override { return inner->OutReset(handle); }

private:
    struct Callback {
        MidiOutProc proc;
        DWORD_PTR instance;
    };

    std::unique_ptr<MidiApi> inner;
    std::mutex mutex;   // guards callbacks; held while one runs, so OutClose waits for it
    std::map<HMIDIOUT, Callback> callbacks;
};

}  // namespace platform
