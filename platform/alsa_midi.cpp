#include "platform/alsa_midi.h"

#include "platform/sysex_assembler.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace platform {

namespace {

// ALSA reports its own errors on stderr unless told otherwise; this program
// reports failures in its own words.
void Silent(const char*, int, const char*, int, const char*, ...) {}

MMRESULT OpenError(int err)
{
    switch (-err) {
    case EBUSY:
        return MMSYSERR_ALLOCATED;   // held by another program (or by us)
    case ENOMEM:
        return MMSYSERR_NOMEM;
    default:
        return MIDIERR_NODEVICE;
    }
}

std::vector<pollfd> PollDescriptors(snd_rawmidi_t* rawmidi)
{
    const int count = snd_rawmidi_poll_descriptors_count(rawmidi);
    std::vector<pollfd> fds(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0) {
        const int filled = snd_rawmidi_poll_descriptors(rawmidi, fds.data(), static_cast<unsigned>(count));
        fds.resize(filled > 0 ? static_cast<std::size_t>(filled) : 0);
    }
    return fds;
}

// Waits up to timeoutMs for the device; the ALSA event bits, 0 on time-out.
unsigned short WaitDevice(snd_rawmidi_t* rawmidi, std::vector<pollfd>& fds, int timeoutMs)
{
    if (fds.empty()) {
        return POLLERR;
    }
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0) {
        return errno == EINTR ? 0 : POLLERR;
    }
    if (ready == 0) {
        return 0;
    }
    unsigned short events = 0;
    if (snd_rawmidi_poll_descriptors_revents(rawmidi, fds.data(), static_cast<unsigned>(fds.size()), &events) < 0) {
        return POLLERR;
    }
    return events;
}

}  // namespace

// ---------------------------------------------------------------------------
// Open devices.

struct AlsaMidi::InDevice {
    InDevice(snd_rawmidi_t* rawmidi, HMIDIIN handle, MidiInProc callback, DWORD_PTR instance)
        : rawmidi(rawmidi), input(handle, callback, instance)
    {
        reader = std::thread([this] { Read(); });
    }
    ~InDevice()
    {
        input.Shutdown();
        stop.store(true);
        reader.join();
        snd_rawmidi_close(rawmidi);
    }

    // Reads until stopped or until the device goes away; bytes read while
    // input is not started are thrown away by SysExInput.
    void Read()
    {
        std::vector<pollfd> fds = PollDescriptors(rawmidi);
        BYTE buffer[1024];
        while (!stop.load()) {
            const unsigned short events = WaitDevice(rawmidi, fds, kPollMs);
            if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return;   // unplugged: nothing more will come
            }
            if ((events & POLLIN) == 0) {
                continue;
            }
            for (;;) {
                const ssize_t got = snd_rawmidi_read(rawmidi, buffer, sizeof buffer);
                if (got == -EAGAIN || got == 0) {
                    break;
                }
                if (got < 0) {
                    return;
                }
                input.Feed(buffer, static_cast<std::size_t>(got));
            }
        }
    }

    snd_rawmidi_t* const rawmidi;
    SysExInput input;
    std::atomic<bool> stop{false};
    std::thread reader;   // last: starts once the rest exists
};

struct AlsaMidi::OutDevice {
    explicit OutDevice(snd_rawmidi_t* rawmidi) : rawmidi(rawmidi) {}
    ~OutDevice() { snd_rawmidi_close(rawmidi); }

    // One whole message, then the drain: MMSYSERR_NOERROR once every byte
    // has left the kernel's buffer.
    MMRESULT Send(const BYTE* data, std::size_t size)
    {
        std::lock_guard<std::mutex> lock(sendMutex);
        std::vector<pollfd> fds = PollDescriptors(rawmidi);
        auto lastProgress = std::chrono::steady_clock::now();
        std::size_t sent = 0;
        while (sent < size) {
            if (closing.load()) {
                return MIDIERR_NODEVICE;
            }
            const ssize_t written = snd_rawmidi_write(rawmidi, data + sent, size - sent);
            if (written > 0) {
                sent += static_cast<std::size_t>(written);
                lastProgress = std::chrono::steady_clock::now();
                continue;
            }
            if (written != -EAGAIN && written != 0) {
                return MIDIERR_NODEVICE;   // unplugged, or the device failed
            }
            const unsigned short events = WaitDevice(rawmidi, fds, kPollMs);
            if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return MIDIERR_NODEVICE;
            }
            if (std::chrono::steady_clock::now() - lastProgress > std::chrono::milliseconds(kStallMs)) {
                return MIDIERR_NODEVICE;   // the device takes no more bytes
            }
        }
        // The kernel bounds this wait itself.
        if (snd_rawmidi_drain(rawmidi) < 0) {
            return MIDIERR_NODEVICE;
        }
        return MMSYSERR_NOERROR;
    }

    snd_rawmidi_t* const rawmidi;
    std::mutex sendMutex;   // one message at a time, each whole
    std::atomic<bool> closing{false};
};

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
    }
}

std::vector<AlsaMidi::Entry> AlsaMidi::Enumerate(bool input)
{
    const snd_rawmidi_stream_t stream = input ? SND_RAWMIDI_STREAM_INPUT : SND_RAWMIDI_STREAM_OUTPUT;
    std::vector<Entry> entries;
    snd_ctl_card_info_t* cardInfo = nullptr;
    snd_rawmidi_info_t* info = nullptr;
    if (snd_ctl_card_info_malloc(&cardInfo) < 0 || snd_rawmidi_info_malloc(&info) < 0) {
        snd_ctl_card_info_free(cardInfo);
        return entries;
    }
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        const std::string cardHw = "hw:" + std::to_string(card);
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, cardHw.c_str(), 0) < 0) {
            continue;
        }
        std::string cardName;
        if (snd_ctl_card_info(ctl, cardInfo) == 0 && snd_ctl_card_info_get_name(cardInfo) != nullptr) {
            cardName = snd_ctl_card_info_get_name(cardInfo);
        }
        struct Found {
            std::string hwName;
            std::string subName;
        };
        std::vector<Found> found;
        int device = -1;
        while (snd_ctl_rawmidi_next_device(ctl, &device) == 0 && device >= 0) {
            snd_rawmidi_info_set_device(info, static_cast<unsigned>(device));
            snd_rawmidi_info_set_stream(info, stream);
            snd_rawmidi_info_set_subdevice(info, 0);
            if (snd_ctl_rawmidi_info(ctl, info) < 0) {
                continue;   // no such direction on this device
            }
            const unsigned subdevices = snd_rawmidi_info_get_subdevices_count(info);
            for (unsigned sub = 0; sub < subdevices; ++sub) {
                snd_rawmidi_info_set_subdevice(info, sub);
                if (snd_ctl_rawmidi_info(ctl, info) < 0) {
                    continue;
                }
                const char* subName = snd_rawmidi_info_get_subdevice_name(info);
                const char* deviceName = snd_rawmidi_info_get_name(info);
                std::string name = subName != nullptr ? subName : "";
                if (name.empty() && deviceName != nullptr) {
                    name = deviceName;
                }
                found.push_back({cardHw + "," + std::to_string(device) + "," + std::to_string(sub), name});
            }
        }
        snd_ctl_close(ctl);
        for (const Found& f : found) {
            entries.push_back({f.hwName, RawMidiDeviceName(cardName, f.subName, static_cast<unsigned>(found.size()))});
        }
    }
    snd_rawmidi_info_free(info);
    snd_ctl_card_info_free(cardInfo);
    return entries;
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

MMRESULT AlsaMidi::Reserve(bool input, UINT id, std::string& hwName, std::uintptr_t& newHandle)
{
    EnsureListed(input);
    std::lock_guard<std::mutex> lock(mutex);
    const std::vector<Entry>& list = input ? inList : outList;
    if (id >= list.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    hwName = list[id].hwName;
    newHandle = nextHandle++;
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
    std::string hwName;
    HMIDIIN newHandle = 0;
    if (const MMRESULT result = Reserve(true, id, hwName, newHandle); result != MMSYSERR_NOERROR) {
        return result;
    }
    snd_rawmidi_t* rawmidi = nullptr;
    const int err = snd_rawmidi_open(&rawmidi, nullptr, hwName.c_str(), SND_RAWMIDI_NONBLOCK);
    if (err < 0) {
        return OpenError(err);
    }
    // A larger kernel buffer keeps bytes while the port's callback runs.
    snd_rawmidi_params_t* params = nullptr;
    if (snd_rawmidi_params_malloc(&params) == 0) {
        if (snd_rawmidi_params_current(rawmidi, params) == 0) {
            snd_rawmidi_params_set_buffer_size(rawmidi, params, kInputBufferBytes);
            snd_rawmidi_params_set_avail_min(rawmidi, params, 1);
            snd_rawmidi_params(rawmidi, params);   // the default buffer serves too
        }
        snd_rawmidi_params_free(params);
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
    std::string hwName;
    HMIDIOUT newHandle = 0;
    if (const MMRESULT result = Reserve(false, id, hwName, newHandle); result != MMSYSERR_NOERROR) {
        return result;
    }
    snd_rawmidi_t* rawmidi = nullptr;
    const int err = snd_rawmidi_open(nullptr, &rawmidi, hwName.c_str(), SND_RAWMIDI_NONBLOCK);
    if (err < 0) {
        return OpenError(err);
    }
    auto device = std::make_shared<OutDevice>(rawmidi);
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
    // A send still running on another thread fails at its next look and
    // the device closes when it lets go.
    device->closing.store(true);
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

MMRESULT AlsaMidi::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT)
{
    const auto device = FindOut(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    return SendLongMessage(header, [&](const BYTE* data, std::size_t size) { return device->Send(data, size); });
}

}  // namespace platform
