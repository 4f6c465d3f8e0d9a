// The ALSA backend's open devices: the input's reader thread and the
// output's writer, with what they share (a wake-up poll can wait on, the
// wait on a device, the close of a device that may be gone).  Only
// rawmidi.cpp includes this: the listing and the call table live there.
#pragma once

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

namespace rawmidi_io {

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
inline std::vector<pollfd> PollDescriptors(snd_rawmidi_t* rawmidi, const Wake& wake)
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
inline unsigned short WaitDevice(snd_rawmidi_t* rawmidi, std::vector<pollfd>& fds, int timeoutMs)
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
inline void CloseOrLetGo(snd_rawmidi_t* rawmidi, bool lost)
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

}  // namespace rawmidi_io

using rawmidi_io::Clock;
using rawmidi_io::CloseOrLetGo;
using rawmidi_io::PollDescriptors;
using rawmidi_io::WaitDevice;
using rawmidi_io::Wake;
using rawmidi_io::kFailed;
using rawmidi_io::kWoken;

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

}  // namespace platform
