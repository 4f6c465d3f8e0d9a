#include "app/reply_doubt.h"

#include "update/timings.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kReadAttempts = 7;       // reads of one range lost, damaged or refused before the read gives up
constexpr int kOtherReadsMax = 64;     // replies to older reads taken in before the read gives up
constexpr std::uint32_t kWaitFactor = 4;   // a wait is this many times the slowest recent reply

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
    strays = false;
    lastClean = false;
    readRefusal = 0;
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
    return slowestMs > Timings().replyMaxMs;
}

std::uint32_t LinkDoubt::EraseWaitMs(std::uint32_t size) const
{
    const ProtocolTimings& t = Timings();
    if (eraseUsPerSector == 0) return t.eraseMs;
    const std::uint64_t sectors = (static_cast<std::uint64_t>(size) + kMaxBlock - 1) / kMaxBlock;
    const std::uint64_t ms = kWaitFactor * eraseUsPerSector * sectors / 1000 + WaitMs(t.writeBlockMs);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, t.eraseMs));
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

LinkDoubt::Clock::time_point LinkDoubt::NewestLike(bool read) const
{
    // A reply answers the oldest command of its kind owed, unless that one's
    // reply was lost: the time since the newest is what the reply surely took.
    for (auto it = owed.rbegin(); it != owed.rend(); ++it) {
        if (it->read == read) return it->sent;
    }
    return Clock::now();
}

LinkDoubt::Got LinkDoubt::Absorb(const Owed& mine, bool timed)
{
    // okReplies is counted before statusReplies: never more of them than of all.
    const std::uint32_t statusCount = endpoint.statusReplies.load() - seenStatus;
    std::uint32_t okCount = std::min(endpoint.okReplies.load() - seenOk, statusCount);
    seenOk += okCount;
    const std::uint32_t readCount = endpoint.readReplies.load() - seenReads;
    dataReply = 0;
    seenStatus += statusCount;
    seenReads += readCount;
    Got got = Got::Nothing;

    // In a batch, status replies are taken first: a read's data that came
    // with them cannot have come before the status replies owed ahead of it.
    for (std::uint32_t i = 0; i < statusCount; ++i) {
        // The refusals of a batch are taken first, then its acknowledgements.
        const bool ok = i >= statusCount - okCount;
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
        } else {
            if (it->id == mine.id) got = Got::Answered;
            // The reads owed before this status command have had their data,
            // been refused, or lost it.
            for (auto read = owed.begin(); read != it;) {
                stats.lostReplies.fetch_add(1);
                read = owed.erase(read);
            }
            it = owed.begin();
        }
        if (timed) NoteLatency(NewestLike(it->read));
        owed.erase(it);
    }

    for (std::uint32_t i = 0; i < readCount; ++i) {
        // A read reply nothing was waiting for (its read was given up as
        // lost) acknowledges nothing.
        if (std::none_of(owed.begin(), owed.end(), [](const Owed& o) { return o.read; })) {
            // Its read was given up as lost: a reply this late may have
            // answered another read before it came.
            strays = true;
            doubt = true;
            ++doubtEvents;
            continue;
        }
        // Every status command owed before the oldest read has had its reply
        // by now, or lost it.
        while (!owed.front().read) {
            stats.lostReplies.fetch_add(1);
            owed.pop_front();
        }
        if (timed) NoteLatency(NewestLike(true));
        const Owed answered = owed.front();
        owed.pop_front();
        if (!mine.read) continue;
        const bool alike =
            answered.address == mine.address && answered.length == mine.length && answered.after == mine.after;
        if (!alike) {
            got = Got::OtherData;
        } else {
            got = Got::Data;
            dataReply = seenReads - readCount + i + 1;
        }
    }

    // A reply owed longer than any reply may take will not come.
    const auto tooOld = Clock::now() - std::chrono::milliseconds(2ull * Timings().replyMaxMs);
    for (auto it = owed.begin(); it != owed.end();) {
        if (it->id != mine.id && it->sent < tooOld) {
            stats.lostReplies.fetch_add(1);
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
    ++commandsSent;
    if (send() != 0) {
        owed.pop_back();
        return Ends() ? Outcome::Closing : Outcome::NotSent;
    }
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

LinkDoubt::Check LinkDoubt::ReadInto(std::uint32_t address, std::uint32_t length, std::uint8_t* read,
                                     std::uint32_t baseMs, std::uint32_t firstWaitMs)
{
    readRefusal = 0;
    if (length == 0 || length > kMaxBlock) return Check::ReadFailed;
    // A read of 4 KiB takes the link about as long as a block's write.
    const std::uint32_t first = firstWaitMs != 0 ? firstWaitMs : WaitMs(baseMs != 0 ? baseMs : Timings().writeBlockMs);
    const std::uint32_t cap = std::max(first, Timings().replyMaxMs);
    int others = 0;
    for (int attempt = 0; attempt < kReadAttempts;) {
        if (!Settle()) return Check::Closing;
        {
            std::lock_guard<std::mutex> lock(*endpoint.State().receiveMutex);
            endpoint.State().receiveCount->store(0);
        }
        const Owed mine{++nextId, true, Clock::now(), address, length, commandsSent};
        owed.push_back(mine);
        if (SendReadRequest(endpoint.midiOut, endpoint.DeviceIdentity()[0], address, length) != 0) {
            owed.pop_back();
            return Ends() ? Check::Closing : Check::ReadFailed;
        }
        // A read whose reply did not come is waited for longer each time.
        const std::uint64_t grown = static_cast<std::uint64_t>(first) << std::min(attempt, 16);
        const auto waitFor = std::chrono::milliseconds(std::min<std::uint64_t>(grown, cap));
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
            // The bytes of the reply that answered: the last one taken in,
            // unless another came meanwhile (then it is asked again).
            std::lock_guard<std::mutex> lock(*endpoint.State().receiveMutex);
            const std::int32_t at = endpoint.lastReadOffset.load();
            if (endpoint.readReplies.load() != dataReply) {
                got = Got::OtherData;
            } else if (endpoint.lastReadLength.load() != length) {
                got = Got::BadData;
            } else if (at >= 0 && static_cast<std::uint64_t>(at) + length <= kReceiveBufferSize) {
                std::memcpy(read, endpoint.State().receiveBuffer + at, length);
                return Check::Match;
            }
        }
        if (got == Got::OtherData && ++others <= kOtherReadsMax) {
            // The data of an older read (late, or one whose own reply was
            // lost and this one's came instead): a read sent now can only be
            // answered after this one, so it is sent at once.
            stats.resends.fetch_add(1);
            continue;
        }
        // Not answered in time: still owed, and a late reply answers the
        // next read alike.  Reads stay owed until a reply, a later status
        // reply or twice the longest a reply may take ends them: a reply is
        // never taken for a read it cannot answer.
        if (got == Got::Nothing && TooSlowNow()) return Check::TooSlow;
        ++attempt;
        if (attempt < kReadAttempts) stats.resends.fetch_add(1);
    }
    return TooSlowNow() ? Check::TooSlow : Check::ReadFailed;
}

LinkDoubt::Check LinkDoubt::Read(std::uint32_t address, std::uint32_t length, std::uint8_t* dest,
                                 std::uint32_t baseMs)
{
    return ReadInto(address, length, dest, baseMs, 0);
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
