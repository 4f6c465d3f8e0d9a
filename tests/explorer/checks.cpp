#include "tests/explorer/checks.h"

#include "resources/string_table.h"
#include "update/protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace explorer {

namespace {

using Kind = VirtualQ9::Kind;
using Entry = VirtualQ9::LogEntry;

constexpr std::uint32_t kSector = VirtualQ9::kEraseUnit;

std::string Hex(std::uint32_t value, int digits = 6)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string Range(std::uint32_t address, std::uint32_t size) { return Hex(address) + "+" + Hex(size, 1); }

bool ActedOn(const Entry& e)
{
    return (e.kind == Kind::Erase || e.kind == Kind::WriteBlock) && e.status == VirtualQ9::kStatusOk;
}

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::IdentityRequest: return "identity";
    case Kind::BeginUpdate: return "begin";
    case Kind::EndUpdate: return "end";
    case Kind::Erase: return "erase";
    case Kind::WriteBlock: return "write";
    case Kind::Read: return "read";
    case Kind::HostStatus: return "host-status";
    case Kind::HostIdentity: return "host-identity";
    case Kind::Unknown: return "unknown";
    case Kind::Ignored: return "ignored";
    }
    return "?";
}

bool HasRange(Kind kind) { return kind == Kind::Erase || kind == Kind::WriteBlock || kind == Kind::Read; }

// The row-12 write: where the plan's commit record goes.
struct Stamp {
    std::uint32_t begin;
    std::uint32_t end;
    bool Holds(const Entry& e) const { return e.kind == Kind::WriteBlock && e.address >= begin && e.address < end; }
};

// The first byte in [address, address + size) where a and b differ, or -1.
long FirstDifference(const Bytes& a, const Bytes& b, std::uint32_t address, std::uint32_t size)
{
    if (std::memcmp(a.data() + address, b.data() + address, size) == 0) return -1;
    for (std::uint32_t i = 0; i < size; ++i) {
        if (a[address + i] != b[address + i]) return static_cast<long>(address + i);
    }
    return -1;
}

bool IsHostAnswer(const Bytes& m)
{
    const bool status = m.size() == 7 && m[1] == kManufacturer && m[4] == kCmdStatus;
    const bool identity = m.size() >= 5 && m[1] == 0x7E && m[3] == 0x06 && m[4] == 0x02;
    return status || identity;
}

bool IsCommand(const Bytes& m, std::uint8_t command)
{
    return m.size() >= 6 && m[0] == 0xF0 && m[1] == kManufacturer && m[4] == command;
}

bool IsIdentityRequest(const Bytes& m)
{
    return m.size() == 6 && m[1] == 0x7E && m[3] == 0x06 && m[4] == 0x01;
}

// The data of the write-block messages the host sent, by address and count.
std::map<std::pair<std::uint32_t, std::uint32_t>, Bytes> WriteData(const std::vector<Bytes>& sent)
{
    std::map<std::pair<std::uint32_t, std::uint32_t>, Bytes> data;
    for (const Bytes& m : sent) {
        if (!IsCommand(m, kCmdWriteBlock) || m.size() < kWriteBlockOverhead) continue;
        const std::uint32_t address = Decode5(m.data() + 5);
        const std::uint32_t count = m[10] | static_cast<std::uint32_t>(m[11]) << 7;
        const std::uint32_t packed = PackedLength(count);
        if (count == 0 || count > kMaxBlock || m.size() != packed + kWriteBlockOverhead) continue;
        Bytes bytes(count);
        Unpack7(bytes.data(), m.data() + 12, packed);
        data[{address, count}] = std::move(bytes);
    }
    return data;
}

class Checker {
public:
    Checker(const RunSetup& setup, const RunRecord& record)
        : setup(setup), record(record), log(record.log),
          stamp{setup.plan[kStampRow].address, setup.plan[kStampRow].address + RowLength(setup.plan[kStampRow])}
    {
        for (const Entry& e : log) acted += ActedOn(e) ? 1 : 0;
    }

    std::vector<Failure> Run()
    {
        FalseSuccess();
        CommitRule();
        HonestFailure();
        HostOrder();
        DeviceOrder();
        Replay();
        return failures;
    }

private:
    void Fail(Property property, std::string detail) { failures.push_back({property, std::move(detail)}); }

    // What a clean update makes of the start flash.
    const Bytes& Expected()
    {
        if (expected.empty()) expected = ExpectedFlashAfterUpdate(setup.startFlash);
        return expected;
    }

    void FalseSuccess()
    {
        if (!Completed(record)) return;
        const long at = FirstDifference(record.finalFlash, Expected(), 0, VirtualQ9::kFlashSize);
        if (at >= 0)
            Fail(Property::FalseSuccess, "completed, yet the flash differs from a clean update's at " +
                                             Hex(static_cast<std::uint32_t>(at)));
    }

    void CommitRule()
    {
        std::map<std::uint32_t, int> stampWrites;
        std::size_t first = log.size();
        for (std::size_t i = 0; i < log.size(); ++i) {
            const Entry& e = log[i];
            if (!ActedOn(e)) continue;
            if (stamp.Holds(e)) {
                if (++stampWrites[e.address] == 2)
                    Fail(Property::CommitRule, "the stamp block " + Range(e.address, e.size) +
                                                   " acted on a second time (log #" + std::to_string(i + 1) + ")");
                first = std::min(first, i);
            } else if (first < i) {
                Fail(Property::CommitRule, std::string(KindName(e.kind)) + " " + Range(e.address, e.size) +
                                               " acted on after the stamp (log #" + std::to_string(i + 1) + ")");
            }
        }

        // A stamp standing at the end vouches for every region of the plan,
        // once this run has touched the flash at all.
        const ImagePlanStep& row = setup.plan[kStampRow];
        const std::uint8_t* image = RowImage(row);
        if (acted == 0 || image == nullptr ||
            std::memcmp(record.finalFlash.data() + row.address, image, stamp.end - stamp.begin) != 0)
            return;
        for (std::size_t r = 0; r < setup.plan.size(); ++r) {
            const ImagePlanStep& step = setup.plan[r];
            const long at = FirstDifference(record.finalFlash, Expected(), step.address, RowLength(step));
            if (at < 0) continue;
            Fail(Property::CommitRule, "the stamp stands while row " + std::to_string(r + 1) + " (" +
                                           Range(step.address, RowLength(step)) + ") differs at " +
                                           Hex(static_cast<std::uint32_t>(at)));
            return;
        }
    }

    void HonestFailure()
    {
        const std::string completedText = LoadStringById(IDS_COMPLETED);
        if (record.status == completedText && !record.boxes.empty()) {
            Fail(Property::HonestFailure, "the status line says the update completed beside an error box: \"" +
                                              record.boxes.front() + "\"");
            return;
        }
        if (Completed(record)) return;
        if (record.boxes.empty()) {
            Fail(Property::HonestFailure, "ended without completing and without an error box (status line \"" +
                                              record.status + "\")");
        } else if (record.boxes.size() > 1) {
            std::string texts;
            for (const std::string& box : record.boxes) texts += " \"" + box + "\"";
            Fail(Property::HonestFailure, std::to_string(record.boxes.size()) + " error boxes:" + texts);
        } else if (record.boxes.front().empty()) {
            Fail(Property::HonestFailure, "an error box without text");
        }
        const bool runAgain = record.status.ends_with(LoadStringById(IDS_RUN_UPDATE_AGAIN));
        // An erase or write that reached the device cut short, or was
        // refused with a reply the host never saw in time, changed nothing,
        // but the host cannot know that: saying so then is honest.
        // (Nor can it know that a send was cut short before the device took
        // it in: an erase or write sent while the device was there counts.)
        std::size_t firstFlashSend = 0;
        for (std::size_t i = 0; i < record.sent.size() && firstFlashSend == 0; ++i) {
            if (IsCommand(record.sent[i], kCmdErase) || IsCommand(record.sent[i], kCmdWriteBlock)) firstFlashSend = i + 1;
        }
        const bool cutArrived =
            std::any_of(log.begin(), log.end(), [](const Entry& e) {
                return e.kind == VirtualQ9::Kind::Ignored || e.kind == VirtualQ9::Kind::Erase ||
                       e.kind == VirtualQ9::Kind::WriteBlock;
            }) ||
            (firstFlashSend != 0 && (setup.unplugAtSend == 0 || firstFlashSend < setup.unplugAtSend));
        if (runAgain && acted == 0 && !cutArrived) {
            Fail(Property::HonestFailure, "the status line says the device needs the update run again, "
                                          "yet the device acted on no erase or write");
        } else if (!runAgain && acted != 0) {
            Fail(Property::HonestFailure, "the device acted on " + std::to_string(acted) +
                                              " erases/writes, yet the status line says \"" + record.status + "\"");
        }
    }

    // The host's side: identity first, begin-update before any erase or
    // write, nothing after end-update but end-update again and answers.
    void HostOrder()
    {
        const std::vector<Bytes>& sent = record.sent;
        if (!sent.empty() && !IsIdentityRequest(sent.front()))
            Fail(Property::Protocol, "the host's first message is " + DescribeMessage(sent.front()));
        bool begun = false;
        bool ended = false;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const Bytes& m = sent[i];
            const std::string where = " (host #" + std::to_string(i + 1) + ")";
            if (ended && !IsCommand(m, kCmdEndUpdate) && !IsHostAnswer(m)) {
                Fail(Property::Protocol, DescribeMessage(m) + " sent after end-update" + where);
                return;
            }
            if (!begun && (IsCommand(m, kCmdErase) || IsCommand(m, kCmdWriteBlock))) {
                Fail(Property::Protocol, DescribeMessage(m) + " sent before begin-update" + where);
                return;
            }
            begun = begun || IsCommand(m, kCmdBeginUpdate);
            ended = ended || IsCommand(m, kCmdEndUpdate);
        }
    }

    // The device's side: identity first, begin-update acted on before any
    // erase or write, after the stamp nothing but reads and end-update (the
    // stamp's other blocks aside), after end-update nothing.
    void DeviceOrder()
    {
        bool identified = false;
        bool begun = false;
        bool stamped = false;
        bool ended = false;
        std::map<std::uint32_t, bool> stampDone;
        for (std::size_t i = 0; i < log.size(); ++i) {
            const Entry& e = log[i];
            const std::string what = DescribeEntry(e) + " (log #" + std::to_string(i + 1) + ")";
            const bool command = e.kind != Kind::Ignored && e.kind != Kind::HostStatus &&
                                 e.kind != Kind::HostIdentity;
            if (command && !identified && e.kind != Kind::IdentityRequest) {
                Fail(Property::Protocol, "the device's first command is " + what);
                return;
            }
            identified = identified || command;
            if (ActedOn(e) && !begun) {
                Fail(Property::Protocol, what + " before begin-update was acted on");
                return;
            }
            const bool allowedAfterStamp = e.kind == Kind::Read || e.kind == Kind::EndUpdate || !command ||
                                           (stamp.Holds(e) && !stampDone[e.address]);
            if (stamped && !allowedAfterStamp) {
                Fail(Property::Protocol, what + " after the stamp was written");
                return;
            }
            if (ended && command && e.kind != Kind::EndUpdate && e.kind != Kind::IdentityRequest) {
                Fail(Property::Protocol, what + " after end-update was acted on");
                return;
            }
            begun = begun || (e.kind == Kind::BeginUpdate && e.status == VirtualQ9::kStatusOk);
            ended = ended || (e.kind == Kind::EndUpdate && e.status == VirtualQ9::kStatusOk);
            if (ActedOn(e) && stamp.Holds(e)) {
                stamped = true;
                stampDone[e.address] = true;
            }
        }
    }

    // The log replayed over the start flash: every write acted on lands in
    // sectors erased earlier in this run, or over bits it can program; and
    // the log accounts for the flash the device ends with.
    void Replay()
    {
        const auto data = WriteData(record.sent);
        Bytes flash = setup.startFlash;
        std::vector<bool> erased(VirtualQ9::kFlashSize / kSector, false);
        for (std::size_t i = 0; i < log.size(); ++i) {
            const Entry& e = log[i];
            if (!ActedOn(e)) continue;
            const std::string where = " (log #" + std::to_string(i + 1) + ")";
            if (e.kind == Kind::Erase) {
                std::fill(flash.begin() + e.address, flash.begin() + e.address + e.size, 0xFF);
                for (std::uint32_t s = e.address / kSector; s < (e.address + e.size) / kSector; ++s) erased[s] = true;
                continue;
            }
            const auto found = data.find({e.address, e.size});
            if (found == data.end()) {
                Fail(Property::Protocol, "the device wrote " + Range(e.address, e.size) +
                                             ", which the host never sent" + where);
                return;
            }
            bool inErased = true;
            for (std::uint32_t s = e.address / kSector; s <= (e.address + e.size - 1) / kSector; ++s)
                inErased = inErased && erased[s];
            const Bytes& bytes = found->second;
            for (std::uint32_t k = 0; !inErased && k < e.size; ++k) {
                if ((flash[e.address + k] & bytes[k]) != bytes[k]) {
                    Fail(Property::Protocol, "write " + Range(e.address, e.size) +
                                                 " acted on over bits it cannot program, in sectors not erased "
                                                 "in this run" + where);
                    return;
                }
            }
            std::copy(bytes.begin(), bytes.end(), flash.begin() + e.address);
        }
        const long at = FirstDifference(flash, record.finalFlash, 0, VirtualQ9::kFlashSize);
        if (at >= 0)
            Fail(Property::Protocol, "the device's log does not account for its flash at " +
                                         Hex(static_cast<std::uint32_t>(at)));
    }

    const RunSetup& setup;
    const RunRecord& record;
    const std::vector<Entry>& log;
    const Stamp stamp;
    std::uint32_t acted = 0;
    Bytes expected;
    std::vector<Failure> failures;
};

}  // namespace

bool Completed(const RunRecord& record)
{
    return record.status == LoadStringById(IDS_COMPLETED) && record.boxes.empty();
}

std::vector<Failure> CheckRun(const RunSetup& setup, const RunRecord& record)
{
    return Checker(setup, record).Run();
}

std::string DescribeEntry(const VirtualQ9::LogEntry& e)
{
    std::string text = KindName(e.kind);
    // refuse=N refuses a command before reading its fields: they are logged as 0.
    const bool unread = e.status == VirtualQ9::kStatusRefused && e.address == 0 && e.size == 0;
    if (HasRange(e.kind) && !unread) text += " " + Range(e.address, e.size);
    if (e.kind == Kind::HostStatus) return text + " " + Hex(e.status, 2);
    if (e.kind == Kind::Ignored || e.kind == Kind::HostIdentity) return text;
    if (e.status != VirtualQ9::kStatusOk) text += " refused " + Hex(e.status, 2);
    if (!e.answered) text += " (reply lost)";
    return text;
}

std::string DescribeMessage(const Bytes& m)
{
    if (IsIdentityRequest(m)) return "identity";
    if (IsHostAnswer(m)) return m[1] == kManufacturer ? "host-status " + Hex(m[5], 2) : "host-identity";
    if (m.size() < 6 || m[1] != kManufacturer) return "other (" + std::to_string(m.size()) + " bytes)";
    switch (m[4]) {
    case kCmdBeginUpdate: return "begin";
    case kCmdEndUpdate: return "end";
    case kCmdErase: return m.size() >= 15 ? "erase " + Range(Decode5(m.data() + 5), Decode5(m.data() + 10)) : "erase";
    case kCmdWriteBlock:
        return m.size() >= 12 ? "write " + Range(Decode5(m.data() + 5), m[10] | static_cast<std::uint32_t>(m[11]) << 7)
                              : "write";
    case kCmdRead: return m.size() >= 16 ? "read " + Range(Decode5(m.data() + 6), Decode5(m.data() + 11)) : "read";
    default: return "command " + Hex(m[4], 2);
    }
}

}  // namespace explorer
