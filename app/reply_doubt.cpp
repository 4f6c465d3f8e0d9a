#include "app/reply_doubt.h"

#include "update/timings.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kReadAttempts = 7;   // read-backs of one range before the check gives up

}  // namespace

void LinkDoubt::Reset()
{
    counts.lostReplies.store(0);
    counts.readBacks.store(0);
    doubt = false;
    strays = false;
    unanswered = 0;
    owed = false;
    lastClean = false;
    slowestMs = 0;
    readRefusal = 0;
}

std::uint32_t LinkDoubt::QuietMs() const
{
    const ProtocolTimings& t = Timings();
    const std::uint64_t scaled = 2ull * slowestMs;
    const std::uint32_t low = t.writeBlockMs;
    const std::uint32_t high = std::max(t.quietMaxMs, low);
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(scaled, low, high));
}

std::uint32_t LinkDoubt::WaitMs(std::uint32_t base) const
{
    return slowestMs > base ? std::max(base, QuietMs()) : base;
}

void LinkDoubt::NoteLatency(Clock::time_point now)
{
    // The slowest recent reply: a single slow one (a busy machine) fades
    // over a few dozen replies; a device that is always late stays so.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastSend).count();
    const auto latency = static_cast<std::uint32_t>(std::clamp<long long>(ms, 0, 0xFFFFFFF));
    slowestMs = std::max(latency, slowestMs - slowestMs / 16);
}

bool LinkDoubt::Settle()
{
    if (endpoint.event.Wait(0)) {
        // A reply that no command of ours is waiting for.
        if (StatusEndsWork(endpoint.status.load())) return false;
        if (!doubt) strays = true;   // not even a late reply was expected
        doubt = true;
        owed = true;
        if (unanswered > 0) --unanswered;
    }
    if (!owed) return true;
    // While a command that timed out has not had its reply, the link must
    // stay quiet for the longest time a reply may take; then the short one.
    for (;;) {
        const std::uint32_t quiet = unanswered > 0 ? std::max(Timings().quietMaxMs, QuietMs()) : QuietMs();
        if (!endpoint.event.Wait(quiet)) break;
        if (StatusEndsWork(endpoint.status.load())) return false;
        NoteLatency(Clock::now());
        if (unanswered > 0) --unanswered;
    }
    owed = false;
    unanswered = 0;
    return true;
}

LinkDoubt::Outcome LinkDoubt::Exchange(const std::function<int()>& send, std::uint32_t waitMs, std::int32_t& status)
{
    lastClean = false;
    // A reply that came after the caller's Settle is not dropped unseen.
    if (!Settle()) return Outcome::Closing;
    lastSend = Clock::now();
    const int sent = send();
    if (sent != 0) {
        if (StatusEndsWork(endpoint.status.load())) return Outcome::Closing;
        return Outcome::NotSent;
    }
    owed = true;
    // Replies already seen to come late are waited for as long as they took
    // (twice, bounded), not given up on and answered by the next command.
    if (!endpoint.event.Wait(WaitMs(waitMs))) {
        doubt = true;
        ++unanswered;
        counts.lostReplies.fetch_add(1);
        return Outcome::TimedOut;
    }
    status = endpoint.status.load();
    if (StatusEndsWork(status)) return Outcome::Closing;
    NoteLatency(Clock::now());
    owed = false;
    lastClean = true;   // sent on a quiet link, answered in time
    return Outcome::Answered;
}

void LinkDoubt::Confirmed()
{
    if (lastClean && !owed) doubt = false;
}

LinkDoubt::Check LinkDoubt::Compare(std::uint32_t address, const std::uint8_t* expected, std::uint32_t length)
{
    std::uint8_t read[kMaxBlock];
    readRefusal = 0;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (!Settle()) return Check::Closing;
        std::int32_t refusal = 0;
        lastSend = Clock::now();
        counts.readBacks.fetch_add(1);
        // A read of 4 KiB takes the link about as long as a block's write.
        switch (ReadDeviceBlock(endpoint, address, length, read, WaitMs(Timings().writeBlockMs), &refusal)) {
        case BlockRead::Ok: {
            Check result = Check::Match;
            for (std::uint32_t i = length; i-- > 0;) {
                const std::uint8_t want = expected != nullptr ? expected[i] : 0xFF;
                if (read[i] == want) continue;
                firstDifference = i;
                if (result != Check::NeedsErase) result = (read[i] & want) != want ? Check::NeedsErase : Check::Differs;
            }
            return result;
        }
        case BlockRead::TimedOut:
            // Its data may still come, and would answer the next read.
            doubt = true;
            owed = true;
            ++unanswered;
            counts.lostReplies.fetch_add(1);
            break;
        case BlockRead::Refused:
            readRefusal = refusal;
            break;
        case BlockRead::BadData:
            break;
        case BlockRead::Closing:
            return Check::Closing;
        }
    }
    return Check::ReadFailed;
}

LinkDoubt::Check LinkDoubt::CompareErased(std::uint32_t address, std::uint32_t size)
{
    Check result = Check::Match;
    for (std::uint32_t done = 0; done < size; done += kMaxBlock) {
        const Check part = Compare(address + done, nullptr, std::min(size - done, kMaxBlock));
        if (part == Check::Match) continue;
        if (part != Check::Differs && part != Check::NeedsErase) return part;
        result = Check::Differs;
        break;
    }
    return result;
}
