// q9-virtual-device: the virtual ARKO Q9 as a program of its own.  It joins
// the running JACK server as the client "ARKO Q9" with one MIDI input port
// and one MIDI output port, so the updater (and any other MIDI software)
// finds it as an ordinary device named "ARKO Q9", or serves an ALSA raw MIDI
// device (--alsa-rawmidi: the device end of a USB MIDI gadget), and answers
// every message as the device would, until SIGINT or SIGTERM.
#include "platform/jack/client.h"
#include "platform/sysex_assembler.h"
#include "virtual_device/device_end.h"
#include "virtual_device/settings_help.h"
#include "virtual_device/virtual_q9.h"
#include "q9_version.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kInputPort = "midi_in";
constexpr const char* kOutputPort = "midi_out";
// Larger than any message of the protocol, so that each arrives whole.
constexpr platform::DWORD kAssemblyBuffer = 65536;
constexpr auto kSlice = std::chrono::milliseconds(20);

constexpr const char* kUsageHead =
    "Usage: q9-virtual-device [SETTINGS] [--verbose] [--alsa-rawmidi DEVICE]\n"
    "                         [--write-expected FILE]\n"
    "\n"
    "Runs the virtual ARKO Q9 as the JACK client \"ARKO Q9\" (MIDI ports midi_in and\n"
    "midi_out) on the running JACK server, or on an ALSA raw MIDI device, until\n"
    "SIGINT or SIGTERM.\n"
    "\n"
    "  SETTINGS               comma-separated items, as --virtual-device=SETTINGS of\n"
    "                         the updater (below); a flash=PATH file is written back\n"
    "                         after each end-update and when the program ends\n"
    "  -v, --verbose          print \"ready\" once serving, one line for every command\n"
    "                         received, and at the end the messages received, the\n"
    "                         malformed ones and the input overruns (bytes lost)\n"
    "  --alsa-rawmidi DEVICE  serve this raw MIDI device instead of JACK: hw:C,D or\n"
    "                         a card's id or name (for example the card of a USB\n"
    "                         MIDI gadget, \"f_midi\")\n"
    "  --write-expected FILE  write the flash an update leaves behind, starting from\n"
    "                         the flash the settings give, to FILE, and end\n"
    "  --version              show the program's version\n"
    "  -h, --help             show this text\n"
    "\n"
    "Settings:\n";

std::string UsageText() { return kUsageHead + VirtualSettingsHelpText(2, 25); }

struct Options {
    std::string settings;
    bool verbose = false;
    std::string expectedPath;
    std::string alsaDevice;
    bool version = false;
};

// false with a message on a usage error; `help` when the text was asked for.
bool ParseArguments(int argc, char** argv, Options& options, bool& help, std::string& error)
{
    bool haveSettings = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            help = true;
            return true;
        }
        if (arg == "--version") {
            options.version = true;
            return true;
        }
        if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--alsa-rawmidi" || arg.rfind("--alsa-rawmidi=", 0) == 0) {
            if (arg == "--alsa-rawmidi") {
                options.alsaDevice = i + 1 < argc ? argv[++i] : "";
            } else {
                options.alsaDevice = std::string(arg.substr(std::strlen("--alsa-rawmidi=")));
            }
            if (options.alsaDevice.empty()) {
                error = "--alsa-rawmidi needs a device";
                return false;
            }
        } else if (arg == "--write-expected" || arg.rfind("--write-expected=", 0) == 0) {
            if (arg == "--write-expected") {
                if (i + 1 >= argc) {
                    error = "--write-expected needs a file name";
                    return false;
                }
                options.expectedPath = argv[++i];
            } else {
                options.expectedPath = std::string(arg.substr(std::strlen("--write-expected=")));
            }
            if (options.expectedPath.empty()) {
                error = "--write-expected needs a file name";
                return false;
            }
        } else if (!arg.empty() && arg.front() == '-') {
            error = "unknown option " + std::string(arg);
            return false;
        } else if (haveSettings) {
            error = "one settings string only (items are separated by commas): " + std::string(arg);
            return false;
        } else {
            options.settings = std::string(arg);
            haveSettings = true;
        }
    }
    return true;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// SIGINT and SIGTERM are blocked in every thread (libjack's threads inherit
// the mask) and looked for between steps.
class StopSignals {
public:
    StopSignals()
    {
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    bool Arrived()
    {
        if (!arrived) {
            const timespec now{0, 0};
            arrived = sigtimedwait(&set, nullptr, &now) > 0;
        }
        return arrived;
    }
    // Waits `duration`, or less when a signal comes; false then.
    bool Pause(std::chrono::milliseconds duration)
    {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (!Arrived()) {
            const auto left = until - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                return true;
            }
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kSlice));
        }
        return false;
    }

private:
    sigset_t set;
    bool arrived = false;
};

const char* KindName(VirtualQ9::Kind kind)
{
    switch (kind) {
    case VirtualQ9::Kind::IdentityRequest: return "identity-request";
    case VirtualQ9::Kind::BeginUpdate: return "begin-update";
    case VirtualQ9::Kind::EndUpdate: return "end-update";
    case VirtualQ9::Kind::Erase: return "erase";
    case VirtualQ9::Kind::WriteBlock: return "write-block";
    case VirtualQ9::Kind::Read: return "read";
    case VirtualQ9::Kind::HostStatus: return "host-status";
    case VirtualQ9::Kind::HostIdentity: return "host-identity";
    case VirtualQ9::Kind::Unknown: return "unknown-command";
    case VirtualQ9::Kind::Ignored: return "ignored";
    }
    return "?";
}

// One line per command: time since start, what came, what the device did.
std::string Describe(const VirtualQ9::LogEntry& entry, std::size_t length, double seconds)
{
    char line[160];
    int used = std::snprintf(line, sizeof line, "%10.3f %-16s", seconds, KindName(entry.kind));
    auto append = [&](const char* format, auto... values) {
        if (used >= 0 && static_cast<std::size_t>(used) < sizeof line) {
            used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), format, values...);
        }
    };
    switch (entry.kind) {
    case VirtualQ9::Kind::Erase:
    case VirtualQ9::Kind::Read:
    case VirtualQ9::Kind::WriteBlock:
        append(" 0x%06X %u bytes", entry.address, entry.size);
        break;
    case VirtualQ9::Kind::HostStatus:
        append(" %02X", entry.status);
        break;
    case VirtualQ9::Kind::HostIdentity:
        append(" %02X %02X %02X %02X", entry.address & 0xFF, (entry.address >> 8) & 0xFF, (entry.address >> 16) & 0xFF,
               entry.address >> 24);
        break;
    case VirtualQ9::Kind::Unknown:
        append(" 0x%02X", entry.command);
        break;
    case VirtualQ9::Kind::Ignored:
        append(" %zu bytes", length);
        break;
    default:
        break;
    }
    if (entry.kind != VirtualQ9::Kind::HostStatus && entry.kind != VirtualQ9::Kind::HostIdentity &&
        entry.kind != VirtualQ9::Kind::Ignored) {
        if (!entry.answered) {
            append(" -> no answer");
        } else if (entry.kind == VirtualQ9::Kind::Read && entry.status == VirtualQ9::kStatusOk) {
            append(" -> data");
        } else if (entry.kind == VirtualQ9::Kind::IdentityRequest) {
            append(" -> identity");
        } else {
            append(" -> status %02X", entry.status);
        }
    }
    return line;
}

// The JACK end: the client "ARKO Q9" with ports midi_in and midi_out.
class JackEnd final : public DeviceEnd {
public:
    explicit JackEnd(std::unique_ptr<platform::JackMidiClient> client) : client(std::move(client))
    {
        in = this->client->AddInput(kInputPort);
        out = this->client->AddOutput(kOutputPort);
    }
    bool HasPorts() const
    {
        return in != platform::JackMidiClient::kNoPort && out != platform::JackMidiClient::kNoPort;
    }
    void WaitInput(std::chrono::milliseconds limit) override { client->WaitInput(limit); }
    bool Receive(std::vector<platform::BYTE>& bytes) override { return client->Receive(in, bytes); }
    platform::MMRESULT Send(const platform::BYTE* data, std::size_t size) override
    {
        return client->Send(out, data, size);
    }
    std::string Gone() override { return client->ServerGone() ? "the JACK server has gone" : ""; }

private:
    std::unique_ptr<platform::JackMidiClient> client;
    platform::JackMidiClient::PortId in = platform::JackMidiClient::kNoPort;
    platform::JackMidiClient::PortId out = platform::JackMidiClient::kNoPort;
};

// A message that did not arrive as the host sent it: not framed F0 .. F7, or
// refused for its form (length, count, packing, CRC, a stray status byte).
bool Malformed(const std::uint8_t* bytes, std::size_t length, const VirtualQ9::LogEntry* entry)
{
    if (length < 2 || bytes[0] != 0xF0 || bytes[length - 1] != 0xF7) {
        return true;
    }
    if (entry == nullptr || !entry->answered) {
        return false;
    }
    switch (entry->status) {
    case VirtualQ9::kStatusBadHeader:
    case VirtualQ9::kStatusBadLength:
    case VirtualQ9::kStatusBadCount:
    case VirtualQ9::kStatusBadCrc:
    case VirtualQ9::kStatusBadPacking:
    case VirtualQ9::kStatusBadByte:
        return entry->kind != VirtualQ9::Kind::HostStatus && entry->kind != VirtualQ9::Kind::HostIdentity;
    default:
        return false;
    }
}

std::chrono::milliseconds LinkTime(std::uint64_t bytesPerSecond, std::size_t bytes)
{
    if (bytesPerSecond == 0) {
        return std::chrono::milliseconds(0);
    }
    return std::chrono::milliseconds(bytes * 1000 / bytesPerSecond);
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    bool help = false;
    std::string error;
    if (!ParseArguments(argc, argv, options, help, error)) {
        std::fprintf(stderr, "q9-virtual-device: %s\n\n%s", error.c_str(), UsageText().c_str());
        return kExitUsage;
    }
    if (help) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("q9-virtual-device %s\n", Q9_VERSION);
        return kExitOk;
    }
    VirtualDeviceSettings settings;
    if (!ParseVirtualDeviceSettings(options.settings, settings, error)) {
        std::fprintf(stderr, "q9-virtual-device: %s\n", error.c_str());
        return kExitUsage;
    }
    // What the host's sends return is the host's own system's business here.
    if (!settings.stall.Off() || !settings.ghost.Off()) {
        std::fprintf(stderr, "q9-virtual-device: stall and ghost act on the host's sends: only the updater's "
                             "built-in virtual device (--virtual-device) has them\n");
        return kExitUsage;
    }

    StopSignals signals;   // before any thread starts
    VirtualQ9 device(settings);
    if (!device.LoadError().empty()) {
        std::fprintf(stderr, "q9-virtual-device: %s\n", device.LoadError().c_str());
        return kExitFailed;
    }
    if (!options.expectedPath.empty()) {
        if (!WriteFile(options.expectedPath, ExpectedFlashAfterUpdate(device.Flash()), error)) {
            std::fprintf(stderr, "q9-virtual-device: %s\n", error.c_str());
            return kExitFailed;
        }
        return kExitOk;
    }

    std::unique_ptr<DeviceEnd> end;
    if (!options.alsaDevice.empty()) {
        end = OpenAlsaEnd(options.alsaDevice, error);
    } else if (auto client = platform::JackMidiClient::Open(VirtualQ9::kDeviceName, true, &error)) {
        auto jack = std::make_unique<JackEnd>(std::move(client));
        if (!jack->HasPorts()) error = "the JACK server refused the MIDI ports";
        if (jack->HasPorts()) end = std::move(jack);
    }
    if (!end) {
        std::fprintf(stderr, "q9-virtual-device: %s\n", error.empty() ? "no JACK server runs" : error.c_str());
        return kExitFailed;
    }
    if (options.verbose) {
        std::printf("ready\n");
        std::fflush(stdout);
    }

    const auto start = std::chrono::steady_clock::now();
    platform::SysExAssembler assembler;
    std::vector<char> storage(kAssemblyBuffer);
    platform::MIDIHDR buffer;
    buffer.lpData = storage.data();
    buffer.dwBufferLength = kAssemblyBuffer;
    assembler.Post(&buffer);

    int status = kExitOk;
    std::uint64_t messages = 0;
    std::uint64_t malformed = 0;
    std::uint64_t lostBytes = 0;
    std::vector<platform::BYTE> event;
    // reorder=: replies held back until the next message answered, or reorder-ms.
    std::vector<std::vector<std::uint8_t>> reordered;
    auto reorderedDue = std::chrono::steady_clock::time_point{};
    // One reply to the host; false when the program is to end.
    auto sendReply = [&](const std::vector<std::uint8_t>& bytes) {
        if (!signals.Pause(LinkTime(settings.linkBytesPerSecond, bytes.size()))) {
            return false;
        }
        const platform::MMRESULT sent = end->Send(bytes.data(), bytes.size());
        if (sent != platform::MMSYSERR_NOERROR && options.verbose) {
            std::printf("a reply of %zu bytes was not taken\n", bytes.size());
        }
        if (sent != platform::MMSYSERR_NOERROR && !end->Gone().empty()) {
            std::fprintf(stderr, "q9-virtual-device: %s\n", end->Gone().c_str());
            status = kExitFailed;
            return false;
        }
        return true;
    };
    auto sendReordered = [&] {
        std::vector<std::vector<std::uint8_t>> held;
        held.swap(reordered);
        for (const std::vector<std::uint8_t>& bytes : held) {
            if (!sendReply(bytes)) return;
        }
    };
    while (status == kExitOk && !signals.Arrived()) {
        if (!reordered.empty() && std::chrono::steady_clock::now() >= reorderedDue) {
            sendReordered();
            continue;
        }
        if (const std::string gone = end->Gone(); !gone.empty()) {
            if (options.alsaDevice.empty()) {
                std::fprintf(stderr, "q9-virtual-device: %s\n", gone.c_str());
                status = kExitFailed;
                break;
            }
            // A gadget's card goes with its USB connection and comes back
            // with it: the device waits, as a device unplugged does.
            lostBytes += end->LostBytes();
            end.reset();
            if (options.verbose) std::printf("disconnected\n");
            while (!end && signals.Pause(std::chrono::milliseconds(100))) end = OpenAlsaEnd(options.alsaDevice, error);
            if (!end) break;
            if (options.verbose) std::printf("connected\n");
            assembler = platform::SysExAssembler();   // a message cut by the unplug is forgotten
            assembler.Post(&buffer);
        }
        end->WaitInput(kSlice);
        while (status == kExitOk && end->Receive(event)) {
            std::size_t at = 0;
            while (at < event.size()) {
                platform::MIDIHDR* message = nullptr;
                at += assembler.Feed(event.data() + at, event.size() - at, message);
                if (message == nullptr) {
                    continue;
                }
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(message->lpData);
                std::size_t length = message->dwBytesRecorded;
                if (settings.cut.Hits(static_cast<std::uint32_t>(messages + 1))) {
                    length /= 2;   // cut=: the front half, without its end
                }
                if (!signals.Pause(LinkTime(settings.linkBytesPerSecond, length))) {
                    break;
                }
                const std::size_t logged = device.Log().size();
                const std::vector<VirtualQ9::Reply> replies = device.Receive(bytes, length);
                ++messages;
                if (Malformed(bytes, length, device.Log().size() > logged ? &device.Log().back() : nullptr)) {
                    ++malformed;
                    if (options.verbose) std::printf("malformed message of %zu bytes\n", length);
                }
                assembler.Post(&buffer);
                if (options.verbose && device.Log().size() > logged) {
                    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                    std::printf("%s\n", Describe(device.Log().back(), length, seconds).c_str());
                    std::fflush(stdout);
                }
                std::vector<std::vector<std::uint8_t>> overtaken;
                if (!replies.empty()) overtaken.swap(reordered);
                bool going = true;
                for (const VirtualQ9::Reply& reply : replies) {
                    const std::uint64_t waitMs = std::uint64_t{reply.busyMs} + settings.lateMs;
                    if (!signals.Pause(std::chrono::milliseconds(waitMs))) {
                        going = false;
                        break;
                    }
                    if (reply.lost) {
                        continue;
                    }
                    if (reply.reordered) {
                        reordered.insert(reordered.end(), reply.twice ? 2 : 1, reply.bytes);
                        reorderedDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.reorderMs);
                        continue;
                    }
                    if (!sendReply(reply.bytes) || (reply.twice && !sendReply(reply.bytes))) {
                        going = false;
                        break;
                    }
                }
                for (const std::vector<std::uint8_t>& bytes : overtaken) {
                    if (!going || !sendReply(bytes)) break;
                }
                if (!device.Log().empty() && device.Log().size() > logged) {
                    const VirtualQ9::LogEntry& entry = device.Log().back();
                    if (entry.kind == VirtualQ9::Kind::EndUpdate && entry.status == VirtualQ9::kStatusOk &&
                        !device.SaveFlash(error)) {
                        std::fprintf(stderr, "q9-virtual-device: %s\n", error.c_str());
                    }
                }
            }
        }
    }

    if (options.verbose) {
        std::printf("received %llu messages, %llu malformed, %llu bytes lost to input overruns\n",
                    static_cast<unsigned long long>(messages), static_cast<unsigned long long>(malformed),
                    static_cast<unsigned long long>(lostBytes + (end ? end->LostBytes() : 0)));
        std::fflush(stdout);
    }
    end.reset();   // leaves the server or closes the device
    if (!device.SaveFlash(error)) {
        std::fprintf(stderr, "q9-virtual-device: %s\n", error.c_str());
        status = kExitFailed;
    }
    return status;
}
