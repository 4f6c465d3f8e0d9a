// The messages the host sends, the receive side that interprets the
// device's messages, and the process-wide protocol state.
#include "update/protocol.h"

#include <algorithm>
#include <chrono>
#include <cstring>

// ---------------------------------------------------------------------------
// Shared state.

void IdentityBytes::Set(const std::uint8_t bytes[4])
{
    word.store(static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
               static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24);
}

void IdentityBytes::Get(std::uint8_t bytes[4]) const
{
    const std::uint32_t value = word.load();
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::array<std::uint8_t, 4> IdentityBytes::Bytes() const
{
    std::array<std::uint8_t, 4> bytes{};
    Get(bytes.data());
    return bytes;
}

std::uint8_t IdentityBytes::operator[](int i) const
{
    if (i < 0 || i > 3) return 0;
    return static_cast<std::uint8_t>(word.load() >> (8 * i));
}

void IdentityBytes::Clear()
{
    word.store(0);
}

void ReceivedIdentity::Record(std::uint8_t maker, const std::uint8_t bytes[4])
{
    std::uint64_t value = kRecorded | static_cast<std::uint64_t>(maker) << 32;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    word.store(value);
}

void ReceivedIdentity::Clear()
{
    word.store(0);
}

bool ReceivedIdentity::Get(std::uint8_t& maker, std::uint8_t bytes[4]) const
{
    const std::uint64_t value = word.load();
    maker = static_cast<std::uint8_t>(value >> 32);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return (value & kRecorded) != 0;
}

std::array<std::uint8_t, 4> ReceivedIdentity::Bytes() const
{
    std::array<std::uint8_t, 4> bytes{};
    std::uint8_t maker = 0;
    Get(maker, bytes.data());
    return bytes;
}

namespace {
constexpr std::array<std::uint8_t, 15> kHostIdentityReply = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00,
                                                             0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
constexpr int kHostIdentityOffset = 6;
}  // namespace

HostIdentityReply::HostIdentityReply() : bytes(kHostIdentityReply) {}

void HostIdentityReply::SetIdentity(const std::uint8_t identity[4])
{
    std::lock_guard<std::mutex> lock(mutex);
    std::copy(identity, identity + 4, bytes.begin() + kHostIdentityOffset);
}

std::array<std::uint8_t, 15> HostIdentityReply::Snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
}

void HostIdentityReply::Reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    bytes = kHostIdentityReply;
}

IdentityBytes deviceIdentity;
HostIdentityReply hostIdentityReply;
std::mutex receiveMutex;
std::uint8_t receiveBuffer[kReceiveBufferSize];
std::atomic<std::int32_t> receiveCount{0};
thread_local std::uint8_t commandBuffer[kCommandBufferSize];

struct ProtocolEndpoint::OwnState {
    IdentityBytes deviceIdentity;
    HostIdentityReply hostIdentityReply;
    std::mutex receiveMutex;
    std::unique_ptr<std::uint8_t[]> receiveBuffer{new std::uint8_t[kReceiveBufferSize]};
    std::atomic<std::int32_t> receiveCount{0};
};

void ResetProtocolState()
{
    deviceIdentity.Clear();
    hostIdentityReply.Reset();
    std::lock_guard<std::mutex> lock(receiveMutex);
    receiveCount.store(0);
}

bool IsAcceptedIdentity(const std::uint8_t identity[4])
{
    for (const auto& entry : acceptedIdentities)
        if (std::equal(entry, entry + 4, identity)) return true;
    return false;
}

bool IsAcceptedIdentityReply(std::uint8_t maker, const std::uint8_t identity[4])
{
    return maker == kManufacturer && IsAcceptedIdentity(identity);
}

// ---------------------------------------------------------------------------
// Composition.

namespace {

void PutHeader(std::uint8_t* dest, std::uint8_t model, std::uint8_t command)
{
    dest[0] = 0xF0;
    dest[1] = kManufacturer;
    dest[2] = 0x00;
    dest[3] = model;
    dest[4] = command;
}

}  // namespace

std::uint32_t ComposeWriteBlock(std::uint8_t* dest, std::uint8_t model, const std::uint8_t* data, std::uint32_t address,
                                std::uint32_t count)
{
    PutHeader(dest, model, kCmdWriteBlock);
    Encode5(address, dest + 5);
    dest[10] = static_cast<std::uint8_t>(count & 0x7F);
    dest[11] = static_cast<std::uint8_t>((count >> 7) & 0x7F);
    const std::uint32_t packed = Pack7(dest + 12, data, count);
    Encode5(Crc32(data, count), dest + 12 + packed);
    dest[17 + packed] = 0xF7;
    return packed + kWriteBlockOverhead;
}

std::uint32_t ComposeErase(std::uint8_t* dest, std::uint8_t model, std::uint32_t address, std::uint32_t size)
{
    PutHeader(dest, model, kCmdErase);
    Encode5(address, dest + 5);
    Encode5(size, dest + 10);
    dest[15] = 0xF7;
    return 16;
}

std::uint32_t ComposeReadRequest(std::uint8_t* dest, std::uint8_t model, std::uint32_t address, std::uint32_t length)
{
    PutHeader(dest, model, kCmdRead);
    dest[5] = 0x30;
    Encode5(address, dest + 6);
    Encode5(length, dest + 11);
    dest[16] = 0xF7;
    return 17;
}

// ---------------------------------------------------------------------------
// Sending.

int SendSysEx(CMidiOutPort& port, const std::uint8_t* message, std::uint32_t length)
{
    // Only read, before the send: the driver gets the port's own copy.
    platform::MIDIHDR header{};
    header.lpData = const_cast<char*>(reinterpret_cast<const char*>(message));
    header.dwBufferLength = length;
    header.dwFlags = 0;
    return port.SendLongMessage(&header) == 1 ? 0 : -1;
}

int SendWriteBlock(CMidiOutPort& port, std::uint8_t model, const std::uint8_t* data, std::uint32_t address,
                   std::uint32_t count)
{
    // The command buffer holds a block of at most kMaxBlock bytes.
    if (count > kMaxBlock || (count > 0 && data == nullptr)) return -1;
    const std::uint32_t length = ComposeWriteBlock(commandBuffer, model, data, address, count);
    return SendSysEx(port, commandBuffer, length);
}

int SendErase(CMidiOutPort& port, std::uint8_t model, std::uint32_t address, std::uint32_t size)
{
    const std::uint32_t length = ComposeErase(commandBuffer, model, address, size);
    return SendSysEx(port, commandBuffer, length);
}

int SendReadRequest(CMidiOutPort& port, std::uint8_t model, std::uint32_t address, std::uint32_t length)
{
    const std::uint32_t size = ComposeReadRequest(commandBuffer, model, address, length);
    return SendSysEx(port, commandBuffer, size);
}

namespace {

int SendShortCommand(CMidiOutPort& port, std::uint8_t model, std::uint8_t command)
{
    PutHeader(commandBuffer, model, command);
    commandBuffer[5] = 0xF7;
    return SendSysEx(port, commandBuffer, 6);
}

}  // namespace

int SendBeginUpdate(CMidiOutPort& port, std::uint8_t model)
{
    return SendShortCommand(port, model, kCmdBeginUpdate);
}

int SendEndUpdate(CMidiOutPort& port, std::uint8_t model)
{
    return SendShortCommand(port, model, kCmdEndUpdate);
}

int SendIdentityRequest(CMidiOutPort& port)
{
    return SendSysEx(port, kIdentityRequest.data(), static_cast<std::uint32_t>(kIdentityRequest.size()));
}

int SendStatusReply(CMidiOutPort& port, std::uint8_t code)
{
    return SendStatusReply(port, deviceIdentity[0], code);
}

int SendStatusReply(CMidiOutPort& port, std::uint8_t model, std::uint8_t code)
{
    // The receive side's own storage: never the workers' command buffer.
    std::uint8_t reply[7];
    PutHeader(reply, model, kCmdStatus);
    reply[5] = code;
    reply[6] = 0xF7;
    return SendSysEx(port, reply, sizeof(reply));
}

// ---------------------------------------------------------------------------
// Receiving.

namespace {

constexpr std::uint8_t kAcknowledge = 0x00;
constexpr std::uint8_t kReject = 0x01;

// A reply's status, unless the device was lost meanwhile: that stays.
void StoreStatus(ProtocolEndpoint& endpoint, std::int32_t value)
{
    std::int32_t current = endpoint.status.load();
    while (current != kStatusDisconnected && !endpoint.status.compare_exchange_weak(current, value)) {
    }
}

// A read-data reply: F0 52 .. .. 60 04 30 .. .. nL nH <packed n> <crc5> F7.
// Writes the slot's status; the caller signals.  `count` bounds every read.
// The reply's record: the length it gives, where its bytes went in
// receiveBuffer and whether they are whole.
ProtocolEndpoint::ReadRecord TakeReadData(ProtocolEndpoint& endpoint, const std::uint8_t* m, std::uint32_t count)
{
    // Anything but a well-formed, fitting reply with a matching CRC fails
    // the read: a waiter never takes older bytes for this reply's answer.
    ProtocolEndpoint::ReadRecord record;
    StoreStatus(endpoint, 1);
    if (count < 7 || m[6] != 0x30) return record;
    if (count < 11) return record;
    const std::uint32_t n = static_cast<std::uint32_t>(m[9]) + 128u * m[10];
    record.length = n;
    const std::uint32_t packed = PackedLength(n);
    if (count < 11 + packed + 5) return record;

    const ProtocolState& state = endpoint.State();
    const std::int32_t at = state.receiveCount->load();
    if (at < 0 || static_cast<std::uint64_t>(at) + n > kReceiveBufferSize) return record;
    record.offset = at;
    std::uint8_t* dest = state.receiveBuffer + at;
    Unpack7(dest, m + 11, packed);
    if (Crc32(dest, n) != Decode5(m + 11 + packed)) return record;
    state.receiveCount->store(at + static_cast<std::int32_t>(n));
    StoreStatus(endpoint, 0);
    record.whole = true;
    return record;
}

void HandleReadData(ProtocolEndpoint& endpoint, const std::uint8_t* m, std::uint32_t count)
{
    if (count < 6 || m[5] != 0x04) {
        StoreStatus(endpoint, 1);
        return;
    }
    // Only a read-data reply (byte 5 = 0x04) answers a read request; its
    // record and number are written together.
    std::lock_guard<std::mutex> lock(*endpoint.State().receiveMutex);
    const ProtocolEndpoint::ReadRecord record = TakeReadData(endpoint, m, count);
    endpoint.readRecords[endpoint.readReplies.load() % ProtocolEndpoint::kReadRecords] = record;
    endpoint.readReplies.fetch_add(1);
}

void SendHostIdentity(ProtocolEndpoint& endpoint)
{
    const std::array<std::uint8_t, 15> reply = endpoint.HostReply().Snapshot();
    SendSysEx(endpoint.midiOut, reply.data(), static_cast<std::uint32_t>(reply.size()));
}

// One message of `count` bytes.
void HandleMessage(ProtocolEndpoint& endpoint, const std::uint8_t* m, std::uint32_t count)
{
    if (count < 2 || m[0] != 0xF0) return;

    if (m[1] == kManufacturer) {
        if (count < 5) return;
        switch (m[4]) {
        case kCmdStatus:
            // A status byte must be a SysEx data byte; 0x80 and above (0xFF
            // would read as "dialog closing") is a damaged message.
            if (count < 6 || m[5] > 0x7F) return;
            StoreStatus(endpoint, m[5]);
            endpoint.lastStatus.store(m[5]);
            if (m[5] == 0) endpoint.okReplies.fetch_add(1);
            endpoint.statusReplies.fetch_add(1);
            endpoint.event.Set();
            return;
        case 0x01:
        case 0x04:
        case 0x05:
            SendStatusReply(endpoint.midiOut, endpoint.DeviceIdentity()[0], kAcknowledge);
            return;
        case 0x02:
            StoreStatus(endpoint, 0);
            endpoint.lastStatus.store(0);
            endpoint.okReplies.fetch_add(1);
            endpoint.statusReplies.fetch_add(1);
            endpoint.event.Set();
            return;
        case 0x03:
            return;
        case kCmdRead:
            HandleReadData(endpoint, m, count);
            endpoint.event.Set();
            return;
        default:
            SendStatusReply(endpoint.midiOut, endpoint.DeviceIdentity()[0], kReject);
            return;
        }
    }

    if (m[1] == 0x7E) {
        if (count < 5 || m[3] != 0x06) return;
        switch (m[4]) {
        case 0x01:
            SendHostIdentity(endpoint);
            return;
        case 0x02:
            // Only a whole reply; its maker byte goes with it, for the worker
            // to check.  (A maker with a three-byte id has 00 at byte 5.)
            if (count < kIdentityReplyLength || m[count - 1] != 0xF7) return;
            StoreStatus(endpoint, 0);
            endpoint.identity.Record(m[5], m + 6);
            endpoint.event.Set();
            return;
        default:
            SendStatusReply(endpoint.midiOut, endpoint.DeviceIdentity()[0], kReject);
            return;
        }
    }
}

}  // namespace

void ParseReplies(ProtocolEndpoint& endpoint)
{
    for (;;) {
        std::uint32_t count = 0;
        bool damaged = false;
        const std::uint8_t* message = endpoint.midiIn.GetFirstMessage(count, damaged);
        if (message == nullptr) return;
        // A message the driver reported incomplete or malformed is never
        // taken for a reply, however whole it looks: it is only counted.
        if (damaged)
            endpoint.damagedReplies.fetch_add(1);
        else
            HandleMessage(endpoint, message, count);
        endpoint.midiIn.RemoveFirstMessage();
    }
}

void OnReplyTimer(platform::UINT, platform::UINT, platform::DWORD_PTR user, platform::DWORD_PTR, platform::DWORD_PTR)
{
    auto* endpoint = reinterpret_cast<ProtocolEndpoint*>(user);
    if (endpoint != nullptr) ParseReplies(*endpoint);
}

ProtocolEndpoint::ProtocolEndpoint()
    : state{&deviceIdentity, &hostIdentityReply, &receiveMutex, receiveBuffer, &receiveCount}
{
    // Either side may be the first to see an unplug: the input when its
    // device goes, the output when a send finds it gone.
    const auto lost = [](void* context) {
        auto* endpoint = static_cast<ProtocolEndpoint*>(context);
        std::int32_t current = endpoint->status.load();
        while (current != kStatusClosing && !endpoint->status.compare_exchange_weak(current, kStatusDisconnected)) {
        }
        endpoint->event.Set();
    };
    midiIn.SetDeviceLostHandler(lost, this);
    midiOut.SetDeviceLostHandler(lost, this);
}

ProtocolEndpoint::~ProtocolEndpoint() = default;

void ProtocolEndpoint::UseOwnState()
{
    own = std::make_unique<OwnState>();
    state = {&own->deviceIdentity, &own->hostIdentityReply, &own->receiveMutex, own->receiveBuffer.get(),
             &own->receiveCount};
}

void ClearStaleReply(ProtocolEndpoint& endpoint)
{
    endpoint.event.Reset();
    // OnDestroy writes 255 (a lost device 256) before it signals: a signal
    // that belonged to it is given back, so the worker still wakes at once.
    if (StatusEndsWork(endpoint.status.load())) endpoint.event.Set();
}

bool AwaitReply(ProtocolEndpoint& endpoint, int sendResult, std::uint32_t timeoutMs)
{
    if (sendResult != 0 && !StatusEndsWork(endpoint.status.load())) return false;
    return endpoint.event.Wait(timeoutMs);
}

IdentityAnswer RequestIdentity(ProtocolEndpoint& endpoint, std::uint32_t timeoutMs)
{
    IdentityAnswer answer;
    endpoint.identity.Clear();
    ClearStaleReply(endpoint);
    if (SendIdentityRequest(endpoint.midiOut) == -1) {
        answer.kind = IdentityAnswer::Kind::NotSent;
        return answer;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const std::uint32_t waitMs = left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0;
        if (!endpoint.event.Wait(waitMs)) {
            answer.kind = IdentityAnswer::Kind::TimedOut;
            return answer;
        }
        const std::int32_t status = endpoint.status.load();
        if (status != 0) {
            answer.kind = IdentityAnswer::Kind::Status;
            answer.status = status;
            return answer;
        }
        if (endpoint.identity.Get(answer.maker, answer.identity.data())) {
            answer.kind = IdentityAnswer::Kind::Replied;
            return answer;
        }
    }
}

int ReadTransaction(ProtocolEndpoint& endpoint, std::uint32_t address, std::uint32_t length, std::uint8_t dest[4],
                    std::uint32_t timeoutMs)
{
    const ProtocolState& state = endpoint.State();
    {
        std::lock_guard<std::mutex> lock(*state.receiveMutex);
        state.receiveCount->store(0);
    }
    ClearStaleReply(endpoint);
    const int sent = SendReadRequest(endpoint.midiOut, endpoint.DeviceIdentity()[0], address, length);
    if (!AwaitReply(endpoint, sent, timeoutMs)) return -1;
    if (endpoint.status.load() != 0) return -1;
    std::lock_guard<std::mutex> lock(*state.receiveMutex);
    if (state.receiveCount->load() < 4) {
        // Fewer bytes than asked for: a failed read, never stale bytes.
        std::int32_t expected = 0;
        endpoint.status.compare_exchange_strong(expected, 1);
        return -1;
    }
    std::memcpy(dest, state.receiveBuffer, 4);
    return 0;
}

BlockRead ReadDeviceBlock(ProtocolEndpoint& endpoint, std::uint32_t address, std::uint32_t length, std::uint8_t* dest,
                          std::uint32_t timeoutMs, std::int32_t* refusal)
{
    if (length == 0 || length > kMaxBlock) return BlockRead::BadData;
    const ProtocolState& state = endpoint.State();
    {
        std::lock_guard<std::mutex> lock(*state.receiveMutex);
        state.receiveCount->store(0);
    }
    ClearStaleReply(endpoint);
    const int sent = SendReadRequest(endpoint.midiOut, endpoint.DeviceIdentity()[0], address, length);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const std::uint32_t waitMs = left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0;
        if (!AwaitReply(endpoint, sent, waitMs)) return BlockRead::TimedOut;
        const std::int32_t status = endpoint.status.load();
        if (StatusEndsWork(status)) return BlockRead::Closing;
        if (status == 1) return BlockRead::BadData;
        if (status != 0) {
            if (refusal != nullptr) *refusal = status;
            return BlockRead::Refused;
        }
        std::lock_guard<std::mutex> lock(*state.receiveMutex);
        if (state.receiveCount->load() >= static_cast<std::int32_t>(length)) {
            std::memcpy(dest, state.receiveBuffer, length);
            return BlockRead::Ok;
        }
    }
}
