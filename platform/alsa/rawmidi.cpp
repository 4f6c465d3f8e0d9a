#include "platform/alsa/rawmidi.h"

#include "platform/alsa/cards.h"
#include "platform/alsa/dead_close.h"
#include "platform/sysex_assembler.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace platform {

namespace {

// ALSA reports its own errors on stderr unless told otherwise; this program
// reports failures in its own words.
void Silent(const char*, int, const char*, int, const char*, ...) {}

using Clock = std::chrono::steady_clock;

// A wake-up that poll can wait on beside the device: set by the closing
// side, never cleared.
struct Wake {
    Wake() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Wake()
    {
        if (fd >= 0) close(fd);
    }
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;
    void Set() const
    {
        const std::uint64_t one = 1;
        if (fd >= 0) [[maybe_unused]] const ssize_t ignored = write(fd, &one, sizeof one);
    }
    // Takes back a wake-up that nobody waits for any more (a reset's, once
    // its send has ended); a close's stays in force through `closing`.
    void Clear() const
    {
        std::uint64_t count = 0;
        if (fd >= 0) [[maybe_unused]] const ssize_t ignored = read(fd, &count, sizeof count);
    }
    const int fd;
};

// The device's poll descriptors, then the wake-up's.
std::vector<pollfd> PollDescriptors(snd_rawmidi_t* rawmidi, const Wake& wake)
{
    const int count = snd_rawmidi_poll_descriptors_count(rawmidi);
    std::vector<pollfd> fds(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0) {
        const int filled = snd_rawmidi_poll_descriptors(rawmidi, fds.data(), static_cast<unsigned>(count));
        fds.resize(filled > 0 ? static_cast<std::size_t>(filled) : 0);
    }
    if (!fds.empty()) fds.push_back({wake.fd, POLLIN, 0});
    return fds;
}

constexpr unsigned short kWoken = 0x8000;   // not an ALSA event bit
constexpr unsigned short kFailed = POLLERR | POLLHUP | POLLNVAL;

// Waits up to timeoutMs (-1: no limit) for the device or the wake-up; the
// device's event bits, kWoken, or 0 on time-out.
unsigned short WaitDevice(snd_rawmidi_t* rawmidi, std::vector<pollfd>& fds, int timeoutMs)
{
    if (fds.size() < 2) {
        return POLLERR;
    }
    for (pollfd& fd : fds) fd.revents = 0;
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0) {
        return errno == EINTR ? 0 : POLLERR;
    }
    if (fds.back().revents != 0) {
        return kWoken;
    }
    if (ready == 0) {
        return 0;
    }
    unsigned short events = 0;
    if (snd_rawmidi_poll_descriptors_revents(rawmidi, fds.data(), static_cast<unsigned>(fds.size() - 1), &events) < 0) {
        return POLLERR;
    }
    return events;
}

// Closes a device, or lets it go without a close when its card is gone
// (known already, or found now from its status): see dead_close.h.
void CloseOrLetGo(snd_rawmidi_t* rawmidi, bool lost)
{
    if (!lost) {
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_status_alloca(&status);
        lost = snd_rawmidi_status(rawmidi, status) == -ENODEV;
    }
    if (lost) {
        LetGo(rawmidi);
    } else {
        snd_rawmidi_close(rawmidi);
    }
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
        wake.Set();
        reader.join();
        // Input has nothing to drain, but the kernel closes a device's input
        // and output under one lock: a gone card's input closed here would
        // wait out the drain of its output's close, which holds that lock.
        CloseOrLetGo(rawmidi, lost);
    }

    // Reads until woken or until the device goes away, which the port then
    // hears of (MIM_CLOSE); bytes read while input is not started are thrown
    // away by SysExInput.
    void Read()
    {
        std::vector<pollfd> fds = PollDescriptors(rawmidi, wake);
        BYTE buffer[1024];
        for (;;) {
            const unsigned short events = WaitDevice(rawmidi, fds, -1);
            if (events == kWoken) {
                return;
            }
            if ((events & kFailed) != 0) {
                lost = true;
                input.DeviceLost();
                return;
            }
            if ((events & POLLIN) == 0) {
                continue;
            }
            for (;;) {
                const ssize_t got = snd_rawmidi_read(rawmidi, buffer, sizeof buffer);
                if (got == -EAGAIN || got == 0) {
                    NoteOverrun();
                    break;
                }
                if (got < 0) {
                    lost = got == -ENODEV;
                    input.DeviceLost();
                    return;
                }
                input.Feed(buffer, static_cast<std::size_t>(got));
            }
        }
    }

    // Bytes the kernel dropped for a full buffer: said to the user.
    void NoteOverrun()
    {
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_status_alloca(&status);
        if (snd_rawmidi_status(rawmidi, status) < 0) return;
        const std::size_t lost = snd_rawmidi_status_get_xruns(status);   // cleared by each status
        if (lost == 0) return;
        overrunBytes += lost;
        SetAlsaNote("Warning: the system's MIDI input buffer overflowed; " + std::to_string(overrunBytes) +
                    " bytes sent by the device were lost.");
    }

    snd_rawmidi_t* const rawmidi;
    SysExInput input;
    std::size_t overrunBytes = 0;   // the reading thread's
    bool lost = false;              // the card is gone (the reading thread's until it ends)
    Wake wake;
    std::thread reader;   // last: starts once the rest exists
};

struct AlsaMidi::OutDevice {
    OutDevice(snd_rawmidi_t* rawmidi, std::size_t bufferSize) : rawmidi(rawmidi), bufferSize(bufferSize) {}
    ~OutDevice()
    {
        if (rawmidi == nullptr) return;
        // A card that went while no send was running (the input saw it
        // first) may still hold the last bytes of a message that its driver
        // had under way: a plain close would wait the kernel's drain for them.
        // (With the card there, nothing is left unsent: the drain ends at once.)
        CloseOrLetGo(rawmidi, lost);
    }

    // One whole message, then the wait until the kernel's buffer is empty:
    // MMSYSERR_NOERROR once every byte has left.  On any failure the bytes
    // still in the kernel's buffer are discarded, so that no close waits
    // for them.  MMSYSERR_NODRIVER when the card is gone, so that the port
    // learns of an unplug from the send itself, not only from the input.
    // A reset ends it at once the same way (kSendEndedByReset), also while
    // it still waits for another message to finish: the reset ends every
    // message it finds in the backend.
    MMRESULT Send(const BYTE* data, std::size_t size)
    {
        const std::uint64_t seenResets = resets.load();
        std::lock_guard<std::mutex> lock(sendMutex);
        if (rawmidi == nullptr) {
            return MIDIERR_NODEVICE;
        }
        if (lost) {
            return MMSYSERR_NODRIVER;
        }
        // A reset's wake-up left over from an earlier message is taken back
        // before `resets` is read again: a reset after this wakes this one.
        wake.Clear();
        generation = seenResets;
        MMRESULT result = Ended();
        if (result == MMSYSERR_NOERROR) result = Write(data, size);
        if (result != MMSYSERR_NOERROR) {
            if (snd_rawmidi_drop(rawmidi) == -ENODEV) lost = true;
        }
        if (lost) return MMSYSERR_NODRIVER;
        return result;
    }

    // Ends the message being sent and those waiting to be; the device stays open.
    void Reset()
    {
        resets.fetch_add(1);
        wake.Set();
    }

    // Why the message being sent must end now: a close (MIDIERR_NODEVICE) or
    // a reset (kSendEndedByReset); MMSYSERR_NOERROR when it goes on.
    MMRESULT Ended() const
    {
        if (closing.load()) {
            return MIDIERR_NODEVICE;
        }
        if (resets.load() != generation) {
            return kSendEndedByReset;
        }
        return MMSYSERR_NOERROR;
    }

    // Bytes go only into an empty kernel buffer, never filling it: the kernel
    // advances its write pointer before it copies them in, so a driver
    // sending meanwhile (USB MIDI, from its completion handler) sends what the
    // buffer held before.  A message that fits the buffer goes in one write.
    MMRESULT Write(const BYTE* data, std::size_t size)
    {
        std::vector<pollfd> fds = PollDescriptors(rawmidi, wake);
        auto lastProgress = Clock::now();
        std::size_t sent = 0;
        const std::size_t chunk = bufferSize > 1 ? bufferSize - 1 : 1;
        while (sent < size) {
            if (const MMRESULT ended = Ended(); ended != MMSYSERR_NOERROR) {
                return ended;
            }
            if (sent > 0) {
                if (const MMRESULT emptied = AwaitEmpty(fds); emptied != MMSYSERR_NOERROR) return emptied;
            }
            const ssize_t written = snd_rawmidi_write(rawmidi, data + sent, std::min(chunk, size - sent));
            if (written > 0) {
                sent += static_cast<std::size_t>(written);
                lastProgress = Clock::now();
                continue;
            }
            if (written != -EAGAIN && written != 0) {
                lost = written == -ENODEV;
                return MMSYSERR_ERROR;   // unplugged (see Send), or the device failed
            }
            const int left = kStallMs - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            Clock::now() - lastProgress).count());
            if (left <= 0) {
                return MMSYSERR_ERROR;   // the device takes no more bytes
            }
            const unsigned short events = WaitDevice(rawmidi, fds, left);
            if ((events & kFailed) != 0) {
                lost = true;
                return MMSYSERR_NODRIVER;
            }
        }
        return AwaitEmpty(fds);
    }

    // snd_rawmidi_drain would block whatever the mode and outlast an unplug:
    // the buffer's status is read instead.  The device wakes poll when at
    // most wakePending bytes are left (avail_min is the buffer's size less
    // one, as close to empty as ALSA lets it be set): poll sleeps until then,
    // one wake per message as a rule, since drivers take bytes in runs.  The
    // last bytes, or all of them where the kernel refused that setting, are
    // waited for at intervals sized from how fast the buffer empties.  A
    // close wakes either wait at once.
    MMRESULT AwaitEmpty(std::vector<pollfd>& fds)
    {
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_status_alloca(&status);
        auto lastProgress = Clock::now();
        std::size_t lastPending = SIZE_MAX;
        double bytesPerMs = 0;
        for (;;) {
            if (const MMRESULT ended = Ended(); ended != MMSYSERR_NOERROR) {
                return ended;
            }
            const int err = snd_rawmidi_status(rawmidi, status);
            if (err < 0) {
                lost = err == -ENODEV;
                return MMSYSERR_ERROR;   // unplugged (see Send), or the device failed
            }
            const std::size_t avail = snd_rawmidi_status_get_avail(status);
            const std::size_t pending = avail >= bufferSize ? 0 : bufferSize - avail;
            if (pending == 0) {
                return MMSYSERR_NOERROR;
            }
            const auto now = Clock::now();
            if (pending < lastPending) {
                if (lastPending != SIZE_MAX) {
                    const double ms = std::chrono::duration<double, std::milli>(now - lastProgress).count();
                    if (ms > 0) bytesPerMs = static_cast<double>(lastPending - pending) / ms;
                }
                lastPending = pending;
                lastProgress = now;
            } else if (now - lastProgress > std::chrono::milliseconds(kStallMs)) {
                return MMSYSERR_ERROR;   // the device takes no more bytes
            }
            if (pending > wakePending) {
                const auto stalled = lastProgress + std::chrono::milliseconds(kStallMs) - now;
                const int left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(stalled).count());
                if ((WaitDevice(rawmidi, fds, std::max(left, 1)) & kFailed) != 0) {
                    lost = true;
                    return MMSYSERR_NODRIVER;
                }
                continue;
            }
            // Sleep a third of what the rest needs at the rate seen so far,
            // so that the end is seen soon after it comes.
            double waitUs = bytesPerMs > 0 ? 300.0 * static_cast<double>(pending) / bytesPerMs : 100.0;
            waitUs = std::clamp(waitUs, 100.0, 1000.0 * kMaxEmptyWaitMs);
            const long us = static_cast<long>(waitUs);
            const timespec timeout{us / 1000000, (us % 1000000) * 1000};
            pollfd woken = fds.back();
            woken.revents = 0;
            ppoll(&woken, 1, &timeout, nullptr);
        }
    }

    snd_rawmidi_t* const rawmidi;
    const std::size_t bufferSize;
    std::size_t wakePending = SIZE_MAX;   // the device's POLLOUT: at most this much left
    std::mutex sendMutex;   // one message at a time, each whole
    bool lost = false;      // the card is gone (sendMutex, or the last owner)
    std::atomic<bool> closing{false};
    std::atomic<std::uint64_t> resets{0};   // resets so far
    std::uint64_t generation = 0;           // sendMutex: the resets the message being sent has outlived
    Wake wake;
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
