// The virtual ARKO Q9: a model of the device side of the SysEx update
// protocol (4 MiB of flash, the command set, its checks and refusals), and a
// MIDI backend that puts the model behind one input and one output device,
// both named "ARKO Q9", served from a thread of its own.
#pragma once

#include "platform/mmsystem.h"
#include "virtual_device/flash_file.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// ---------------------------------------------------------------------------
// Settings, given as one string of comma-separated items, e.g.
// "flash=erased,link=131072,write-ms=2".  A comma inside a value is quoted
// or escaped: flash="/a,b.flash" or flash=/a\,b.flash.  No item may be
// given twice.  Items:
//   flash=factory|erased|current|PATH   identity=HHHHHHHH   version=XXXX
//   update-mode=on|off   link=BYTES_PER_SECOND (0 unlimited)
//   erase-ms=N (per 4 KiB erased)   write-ms=N (per block written)
//   drop=N   refuse=N   corrupt-read=N   late=MS   silent
//   hold=N hold-ms=MS (the reply to every Nth command comes MS later, 2600
//   unless given, and the command after it is refused)
// drop=N and refuse=N count the device-format commands the device answers
// (begin-update, erase, write-block, end-update, read, unknown commands);
// identity requests are not counted.  corrupt-read=N counts read-data
// replies.  0 switches a counter setting off.
struct VirtualDeviceSettings {
    enum class Flash { Factory, Erased, Current, Path };
    Flash flash = Flash::Factory;
    std::string flashPath;                                // flash=PATH
    std::array<std::uint8_t, 4> identity{0x6E, 0x00, 0x09, 0x00};
    std::array<char, 4> version{'1', '0', '0', '0'};      // version bytes of the identity reply
    bool updateModeOff = false;                           // begin-update -> status 0x0B
    std::uint64_t linkBytesPerSecond = 0;                 // both directions; 0 unlimited
    std::uint32_t eraseMsPer4K = 0;
    std::uint32_t writeMsPerBlock = 0;
    std::uint32_t drop = 0;         // the reply to every Nth command is lost
    std::uint32_t refuse = 0;       // every Nth command is refused (kStatusRefused)
    std::uint32_t corruptRead = 0;  // every Nth read-data reply carries a wrong CRC
    std::uint32_t lateMs = 0;       // every reply this much later
    bool silent = false;            // never answers (commands still act)
    std::uint32_t hold = 0;         // the reply to every Nth command held back holdMs; the next command refused
    std::uint32_t holdMs = 2600;
};

// Empty text gives the defaults.  On a bad item: false, `out` untouched, and
// `error` names the item and says what is wrong with it.
bool ParseVirtualDeviceSettings(std::string_view text, VirtualDeviceSettings& out, std::string& error);

// ---------------------------------------------------------------------------
// The device model.  No threads, no clocks: feed it one complete message (F0
// to F7) and get back its replies, each with the time the device spent on its
// flash before answering, so that a transport can model time.
class VirtualQ9 {
public:
    static constexpr std::uint32_t kFlashSize = 0x400000;     // 4 MiB, 0x000000 to 0x3FFFFF
    static constexpr std::uint32_t kEraseUnit = 0x1000;       // erases are whole 4 KiB sectors
    static constexpr std::uint32_t kReadChunk = 4096;         // data bytes per read-data reply
    static constexpr std::uint32_t kMaxWriteBlock = 4096;     // data bytes per write-block command
    static constexpr const char* kDeviceName = "ARKO Q9";

    // Status bytes of the device's status replies.  0 is success; everything
    // else is a refusal, and a refused command changes nothing.
    static constexpr std::uint8_t kStatusOk = 0x00;
    static constexpr std::uint8_t kStatusNotUpdateMode = 0x0B;   // begin-update while update-mode=off
    static constexpr std::uint8_t kStatusBadHeader = 0x10;       // device number not 0x00, or a read request without 0x30
    static constexpr std::uint8_t kStatusWrongModel = 0x11;      // model byte is not this device's
    static constexpr std::uint8_t kStatusBadLength = 0x12;       // message length does not fit the command
    static constexpr std::uint8_t kStatusBadCount = 0x13;        // data count 0, or above 4096 in a write block
    static constexpr std::uint8_t kStatusOutOfRange = 0x14;      // address/size outside the flash, or an oversized five-byte value
    static constexpr std::uint8_t kStatusMisaligned = 0x15;      // erase not on 4 KiB boundaries
    static constexpr std::uint8_t kStatusBadCrc = 0x16;          // CRC does not match the unpacked data
    static constexpr std::uint8_t kStatusBadPacking = 0x17;      // unused top-bit flags set in a short last group
    static constexpr std::uint8_t kStatusNotInUpdate = 0x18;     // erase, write or end-update before begin-update
    static constexpr std::uint8_t kStatusNotErased = 0x19;       // write would have to turn a 0 bit into 1
    static constexpr std::uint8_t kStatusBadByte = 0x1A;         // a byte with bit 7 set between F0 and F7
    static constexpr std::uint8_t kStatusUnknownCommand = 0x1B;  // command byte the device does not know
    static constexpr std::uint8_t kStatusRefused = 0x1C;         // refused by the refuse=N setting

    struct Reply {
        std::vector<std::uint8_t> bytes;
        std::uint32_t busyMs = 0;   // flash time spent before this reply goes out
        bool lost = false;          // drop=N or silent: the reply never reaches the host
        std::uint32_t heldMs = 0;   // hold=N: this reply comes this much later still
    };

    enum class Kind {
        IdentityRequest,   // F0 7E 00|7F 06 01 F7
        BeginUpdate,       // 0x01
        EndUpdate,         // 0x04
        Erase,             // 0x0A
        WriteBlock,        // 0x02
        Read,              // 0x60
        HostStatus,        // 0x00 from the host: its acknowledge (0) or reject (1) of a device message
        HostIdentity,      // the host's identity reply (F0 7E .. 06 02); address holds its 4 identity bytes
        Unknown,           // another command byte: refused
        Ignored,           // not for this device, or not a whole SysEx message: no answer
    };

    struct LogEntry {
        Kind kind;
        std::uint8_t command;      // byte 4 of the message (0 when it has none)
        std::uint32_t address;     // erase/write/read: flash address; HostIdentity: identity bytes, byte 0 lowest
        std::uint32_t size;        // erase/read: size; write: data count; otherwise 0
        std::uint8_t status;       // status sent (0 also for reads answered with data); HostStatus: the host's code
        bool answered;             // a reply reached (or would reach) the host: not lost, not ignored
    };

    struct Counters {
        std::uint32_t commands = 0;        // counted by drop=N and refuse=N
        std::uint32_t refusals = 0;        // every non-zero status sent
        std::uint32_t refusedBySetting = 0;
        std::uint32_t dropped = 0;
        std::uint32_t readReplies = 0;     // read-data replies produced
        std::uint32_t corruptedReads = 0;
        std::uint32_t ignored = 0;
        std::uint32_t blocksWritten = 0;
        std::uint32_t sectorsErased = 0;
    };

    // Flash prepared per settings.flash.  With flash=PATH the file is read,
    // or created from the factory contents when missing; a failure leaves
    // factory contents and is reported by LoadError().
    explicit VirtualQ9(const VirtualDeviceSettings& settings);

    std::vector<Reply> Receive(const std::uint8_t* msg, std::size_t len);

    const std::vector<std::uint8_t>& Flash() const { return flash; }
    bool SetFlash(const std::vector<std::uint8_t>& contents);   // tests; false unless kFlashSize bytes
    bool InUpdate() const { return inUpdate; }
    const VirtualDeviceSettings& Settings() const { return settings; }
    const std::vector<LogEntry>& Log() const { return log; }
    const Counters& Stats() const { return counters; }
    void ClearLog();

    // flash=PATH only: empty when the file was read or created.
    const std::string& LoadError() const { return loadError; }
    // flash=PATH: writes the flash back to the file (true otherwise, and
    // false without writing when the file could not be read at start).
    bool SaveFlash(std::string& error) const;

    // Messages the device sends of its own accord: F0 52 00 mm cmd F7, and a
    // universal identity request F0 7E 7F 06 01 F7.
    static std::vector<std::uint8_t> DeviceCommand(std::uint8_t model, std::uint8_t cmd);
    static std::vector<std::uint8_t> DeviceIdentityRequest();

private:
    Reply Status(std::uint8_t status) const;
    void Record(Kind kind, std::uint8_t command, std::uint32_t address, std::uint32_t size, std::uint8_t status,
                bool answered);
    std::vector<Reply> Answer(Kind kind, std::uint8_t command, std::uint32_t address, std::uint32_t size,
                              std::uint8_t status, std::uint32_t busyMs);
    std::vector<Reply> HandleDeviceCommand(const std::uint8_t* msg, std::size_t len);

    VirtualDeviceSettings settings;
    std::vector<std::uint8_t> flash;
    bool inUpdate = false;
    bool currentLost = false;   // the command being handled has its reply lost
    std::uint32_t currentHeldMs = 0;
    bool pathUsable = false;
    std::string loadError;
    std::unique_ptr<FlashFile> flashFile;   // flash=PATH, locked while the device exists
    std::vector<LogEntry> log;
    Counters counters;
};

// Flash contents the front ends and tests compare with.
// What an update writes: the six images at their plan addresses over 0xFF.
std::vector<std::uint8_t> ExpectedFlashAfterUpdate();
// The plan's erases and writes applied to `before` (ranges the plan does not
// touch keep their bytes).
std::vector<std::uint8_t> ExpectedFlashAfterUpdate(const std::vector<std::uint8_t>& before);
// Factory contents: the same, with SYSTEM "1.10" and SUBMCU "1.01" in their
// version fields.
std::vector<std::uint8_t> FactoryFlash();

// ---------------------------------------------------------------------------
// One more MIDI backend: input device 0 and output device 0, both "ARKO Q9".
// The device runs on a thread of its own.  OutLongMsg copies the message and
// returns at once; the header is marked done (std::atomic_ref on dwFlags)
// from the device thread when the modelled link time has passed.  Replies
// fill the host's queued input buffers (split across buffers when longer than
// one) and are handed back through the callback with MIM_LONGDATA from the
// device thread.  Each message of concurrent senders is handled whole.
class VirtualMidi final : public platform::MidiApi {
public:
    explicit VirtualMidi(const VirtualDeviceSettings& settings);
    ~VirtualMidi() override;   // stops the thread; flash=PATH is saved
    VirtualMidi(const VirtualMidi&) = delete;
    VirtualMidi& operator=(const VirtualMidi&) = delete;

    // The model, for tests, while no message is in flight.
    VirtualQ9& Device() { return device; }
    std::vector<std::uint8_t> FlashCopy();                // any time
    std::vector<VirtualQ9::LogEntry> LogCopy();           // any time

    // Queues a device-originated message for the host (the link time applies).
    void SendFromDevice(std::vector<std::uint8_t> message);
    // Every message the host sent, in order (copies).
    std::vector<std::vector<std::uint8_t>> HostMessages();
    // Waits until nothing is in flight in either direction, at most timeoutMs; true if so.
    bool WaitIdle(std::uint32_t timeoutMs);
    // Replies that found the input closed or stopped and were discarded.
    std::uint32_t DiscardedReplies();
    // The last failure to write flash=PATH back, or empty.
    std::string LastSaveError();
    // The name both devices show ("ARKO Q9" unless set).
    void SetDeviceName(const std::string& name);
    std::string Name();

    platform::UINT InGetNumDevs() override;
    platform::MMRESULT InGetDevCaps(platform::UINT id, platform::MIDIINCAPSA* caps, platform::UINT size) override;
    platform::MMRESULT InOpen(platform::HMIDIIN* handle, platform::UINT id, platform::MidiInProc callback,
                              platform::DWORD_PTR instance, platform::DWORD flags) override;
    platform::MMRESULT InReset(platform::HMIDIIN handle) override;
    platform::MMRESULT InPrepareHeader(platform::HMIDIIN handle, platform::MIDIHDR* header,
                                       platform::UINT size) override;
    platform::MMRESULT InAddBuffer(platform::HMIDIIN handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT InStart(platform::HMIDIIN handle) override;
    platform::MMRESULT InStop(platform::HMIDIIN handle) override;
    platform::MMRESULT InUnprepareHeader(platform::HMIDIIN handle, platform::MIDIHDR* header,
                                         platform::UINT size) override;
    platform::MMRESULT InClose(platform::HMIDIIN handle) override;

    platform::UINT OutGetNumDevs() override;
    platform::MMRESULT OutGetDevCaps(platform::UINT id, platform::MIDIOUTCAPSA* caps, platform::UINT size) override;
    platform::MMRESULT OutOpen(platform::HMIDIOUT* handle, platform::UINT id, platform::DWORD_PTR callback,
                               platform::DWORD_PTR instance, platform::DWORD flags) override;
    platform::MMRESULT OutClose(platform::HMIDIOUT handle) override;
    platform::MMRESULT OutPrepareHeader(platform::HMIDIOUT handle, platform::MIDIHDR* header,
                                        platform::UINT size) override;
    platform::MMRESULT OutLongMsg(platform::HMIDIOUT handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT OutUnprepareHeader(platform::HMIDIOUT handle, platform::MIDIHDR* header,
                                          platform::UINT size) override;

private:
    using Clock = std::chrono::steady_clock;
    struct Timed {
        enum class What { Done, Arrive, Deliver };
        What what;
        std::uint64_t send = 0;                // Done: which send
        std::vector<std::uint8_t> bytes;       // Arrive, Deliver
    };

    void Run();
    void HandleArrival(const std::vector<std::uint8_t>& bytes, Clock::time_point at);
    void QueueForHost(std::vector<std::uint8_t> bytes, Clock::time_point ready);
    void DeliverToHost(std::unique_lock<std::mutex>& lock);
    void ReturnInputBuffers(std::unique_lock<std::mutex>& lock);
    void FinishInFlightSends();
    void FinishSend(platform::MIDIHDR* header);   // mutex held
    void WaitForCallbacks(std::unique_lock<std::mutex>& lock);
    void SaveLocked();
    Clock::duration LinkTime(std::size_t bytes) const;
    bool IsIn(platform::HMIDIIN handle) const { return inOpen && handle == inHandle; }
    bool IsOut(platform::HMIDIOUT handle) const { return outOpen && handle == outHandle; }

    std::mutex mutex;
    std::condition_variable wake;      // the device thread: new work or stop
    std::condition_variable idle;      // callbacks finished, queues drained
    VirtualQ9 device;
    bool stopping = false;

    // Time line: events ordered by time, then by order of arrival.
    std::multimap<std::pair<Clock::time_point, std::uint64_t>, Timed> timeline;
    std::uint64_t sequence = 0;
    Clock::time_point hostLinkFree{};
    Clock::time_point deviceFree{};
    Clock::time_point replyLinkFree{};

    // Host -> device byte stream: the SysEx message being collected.
    std::vector<std::uint8_t> incoming;
    bool inSysEx = false;
    std::vector<std::vector<std::uint8_t>> hostMessages;

    // Output device.
    bool outOpen = false;
    platform::HMIDIOUT outHandle = 0;
    platform::MidiOutProc outCallback = nullptr;   // MOM_DONE for each finished header
    platform::DWORD_PTR outInstance = 0;
    std::map<std::uint64_t, platform::MIDIHDR*> inFlight;   // sends whose header is not yet done
    std::uint64_t nextSend = 1;

    // Input device.
    bool inOpen = false;
    bool inStarted = false;
    platform::HMIDIIN inHandle = 0;
    platform::MidiInProc inCallback = nullptr;
    platform::DWORD_PTR inInstance = 0;
    std::deque<platform::MIDIHDR*> inBuffers;             // queued by the host
    std::deque<std::vector<std::uint8_t>> toHost;         // replies due, waiting for a buffer
    std::size_t toHostOffset = 0;                         // bytes of toHost.front() already delivered
    int callbacksRunning = 0;
    std::thread::id deviceThreadId;
    std::uint32_t discarded = 0;

    std::uintptr_t nextHandle = 0x9000;
    std::string saveError;
    std::string deviceName = VirtualQ9::kDeviceName;

    std::thread thread;   // last: started when everything above exists
};

// Parses the settings and builds the backend; nullptr with `error` set on a
// bad item or an unusable flash file.
std::unique_ptr<VirtualMidi> MakeVirtualMidi(const std::string& settings, std::string& error);
