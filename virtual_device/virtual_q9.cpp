// The device model of the virtual ARKO Q9: flash, commands, checks, replies.
#include "virtual_device/virtual_q9.h"

#include "update/image_plan.h"
#include "update/protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;
constexpr std::uint8_t kUniversalNonRealTime = 0x7E;
constexpr std::uint8_t kGeneralInformation = 0x06;
constexpr std::uint8_t kIdentityRequestSubId = 0x01;
constexpr std::uint8_t kIdentityReplySubId = 0x02;
constexpr std::uint8_t kAllCall = 0x7F;
constexpr std::uint8_t kReadDataTag = 0x04;   // byte 5 of a read-data reply
constexpr std::uint8_t kReadTag = 0x30;       // byte 5 of a read request, byte 6 of a read-data reply

constexpr std::size_t kShortCommandLength = 6;   // F0 52 00 mm cc F7
constexpr std::size_t kEraseLength = 16;
constexpr std::size_t kReadLength = 17;
constexpr std::size_t kHostStatusLength = 7;
constexpr std::size_t kHostIdentityLength = 15;

// The factory firmware differs from the carried set in two version fields.
struct FactoryVersion {
    const char* label;
    const char* version;
};
constexpr FactoryVersion kFactoryVersions[] = {
    {"SYSTEM", "1.10"},
    {"SUBMCU", "1.01"},
};

// A five-byte value whose top byte carries more than bits 28-31 is malformed.
bool Decode5Strict(const std::uint8_t* src, std::uint32_t& value)
{
    if (src[4] > 0x0F) return false;
    value = Decode5(src);
    return true;
}

bool InFlash(std::uint32_t address, std::uint64_t size)
{
    return static_cast<std::uint64_t>(address) + size <= VirtualQ9::kFlashSize;
}

VirtualQ9::Kind KindOf(std::uint8_t command)
{
    switch (command) {
    case kCmdBeginUpdate: return VirtualQ9::Kind::BeginUpdate;
    case kCmdEndUpdate: return VirtualQ9::Kind::EndUpdate;
    case kCmdErase: return VirtualQ9::Kind::Erase;
    case kCmdWriteBlock: return VirtualQ9::Kind::WriteBlock;
    case kCmdRead: return VirtualQ9::Kind::Read;
    default: return VirtualQ9::Kind::Unknown;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Expected contents.

std::vector<std::uint8_t> ExpectedFlashAfterUpdate(const std::vector<std::uint8_t>& before)
{
    std::vector<std::uint8_t> flash = before;
    flash.resize(VirtualQ9::kFlashSize, 0xFF);
    for (const ImagePlanStep& step : ActivePlan()) {
        if (step.kind == PLAN_ERASE) {
            if (!InFlash(step.address, step.length)) continue;
            std::memset(flash.data() + step.address, 0xFF, step.length);
        } else if (step.kind == PLAN_WRITE) {
            std::size_t size = 0;
            const std::uint8_t* image = FindImage(step.imageId, &size);
            if (image == nullptr) continue;
            const std::size_t length = step.length == 0 ? size : std::min<std::size_t>(step.length, size);
            if (!InFlash(step.address, length)) continue;
            // Programming only clears bits.
            std::uint8_t* cells = flash.data() + step.address;
            std::size_t i = 0;
            for (; i + 8 <= length; i += 8) {
                std::uint64_t a = 0;
                std::uint64_t b = 0;
                std::memcpy(&a, cells + i, 8);
                std::memcpy(&b, image + i, 8);
                a &= b;
                std::memcpy(cells + i, &a, 8);
            }
            for (; i < length; ++i) cells[i] &= image[i];
        }
    }
    return flash;
}

// Both are computed once per process; callers get copies.
std::vector<std::uint8_t> ExpectedFlashAfterUpdate()
{
    static const std::vector<std::uint8_t> expected =
        ExpectedFlashAfterUpdate(std::vector<std::uint8_t>(VirtualQ9::kFlashSize, 0xFF));
    return expected;
}

std::vector<std::uint8_t> FactoryFlash()
{
    static const std::vector<std::uint8_t> factory = [] {
        std::vector<std::uint8_t> flash = ExpectedFlashAfterUpdate();
        for (const FactoryVersion& version : kFactoryVersions) {
            for (const ImageInfo& info : kImages) {
                if (info.label != nullptr && std::strcmp(info.label, version.label) == 0 &&
                    InFlash(info.versionAddress, 4))
                    std::memcpy(flash.data() + info.versionAddress, version.version, 4);
            }
        }
        return flash;
    }();
    return factory;
}

// ---------------------------------------------------------------------------
// The model.

VirtualQ9::VirtualQ9(const VirtualDeviceSettings& s) : settings(s)
{
    switch (settings.flash) {
    case VirtualDeviceSettings::Flash::Factory: flash = FactoryFlash(); break;
    case VirtualDeviceSettings::Flash::Erased: flash.assign(kFlashSize, 0xFF); break;
    case VirtualDeviceSettings::Flash::Current: flash = ExpectedFlashAfterUpdate(); break;
    case VirtualDeviceSettings::Flash::Path: {
        flashFile = std::make_unique<platform::FlashFile>();
        std::vector<std::uint8_t> contents;
        if (flashFile->Open(settings.flashPath, FactoryFlash(), kFlashSize, contents, loadError)) {
            flash = std::move(contents);
            pathUsable = true;
        } else {
            flash = FactoryFlash();
            flashFile.reset();
        }
        break;
    }
    }
}

bool VirtualQ9::SetFlash(const std::vector<std::uint8_t>& contents)
{
    if (contents.size() != kFlashSize) return false;
    flash = contents;
    return true;
}

void VirtualQ9::ClearLog()
{
    log.clear();
    counters = Counters{};
}

bool VirtualQ9::SaveFlash(std::string& error) const
{
    if (settings.flash != VirtualDeviceSettings::Flash::Path) return true;
    if (!pathUsable) {
        error = "flash file " + settings.flashPath + " not written back: " + loadError;
        return false;
    }
    return flashFile->Save(flash, error);
}

std::vector<std::uint8_t> VirtualQ9::DeviceCommand(std::uint8_t model, std::uint8_t cmd)
{
    return {kSysExStart, kManufacturer, 0x00, static_cast<std::uint8_t>(model & 0x7F),
            static_cast<std::uint8_t>(cmd & 0x7F), kSysExEnd};
}

std::vector<std::uint8_t> VirtualQ9::DeviceIdentityRequest()
{
    return {kSysExStart, kUniversalNonRealTime, kAllCall, kGeneralInformation, kIdentityRequestSubId, kSysExEnd};
}

VirtualQ9::Reply VirtualQ9::Status(std::uint8_t status) const
{
    Reply reply;
    reply.bytes = {kSysExStart, kManufacturer, 0x00, settings.identity[0], kCmdStatus, status, kSysExEnd};
    return reply;
}

void VirtualQ9::Record(Kind kind, std::uint8_t command, std::uint32_t address, std::uint32_t size,
                       std::uint8_t status, bool answered)
{
    log.push_back(LogEntry{kind, command, address, size, status, answered});
}

std::vector<VirtualQ9::Reply> VirtualQ9::Answer(Kind kind, std::uint8_t command, std::uint32_t address,
                                                std::uint32_t size, std::uint8_t status, std::uint32_t busyMs)
{
    Reply reply = Status(status);
    reply.busyMs = busyMs;
    reply.lost = currentLost;
    reply.heldMs = currentHeldMs;
    reply.twice = currentTwice;
    reply.reordered = currentReordered;
    if (status != kStatusOk) ++counters.refusals;
    Record(kind, command, address, size, status, !reply.lost);
    std::vector<Reply> replies;
    replies.push_back(std::move(reply));
    return replies;
}

std::vector<VirtualQ9::Reply> VirtualQ9::Receive(const std::uint8_t* msg, std::size_t len)
{
    auto ignore = [&] {
        ++counters.ignored;
        Record(Kind::Ignored, len > 4 ? msg[4] : 0, 0, 0, 0, false);
        return std::vector<Reply>{};
    };
    if (msg == nullptr || len < 2 || msg[0] != kSysExStart || msg[len - 1] != kSysExEnd) return ignore();

    if (msg[1] == kUniversalNonRealTime) {
        if (len == kShortCommandLength && (msg[2] == 0x00 || msg[2] == kAllCall) &&
            msg[3] == kGeneralInformation && msg[4] == kIdentityRequestSubId) {
            Reply reply;
            reply.bytes = {kSysExStart, kUniversalNonRealTime, 0x00, kGeneralInformation, kIdentityReplySubId,
                           kManufacturer};
            reply.bytes.insert(reply.bytes.end(), settings.identity.begin(), settings.identity.end());
            for (char c : settings.version) reply.bytes.push_back(static_cast<std::uint8_t>(c));
            reply.bytes.push_back(kSysExEnd);
            reply.lost = settings.silent;
            Record(Kind::IdentityRequest, kIdentityRequestSubId, 0, 0, 0, !reply.lost);
            std::vector<Reply> replies;
            replies.push_back(std::move(reply));
            return replies;
        }
        if (len == kHostIdentityLength && msg[3] == kGeneralInformation && msg[4] == kIdentityReplySubId) {
            const std::uint32_t identity = static_cast<std::uint32_t>(msg[6]) | static_cast<std::uint32_t>(msg[7]) << 8 |
                                           static_cast<std::uint32_t>(msg[8]) << 16 |
                                           static_cast<std::uint32_t>(msg[9]) << 24;
            Record(Kind::HostIdentity, kIdentityReplySubId, identity, 0, 0, false);
            return {};
        }
        return ignore();
    }
    if (msg[1] != kManufacturer || len < kShortCommandLength) return ignore();
    return HandleDeviceCommand(msg, len);
}

std::vector<VirtualQ9::Reply> VirtualQ9::HandleDeviceCommand(const std::uint8_t* msg, std::size_t len)
{
    const std::uint8_t cmd = msg[4];

    // The host's answer to a message the device sent: recorded, never answered.
    if (cmd == kCmdStatus) {
        if (len != kHostStatusLength || msg[5] > 0x7F) {
            ++counters.ignored;
            Record(Kind::Ignored, cmd, 0, 0, 0, false);
            return {};
        }
        Record(Kind::HostStatus, cmd, 0, 0, msg[5], false);
        return {};
    }

    const std::uint32_t n = ++counters.commands;
    currentLost = settings.silent;
    if (settings.drop.Hits(n)) {
        currentLost = true;
        ++counters.dropped;
    }
    const Kind kind = KindOf(cmd);
    auto refuse = [&](std::uint8_t status, std::uint32_t address = 0, std::uint32_t size = 0) {
        return Answer(kind, cmd, address, size, status, 0);
    };

    currentHeldMs = settings.hold.Hits(n) ? settings.holdMs : 0;
    currentTwice = settings.dup.Hits(n);
    currentReordered = settings.reorder.Hits(n);
    const bool behindHeld = settings.hold.Hits(n - 1);
    if (settings.refuse.Hits(n) || behindHeld) {
        ++counters.refusedBySetting;
        return refuse(kStatusRefused);
    }
    for (std::size_t i = 1; i + 1 < len; ++i)
        if (msg[i] > 0x7F) return refuse(kStatusBadByte);
    if (msg[2] != 0x00) return refuse(kStatusBadHeader);
    if (msg[3] != settings.identity[0]) return refuse(kStatusWrongModel);

    switch (cmd) {
    case kCmdBeginUpdate:
        if (len != kShortCommandLength) return refuse(kStatusBadLength);
        if (settings.updateModeOff) return refuse(kStatusNotUpdateMode);
        inUpdate = true;
        return Answer(kind, cmd, 0, 0, kStatusOk, 0);

    case kCmdEndUpdate:
        if (len != kShortCommandLength) return refuse(kStatusBadLength);
        if (!inUpdate) return refuse(kStatusNotInUpdate);
        inUpdate = false;
        return Answer(kind, cmd, 0, 0, kStatusOk, 0);

    case kCmdErase: {
        if (len != kEraseLength) return refuse(kStatusBadLength);
        std::uint32_t address = 0;
        std::uint32_t size = 0;
        if (!Decode5Strict(msg + 5, address) || !Decode5Strict(msg + 10, size)) return refuse(kStatusOutOfRange);
        if (!inUpdate) return refuse(kStatusNotInUpdate, address, size);
        if (size == 0) return refuse(kStatusBadCount, address, size);
        if (!InFlash(address, size)) return refuse(kStatusOutOfRange, address, size);
        if (address % kEraseUnit != 0 || size % kEraseUnit != 0) return refuse(kStatusMisaligned, address, size);
        std::memset(flash.data() + address, 0xFF, size);
        const std::uint32_t sectors = size / kEraseUnit;
        counters.sectorsErased += sectors;
        const std::uint64_t busy = static_cast<std::uint64_t>(settings.eraseMsPer4K) * sectors;
        return Answer(kind, cmd, address, size, kStatusOk,
                      static_cast<std::uint32_t>(std::min<std::uint64_t>(busy, UINT32_MAX)));
    }

    case kCmdWriteBlock: {
        // F0 52 00 mm 02 | address(5) | n(2) | packed(P) | crc(5) | F7
        if (len < kWriteBlockOverhead) return refuse(kStatusBadLength);
        std::uint32_t address = 0;
        if (!Decode5Strict(msg + 5, address)) return refuse(kStatusOutOfRange);
        const std::uint32_t count = msg[10] | static_cast<std::uint32_t>(msg[11]) << 7;
        if (count == 0 || count > kMaxWriteBlock) return refuse(kStatusBadCount, address, count);
        const std::uint32_t packed = PackedLength(count);
        if (len != packed + kWriteBlockOverhead) return refuse(kStatusBadLength, address, count);
        if (!inUpdate) return refuse(kStatusNotInUpdate, address, count);
        if (!InFlash(address, count)) return refuse(kStatusOutOfRange, address, count);

        std::uint8_t data[kMaxWriteBlock];
        std::uint8_t repacked[PackedLength(kMaxWriteBlock)];
        if (Unpack7(data, msg + 12, packed) != count) return refuse(kStatusBadLength, address, count);
        Pack7(repacked, data, count);
        if (std::memcmp(repacked, msg + 12, packed) != 0) return refuse(kStatusBadPacking, address, count);
        std::uint32_t crc = 0;
        if (!Decode5Strict(msg + 12 + packed, crc) || crc != Crc32(data, count))
            return refuse(kStatusBadCrc, address, count);
        const std::uint8_t* cells = flash.data() + address;
        for (std::uint32_t i = 0; i < count; ++i)
            if ((cells[i] & data[i]) != data[i]) return refuse(kStatusNotErased, address, count);
        std::memcpy(flash.data() + address, data, count);
        ++counters.blocksWritten;
        return Answer(kind, cmd, address, count, kStatusOk, settings.writeMsPerBlock);
    }

    case kCmdRead: {
        if (len != kReadLength) return refuse(kStatusBadLength);
        if (msg[5] != kReadTag) return refuse(kStatusBadHeader);
        std::uint32_t address = 0;
        std::uint32_t size = 0;
        if (!Decode5Strict(msg + 6, address) || !Decode5Strict(msg + 11, size)) return refuse(kStatusOutOfRange);
        if (size == 0) return refuse(kStatusBadCount, address, size);
        if (!InFlash(address, size)) return refuse(kStatusOutOfRange, address, size);

        std::vector<Reply> replies;
        for (std::uint32_t done = 0; done < size;) {
            const std::uint32_t chunk = std::min(size - done, kReadChunk);
            const std::uint8_t* data = flash.data() + address + done;
            Reply reply;
            reply.lost = currentLost;
            reply.heldMs = currentHeldMs;
            reply.twice = currentTwice;
            reply.reordered = currentReordered;
            reply.bytes = {kSysExStart, kManufacturer, 0x00, settings.identity[0], kCmdRead, kReadDataTag, kReadTag,
                           0x00, 0x00, static_cast<std::uint8_t>(chunk & 0x7F),
                           static_cast<std::uint8_t>((chunk >> 7) & 0x7F)};
            const std::size_t head = reply.bytes.size();
            reply.bytes.resize(head + PackedLength(chunk) + 5 + 1);
            const std::uint32_t p = Pack7(reply.bytes.data() + head, data, chunk);
            std::uint32_t crc = Crc32(data, chunk);
            ++counters.readReplies;
            if (settings.corruptRead.Hits(counters.readReplies)) {
                crc ^= 1;
                ++counters.corruptedReads;
            }
            Encode5(crc, reply.bytes.data() + head + p);
            reply.bytes.back() = kSysExEnd;
            replies.push_back(std::move(reply));
            done += chunk;
        }
        Record(kind, cmd, address, size, kStatusOk, !currentLost);
        return replies;
    }

    default:
        return refuse(kStatusUnknownCommand);
    }
}
