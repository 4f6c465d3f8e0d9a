// The virtual ARKO Q9: a model of the device side of the SysEx update
// protocol (4 MiB of flash, the command set, its checks and refusals).
#pragma once

#include "platform/flash_file.h"
#include "virtual_device/settings.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
        bool twice = false;         // dup=N: the reply goes out twice
        bool reordered = false;     // reorder=N: overtaken by the replies to the next message answered
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
        std::uint32_t commands = 0;        // counted by drop, refuse, hold, dup and reorder
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
    bool currentTwice = false;
    bool currentReordered = false;
    bool pathUsable = false;
    std::string loadError;
    std::unique_ptr<platform::FlashFile> flashFile;   // flash=PATH, locked while the device exists
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
