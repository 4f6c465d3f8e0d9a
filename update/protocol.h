// The device's SysEx update protocol: encodings, the messages the host
// sends, the receive side that interprets the device's messages, and the
// reply slot through which a reply reaches the waiting worker.
#pragma once

#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "platform/event.h"
#include "platform/mmsystem.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

// ---------------------------------------------------------------------------
// Encodings.

// Five 7-bit bytes, least significant group first; byte 4 holds bits 28-31.
void Encode5(std::uint32_t value, std::uint8_t* dest);
std::uint32_t Decode5(const std::uint8_t* src);

// Packed size of n data bytes: n + ceil(n / 7).
constexpr std::uint32_t PackedLength(std::uint32_t n) { return n + (n + 6) / 7; }

// 7-bit packing: each group of up to 7 bytes is preceded by a byte holding
// their top bits (0x40 for the first byte of the group ... 0x01 for the seventh).
std::uint32_t Pack7(std::uint8_t* dest, const std::uint8_t* src, std::uint32_t count);
std::uint32_t Unpack7(std::uint8_t* dest, const std::uint8_t* src, std::uint32_t packedCount);

// Reflected CRC-32 (0xEDB88320), start 0xFFFFFFFF, no final XOR.
std::uint32_t Crc32Byte(std::uint32_t reg, std::uint8_t byte);
std::uint32_t Crc32(const std::uint8_t* data, std::uint32_t count);

// ---------------------------------------------------------------------------
// Message constants.

inline constexpr std::uint8_t kManufacturer = 0x52;
inline constexpr std::uint8_t kCmdStatus = 0x00;
inline constexpr std::uint8_t kCmdBeginUpdate = 0x01;
inline constexpr std::uint8_t kCmdWriteBlock = 0x02;
inline constexpr std::uint8_t kCmdEndUpdate = 0x04;
inline constexpr std::uint8_t kCmdErase = 0x0A;
inline constexpr std::uint8_t kCmdRead = 0x60;

inline constexpr std::uint32_t kMaxBlock = 4096;
inline constexpr std::uint32_t kWriteBlockOverhead = 18;                                   // P + 18
inline constexpr std::uint32_t kMaxMessage = PackedLength(kMaxBlock) + kWriteBlockOverhead;  // 4700
inline constexpr std::uint32_t kCommandBufferSize = kMaxMessage;
inline constexpr std::uint32_t kReceiveBufferSize = 5824512;

inline constexpr std::array<std::uint8_t, 6> kIdentityRequest = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};

// The identities of the devices this updater accepts (family low/high, model low/high).
inline constexpr std::uint8_t acceptedIdentities[3][4] = {
    {0x6E, 0x00, 0x09, 0x00},
    {0x6E, 0x00, 0x09, 0x00},
    {0x6E, 0x00, 0x08, 0x00},
};
bool IsAcceptedIdentity(const std::uint8_t identity[4]);
// An identity reply names an accepted device: the device's maker byte and
// one of acceptedIdentities.
bool IsAcceptedIdentityReply(std::uint8_t maker, const std::uint8_t identity[4]);
// F0 7E dd 06 02 maker family(2) model(2) version(4) F7.
inline constexpr std::uint32_t kIdentityReplyLength = 15;

// ---------------------------------------------------------------------------
// Shared state.

// Four identity bytes readable and writable from any thread.
class IdentityBytes {
public:
    void Set(const std::uint8_t bytes[4]);
    void Get(std::uint8_t bytes[4]) const;
    std::array<std::uint8_t, 4> Bytes() const;
    std::uint8_t operator[](int i) const;
    void Clear();

private:
    std::atomic<std::uint32_t> word{0};
};

// The identity reply recorded for a waiting worker: its maker (manufacturer)
// byte and its four identity bytes, or nothing since the worker cleared it
// before sending its identity request.  Readable and writable from any thread.
class ReceivedIdentity {
public:
    void Record(std::uint8_t maker, const std::uint8_t bytes[4]);
    void Clear();
    // False when no identity reply has been recorded since Clear.
    bool Get(std::uint8_t& maker, std::uint8_t bytes[4]) const;
    std::array<std::uint8_t, 4> Bytes() const;   // the identity bytes; zero when none

private:
    static constexpr std::uint64_t kRecorded = std::uint64_t{1} << 40;
    std::atomic<std::uint64_t> word{0};   // bytes in bits 0-31, maker in 32-39, kRecorded
};

// The host's own identity reply; bytes 6-9 take the accepted device's identity.
class HostIdentityReply {
public:
    HostIdentityReply();
    void SetIdentity(const std::uint8_t identity[4]);
    std::array<std::uint8_t, 15> Snapshot() const;
    void Reset();   // identity back to zero

private:
    mutable std::mutex mutex;
    std::array<std::uint8_t, 15> bytes;
};

// Process-wide protocol state.
extern IdentityBytes deviceIdentity;
extern HostIdentityReply hostIdentityReply;
extern std::mutex receiveMutex;                       // guards receiveBuffer and receiveCount
extern std::uint8_t receiveBuffer[kReceiveBufferSize];
extern std::atomic<std::int32_t> receiveCount;
// Each worker thread composes its commands in a buffer of its own, so the
// workers of devices driven side by side never wait for each other's sends.
extern thread_local std::uint8_t commandBuffer[kCommandBufferSize];

// Everything back to its start values (tests).
void ResetProtocolState();

// ---------------------------------------------------------------------------
// The reply slot and the ports it belongs with.  The main dialog is one;
// tests make their own.
inline constexpr std::int32_t kStatusClosing = 255;
// The device went away (no status byte of the device can be this); kept
// until the ports are opened again, so every later wait ends at once.
inline constexpr std::int32_t kStatusDisconnected = 256;
// The dialog is closing or the device went away: a waiting worker ends.
inline bool StatusEndsWork(std::int32_t status)
{
    return status == kStatusClosing || status == kStatusDisconnected;
}

// Where an endpoint keeps the accepted device's identity, the host's
// identity reply and the received read data: the process-wide state above
// unless the endpoint was given state of its own.
struct ProtocolState {
    IdentityBytes* deviceIdentity;
    HostIdentityReply* hostIdentityReply;
    std::mutex* receiveMutex;                  // guards receiveBuffer and receiveCount
    std::uint8_t* receiveBuffer;               // kReceiveBufferSize bytes
    std::atomic<std::int32_t>* receiveCount;
};

struct ProtocolEndpoint {
    ProtocolEndpoint();
    ~ProtocolEndpoint();
    ProtocolEndpoint(const ProtocolEndpoint&) = delete;
    ProtocolEndpoint& operator=(const ProtocolEndpoint&) = delete;

    // State of its own instead of the process-wide one, for a front end
    // that drives several devices at once.  Before the ports open.
    void UseOwnState();
    IdentityBytes& DeviceIdentity() { return *state.deviceIdentity; }
    HostIdentityReply& HostReply() { return *state.hostIdentityReply; }
    const ProtocolState& State() const { return state; }

    CMidiInPort midiIn;
    CMidiOutPort midiOut;
    platform::Event event;                  // auto-reset, not signalled
    std::atomic<std::int32_t> status{0};
    ReceivedIdentity identity;

    // Counted by the receive side before it signals, so that a waiter that
    // wakes once for several replies still knows how many of each came.
    // A read-data reply is never taken for a status reply nor the reverse.
    std::atomic<std::uint32_t> statusReplies{0};   // status replies and completion notices
    std::atomic<std::int32_t> lastStatus{0};       // the status byte of the last of them
    std::atomic<std::uint32_t> okReplies{0};       // those of them with status 0 (never a read's refusal)
    std::atomic<std::uint32_t> readReplies{0};     // read-data replies, whole or damaged
    // Messages the driver reported incomplete or malformed: what they
    // answered is not known (the link is in doubt, see LinkDoubt).
    std::atomic<std::uint32_t> damagedReplies{0};

    // The recent read-data replies, written with readReplies under
    // receiveMutex: reply k (counting from 1, as readReplies does) is
    // readRecords[(k - 1) % kReadRecords] until kReadRecords more have come.
    // Its length tells which read it answers: no two reads owed at once
    // ask for the same length.
    struct ReadRecord {
        std::uint32_t length = 0;   // the data length the reply gives (0: it gives none)
        std::int32_t offset = 0;    // where its bytes begin in receiveBuffer
        bool whole = false;         // it fitted and its CRC matched
    };
    static constexpr std::uint32_t kReadRecords = 64;
    std::array<ReadRecord, kReadRecords> readRecords{};

private:
    struct OwnState;
    std::unique_ptr<OwnState> own;
    ProtocolState state;
};

// ---------------------------------------------------------------------------
// Sending.  0 on success, -1 when the port is not open or refused the message.
int SendSysEx(CMidiOutPort& port, const std::uint8_t* message, std::uint32_t length);
int SendWriteBlock(CMidiOutPort& port, std::uint8_t model, const std::uint8_t* data, std::uint32_t address,
                   std::uint32_t count);
int SendErase(CMidiOutPort& port, std::uint8_t model, std::uint32_t address, std::uint32_t size);
int SendReadRequest(CMidiOutPort& port, std::uint8_t model, std::uint32_t address, std::uint32_t length);
int SendBeginUpdate(CMidiOutPort& port, std::uint8_t model);
int SendEndUpdate(CMidiOutPort& port, std::uint8_t model);
int SendIdentityRequest(CMidiOutPort& port);
int SendStatusReply(CMidiOutPort& port, std::uint8_t code);   // composed in storage of its own
int SendStatusReply(CMidiOutPort& port, std::uint8_t model, std::uint8_t code);

// Message composition into any buffer; the length written.
std::uint32_t ComposeWriteBlock(std::uint8_t* dest, std::uint8_t model, const std::uint8_t* data,
                                std::uint32_t address, std::uint32_t count);
std::uint32_t ComposeErase(std::uint8_t* dest, std::uint8_t model, std::uint32_t address, std::uint32_t size);
std::uint32_t ComposeReadRequest(std::uint8_t* dest, std::uint8_t model, std::uint32_t address,
                                 std::uint32_t length);

// ---------------------------------------------------------------------------
// Receiving.  A message the input port marks damaged only counts in
// damagedReplies.
void ParseReplies(ProtocolEndpoint& endpoint);

// The 1 ms timer's callback; the user value is the ProtocolEndpoint.
void OnReplyTimer(platform::UINT id, platform::UINT msg, platform::DWORD_PTR user, platform::DWORD_PTR,
                  platform::DWORD_PTR);

// A worker's command and its reply.  Status replies carry nothing that ties
// them to the command they answer, so a reply that came after its wait had
// run out would otherwise stand for the next command's: ClearStaleReply,
// called just before a command is sent, drops such a leftover signal (a
// closing signal is kept).  AwaitReply waits for the reply to a command whose
// send gave sendResult; a command that never left gets no reply, so a failed
// send returns false at once (unless the dialog is closing).
void ClearStaleReply(ProtocolEndpoint& endpoint);
bool AwaitReply(ProtocolEndpoint& endpoint, int sendResult, std::uint32_t timeoutMs);

// The identity request and the wait for its reply.  The slot's identity is
// cleared before the request goes out, so only an identity reply to this
// request is taken.  A wake-up with status 0 that brought no identity reply
// (a stray acknowledge, a late reply to an earlier command) is waited past,
// within the same time-out.
struct IdentityAnswer {
    enum class Kind {
        Replied,    // maker and identity hold the reply
        NotSent,    // the output port refused the request
        TimedOut,   // no identity reply within the time-out
        Status,     // woken with a non-zero status (a refusal, closing, device lost)
    };
    Kind kind = Kind::TimedOut;
    std::int32_t status = 0;   // Kind::Status: that status
    std::uint8_t maker = 0;
    std::array<std::uint8_t, 4> identity{};
};
IdentityAnswer RequestIdentity(ProtocolEndpoint& endpoint, std::uint32_t timeoutMs);

// One read transaction: receiveCount to 0, read request for `length` bytes,
// wait up to timeoutMs.  0 with the first 4 received bytes in dest, -1 on a
// time-out or a status other than 0.
int ReadTransaction(ProtocolEndpoint& endpoint, std::uint32_t address, std::uint32_t length,
                    std::uint8_t dest[4], std::uint32_t timeoutMs);

// Reads `length` bytes (at most kMaxBlock) into dest with one read request.
// A wake-up that leaves fewer bytes than asked for with status 0 (a stray
// status reply) is waited past, within the same time-out.
enum class BlockRead { Ok, TimedOut, BadData, Refused, Closing };
BlockRead ReadDeviceBlock(ProtocolEndpoint& endpoint, std::uint32_t address, std::uint32_t length, std::uint8_t* dest,
                          std::uint32_t timeoutMs, std::int32_t* refusal = nullptr);
