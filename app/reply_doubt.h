// The state of the link between the update worker and the device.
//
// A status reply names no command.  As long as every command is answered
// within its wait, each reply belongs to the command just sent.  Once a wait
// has run out, the replies that follow may answer earlier copies: the link
// is in doubt.  While it is, the worker lets the link fall quiet before its
// next command (no reply for a while, scaled to the slowest reply seen and
// bounded), and whatever a command in doubt was acknowledged for is read
// back and compared before it counts as done.  A command sent on a quiet
// link and answered in time, whose effect then read back as expected, ends
// the doubt.
#pragma once

#include "update/protocol.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

class LinkDoubt {
public:
    enum class Outcome { Answered, TimedOut, NotSent, Closing };
    enum class Check { Match, Differs, NeedsErase, ReadFailed, Closing };

    explicit LinkDoubt(ProtocolEndpoint& endpoint) : endpoint(endpoint) {}

    // A new run: no doubt, nothing owed, no reply seen, counts at zero.
    void Reset();

    // What the run has met so far, readable from any thread: waits that ran
    // out without a reply, and read requests sent to check a block or erase.
    struct Counts {
        std::atomic<std::uint32_t> lostReplies{0};
        std::atomic<std::uint32_t> readBacks{0};
    };
    const Counts& Counted() const { return counts; }

    bool InDoubt() const { return doubt; }
    // Since Reset, a reply came while the link was not in doubt: some
    // acknowledgement before it may have answered another command.
    bool StraysSeen() const { return strays; }
    // Before every command: a reply already waiting puts the link in doubt;
    // while replies may still be on their way, waits until none has come for
    // the quiet time.  False when the dialog is closing.
    bool Settle();

    // Sends with `send` (a SendSysEx result) and waits up to waitMs, longer
    // when replies have been seen to come later (bounded).  `status` holds
    // the reply's status when Answered.
    Outcome Exchange(const std::function<int()>& send, std::uint32_t waitMs, std::int32_t& status);
    // The last Exchange was answered in time on a quiet link.
    bool LastAnswerClean() const { return lastClean; }
    // The effect of the last clean exchange was read back as expected.
    void Confirmed();

    // Reads back `length` bytes (one read request, at most 4 KiB) and compares
    // them with `expected` (nullptr: all bytes 0xFF).  NeedsErase when the
    // flash holds 0 bits where `expected` has 1 bits.
    Check Compare(std::uint32_t address, const std::uint8_t* expected, std::uint32_t length);
    // Reads a whole region in reads of 4 KiB; Match when it is all erased.
    Check CompareErased(std::uint32_t address, std::uint32_t size);

    // Offset of the first differing byte in the last range compared.
    std::uint32_t FirstDifference() const { return firstDifference; }
    // Why the last read-back failed: the device's refusal status, or 0 when
    // it timed out or its data were damaged every time.
    std::int32_t ReadRefusal() const { return readRefusal; }

private:
    using Clock = std::chrono::steady_clock;
    std::uint32_t QuietMs() const;
    // A wait of `base`, longer when replies have been seen to take longer.
    std::uint32_t WaitMs(std::uint32_t base) const;
    void NoteLatency(Clock::time_point now);

    ProtocolEndpoint& endpoint;
    Counts counts;
    bool doubt = false;
    bool owed = false;          // a reply may still come for a command already sent
    int unanswered = 0;         // commands whose wait ran out and whose reply has not been seen
    bool strays = false;        // a reply came that nothing was waiting for, outside doubt
    bool lastClean = false;
    std::uint32_t slowestMs = 0;
    Clock::time_point lastSend{};
    std::int32_t readRefusal = 0;
    std::uint32_t firstDifference = 0;
};
