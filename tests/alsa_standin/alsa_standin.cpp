// q9-alsa-standin: a FUSE file system that stands in for the kernel's sound
// devices under /dev/snd, so that alsa-lib's "hw" plugins (and through them
// the ALSA raw MIDI backend) run unmodified where no sound driver exists.
//
// Each card has a control file (controlC<n>) and one raw MIDI device
// (midiC<n>D0: input and output, one subdevice).  They behave like the
// kernel's raw MIDI driver where a host can tell: an output buffer of the
// kernel's size emptied at a set byte rate in USB-sized chunks, non-blocking
// writes that take what fits and then give -EAGAIN, poll readiness at
// avail_min, a drain that blocks until the buffer is empty (bounded), a close
// that drains, a drop that discards, an input buffer with its lost-byte
// count, -EBUSY for a second opener of a direction, and -ENODEV everywhere
// once the card is unplugged.  Behind each card sits the virtual ARKO Q9.
//
//   q9-alsa-standin MOUNTPOINT --control FIFO [--cards N] [--name NAME]
//       [--buffer BYTES] [--max-output-buffer BYTES] [--chunk BYTES]
//       [--drain-limit-ms MS]
//       [--device SETTINGS]   ("%c" in SETTINGS becomes the card number)
//   q9-alsa-standin --dump-current FILE   (the flash an update leaves)
//
// Commands, one a line, on the FIFO: "unplug C", "plug [C [NAME]]",
// "stall C 0|1", "overrun C BYTES" (the input counts BYTES more as lost to
// a full buffer, as the kernel's status then reports).  A summary of each card goes to stderr when it leaves.
#include "tests/alsa_standin/standin_card.h"

#include <sys/ioctl.h>
#include <sound/asound.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex cardsMutex;
std::map<int, std::shared_ptr<Card>> cards;          // plugged cards by number
std::map<std::uint64_t, std::unique_ptr<Handle>> openHandles;
std::uint64_t nextHandle = 1;

VirtualDeviceSettings ParseSettings(int number)
{
    std::string text = options.device;
    for (std::size_t at = text.find("%c"); at != std::string::npos; at = text.find("%c")) {
        text.replace(at, 2, std::to_string(number));
    }
    VirtualDeviceSettings settings;
    std::string error;
    if (!ParseVirtualDeviceSettings(text, settings, error)) {
        std::fprintf(stderr, "q9-alsa-standin: %s\n", error.c_str());
        std::exit(2);
    }
    return settings;
}

// Plugs a card in (cardsMutex held): the lowest free number unless given,
// an id made unique the way the kernel does ("Q9", "Q9_1", ...).
void Plug(int number, const std::string& name)
{
    if (number < 0) {
        number = 0;
        while (cards.count(number) != 0) ++number;
    }
    if (cards.count(number) != 0 || number > 31) return;
    std::string base;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c))) base += c;
    }
    if (base.size() > 2) base = base.substr(base.size() - 2);   // "ARKO Q9" -> "Q9"
    std::string id = base;
    for (int n = 1;; ++n) {
        bool used = false;
        for (const auto& [k, c] : cards) used = used || c->id == id;
        if (!used) break;
        id = base + "_" + std::to_string(n);
    }
    auto card = std::make_shared<Card>(number, id, name, ParseSettings(number));
    card->outSize = card->inSize = options.buffer;
    card->link = std::thread([raw = card.get()] { raw->Run(); });
    cards[number] = card;
}

void Summarize(Card& card)
{
    std::fprintf(stderr,
                 "card %d (%s): %zu writes, %zu refused, %zu bytes out, %zu drains, %zu bytes in, %zu input bytes "
                 "lost, %llu ms flash\n",
                 card.number, card.id.c_str(), card.writes, card.refusedWrites, card.bytesOut, card.drains,
                 card.bytesIn, card.lost, static_cast<unsigned long long>(card.busyMs));
}

void Leave(const std::shared_ptr<Card>& card, bool unplug)
{
    {
        std::lock_guard<std::mutex> lock(card->mutex);
        card->stop = true;
        card->unplugged = unplug || card->unplugged;
        if (unplug) {
            card->Notify();   // pollers see the error at once
        } else {
            card->changed.notify_all();
        }
    }
    if (card->link.joinable()) card->link.join();
    std::string error;
    if (!card->device.SaveFlash(error)) std::fprintf(stderr, "q9-alsa-standin: %s\n", error.c_str());
    // Handles still open (a close draining) go on counting.
    std::lock_guard<std::mutex> lock(card->mutex);
    Summarize(*card);
}

void Unplug(int number)
{
    std::shared_ptr<Card> card;
    {
        std::lock_guard<std::mutex> lock(cardsMutex);
        const auto found = cards.find(number);
        if (found == cards.end()) return;
        card = found->second;
        cards.erase(found);
    }
    Leave(card, true);
}

void ControlLoop()
{
    for (;;) {
        std::ifstream fifo(options.control);
        std::string line;
        while (std::getline(fifo, line)) {
            std::istringstream words(line);
            std::string command;
            int number = -1;
            words >> command >> number;
            if (command == "unplug") {
                Unplug(number);
            } else if (command == "plug") {
                std::string name;
                std::getline(words >> std::ws, name);
                std::lock_guard<std::mutex> lock(cardsMutex);
                Plug(number, name.empty() ? options.name : name);
            } else if (command == "stall") {
                int on = 1;
                words >> on;
                std::lock_guard<std::mutex> lock(cardsMutex);
                if (cards.count(number) != 0) {
                    std::lock_guard<std::mutex> cardLock(cards[number]->mutex);
                    cards[number]->stalled = on != 0;
                    cards[number]->Notify();
                }
            } else if (command == "overrun") {
                std::size_t bytes = 0;
                words >> bytes;
                std::lock_guard<std::mutex> lock(cardsMutex);
                if (cards.count(number) != 0) {
                    std::lock_guard<std::mutex> cardLock(cards[number]->mutex);
                    cards[number]->lost += bytes;
                }
            }
        }
    }
}

// "/controlC3" -> (3, true); "/midiC3D0" -> (3, false); else -1.
int ParsePath(const char* path, bool& control)
{
    int card = -1, device = -1;
    char rest = 0;
    if (std::sscanf(path, "/controlC%d%c", &card, &rest) == 1) {
        control = true;
        return card;
    }
    if (std::sscanf(path, "/midiC%dD%d%c", &card, &device, &rest) == 2 && device == 0) {
        control = false;
        return card;
    }
    return -1;
}

std::shared_ptr<Card> Plugged(int number)
{
    std::lock_guard<std::mutex> lock(cardsMutex);
    const auto found = cards.find(number);
    return found == cards.end() ? nullptr : found->second;
}

Handle* HandleOf(const fuse_file_info* fi)
{
    std::lock_guard<std::mutex> lock(cardsMutex);
    const auto found = openHandles.find(fi->fh);
    return found == openHandles.end() ? nullptr : found->second.get();
}

// ---------------------------------------------------------------------------
// File system operations.

void* Init(fuse_conn_info*, fuse_config* config)
{
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->direct_io = 1;
    config->intr = 1;   // a signalled waiter (a killed process) ends a drain
    return nullptr;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    bool control = false;
    const int number = ParsePath(path, control);
    if (number < 0 || !Plugged(number)) return -ENOENT;
    st->st_mode = S_IFREG | 0666;
    st->st_nlink = 1;
    return 0;
}

int ReadDir(const char*, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    std::lock_guard<std::mutex> lock(cardsMutex);
    for (const auto& [number, card] : cards) {
        const std::string control = "controlC" + std::to_string(number);
        const std::string midi = "midiC" + std::to_string(number) + "D0";
        fill(buf, control.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        fill(buf, midi.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

int Open(const char* path, fuse_file_info* fi)
{
    bool control = false;
    const int number = ParsePath(path, control);
    const std::shared_ptr<Card> card = number < 0 ? nullptr : Plugged(number);
    if (!card) return -ENOENT;
    auto handle = std::make_unique<Handle>();
    handle->card = card;
    handle->control = control;
    if (!control) {
        const int mode = fi->flags & O_ACCMODE;
        handle->input = mode == O_RDONLY || mode == O_RDWR;
        handle->output = mode == O_WRONLY || mode == O_RDWR;
        std::unique_lock<std::mutex> lock(card->mutex);
        if (card->unplugged) return -ENODEV;
        // The kernel lets go of a device at close; here the release comes a
        // moment after the close returned, so a reopen right after waits
        // for it briefly.
        auto held = [&] {
            return (handle->input && card->inHolder != nullptr) || (handle->output && card->outHolder != nullptr);
        };
        card->changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return !held(); });
        if (held()) return -EBUSY;
        // A fresh substream: empty buffers of the default size.
        if (handle->input) {
            card->inHolder = handle.get();
            card->in.clear();
            card->inSize = options.buffer;
            card->inAvailMin = 1;
            card->lost = 0;
        }
        if (handle->output) {
            card->outHolder = handle.get();
            card->outSize = options.buffer;
            card->outAvailMin = 1;
        }
    }
    fi->direct_io = 1;
    fi->nonseekable = 1;
    std::lock_guard<std::mutex> lock(cardsMutex);
    {
        std::lock_guard<std::mutex> cardLock(card->mutex);
        card->handles.insert(handle.get());
    }
    fi->fh = nextHandle++;
    openHandles[fi->fh] = std::move(handle);
    return 0;
}

// The kernel's drain: until the output is empty or the limit, whatever the
// non-blocking flag says; an unplug does not end it (the bytes never leave),
// a signal to the waiting process does.
int Drain(Card& card, std::unique_lock<std::mutex>& lock)
{
    ++card.drains;
    const auto limit = Clock::now() + std::chrono::milliseconds(options.drainLimitMs);
    bool empty = false;
    while (!(empty = card.out.empty() && card.inFlight == 0) && Clock::now() < limit) {
        if (fuse_interrupted()) return -EINTR;
        card.changed.wait_for(lock, std::chrono::milliseconds(10));
    }
    card.out.clear();
    card.Notify();
    return empty ? 0 : -EIO;
}

void LetGo(Handle* h)
{
    Card& card = *h->card;
    if (card.inHolder == h) card.inHolder = nullptr;
    if (card.outHolder == h) card.outHolder = nullptr;
}

// close(): the kernel drains the output before it lets the device go.
int Flush(const char*, fuse_file_info* fi)
{
    Handle* h = HandleOf(fi);
    if (h == nullptr || h->control) return 0;
    std::unique_lock<std::mutex> lock(h->card->mutex);
    if (h->output && h->card->outHolder == h) Drain(*h->card, lock);
    return 0;   // the device is let go at release: this may be a duplicate's close
}

int Release(const char*, fuse_file_info* fi)
{
    std::unique_ptr<Handle> handle;
    {
        std::lock_guard<std::mutex> lock(cardsMutex);
        const auto found = openHandles.find(fi->fh);
        if (found == openHandles.end()) return 0;
        handle = std::move(found->second);
        openHandles.erase(found);
    }
    std::lock_guard<std::mutex> lock(handle->card->mutex);
    LetGo(handle.get());
    handle->card->changed.notify_all();
    handle->card->handles.erase(handle.get());
    if (handle->poll != nullptr) fuse_pollhandle_destroy(handle->poll);
    return 0;
}

int Read(const char*, char* buf, std::size_t size, off_t, fuse_file_info* fi)
{
    Handle* h = HandleOf(fi);
    if (h == nullptr || !h->input) return -EBADF;
    Card& card = *h->card;
    std::unique_lock<std::mutex> lock(card.mutex);
    if ((fi->flags & O_NONBLOCK) == 0) card.changed.wait(lock, [&] { return card.unplugged || !card.in.empty(); });
    if (card.unplugged) return -ENODEV;
    if (card.in.empty()) return -EAGAIN;
    const std::size_t n = std::min(size, card.in.size());
    std::copy_n(card.in.begin(), n, buf);
    card.in.erase(card.in.begin(), card.in.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int>(n);
}

int Write(const char*, const char* buf, std::size_t size, off_t, fuse_file_info* fi)
{
    Handle* h = HandleOf(fi);
    if (h == nullptr || !h->output) return -EBADF;
    Card& card = *h->card;
    std::unique_lock<std::mutex> lock(card.mutex);
    std::size_t done = 0;
    while (done < size) {
        if (card.unplugged) return -ENODEV;
        if (card.OutFree() < card.outAvailMin) {
            if ((fi->flags & O_NONBLOCK) != 0) break;
            card.changed.wait(lock);
            continue;
        }
        const std::size_t n = std::min(size - done, card.OutFree());
        card.out.insert(card.out.end(), buf + done, buf + done + n);
        done += n;
        card.Notify();
        if ((fi->flags & O_NONBLOCK) != 0) break;
    }
    ++card.writes;
    card.bytesOut += done;
    if (done == 0) {
        ++card.refusedWrites;
        return -EAGAIN;
    }
    return static_cast<int>(done);
}

int Poll(const char*, fuse_file_info* fi, fuse_pollhandle* ph, unsigned* revents)
{
    Handle* h = HandleOf(fi);
    if (h == nullptr) {
        if (ph != nullptr) fuse_pollhandle_destroy(ph);
        return -EBADF;
    }
    Card& card = *h->card;
    std::lock_guard<std::mutex> lock(card.mutex);
    unsigned events = 0;
    if (card.unplugged) {
        events = POLLERR | POLLNVAL;
    } else {
        if (h->input && card.in.size() >= card.inAvailMin) events |= POLLIN | POLLRDNORM;
        if (h->output && card.OutFree() >= card.outAvailMin) events |= POLLOUT | POLLWRNORM;
    }
    if (ph != nullptr) {
        if (h->poll != nullptr) fuse_pollhandle_destroy(h->poll);
        h->poll = ph;
    }
    *revents = events;
    return 0;
}

void Copy(char* dest, std::size_t size, const std::string& text)
{
    std::snprintf(dest, size, "%s", text.c_str());
}

void FillInfo(Card& card, snd_rawmidi_info& info)
{
    info.card = card.number;
    info.flags = SNDRV_RAWMIDI_INFO_OUTPUT | SNDRV_RAWMIDI_INFO_INPUT | SNDRV_RAWMIDI_INFO_DUPLEX;
    Copy(reinterpret_cast<char*>(info.id), sizeof info.id, card.name);
    Copy(reinterpret_cast<char*>(info.name), sizeof info.name, card.name);
    Copy(reinterpret_cast<char*>(info.subname), sizeof info.subname, card.name + " MIDI 1");
    info.subdevices_count = 1;
    const bool held = info.stream == SNDRV_RAWMIDI_STREAM_INPUT ? card.inHolder != nullptr : card.outHolder != nullptr;
    info.subdevices_avail = held ? 0 : 1;
}

int ControlIoctl(Card& card, unsigned cmd, void* data)
{
    switch (cmd) {
    case SNDRV_CTL_IOCTL_PVERSION:
        *static_cast<int*>(data) = SNDRV_CTL_VERSION;
        return 0;
    case SNDRV_CTL_IOCTL_CARD_INFO: {
        auto* info = static_cast<snd_ctl_card_info*>(data);
        std::memset(info, 0, sizeof *info);
        info->card = card.number;
        Copy(reinterpret_cast<char*>(info->id), sizeof info->id, card.id);
        Copy(reinterpret_cast<char*>(info->driver), sizeof info->driver, "USB-Audio");
        Copy(reinterpret_cast<char*>(info->name), sizeof info->name, card.name);
        Copy(reinterpret_cast<char*>(info->longname), sizeof info->longname, card.name + " at usb-0000:00:14.0-1");
        Copy(reinterpret_cast<char*>(info->mixername), sizeof info->mixername, "USB Mixer");
        return 0;
    }
    case SNDRV_CTL_IOCTL_RAWMIDI_NEXT_DEVICE: {
        int* device = static_cast<int*>(data);
        *device = *device < 0 ? 0 : -1;
        return 0;
    }
    case SNDRV_CTL_IOCTL_RAWMIDI_INFO: {
        auto* info = static_cast<snd_rawmidi_info*>(data);
        if (info->device != 0 || info->subdevice > 0) return -ENXIO;
        info->subdevice = 0;
        FillInfo(card, *info);
        return 0;
    }
    case SNDRV_CTL_IOCTL_RAWMIDI_PREFER_SUBDEVICE:
        return 0;
    default:
        std::fprintf(stderr, "q9-alsa-standin: control ioctl %#x not handled\n", cmd);
        return -ENOTTY;
    }
}

int MidiIoctl(Handle& h, unsigned cmd, void* data)
{
    Card& card = *h.card;
    std::unique_lock<std::mutex> lock(card.mutex);
    switch (cmd) {
    case SNDRV_RAWMIDI_IOCTL_PVERSION:
        *static_cast<int*>(data) = SNDRV_RAWMIDI_VERSION;
        return 0;
#ifdef SNDRV_RAWMIDI_IOCTL_USER_PVERSION
    case SNDRV_RAWMIDI_IOCTL_USER_PVERSION:
        return 0;
#endif
    case SNDRV_RAWMIDI_IOCTL_INFO: {
        auto* info = static_cast<snd_rawmidi_info*>(data);
        info->device = 0;
        info->subdevice = 0;
        FillInfo(card, *info);
        return 0;
    }
    case SNDRV_RAWMIDI_IOCTL_PARAMS: {
        auto* params = static_cast<snd_rawmidi_params*>(data);
        const bool input = params->stream == SNDRV_RAWMIDI_STREAM_INPUT;
        if (input ? !h.input : !h.output) return -EINVAL;
        if (params->buffer_size < 32 || params->buffer_size > 1024 * 1024 || params->avail_min < 1 ||
            params->avail_min > params->buffer_size ||
            (!input && options.maxOutput != 0 && params->buffer_size > std::max(options.maxOutput, options.buffer))) {
            return -EINVAL;
        }
        // alsa-lib asks for one page at open: --buffer stands for the page
        // size of the system modelled (16 KiB, 64 KiB on some ARM64 kernels).
        if (params->buffer_size == static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
            params->buffer_size = options.buffer;
            params->avail_min = std::min(params->avail_min, params->buffer_size);
        }
        (input ? card.inSize : card.outSize) = params->buffer_size;
        (input ? card.inAvailMin : card.outAvailMin) = params->avail_min;
        card.Notify();
        return 0;
    }
    case SNDRV_RAWMIDI_IOCTL_STATUS: {
        auto* status = static_cast<snd_rawmidi_status*>(data);
        const bool input = status->stream == SNDRV_RAWMIDI_STREAM_INPUT;
        if (input ? !h.input : !h.output) return -EINVAL;
        clock_gettime(CLOCK_MONOTONIC, &status->tstamp);
        status->avail = input ? card.in.size() : card.OutFree();
        status->xruns = input ? card.lost : 0;
        if (input) card.lost = 0;
        return 0;
    }
    case SNDRV_RAWMIDI_IOCTL_DROP:
    case SNDRV_RAWMIDI_IOCTL_DRAIN: {
        const int stream = *static_cast<int*>(data);
        if (stream == SNDRV_RAWMIDI_STREAM_INPUT) {
            if (!h.input) return -EINVAL;
            card.in.clear();
            return 0;
        }
        if (!h.output) return -EINVAL;
        if (cmd == SNDRV_RAWMIDI_IOCTL_DRAIN) return Drain(card, lock);
        card.out.clear();
        card.Notify();
        return 0;
    }
    default:
        std::fprintf(stderr, "q9-alsa-standin: raw MIDI ioctl %#x not handled\n", cmd);
        return -ENOTTY;
    }
}

int Ioctl(const char*, unsigned int cmd, void*, fuse_file_info* fi, unsigned int, void* data)
{
    Handle* h = HandleOf(fi);
    if (h == nullptr) return -EBADF;
    {
        std::lock_guard<std::mutex> lock(h->card->mutex);
        // A drain begun before the unplug goes on (above); a new one fails.
        if (h->card->unplugged) return -ENODEV;
    }
    return h->control ? ControlIoctl(*h->card, cmd, data) : MidiIoctl(*h, cmd, data);
}

int DumpCurrent(const char* path)
{
    VirtualDeviceSettings settings;
    settings.flash = VirtualDeviceSettings::Flash::Current;
    const VirtualQ9 device(settings);
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(device.Flash().data()), static_cast<std::streamsize>(device.Flash().size()));
    return file ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--dump-current") == 0) return DumpCurrent(argv[2]);
    std::string mountpoint;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--control") options.control = value, ++i;
        else if (arg == "--cards") options.cards = std::atoi(value), ++i;
        else if (arg == "--name") options.name = value, ++i;
        else if (arg == "--buffer") options.buffer = std::strtoul(value, nullptr, 10), ++i;
        else if (arg == "--max-output-buffer") options.maxOutput = std::strtoul(value, nullptr, 10), ++i;
        else if (arg == "--chunk") options.chunk = std::max(1ul, std::strtoul(value, nullptr, 10)), ++i;
        else if (arg == "--drain-limit-ms") options.drainLimitMs = std::atoi(value), ++i;
        else if (arg == "--device") options.device = value, ++i;
        else mountpoint = arg;
    }
    if (mountpoint.empty() || options.control.empty()) {
        std::fprintf(stderr, "usage: q9-alsa-standin MOUNTPOINT --control FIFO [options]\n");
        return 2;
    }
    {
        std::lock_guard<std::mutex> lock(cardsMutex);
        for (int n = 0; n < options.cards; ++n) Plug(-1, options.name);
    }
    std::thread(ControlLoop).detach();
    // libfuse interrupts a request's thread with SIGUSR1 (Drain looks).
    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) {};
    sigaction(SIGUSR1, &interrupt, nullptr);

    fuse_operations ops{};
    ops.init = Init;
    ops.getattr = GetAttr;
    ops.readdir = ReadDir;
    ops.open = Open;
    ops.flush = Flush;
    ops.release = Release;
    ops.read = Read;
    ops.write = Write;
    ops.poll = Poll;
    ops.ioctl = Ioctl;
    std::vector<std::string> args = {argv[0], "-f", "-o", "fsname=q9-alsa-standin,auto_unmount", mountpoint};
    std::vector<char*> fuseArgv;
    for (std::string& a : args) fuseArgv.push_back(a.data());
    const int result = fuse_main(static_cast<int>(fuseArgv.size()), fuseArgv.data(), &ops, nullptr);

    std::vector<std::shared_ptr<Card>> left;
    {
        std::lock_guard<std::mutex> lock(cardsMutex);
        for (auto& [n, card] : cards) left.push_back(card);
        cards.clear();
    }
    for (const auto& card : left) Leave(card, false);
    std::fflush(stderr);
    std::_Exit(result);   // the control thread may sit in a FIFO open
}
