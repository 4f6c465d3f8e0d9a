// Several MIDI backends listed together.  The system's mutex guards only its
// own tables; it is never held while a backend is called, so a backend may
// block (a long message) or call back (input) freely.
#include "platform/midi_system.h"

namespace platform {

MidiSystem::~MidiSystem()
{
    // Close what the owner left open, so that no backend calls back into a
    // trampoline whose record is gone.
    std::map<HMIDIIN, std::unique_ptr<OpenIn>> ins;
    std::map<HMIDIOUT, OpenOut> outs;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ins.swap(openIns);
        outs.swap(openOuts);
    }
    for (auto& [handle, open] : ins) {
        open->backend->InReset(open->local);
        open->backend->InClose(open->local);
    }
    for (auto& [handle, open] : outs) open.backend->OutClose(open.local);
}

void MidiSystem::Add(std::unique_ptr<MidiApi> backend)
{
    if (!backend) return;
    std::lock_guard<std::mutex> lock(mutex);
    backends.push_back(std::move(backend));
}

std::size_t MidiSystem::BackendCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return backends.size();
}

namespace {

std::vector<MidiApi*> Snapshot(std::mutex& mutex, const std::vector<std::unique_ptr<MidiApi>>& backends)
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<MidiApi*> list;
    for (const auto& backend : backends) list.push_back(backend.get());
    return list;
}

}  // namespace

// ---------------------------------------------------------------------------
// Listing.

UINT MidiSystem::InGetNumDevs()
{
    std::vector<Route> routes;
    for (MidiApi* backend : Snapshot(mutex, backends)) {
        const UINT count = backend->InGetNumDevs();
        for (UINT i = 0; i < count; ++i) routes.push_back({backend, i});
    }
    std::lock_guard<std::mutex> lock(mutex);
    inRoutes.swap(routes);
    inListed = true;
    return static_cast<UINT>(inRoutes.size());
}

UINT MidiSystem::OutGetNumDevs()
{
    std::vector<Route> routes;
    for (MidiApi* backend : Snapshot(mutex, backends)) {
        const UINT count = backend->OutGetNumDevs();
        for (UINT i = 0; i < count; ++i) routes.push_back({backend, i});
    }
    std::lock_guard<std::mutex> lock(mutex);
    outRoutes.swap(routes);
    outListed = true;
    return static_cast<UINT>(outRoutes.size());
}

bool MidiSystem::RouteIn(UINT id, Route& route)
{
    bool listed = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        listed = inListed;
    }
    if (!listed) InGetNumDevs();   // ids mean nothing before a first listing
    std::lock_guard<std::mutex> lock(mutex);
    if (id >= inRoutes.size()) return false;
    route = inRoutes[id];
    return true;
}

bool MidiSystem::RouteOut(UINT id, Route& route)
{
    bool listed = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        listed = outListed;
    }
    if (!listed) OutGetNumDevs();
    std::lock_guard<std::mutex> lock(mutex);
    if (id >= outRoutes.size()) return false;
    route = outRoutes[id];
    return true;
}

MMRESULT MidiSystem::InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size)
{
    Route route{};
    if (!RouteIn(id, route)) return MMSYSERR_BADDEVICEID;
    return route.backend->InGetDevCaps(route.localId, caps, size);
}

MMRESULT MidiSystem::OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size)
{
    Route route{};
    if (!RouteOut(id, route)) return MMSYSERR_BADDEVICEID;
    return route.backend->OutGetDevCaps(route.localId, caps, size);
}

// ---------------------------------------------------------------------------
// Input.

void MidiSystem::Trampoline(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
{
    // The record stays put from before the backend's open until after its
    // close; its fields do not change meanwhile, so no lock is needed.
    const auto* open = reinterpret_cast<const OpenIn*>(instance);
    if (open != nullptr && open->callback != nullptr) open->callback(open->combined, msg, open->instance, p1, p2);
}

MMRESULT MidiSystem::InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags)
{
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    Route route{};
    if (!RouteIn(id, route)) return MMSYSERR_BADDEVICEID;

    auto open = std::make_unique<OpenIn>();
    open->backend = route.backend;
    open->local = 0;
    open->callback = callback;
    open->instance = instance;
    {
        std::lock_guard<std::mutex> lock(mutex);
        open->combined = nextHandle++;
    }
    HMIDIIN local = 0;
    const MMRESULT result =
        route.backend->InOpen(&local, route.localId, callback != nullptr ? &MidiSystem::Trampoline : nullptr,
                              reinterpret_cast<DWORD_PTR>(open.get()), flags);
    if (result != MMSYSERR_NOERROR) return result;
    open->local = local;
    const HMIDIIN combined = open->combined;
    {
        std::lock_guard<std::mutex> lock(mutex);
        openIns[combined] = std::move(open);
    }
    *handle = combined;
    return MMSYSERR_NOERROR;
}

bool MidiSystem::FindIn(HMIDIIN handle, MidiApi*& backend, HMIDIIN& local)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = openIns.find(handle);
    if (it == openIns.end()) return false;
    backend = it->second->backend;
    local = it->second->local;
    return true;
}

template <typename... Args>
MMRESULT MidiSystem::ForwardIn(HMIDIIN handle, MMRESULT (MidiApi::*call)(HMIDIIN, Args...),
                               std::type_identity_t<Args>... args)
{
    MidiApi* backend = nullptr;
    HMIDIIN local = 0;
    if (!FindIn(handle, backend, local)) return MMSYSERR_INVALHANDLE;
    return (backend->*call)(local, args...);
}

MMRESULT MidiSystem::InReset(HMIDIIN handle) { return ForwardIn(handle, &MidiApi::InReset); }

MMRESULT MidiSystem::InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return ForwardIn(handle, &MidiApi::InPrepareHeader, header, size);
}

MMRESULT MidiSystem::InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return ForwardIn(handle, &MidiApi::InAddBuffer, header, size);
}

MMRESULT MidiSystem::InStart(HMIDIIN handle) { return ForwardIn(handle, &MidiApi::InStart); }

MMRESULT MidiSystem::InStop(HMIDIIN handle) { return ForwardIn(handle, &MidiApi::InStop); }

MMRESULT MidiSystem::InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return ForwardIn(handle, &MidiApi::InUnprepareHeader, header, size);
}

MMRESULT MidiSystem::InClose(HMIDIIN handle)
{
    MidiApi* backend = nullptr;
    HMIDIIN local = 0;
    if (!FindIn(handle, backend, local)) return MMSYSERR_INVALHANDLE;
    const MMRESULT result = backend->InClose(local);
    if (result != MMSYSERR_NOERROR) return result;   // still open: the record stays
    std::unique_ptr<OpenIn> closed;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = openIns.find(handle);
        if (it != openIns.end()) {
            closed = std::move(it->second);
            openIns.erase(it);
        }
    }
    return MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------------------
// Output.

MMRESULT MidiSystem::OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    Route route{};
    if (!RouteOut(id, route)) return MMSYSERR_BADDEVICEID;
    HMIDIOUT local = 0;
    const MMRESULT result = route.backend->OutOpen(&local, route.localId, callback, instance, flags);
    if (result != MMSYSERR_NOERROR) return result;
    std::lock_guard<std::mutex> lock(mutex);
    const HMIDIOUT combined = nextHandle++;
    openOuts[combined] = OpenOut{route.backend, local};
    *handle = combined;
    return MMSYSERR_NOERROR;
}

bool MidiSystem::FindOut(HMIDIOUT handle, MidiApi*& backend, HMIDIOUT& local)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = openOuts.find(handle);
    if (it == openOuts.end()) return false;
    backend = it->second.backend;
    local = it->second.local;
    return true;
}

template <typename... Args>
MMRESULT MidiSystem::ForwardOut(HMIDIOUT handle, MMRESULT (MidiApi::*call)(HMIDIOUT, Args...),
                                std::type_identity_t<Args>... args)
{
    MidiApi* backend = nullptr;
    HMIDIOUT local = 0;
    if (!FindOut(handle, backend, local)) return MMSYSERR_INVALHANDLE;
    return (backend->*call)(local, args...);
}

MMRESULT MidiSystem::OutClose(HMIDIOUT handle)
{
    MidiApi* backend = nullptr;
    HMIDIOUT local = 0;
    if (!FindOut(handle, backend, local)) return MMSYSERR_INVALHANDLE;
    const MMRESULT result = backend->OutClose(local);
    if (result == MMSYSERR_NOERROR) {
        std::lock_guard<std::mutex> lock(mutex);
        openOuts.erase(handle);
    }
    return result;
}

MMRESULT MidiSystem::OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return ForwardOut(handle, &MidiApi::OutPrepareHeader, header, size);
}

MMRESULT MidiSystem::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return ForwardOut(handle, &MidiApi::OutLongMsg, header, size);
}

MMRESULT MidiSystem::OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return ForwardOut(handle, &MidiApi::OutUnprepareHeader, header, size);
}

MMRESULT MidiSystem::OutReset(HMIDIOUT handle) { return ForwardOut(handle, &MidiApi::OutReset); }

}  // namespace platform
