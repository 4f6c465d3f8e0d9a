// Several MIDI backends listed together as one service.  Device ids are
// positions in the combined list (the backends in the order they were added,
// each backend's devices in its own order).  The list is taken when a device
// count is asked for and each id keeps naming the same device until the next
// count is asked for, even when a backend's own list changes meanwhile.
#pragma once

#include "platform/mmsystem.h"

#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

namespace platform {

// A service with no devices: every open fails with MMSYSERR_BADDEVICEID.
class NullMidi final : public MidiApi {
public:
    UINT InGetNumDevs() override { return 0; }
    MMRESULT InGetDevCaps(UINT, MIDIINCAPSA*, UINT) override { return MMSYSERR_BADDEVICEID; }
    MMRESULT InOpen(HMIDIIN*, UINT, MidiInProc, DWORD_PTR, DWORD) override { return MMSYSERR_BADDEVICEID; }
    MMRESULT InReset(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT InPrepareHeader(HMIDIIN, MIDIHDR*, UINT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT InAddBuffer(HMIDIIN, MIDIHDR*, UINT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT InStart(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT InStop(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT InUnprepareHeader(HMIDIIN, MIDIHDR*, UINT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT InClose(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
    UINT OutGetNumDevs() override { return 0; }
    MMRESULT OutGetDevCaps(UINT, MIDIOUTCAPSA*, UINT) override { return MMSYSERR_BADDEVICEID; }
    MMRESULT OutOpen(HMIDIOUT*, UINT, DWORD_PTR, DWORD_PTR, DWORD) override { return MMSYSERR_BADDEVICEID; }
    MMRESULT OutClose(HMIDIOUT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT OutPrepareHeader(HMIDIOUT, MIDIHDR*, UINT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT OutLongMsg(HMIDIOUT, MIDIHDR*, UINT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT OutUnprepareHeader(HMIDIOUT, MIDIHDR*, UINT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT OutReset(HMIDIOUT) override { return MMSYSERR_INVALHANDLE; }
};

class MidiSystem final : public MidiApi {
public:
    MidiSystem() = default;
    MidiSystem(const MidiSystem&) = delete;
    MidiSystem& operator=(const MidiSystem&) = delete;
    ~MidiSystem() override;

    // Adds a backend at the end of the list; the system owns it.
    void Add(std::unique_ptr<MidiApi> backend);
    std::size_t BackendCount() const;

    UINT InGetNumDevs() override;
    MMRESULT InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size) override;
    MMRESULT InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags) override;
    MMRESULT InReset(HMIDIIN handle) override;
    MMRESULT InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size) override;
    MMRESULT InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size) override;
    MMRESULT InStart(HMIDIIN handle) override;
    MMRESULT InStop(HMIDIIN handle) override;
    MMRESULT InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size) override;
    MMRESULT InClose(HMIDIIN handle) override;

    UINT OutGetNumDevs() override;
    MMRESULT OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size) override;
    MMRESULT OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) override;
    MMRESULT OutClose(HMIDIOUT handle) override;
    MMRESULT OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) override;
    MMRESULT OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size) override;
    MMRESULT OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) override;
    MMRESULT OutReset(HMIDIOUT handle) override;

private:
    struct Route {            // where a combined id leads
        MidiApi* backend;
        UINT localId;
    };
    struct OpenIn {           // one open input device
        MidiApi* backend;
        HMIDIIN local;
        HMIDIIN combined;
        MidiInProc callback;
        DWORD_PTR instance;
    };
    struct OpenOut {
        MidiApi* backend;
        HMIDIOUT local;
    };
    static void Trampoline(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);
    bool RouteIn(UINT id, Route& route);
    bool RouteOut(UINT id, Route& route);
    bool FindIn(HMIDIIN handle, MidiApi*& backend, HMIDIIN& local);
    bool FindOut(HMIDIOUT handle, MidiApi*& backend, HMIDIOUT& local);
    // Passes a call on to the backend of an open device; MMSYSERR_INVALHANDLE
    // for a handle that is not open.
    template <typename... Args>
    MMRESULT ForwardIn(HMIDIIN handle, MMRESULT (MidiApi::*call)(HMIDIIN, Args...),
                       std::type_identity_t<Args>... args);
    template <typename... Args>
    MMRESULT ForwardOut(HMIDIOUT handle, MMRESULT (MidiApi::*call)(HMIDIOUT, Args...),
                        std::type_identity_t<Args>... args);

    mutable std::mutex mutex;
    std::vector<std::unique_ptr<MidiApi>> backends;
    std::vector<Route> inRoutes;
    std::vector<Route> outRoutes;
    bool inListed = false;
    bool outListed = false;
    std::uintptr_t nextHandle = 1;
    std::map<HMIDIIN, std::unique_ptr<OpenIn>> openIns;
    std::map<HMIDIOUT, OpenOut> openOuts;
};

}  // namespace platform
