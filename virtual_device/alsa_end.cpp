// q9-virtual-device's ALSA raw MIDI end.
#include "virtual_device/device_end.h"

#if defined(Q9_HAVE_ALSA)

#include <alsa/asoundlib.h>
#include <poll.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

void Silent(const char*, int, const char*, int, const char*, ...) {}

// "hw:..." as given; otherwise the card whose id or name it is.
std::string ResolveDevice(const std::string& device)
{
    if (device.rfind("hw:", 0) == 0 || device.rfind("default", 0) == 0) {
        return device;
    }
    snd_ctl_card_info_t* info = nullptr;
    snd_ctl_card_info_alloca(&info);
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0) < 0) continue;
        const bool match = snd_ctl_card_info(ctl, info) == 0 &&
                           (device == snd_ctl_card_info_get_id(info) || device == snd_ctl_card_info_get_name(info));
        snd_ctl_close(ctl);
        if (match) {
            return "hw:" + std::to_string(card) + ",0";
        }
    }
    return {};
}

class AlsaEnd final : public DeviceEnd {
public:
    AlsaEnd(snd_rawmidi_t* in, snd_rawmidi_t* out) : in(in), out(out) {}
    ~AlsaEnd() override
    {
        snd_rawmidi_drop(out);
        snd_rawmidi_close(out);
        snd_rawmidi_close(in);
    }

    void WaitInput(std::chrono::milliseconds limit) override
    {
        pollfd fds[4];
        const int count = snd_rawmidi_poll_descriptors(in, fds, 4);
        if (count <= 0) return;
        if (poll(fds, static_cast<nfds_t>(count), static_cast<int>(limit.count())) > 0) {
            unsigned short events = 0;
            snd_rawmidi_poll_descriptors_revents(in, fds, static_cast<unsigned>(count), &events);
            if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0) gone = "the raw MIDI device has gone";
        }
    }

    bool Receive(std::vector<platform::BYTE>& bytes) override
    {
        bytes.resize(16384);
        const ssize_t got = snd_rawmidi_read(in, bytes.data(), bytes.size());
        if (got == -EAGAIN || got == 0) return false;
        if (got < 0) {
            gone = std::string("reading the raw MIDI device failed: ") + snd_strerror(static_cast<int>(got));
            return false;
        }
        bytes.resize(static_cast<std::size_t>(got));
        return true;
    }

    // Each reply goes into an empty kernel buffer, in one write: the kernel
    // advances its write pointer before it copies the bytes in, and a
    // driver sending meanwhile would send stale bytes (the host's output
    // has the same rule).
    platform::MMRESULT Send(const platform::BYTE* data, std::size_t size) override
    {
        if (!AwaitEmpty()) return platform::MIDIERR_NODEVICE;
        std::size_t sent = 0;
        while (sent < size) {
            if (sent > 0 && !AwaitEmpty()) return platform::MIDIERR_NODEVICE;
            const ssize_t written = snd_rawmidi_write(out, data + sent, std::min(size - sent, outSize - 1));
            if (written > 0) {
                sent += static_cast<std::size_t>(written);
                continue;
            }
            if (written != -EAGAIN && written != 0) {
                return platform::MIDIERR_NODEVICE;
            }
            pollfd fds[4];
            const int count = snd_rawmidi_poll_descriptors(out, fds, 4);
            // The host may not read while unplugged: try again after a while.
            if (count <= 0 || poll(fds, static_cast<nfds_t>(count), 100) < 0) return platform::MIDIERR_NODEVICE;
        }
        return platform::MMSYSERR_NOERROR;
    }

    std::string Gone() override { return gone; }

    // False when the host takes nothing for kStallMs, or the device went:
    // what is left in the buffer is dropped then, so that no close waits.
    bool AwaitEmpty()
    {
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_status_alloca(&status);
        std::size_t lastAvail = 0;
        int idleMs = 0;
        while (snd_rawmidi_status(out, status) == 0) {
            const std::size_t avail = snd_rawmidi_status_get_avail(status);
            if (avail >= outSize) return true;
            idleMs = avail == lastAvail ? idleMs + 1 : 0;
            lastAvail = avail;
            if (idleMs >= kStallMs) break;
            const timespec pause{0, 1000000};
            nanosleep(&pause, nullptr);
        }
        snd_rawmidi_drop(out);
        return false;
    }
    static constexpr int kStallMs = 1000;
    std::size_t outSize = 4096;

    std::uint64_t LostBytes() override
    {
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_status_alloca(&status);
        if (snd_rawmidi_status(in, status) == 0) lost += snd_rawmidi_status_get_xruns(status);
        return lost;
    }

private:
    snd_rawmidi_t* const in;
    snd_rawmidi_t* const out;
    std::string gone;
    std::uint64_t lost = 0;   // the kernel counts and clears at each status
};

}  // namespace

std::unique_ptr<DeviceEnd> OpenAlsaEnd(const std::string& device, std::string& error)
{
    snd_lib_error_set_handler(&Silent);
    const std::string name = ResolveDevice(device);
    if (name.empty()) {
        error = "no sound card named " + device;
        return nullptr;
    }
    snd_rawmidi_t* in = nullptr;
    snd_rawmidi_t* out = nullptr;
    const int err = snd_rawmidi_open(&in, &out, name.c_str(), SND_RAWMIDI_NONBLOCK);
    if (err < 0) {
        error = "cannot open " + name + ": " + snd_strerror(err);
        return nullptr;
    }
    snd_rawmidi_params_t* params = nullptr;
    snd_rawmidi_params_alloca(&params);
    std::size_t outSize = 4096;
    if (snd_rawmidi_params_current(out, params) == 0) {
        snd_rawmidi_params_set_buffer_size(out, params, kAlsaEndOutputBytes);
        snd_rawmidi_params(out, params);
    }
    if (snd_rawmidi_params_current(out, params) == 0) outSize = snd_rawmidi_params_get_buffer_size(params);
    int set = snd_rawmidi_params_current(in, params);
    if (set == 0) set = snd_rawmidi_params_set_buffer_size(in, params, kAlsaEndInputBytes);
    if (set == 0) set = snd_rawmidi_params(in, params);
    if (set < 0) {
        error = "cannot enlarge the input buffer of " + name + ": " + snd_strerror(set);
        snd_rawmidi_close(in);
        snd_rawmidi_close(out);
        return nullptr;
    }
    auto end = std::make_unique<AlsaEnd>(in, out);
    end->outSize = outSize;
    return end;
}

#else

std::unique_ptr<DeviceEnd> OpenAlsaEnd(const std::string&, std::string& error)
{
    error = "this build has no ALSA";
    return nullptr;
}

#endif
