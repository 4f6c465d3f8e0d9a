// The state of the link between a worker and the device.
//
// The device answers commands in the order they went out, and a read-data
// reply is never taken for a status reply.  The link keeps a list of the
// commands whose reply is still owed.  A status reply answers the oldest
// status command owed.  No two reads owed at once ask for the same length,
// so a read-data reply names the read it answers, and everything owed
// before that read has had its reply or lost it.
// So after a time-out no quiet period is needed: a read (of the block in
// doubt) puts the link back in step once its reply is in, and its data tell
// what the command in doubt did.  A command answered while an earlier status
// reply was still owed is in doubt: its effect is read back before it counts.
// So is one answered after a reply the driver reported damaged: that reply
// stands for nothing, as a lost one.
//
// Waits follow the device: four times the slowest recent reply, never below
// replyMinWaitMs nor above the caller's base wait, unless replies have been
// seen to come later than that (then up to replyMaxMs, the longest a reply
// may take; a device slower than that is given up as too slow).
#pragma once

#include "update/protocol.h"

#include <atomic>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

class LinkDoubt {
public:
    // TooSlow: no reply in time, and replies have been seen to take longer
    // than replyMaxMs, or the link has lost too many of the recent replies
    // (Losing).
    // NotSent: the MIDI system gave up on the message.  It may still reach
    // the device (a driver that finishes it later, a server that runs
    // again), so it stays owed and the link is in doubt, as after a lost
    // reply.  Stalled: sends have not finished for Timings().stallMaxMs.
    enum class Outcome { Answered, TimedOut, NotSent, TooSlow, Stalled, Closing };
    enum class Check { Match, Differs, NeedsErase, ReadFailed, TooSlow, Stalled, Closing };

    // What the link met in a run, for the user to tell a bad link from a bad device.
    struct Stats {
        std::uint32_t lostReplies = 0;   // replies that never came
        std::uint32_t readBacks = 0;     // reads that checked a command in doubt
        std::uint32_t resends = 0;       // commands and reads sent again
    };

    explicit LinkDoubt(ProtocolEndpoint& endpoint) : endpoint(endpoint) {}

    // A new run: nothing owed, the counts at zero; the pace of the device
    // seen so far is kept.
    void Reset();

    // A status reply is owed, or a wait ran out (or a reply went astray or
    // came damaged) and
    // no acknowledgement has been read back as expected since: what is
    // acknowledged now may answer another command.
    bool InDoubt() const;
    // Since Reset, a status reply came that no command was owed: some
    // acknowledgement before it may have answered another command.
    bool StraysSeen() const { return strays; }
    // Every acknowledgement before now has been checked by reading back.
    void ClearStrays()
    {
        strays = false;
        troubleMark = doubtEvents;
        refusalMark = refusalsSeen;
    }
    // Since Reset or ClearStrays, a reply was lost, late or damaged, went
    // astray, a command was refused, or a send failed.  An acknowledgement taken in
    // step may then have been another command's even though no stray is
    // left to show it: a reply sent twice (or a message passed on after its
    // send failed) and a lost reply or a message that never arrived cancel
    // out, and a refusal inside that stretch is charged to the wrong command.
    bool Troubled() const { return strays || doubtEvents != troubleMark || refusalsSeen != refusalMark; }
    // Takes in the replies that came since the last look.  False when the
    // dialog is closing or the device went away.
    bool Settle();

    // Sends with `send` (a SendSysEx result) and waits for its status reply:
    // up to WaitMs(baseMs), or up to firstWaitMs when given (non-zero).
    // `status` holds the reply's status when Answered.
    Outcome Exchange(const std::function<int()>& send, std::uint32_t baseMs, std::int32_t& status,
                     std::uint32_t firstWaitMs = 0);
    // The last Exchange was answered outside doubt.
    bool LastAnswerClean() const { return lastClean; }
    // The last Exchange's command, not answered within its wait, has had its
    // reply since (a late reply): true, with the reply's status.
    bool LateAnswer(std::int32_t& status) const;
    // Sends have failed without a break for at least stallMaxMs.
    bool Stalled() const;
    // Waits a retry pause, or less when the stall limit comes first.  False
    // when the dialog is closing.
    bool PauseInStall();
    // The effect of the last Exchange, answered in doubt, was read back as
    // expected: when it was sent with no status reply owed and nothing went
    // astray meanwhile, the doubt ends.
    void Confirmed();

    // Reads back `length` bytes (one read request, at most 4 KiB; asked again
    // when lost, damaged or refused, a bounded number of times) and compares
    // them with `expected` (nullptr: all bytes 0xFF).  NeedsErase when the
    // flash holds 0 bits where `expected` has 1 bits.  `baseMs` bounds the
    // first wait (the time the device may still be busy with a command
    // before it); firstWaitMs as for Exchange.
    Check Compare(std::uint32_t address, const std::uint8_t* expected, std::uint32_t length,
                  std::uint32_t baseMs = 0, std::uint32_t firstWaitMs = 0);
    // Reads a whole region in reads of 4 KiB; Match when it is all erased.
    Check CompareErased(std::uint32_t address, std::uint32_t size, std::uint32_t baseMs = 0,
                        std::uint32_t firstWaitMs = 0);
    // Reads `length` bytes (at most 4 KiB) into dest, asked again like a
    // read-back: Match, ReadFailed, TooSlow or Closing.
    Check Read(std::uint32_t address, std::uint32_t length, std::uint8_t* dest, std::uint32_t baseMs,
               std::uint32_t firstWaitMs = 0);

    // While one lives, the next read is asked again, each wait twice the
    // last (up to replyMaxMs), for up to `ms` in all rather than a fixed
    // number of times: a read queued behind an erase is answered only once
    // the erase has ended, however long that takes.
    class Patience {
    public:
        Patience(LinkDoubt& link, std::uint32_t ms) : link(link) { link.patienceMs = ms; }
        ~Patience() { link.patienceMs = 0; }
        Patience(const Patience&) = delete;
        Patience& operator=(const Patience&) = delete;

    private:
        LinkDoubt& link;
    };

    // Offset of the first differing byte in the last range compared.
    std::uint32_t FirstDifference() const { return firstDifference; }
    // Why the last read failed: the device's refusal status, or 0 when it
    // timed out or its data were damaged every time.
    std::int32_t ReadRefusal() const { return readRefusal; }
    // The slowest reply seen, in ms (for the message about a slow device).
    std::uint32_t SlowestMs() const { return slowestMs; }
    // Of the last kFates commands whose fate is known, at least kLosingLimit
    // lost their reply: a link this bad is given up.
    static constexpr std::uint32_t kFates = 256;
    static constexpr std::uint32_t kLosingLimit = 96;
    bool Losing() const { return fatesKnown >= kFates && LostOfRecent() >= kLosingLimit; }
    std::uint32_t LostOfRecent() const;

    // A wait of `base`, shorter when the device answers quickly, longer
    // when its replies have been seen to take longer (bounded).
    std::uint32_t WaitMs(std::uint32_t base) const;
    // The first wait for an erase of `size` bytes: a reply's usual wait
    // until an erase has been answered, then four times the slowest pace
    // seen per 4 KiB (bounded by the full wait).
    std::uint32_t EraseWaitMs(std::uint32_t size) const;
    // The longest a read behind such an erase may wait: the full erase wait
    // until the pace is known.
    std::uint32_t EraseCeilingMs(std::uint32_t size) const;
    void NoteErase(std::uint32_t size, std::chrono::steady_clock::duration took);
    // The worker counts what it reads back and sends again.
    void CountReadBack() { stats.readBacks.fetch_add(1); }
    void CountResend() { stats.resends.fetch_add(1); }
    // Any thread.
    Stats Counts() const;

private:
    using Clock = std::chrono::steady_clock;
    // A command whose reply has not been seen.  Reads carry what they read;
    // no two reads owed at once have the same length.
    struct Owed {
        std::uint64_t id = 0;
        bool read = false;
        Clock::time_point sent;
        std::uint32_t address = 0;
        std::uint32_t length = 0;
    };
    enum class Got { Nothing, Answered, Refused, Data, BadData };
    // Takes in the replies that came; what happened to the command `mine`
    // (Data: its bytes are at dataOffset in receiveBuffer).  `timed`: they
    // came just now (a wait woke), so the time they took is noted.
    Got Absorb(const Owed& mine, bool timed);
    bool TooSlowNow() const;
    // A command's reply came (false) or was lost (true).
    void NoteFate(bool lost);
    bool StatusOwed() const;
    Clock::time_point NewestSent() const;
    void NoteLatency(Clock::time_point sent);
    // No read owed asked for `length` bytes.
    bool LengthFree(std::uint32_t length) const;
    // One read of `length` bytes into `read`, asked again as needed.
    Check ReadInto(std::uint32_t address, std::uint32_t length, std::uint8_t* read, std::uint32_t baseMs,
                   std::uint32_t firstWaitMs);
    bool Ends() const { return StatusEndsWork(endpoint.status.load()); }
    // A send the MIDI system gave up on: the command stays owed (it may yet
    // reach the device), the link is in doubt.  One that finished ends a stall.
    void SendFailed();
    void SendFinished() { stallSince.reset(); }

    struct Counters {
        std::atomic<std::uint32_t> lostReplies{0};
        std::atomic<std::uint32_t> readBacks{0};
        std::atomic<std::uint32_t> resends{0};
    };

    ProtocolEndpoint& endpoint;
    std::deque<Owed> owed;
    std::uint32_t seenStatus = 0;
    std::uint32_t seenReads = 0;
    std::uint32_t seenOk = 0;
    std::uint32_t seenDamaged = 0;
    bool doubt = false;
    bool confirmable = false;         // the last Exchange may end the doubt once read back
    std::uint64_t doubtEvents = 0;    // time-outs, replies gone astray or damaged
    std::uint64_t confirmEvents = 0;  // doubtEvents when the last Exchange was answered
    std::int32_t dataOffset = 0;      // where the data of the last read answered begin
    std::uint64_t nextId = 0;
    bool strays = false;
    bool lastClean = false;
    std::uint32_t slowestMs = 0;
    std::bitset<kFates> fates;        // the last kFates fates, newest in bit 0: 1 lost
    std::uint32_t fatesKnown = 0;
    std::uint64_t eraseUsPerSector = 0;   // 0: no erase answered in step yet
    std::int32_t readRefusal = 0;
    std::uint32_t patienceMs = 0;          // Patience
    std::uint64_t troubleMark = 0;         // doubtEvents at Reset or ClearStrays
    std::uint64_t refusalsSeen = 0;        // status replies other than 0
    std::uint64_t refusalMark = 0;
    std::uint32_t lastReadLength = 0;      // the read answered last: not asked again at once (its reply may come twice)
    std::uint64_t lastExchangeId = 0;      // the last Exchange's command
    bool lastLate = false;                 // ... answered after its wait ran out
    std::int32_t lastLateStatus = 0;
    std::optional<Clock::time_point> stallSince;   // the first of the sends failed in a row
    std::uint32_t firstDifference = 0;
    Counters stats;
};
