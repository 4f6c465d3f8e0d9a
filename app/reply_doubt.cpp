#include "app/reply_doubt.h"

#include "platform/mmsystem.h"
#include "update/timings.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kReadAttempts = 7;       // reads of one range lost, damaged or refused before the read gives up
constexpr std::uint32_t kWaitFactor = 4;   // a wait is this many times the slowest recent reply
constexpr std::uint32_t kPatientLookMs = 1000;
constexpr std::uint32_t kShortRead = 8;        // ranges this short may be read a little past their end
constexpr std::uint64_t kFlashEnd = 0x400000;  // the device's flash ends here (the plan's last region)

std::uint32_t Ms(std::chrono::steady_clock::duration d)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    return static_cast<std::uint32_t>(std::clamp<long long>(ms, 0, 0x7FFFFFFF));
}

}  // namespace

void LinkDoubt::Reset()
{
    owed.clear();
    doubt = false;
    confirmable = false;
    seenOk = endpoint.okReplies.load();
    seenStatus = endpoint.statusReplies.load();
    seenReads = endpoint.readReplies.load();
    seenDamaged = endpoint.damagedReplies.load();
    strays = false;
    troubleMark = doubtEvents;
    refusalMark = refusalsSeen;
    lastReadLength = 0;
    fates.reset();
    fatesKnown = 0;
    lastClean = false;
    readRefusal = 0;
    lastExchangeId = 0;
    lastLate = false;
    stallSince.reset();
    stats.lostReplies = 0;
    stats.readBacks = 0;
    stats.resends = 0;
}

LinkDoubt::Stats LinkDoubt::Counts() const
{
    return {stats.lostReplies.load(), stats.readBacks.load(), stats.resends.load()};
}

bool LinkDoubt::StatusOwed() const
{
    return std::any_of(owed.begin(), owed.end(), [](const Owed& o) { return !o.read; });
}

bool LinkDoubt::InDoubt() const
{
    return doubt || StatusOwed();
}

std::uint32_t LinkDoubt::WaitMs(std::uint32_t base) const
{
    const ProtocolTimings& t = Timings();
    const std::uint64_t slowest = slowestMs;
    std::uint64_t limit = base;
    // Replies seen to take about as long as the base wait or longer: follow
    // them, up to the longest a reply may take.
    if (2 * slowest + t.replyMinWaitMs > base) {
        limit = std::max<std::uint64_t>(base, std::min<std::uint64_t>(2 * slowest + t.replyMinWaitMs, t.replyMaxMs));
    }
    const std::uint64_t low = std::min<std::uint64_t>(t.replyMinWaitMs, limit);
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(kWaitFactor * slowest, low, limit));
}

bool LinkDoubt::TooSlowNow() const
{
    return slowestMs > Timings().replyMaxMs || Losing();
}

void LinkDoubt::NoteFate(bool lost)
{
    if (lost) stats.lostReplies.fetch_add(1);
    fates <<= 1;
    fates[0] = lost;
    fatesKnown = std::min(fatesKnown + 1, kFates);
}

std::uint32_t LinkDoubt::LostOfRecent() const
{
    return static_cast<std::uint32_t>(fates.count());
}

std::uint32_t LinkDoubt::EraseWaitMs(std::uint32_t size) const
{
    const ProtocolTimings& t = Timings();
    // No erase answered yet: a reply's usual wait.  An erase still running
    // then is waited for by a read behind it (EraseCeilingMs), which the
    // device answers once the erase has ended.
    if (eraseUsPerSector == 0) return std::min(WaitMs(t.writeBlockMs), t.eraseMs);
    const std::uint64_t sectors = (static_cast<std::uint64_t>(size) + kMaxBlock - 1) / kMaxBlock;
    const std::uint64_t ms = kWaitFactor * eraseUsPerSector * sectors / 1000 + WaitMs(t.writeBlockMs);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, t.eraseMs));
}

std::uint32_t LinkDoubt::EraseCeilingMs(std::uint32_t size) const
{
    const ProtocolTimings& t = Timings();
    if (eraseUsPerSector == 0) return t.eraseMs;
    return std::max(EraseWaitMs(size), std::min(t.eraseMs, WaitMs(t.writeBlockMs)));
}

bool LinkDoubt::LateAnswer(std::int32_t& status) const
{
    if (!lastLate) return false;
    status = lastLateStatus;
    return true;
}

void LinkDoubt::SendFailed()
{
    if (!stallSince) stallSince = Clock::now();
    doubt = true;
    ++doubtEvents;
    confirmable = false;
}

bool LinkDoubt::Stalled() const
{
    return stallSince && Clock::now() - *stallSince >= std::chrono::milliseconds(Timings().stallMaxMs);
}

bool LinkDoubt::PauseInStall()
{
    // About thirty looks over the whole limit: the system is given time to
    // run again, and a send that fails at once does not spin.
    const ProtocolTimings& t = Timings();
    std::uint32_t pause = std::max(t.retryPauseMs, t.stallMaxMs / 30);
    if (stallSince) {
        const auto left = std::chrono::milliseconds(t.stallMaxMs) - (Clock::now() - *stallSince);
        pause = std::min<std::uint32_t>(pause, std::max<std::uint32_t>(1, Ms(left)));
    }
    platform::Sleep(pause);
    return !Ends();
}

void LinkDoubt::NoteErase(std::uint32_t size, std::chrono::steady_clock::duration took)
{
    const std::uint64_t sectors = std::max<std::uint64_t>(1, (static_cast<std::uint64_t>(size) + kMaxBlock - 1) / kMaxBlock);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    eraseUsPerSector = std::max<std::uint64_t>({1, eraseUsPerSector, static_cast<std::uint64_t>(std::max<long long>(us, 0)) / sectors});
}

void LinkDoubt::NoteLatency(Clock::time_point sent)
{
    // The slowest recent reply: a single slow one (a busy machine) fades
    // over a few dozen replies; a device that is always late stays so.
    const std::uint32_t latency = Ms(Clock::now() - sent);
    slowestMs = std::max(latency, slowestMs - slowestMs / 16);
}

LinkDoubt::Clock::time_point LinkDoubt::NewestSent() const
{
    // A status reply answers the oldest status command owed, unless that
    // one's reply was lost, and it may be the refusal of a read sent after
    // it: the time since the newest command owed is what it surely took.
    return owed.empty() ? Clock::now() : owed.back().sent;
}

LinkDoubt::Got LinkDoubt::Absorb(const Owed& mine, bool timed)
{
    // okReplies is counted before statusReplies: never more of them than of all.
    const std::uint32_t statusCount = endpoint.statusReplies.load() - seenStatus;
    std::uint32_t okCount = std::min(endpoint.okReplies.load() - seenOk, statusCount);
    seenOk += okCount;
    const std::uint32_t readCount = endpoint.readReplies.load() - seenReads;
    seenStatus += statusCount;
    seenReads += readCount;
    Got got = Got::Nothing;

    // A reply the driver reported damaged answered something, but what it
    // said is lost: as after a time-out, what is answered from here on is
    // read back before it counts.
    const std::uint32_t damagedCount = endpoint.damagedReplies.load() - seenDamaged;
    seenDamaged += damagedCount;
    if (damagedCount > 0) {
        doubt = true;
        ++doubtEvents;
    }

    // In a batch, status replies are taken first: a read's data that came
    // with them cannot have come before the status replies owed ahead of it.
    for (std::uint32_t i = 0; i < statusCount; ++i) {
        // The refusals of a batch are taken first, then its acknowledgements.
        const bool ok = i >= statusCount - okCount;
        if (!ok) ++refusalsSeen;
        auto it = std::find_if(owed.begin(), owed.end(), [](const Owed& o) { return !o.read; });
        if (it == owed.end()) {
            // No status reply owed: the refusal of the oldest read owed, or
            // a reply nothing was waiting for (a read is never answered with
            // status 0).
            it = owed.begin();
            if (it == owed.end() || ok) {
                strays = true;
                doubt = true;
                ++doubtEvents;
                continue;
            }
            if (it->id == mine.id) got = Got::Refused;
        } else if (it->id == mine.id) {
            // (Reads owed before it stay owed: their data may have come in
            // this same batch, and each read reply names its read.)
            got = Got::Answered;
        } else if (it->id == lastExchangeId) {
            // The last exchange's reply, after its wait ran out.
            lastLate = true;
            lastLateStatus = ok ? 0 : endpoint.lastStatus.load();
        }
        if (timed) NoteLatency(NewestSent());
        NoteFate(false);
        owed.erase(it);
    }

    // Each read-data reply answers the read owed that asked for its length.
    for (std::uint32_t i = 0; i < readCount; ++i) {
        const std::uint32_t number = seenReads - readCount + i;
        ProtocolEndpoint::ReadRecord record;
        {
            std::lock_guard<std::mutex> lock(*endpoint.State().receiveMutex);
            // So many came at once that its record is gone: it answers nothing.
            if (endpoint.readReplies.load() - number > ProtocolEndpoint::kReadRecords) continue;
            record = endpoint.readRecords[number % ProtocolEndpoint::kReadRecords];
        }
        const auto it = std::find_if(owed.begin(), owed.end(),
                                     [&](const Owed& o) { return o.read && o.length == record.length; });
        if (it == owed.end()) {
            // Whole data for no read owed: its read was given up as lost
            // long ago.  (A damaged reply that names no read owed is let
            // go: the read it answers stays owed until its time runs out.)
            if (record.whole) {
                strays = true;
                doubt = true;
                ++doubtEvents;
            }
            continue;
        }
        if (!record.whole) {
            // Damaged: the length it gives may be damaged too, so it ends
            // only this worker's own read, which is asked again.
            if (it->id == mine.id) {
                got = Got::BadData;
                NoteFate(false);
                owed.erase(it);
            }
            continue;
        }
        // Replies come in order: everything owed before this read has had
        // its reply or lost it.
        for (auto lost = owed.begin(); lost != it;) {
            NoteFate(true);
            lost = owed.erase(lost);
        }
        if (timed) NoteLatency(owed.front().sent);
        lastReadLength = record.length;
        if (owed.front().id == mine.id) {
            got = Got::Data;
            dataOffset = record.offset;
        }
        NoteFate(false);
        owed.pop_front();
    }

    // A reply owed longer than any reply may take will not come.
    const auto tooOld = Clock::now() - std::chrono::milliseconds(2ull * Timings().replyMaxMs);
    for (auto it = owed.begin(); it != owed.end();) {
        if (it->id != mine.id && it->sent < tooOld) {
            NoteFate(true);
            it = owed.erase(it);
        } else {
            ++it;
        }
    }
    return got;
}

bool LinkDoubt::Settle()
{
    if (Ends()) return false;
    Absorb(Owed{}, false);   // when they came is not known
    return true;
}

LinkDoubt::Outcome LinkDoubt::Exchange(const std::function<int()>& send, std::uint32_t baseMs, std::int32_t& status,
                                       std::uint32_t firstWaitMs)
{
    lastClean = false;
    // A reply that came after the caller's last look is not dropped unseen.
    if (!Settle()) return Outcome::Closing;
    const bool quiet = !StatusOwed();
    const bool clean = quiet && !doubt;
    const std::uint64_t eventsAtSend = doubtEvents;
    owed.push_back(Owed{++nextId, false, Clock::now()});
    lastExchangeId = nextId;
    lastLate = false;
    if (send() != 0) {
        if (Ends()) {
            owed.pop_back();
            return Outcome::Closing;
        }
        // Given up by the MIDI system, not necessarily unsent: it stays owed.
        owed.back().sent = Clock::now();
        SendFailed();
        return Stalled() ? Outcome::Stalled : Outcome::NotSent;
    }
    SendFinished();
    // Latencies count from the end of the send: a long message's own time on
    // the link is not the device's.
    owed.back().sent = Clock::now();
    const Owed mine = owed.back();
    confirmable = quiet && eventsAtSend == doubtEvents;
    const std::uint32_t waitMs = firstWaitMs != 0 ? firstWaitMs : WaitMs(baseMs);
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline || !endpoint.event.Wait(Ms(deadline - now))) {
            if (Ends()) return Outcome::Closing;
            if (Absorb(mine, true) == Got::Answered) break;   // came as the wait ran out
            doubt = true;
            ++doubtEvents;
            confirmable = false;
            return TooSlowNow() ? Outcome::TooSlow : Outcome::TimedOut;
        }
        if (Ends()) return Outcome::Closing;
        if (Absorb(mine, true) == Got::Answered) break;
    }
    status = endpoint.lastStatus.load();
    // No earlier status reply was owed and no reply has gone astray since a
    // time-out: this one is the command's.
    lastClean = clean && !doubt;
    confirmable = confirmable && eventsAtSend == doubtEvents;
    confirmEvents = doubtEvents;
    return Outcome::Answered;
}

void LinkDoubt::Confirmed()
{
    // Sent with no status reply owed, and nothing went astray until its
    // effect was read back as expected: the link is in step.
    if (confirmable && confirmEvents == doubtEvents && !StatusOwed()) doubt = false;
    confirmable = false;
}

bool LinkDoubt::LengthFree(std::uint32_t length) const
{
    return length != lastReadLength &&
           std::none_of(owed.begin(), owed.end(), [&](const Owed& o) { return o.read && o.length == length; });
}

LinkDoubt::Check LinkDoubt::ReadInto(std::uint32_t address, std::uint32_t length, std::uint8_t* read,
                                     std::uint32_t baseMs, std::uint32_t firstWaitMs)
{
    readRefusal = 0;
    if (length == 0 || length > kMaxBlock) return Check::ReadFailed;
    // A read of 4 KiB takes the link about as long as a block's write.
    const std::uint32_t first = firstWaitMs != 0 ? firstWaitMs : WaitMs(baseMs != 0 ? baseMs : Timings().writeBlockMs);
    // Patient reads (behind an erase) look at least once a second.
    const std::uint32_t cap =
        std::max(first, patienceMs != 0 ? std::min(Timings().replyMaxMs, kPatientLookMs) : Timings().replyMaxMs);
    int failures = 0;
    std::uint32_t done = 0;
    const auto began = Clock::now();
    const auto patient = [&] {
        return patienceMs != 0 && Clock::now() - began < std::chrono::milliseconds(patienceMs);
    };
    while (done < length && (failures < kReadAttempts || patient())) {
        if (!Settle()) return Check::Closing;
        // With no read owed the range goes in one request.  Otherwise the
        // request asks for a length no read owed asked for, so that its
        // reply cannot be taken for theirs nor theirs for its own: the
        // longest such part of what is left (the rest follows in another),
        // or else the end of the range from a little before what is left.
        // A short range may instead read a few bytes past its end (the
        // version fields: four reads of 4 bytes go out as 4, 5, 4, 5).
        std::uint32_t start = done;
        std::uint32_t piece = length - done;
        if (!LengthFree(piece) && piece <= kShortRead) {
            for (std::uint32_t longer = piece + 1;
                 longer <= piece + kShortRead && std::uint64_t{address} + start + longer <= kFlashEnd; ++longer) {
                if (LengthFree(longer)) {
                    piece = longer;
                    break;
                }
            }
        }
        while (piece > 0 && !LengthFree(piece)) --piece;
        for (std::uint32_t longer = length - done + 1; piece == 0 && longer <= length; ++longer) {
            if (LengthFree(longer)) {
                start = length - longer;
                piece = longer;
            }
        }
        const std::uint64_t grown = static_cast<std::uint64_t>(first) << std::min(failures, 16);
        const auto waitFor = std::chrono::milliseconds(std::min<std::uint64_t>(grown, cap));
        if (piece == 0) {
            // Every length that would do is owed: wait for those replies
            // (during a stall, for the system to run again).
            if (stallSince) {
                if (Stalled()) return Check::Stalled;
                if (!PauseInStall()) return Check::Closing;
                continue;
            }
            endpoint.event.Wait(Ms(waitFor));
            ++failures;
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(*endpoint.State().receiveMutex);
            endpoint.State().receiveCount->store(0);
        }
        const Owed mine{++nextId, true, Clock::now(), address + start, piece};
        owed.push_back(mine);
        if (SendReadRequest(endpoint.midiOut, endpoint.DeviceIdentity()[0], address + start, piece) != 0) {
            if (Ends()) return Check::Closing;
            // It stays owed (its length too): the system may still pass it
            // on.  Asked again once the system runs, within the stall limit.
            owed.back().sent = Clock::now();
            SendFailed();
            if (Stalled()) return Check::Stalled;
            if (!PauseInStall()) return Check::Closing;
            continue;
        }
        SendFinished();
        owed.back().sent = Clock::now();
        const auto deadline = owed.back().sent + waitFor;
        Got got = Got::Nothing;
        for (;;) {
            const auto now = Clock::now();
            const bool woken = now < deadline && endpoint.event.Wait(Ms(deadline - now));
            if (Ends()) return Check::Closing;
            got = Absorb(mine, true);
            if (got == Got::Refused) readRefusal = endpoint.lastStatus.load();
            if (got != Got::Nothing && got != Got::Answered) break;
            if (!woken) break;
        }
        if (got == Got::Data) {
            std::lock_guard<std::mutex> lock(*endpoint.State().receiveMutex);
            if (dataOffset >= 0 && static_cast<std::uint64_t>(dataOffset) + piece <= kReceiveBufferSize) {
                const std::uint32_t wanted = std::min(piece, length - start);   // bytes read past the range are let go
                std::memcpy(read + start, endpoint.State().receiveBuffer + dataOffset, wanted);
                done = start + wanted;
                failures = 0;   // bounded still: each answer brings at least a byte
                continue;
            }
        }
        // Not answered in time: still owed, until a later read's reply or
        // twice the longest a reply may take ends it.
        if (got == Got::Nothing && TooSlowNow() && !patient()) return Check::TooSlow;
        if (++failures < kReadAttempts || patient()) stats.resends.fetch_add(1);
    }
    if (done == length) return Check::Match;
    return TooSlowNow() ? Check::TooSlow : Check::ReadFailed;
}

LinkDoubt::Check LinkDoubt::Read(std::uint32_t address, std::uint32_t length, std::uint8_t* dest,
                                 std::uint32_t baseMs, std::uint32_t firstWaitMs)
{
    return ReadInto(address, length, dest, baseMs, firstWaitMs);
}

LinkDoubt::Check LinkDoubt::Compare(std::uint32_t address, const std::uint8_t* expected, std::uint32_t length,
                                    std::uint32_t baseMs, std::uint32_t firstWaitMs)
{
    std::uint8_t read[kMaxBlock];
    const Check got = ReadInto(address, length, read, baseMs, firstWaitMs);
    if (got != Check::Match) return got;
    Check result = Check::Match;
    for (std::uint32_t i = length; i-- > 0;) {
        const std::uint8_t want = expected != nullptr ? expected[i] : 0xFF;
        if (read[i] == want) continue;
        firstDifference = i;
        if (result != Check::NeedsErase) result = (read[i] & want) != want ? Check::NeedsErase : Check::Differs;
    }
    return result;
}

LinkDoubt::Check LinkDoubt::CompareErased(std::uint32_t address, std::uint32_t size, std::uint32_t baseMs,
                                          std::uint32_t firstWaitMs)
{
    Check result = Check::Match;
    for (std::uint32_t done = 0; done < size; done += kMaxBlock) {
        // Only the first read may have to wait for the erase before it.
        const Check part = Compare(address + done, nullptr, std::min(size - done, kMaxBlock), done == 0 ? baseMs : 0,
                                   done == 0 ? firstWaitMs : 0);
        if (part == Check::Match) continue;
        if (part != Check::Differs && part != Check::NeedsErase) return part;
        result = Check::Differs;
        break;
    }
    return result;
}
