// The ALSA backend's call table: listing the raw MIDI ports, opening and
// closing them, and passing each call to the open device
// (rawmidi_devices.h).
#include "platform/alsa/rawmidi.h"
#include "platform/alsa/rawmidi_devices.h"

#include <alsa/asoundlib.h>

#include <memory>
#include <string>
#include <utility>

namespace platform {

namespace {

// ALSA reports its own errors on stderr unless told otherwise; this program
// reports failures in its own words.
void Silent(const char*, int, const char*, int, const char*, ...) {}

}  // namespace


// ---------------------------------------------------------------------------
// Listing.

AlsaMidi::AlsaMidi()
{
    snd_lib_error_set_handler(&Silent);
}

AlsaMidi::~AlsaMidi()
{
    std::map<HMIDIIN, std::shared_ptr<InDevice>> openIns;
    std::map<HMIDIOUT, std::shared_ptr<OutDevice>> openOuts;
    {
        std::lock_guard<std::mutex> lock(mutex);
        openIns.swap(ins);
        openOuts.swap(outs);
    }
    for (auto& [handle, device] : openOuts) {
        device->closing.store(true);
        device->wake.Set();
    }
    openIns.clear();
    openOuts.clear();
    // Dead devices' closes under way before the program goes on to end.
    AwaitClosesUnderWay();
}

void AlsaMidi::EnsureListed(bool input)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (input ? inListed : outListed) {
            return;
        }
    }
    Relist(input);
}

UINT AlsaMidi::Relist(bool input)
{
    std::vector<Entry> list = Enumerate(input);
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Entry>& kept = input ? inList : outList;
    kept = std::move(list);
    (input ? inListed : outListed) = true;
    return static_cast<UINT>(kept.size());
}

UINT AlsaMidi::InGetNumDevs() { return Relist(true); }

UINT AlsaMidi::OutGetNumDevs() { return Relist(false); }

template <typename Caps>
MMRESULT AlsaMidi::GetDevCaps(bool input, UINT id, Caps* caps)
{
    if (caps == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    EnsureListed(input);
    std::lock_guard<std::mutex> lock(mutex);
    const std::vector<Entry>& list = input ? inList : outList;
    if (id >= list.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    *caps = Caps{};
    CopyDeviceName(list[id].name, caps->szPname);
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidi::InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT) { return GetDevCaps(true, id, caps); }

MMRESULT AlsaMidi::OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT) { return GetDevCaps(false, id, caps); }

// ---------------------------------------------------------------------------
// Opening and closing.

MMRESULT AlsaMidi::Reserve(bool input, UINT id, Entry& entry, std::uintptr_t& newHandle)
{
    EnsureListed(input);
    {
        std::lock_guard<std::mutex> lock(mutex);
        const std::vector<Entry>& list = input ? inList : outList;
        if (id >= list.size()) {
            return MMSYSERR_BADDEVICEID;
        }
        entry = list[id];
        newHandle = nextHandle++;
    }
    // Card numbers are given again after an unplug: the card behind the
    // number must still be the one listed.
    std::string cardId;
    std::string cardName;
    int err = 0;
    if (!ReadAlsaCard(entry.card, cardId, cardName, err) || cardId != entry.cardId || cardName != entry.cardName) {
        SetAlsaNote("The device \"" + entry.name + "\" is no longer there. List the devices again.");
        return MIDIERR_NODEVICE;
    }
    return MMSYSERR_NOERROR;
}

template <typename Device>
std::shared_ptr<Device> AlsaMidi::Find(const std::map<std::uintptr_t, std::shared_ptr<Device>>& open,
                                       std::uintptr_t handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = open.find(handle);
    return found == open.end() ? nullptr : found->second;
}

template <typename Device>
std::shared_ptr<Device> AlsaMidi::Take(std::map<std::uintptr_t, std::shared_ptr<Device>>& open,
                                       std::uintptr_t handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = open.find(handle);
    if (found == open.end()) {
        return nullptr;
    }
    std::shared_ptr<Device> device = std::move(found->second);
    open.erase(found);
    return device;
}

// ---------------------------------------------------------------------------
// Input.

std::shared_ptr<AlsaMidi::InDevice> AlsaMidi::FindIn(HMIDIIN handle) { return Find(ins, handle); }

MMRESULT AlsaMidi::InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD)
{
    if (handle == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    Entry entry;
    HMIDIIN newHandle = 0;
    if (const MMRESULT result = Reserve(true, id, entry, newHandle); result != MMSYSERR_NOERROR) {
        return result;
    }
    snd_rawmidi_t* rawmidi = nullptr;
    const int err = snd_rawmidi_open(&rawmidi, nullptr, entry.hwName.c_str(), SND_RAWMIDI_NONBLOCK);
    if (err < 0) {
        return AlsaOpenError(err, entry.card, entry.device);
    }
    // A larger kernel buffer keeps bytes while the port's callback runs.
    snd_rawmidi_params_t* params = nullptr;
    snd_rawmidi_params_alloca(&params);
    if (snd_rawmidi_params_current(rawmidi, params) == 0) {
        snd_rawmidi_params_set_buffer_size(rawmidi, params, kInputBufferBytes);
        snd_rawmidi_params_set_avail_min(rawmidi, params, 1);
        snd_rawmidi_params(rawmidi, params);   // the default buffer serves too
    }
    // A USB MIDI input throws away what arrives before it is first read or
    // polled (the kernel starts it then).  The reading thread may get there
    // only after the first command has gone out and been answered, on a busy
    // machine, so the open itself polls once: the input listens before
    // anything can be sent.
    std::vector<pollfd> fds(static_cast<std::size_t>(std::max(snd_rawmidi_poll_descriptors_count(rawmidi), 0)));
    if (!fds.empty() && snd_rawmidi_poll_descriptors(rawmidi, fds.data(), static_cast<unsigned>(fds.size())) > 0) {
        poll(fds.data(), fds.size(), 0);
    }
    auto device = std::make_shared<InDevice>(rawmidi, newHandle, callback, instance);
    std::lock_guard<std::mutex> lock(mutex);
    ins.emplace(newHandle, std::move(device));
    *handle = newHandle;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidi::InClose(HMIDIIN handle)
{
    const std::shared_ptr<InDevice> device = Take(ins, handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    // Buffers still posted are forgotten, never touched again; the reading
    // thread stops and the device is closed as `device` goes.
    device->input.Shutdown();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidi::InReset(HMIDIIN handle)
{
    const auto device = FindIn(handle);
    return device ? device->input.Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidi::InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT)
{
    const auto device = FindIn(handle);
    return device ? device->input.Prepare(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidi::InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT)
{
    const auto device = FindIn(handle);
    return device ? device->input.AddBuffer(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidi::InStart(HMIDIIN handle)
{
    const auto device = FindIn(handle);
    return device ? device->input.Start() : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidi::InStop(HMIDIIN handle)
{
    const auto device = FindIn(handle);
    return device ? device->input.Stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidi::InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT)
{
    const auto device = FindIn(handle);
    return device ? device->input.Unprepare(header) : MMSYSERR_INVALHANDLE;
}

// ---------------------------------------------------------------------------
// Output.

std::shared_ptr<AlsaMidi::OutDevice> AlsaMidi::FindOut(HMIDIOUT handle) { return Find(outs, handle); }

MMRESULT AlsaMidi::OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    if (handle == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    Entry entry;
    HMIDIOUT newHandle = 0;
    if (const MMRESULT result = Reserve(false, id, entry, newHandle); result != MMSYSERR_NOERROR) {
        return result;
    }
    snd_rawmidi_t* rawmidi = nullptr;
    const int err = snd_rawmidi_open(nullptr, &rawmidi, entry.hwName.c_str(), SND_RAWMIDI_NONBLOCK);
    if (err < 0) {
        return AlsaOpenError(err, entry.card, entry.device);
    }
    // A kernel buffer that holds a whole message (see OutDevice::Write); the
    // size the kernel granted is read back, the default serves too.
    std::size_t bufferSize = 4096;
    snd_rawmidi_params_t* params = nullptr;
    snd_rawmidi_params_alloca(&params);
    if (snd_rawmidi_params_current(rawmidi, params) == 0) {
        snd_rawmidi_params_set_buffer_size(rawmidi, params, kOutputBufferBytes);
        snd_rawmidi_params_set_avail_min(rawmidi, params, kOutputBufferBytes - 1);
        if (snd_rawmidi_params(rawmidi, params) < 0 && snd_rawmidi_params_current(rawmidi, params) == 0 &&
            snd_rawmidi_params_get_buffer_size(params) > 1) {
            // The size refused: the wake-up alone, for the size there is.
            snd_rawmidi_params_set_avail_min(rawmidi, params, snd_rawmidi_params_get_buffer_size(params) - 1);
            snd_rawmidi_params(rawmidi, params);
        }
    }
    std::size_t wakePending = SIZE_MAX;
    if (snd_rawmidi_params_current(rawmidi, params) == 0) {
        bufferSize = std::max<std::size_t>(snd_rawmidi_params_get_buffer_size(params), 1);
        const std::size_t availMin = snd_rawmidi_params_get_avail_min(params);
        if (availMin > 0 && availMin <= bufferSize) wakePending = bufferSize - availMin;
    }
    auto device = std::make_shared<OutDevice>(rawmidi, bufferSize);
    device->wakePending = wakePending;
    std::lock_guard<std::mutex> lock(mutex);
    outs.emplace(newHandle, std::move(device));
    *handle = newHandle;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidi::OutClose(HMIDIOUT handle)
{
    const std::shared_ptr<OutDevice> device = Take(outs, handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    // A send still running on another thread ends at once, its bytes are
    // discarded, and the device closes when it lets go.
    device->closing.store(true);
    device->wake.Set();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidi::OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT)
{
    return FindOut(handle) ? PrepareOutputHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidi::OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT)
{
    return FindOut(handle) ? UnprepareOutputHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidi::OutReset(HMIDIOUT handle)
{
    const auto device = FindOut(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    // The sending thread itself drops what the kernel still holds.
    device->Reset();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidi::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT)
{
    const auto device = FindOut(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    return SendLongMessage(header, [&](const BYTE* data, std::size_t size) { return device->Send(data, size); });
}

}  // namespace platform
