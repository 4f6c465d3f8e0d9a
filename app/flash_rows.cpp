// The update's flash rows: erasing a region and writing an image block by
// block, each settled by reading back whenever the link is in doubt.
#include "app/pel_updator_dlg.h"
#include "app/update_worker_shared.h"

#include "platform/mmsystem.h"
#include "resources/string_table.h"
#include "update/image_plan.h"
#include "update/timings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace {

constexpr int kMaxEraseRefusals = 6;     // the 7th refusal ends the update
constexpr int kMaxBlockFailures = 31;    // the 32nd failure in a row ends the update
constexpr std::int32_t kEraseProgressEnd = 10;
constexpr std::uint32_t kEraseProbeBytes = 64;   // the read behind an erase (lengths enough for its re-asks)

std::string TransmitText(std::uint32_t offset, std::uint32_t size)
{
    const std::string format = LoadStringById(IDS_DATA_TRANSMIT);
    char text[128];
    std::snprintf(text, sizeof text, format.c_str(), static_cast<int>(offset), static_cast<int>(size));
    return text;
}

}  // namespace

int CPelUpdatorDlg::EraseRegion(std::uint32_t address, std::uint32_t size)
{
    const ProtocolTimings timings = Timings();
    SetProgressRange(kEraseProgressEnd);
    erasedUnconfirmed = false;
    // What was read back in this region no longer stands.
    confirmedBlocks.erase(confirmedBlocks.lower_bound(address),
                          confirmedBlocks.lower_bound(static_cast<std::uint32_t>(
                              std::min<std::uint64_t>(std::uint64_t{address} + size, 0xFFFFFFFFu))));
    int refusals = 0;
    bool sentOnce = false;
    bool needCheck = false;      // the erase's fate is known only from what the flash holds
    bool ackedInDoubt = false;   // ... and it was acknowledged
    for (;;) {
        if (!linkDoubt.Settle()) return EndWork(-1);
        if (needCheck) {
            // The region must read back erased before anything is written
            // into it.  The first read is answered once the erase is done.
            SetStatusText(LoadStringById(IDS_CHECKING));
            linkDoubt.CountReadBack();
            LinkDoubt::Check check = LinkDoubt::Check::ReadFailed;
            {
                const LinkDoubt::Patience patience(linkDoubt, linkDoubt.EraseCeilingMs(size));
                check = linkDoubt.CompareErased(address, size);
            }
            if (check == LinkDoubt::Check::Closing) return EndWork(-1);
            if (check == LinkDoubt::Check::ReadFailed || check == LinkDoubt::Check::TooSlow ||
                check == LinkDoubt::Check::Stalled)
                return ReportReadBack();
            if (check == LinkDoubt::Check::Match) {
                linkDoubt.Confirmed();
                SetProgressPos(kEraseProgressEnd);
                return 0;
            }
            // Not erased: the erase is sent again.  After an acknowledgement
            // that counts as a refusal (a time-out has been counted already).
            if (ackedInDoubt) {
                if (refusals == kMaxEraseRefusals) {
                    Report(IDS_TRANSFER_ERROR);
                    return -1;
                }
                ++refusals;
            }
            needCheck = false;
        }
        if (sentOnce) linkDoubt.CountResend();
        std::int32_t result = 0;
        const auto started = std::chrono::steady_clock::now();
        const LinkDoubt::Outcome outcome = linkDoubt.Exchange(
            [&] {
                const int sent = SendErase(midiOut, ModelByte(*this), address, size);
                NoteFlashSend(sent);
                SetProgressPos(1);
                SetStatusText(LoadStringById(IDS_ERASING));
                return sent;
            },
            timings.eraseMs, result, linkDoubt.EraseWaitMs(size));
        sentOnce = true;
        if (outcome == LinkDoubt::Outcome::Closing) return EndWork(-1);
        if (outcome == LinkDoubt::Outcome::TooSlow || outcome == LinkDoubt::Outcome::Stalled) return ReportReadBack();
        const bool ackedOutOfStep =
            outcome == LinkDoubt::Outcome::Answered && result == 0 && !linkDoubt.LastAnswerClean();
        if (outcome == LinkDoubt::Outcome::TimedOut || outcome == LinkDoubt::Outcome::NotSent || ackedOutOfStep) {
            // Its fate is settled by a small read behind it, which the device
            // answers only once the erase has ended.  By then a reply that
            // was merely late has come; a region that reads back erased at
            // both ends with no reply at all lost its reply.  Anything else
            // sends the erase again: an erase does no harm twice.
            // An acknowledgement out of step may be another command's: it is
            // checked like a lost reply.
            bool erased = false;
            LinkDoubt::Check probed = ProbeErased(address, linkDoubt.EraseCeilingMs(size), erased);
            std::int32_t late = 0;
            const bool answered = !ackedOutOfStep && linkDoubt.LateAnswer(late);
            if (probed == LinkDoubt::Check::Match && erased && !answered)
                probed = ProbeErased(address + size - kEraseProbeBytes, linkDoubt.EraseCeilingMs(size), erased);
            if (probed == LinkDoubt::Check::Closing) return EndWork(-1);
            if (probed != LinkDoubt::Check::Match) return ReportReadBack();
            if (erased && (!answered || late == 0)) {
                // The link stays in doubt, so the blocks written next are
                // read back until it is in step again.  (The time it took
                // here is the waits', not the erase's: the pace is not noted.)
                erasedUnconfirmed = !answered;
                SetProgressPos(kEraseProgressEnd);
                return 0;
            }
            if (refusals == kMaxEraseRefusals) {
                Report(answered ? IDS_TRANSFER_ERROR : IDS_TIMEOUT3);
                return -1;
            }
            ++refusals;
            continue;
        }
        ackedInDoubt = false;
        const bool clean = outcome == LinkDoubt::Outcome::Answered && linkDoubt.LastAnswerClean();
        if (outcome == LinkDoubt::Outcome::Answered && result == 0) {
            if (!clean) {
                ackedInDoubt = true;   // confirmed by reading back first
                needCheck = true;
                continue;
            }
            linkDoubt.NoteErase(size, std::chrono::steady_clock::now() - started);
            SetProgressPos(kEraseProgressEnd);
            return 0;
        }
        // A refusal, or no reply in time: the region may still have been
        // erased (a lost reply, or a refusal that answered another command);
        // the next turn reads it back to see.
        needCheck = !clean;
        if (refusals == kMaxEraseRefusals) {
            Report(outcome == LinkDoubt::Outcome::TimedOut ? IDS_TIMEOUT3 : IDS_TRANSFER_ERROR);
            return -1;
        }
        ++refusals;
        if (clean) {
            platform::Sleep(timings.retryPauseMs);
            if (Quiet()) return -1;
        }
    }
}

LinkDoubt::Check CPelUpdatorDlg::ProbeErased(std::uint32_t address, std::uint32_t patienceMs, bool& erased)
{
    std::uint8_t probe[kEraseProbeBytes] = {};
    const LinkDoubt::Patience patience(linkDoubt, patienceMs);
    const LinkDoubt::Check read = linkDoubt.Read(address, sizeof probe, probe, 0);
    erased = std::all_of(std::begin(probe), std::end(probe), [](std::uint8_t b) { return b == 0xFF; });
    return read;
}

int CPelUpdatorDlg::WriteImage(std::uint32_t address, std::uint32_t size, std::uint32_t imageId)
{
    const ProtocolTimings timings = Timings();
    std::size_t imageSize = 0;
    const std::uint8_t* image = FindImage(imageId, &imageSize);
    if (image == nullptr || imageSize == 0 || size > imageSize) {
        // Nothing (or not enough) to write: the update cannot go on.
        Report(IDS_IMAGE_MISSING);
        return -1;
    }
    if (size == 0) size = static_cast<std::uint32_t>(imageSize);

    SetProgressRange(static_cast<std::int32_t>(size));
    std::uint32_t offset = 0;
    std::uint32_t block = kMaxBlock;
    int failures = 0;
    bool sentOnce = false;
    bool needCheck = recheck;    // what the flash holds decides, not the replies
    // confirmEach (the stamp): every block is read back after its acknowledgement.
    bool ackedInDoubt = false;   // ... and the block's last copy was acknowledged
    bool routine = false;        // ... in step: the read-back is the stamp's own, not a doubt's
    for (;;) {
        if (offset + block > size) block = size - offset;
        if (!linkDoubt.Settle()) return EndWork(-1);
        bool done = false;
        if (needCheck && recheck && confirmedBlocks.count(address + offset) != 0) {
            needCheck = false;   // read back as written earlier in this update, and not erased since
            done = true;
        }
        if (needCheck) {
            // Replies come in order, and a read's reply is never taken for a
            // status reply: once this read is answered, the link is in step
            // again, and its data tell what became of the block.
            if (!recheck && !routine) linkDoubt.CountReadBack();
            if (!routine) SetStatusText(CheckingBlockAgainText(address + offset));
            routine = false;
            const LinkDoubt::Check check = linkDoubt.Compare(address + offset, image + offset, block);
            if (check == LinkDoubt::Check::Closing) return EndWork(-1);
            if (check == LinkDoubt::Check::ReadFailed || check == LinkDoubt::Check::TooSlow ||
                check == LinkDoubt::Check::Stalled)
                return ReportReadBack();
            needCheck = false;
            if (check == LinkDoubt::Check::Match) {
                linkDoubt.Confirmed();
                confirmedBlocks.insert(address + offset);
                done = true;
            } else if (check == LinkDoubt::Check::NeedsErase) {
                // The sector holds other bits (the blocks of this plan fill
                // whole sectors of their erased regions, or end one).
                const std::uint32_t sector = (address + offset) & ~(kMaxBlock - 1);
                const bool held = barHeld;
                barHeld = true;   // the row's bar stays where it is meanwhile
                const int erased = EraseRegion(sector, kMaxBlock);
                barHeld = held;
                if (erased == -1) return -1;
                SetProgressRange(static_cast<std::int32_t>(size));
                SetProgressPos(static_cast<std::int32_t>(offset));
            }
        }
        if (done) {
            failures = 0;
            sentOnce = false;
            ackedInDoubt = false;
            needCheck = recheck;
            offset += block;
            SetProgressPos(static_cast<std::int32_t>(offset));
            if (offset >= size) return 0;
            continue;
        }
        if (ackedInDoubt) {
            // Acknowledged, yet the flash does not hold it: a failure like a refusal.
            ackedInDoubt = false;
            if (failures == kMaxBlockFailures) {
                Report(IDS_TRANSFER_ERROR);
                return -1;
            }
            ++failures;
        }
        if (sentOnce || recheck) linkDoubt.CountResend();
        std::int32_t result = 0;
        std::chrono::steady_clock::duration sendTook{};
        const LinkDoubt::Outcome outcome = linkDoubt.Exchange(
            [&] {
                const auto sendStarted = std::chrono::steady_clock::now();
                const int sent = SendWriteBlock(midiOut, ModelByte(*this), image + offset, address + offset, block);
                NoteFlashSend(sent);
                sendTook = std::chrono::steady_clock::now() - sendStarted;
                SetStatusText(TransmitText(offset, size));
                return sent;
            },
            timings.writeBlockMs, result);
        if (outcome == LinkDoubt::Outcome::Closing) return EndWork(-1);
        if (outcome == LinkDoubt::Outcome::TooSlow || outcome == LinkDoubt::Outcome::Stalled) return ReportReadBack();
        if (outcome != LinkDoubt::Outcome::NotSent &&
            LinkTooSlow(size - offset, static_cast<std::uint32_t>(WriteMessageBytes(block)), sendTook)) {
            return -1;
        }
        sentOnce = sentOnce || outcome != LinkDoubt::Outcome::NotSent;
        const bool clean = outcome == LinkDoubt::Outcome::Answered && linkDoubt.LastAnswerClean();
        if (outcome == LinkDoubt::Outcome::Answered && result == 0) {
            // Answered while an earlier reply was owed: read back before it counts.
            if (!clean || recheck || confirmEach) {
                routine = clean && !recheck;
                ackedInDoubt = true;
                needCheck = true;
                continue;
            }
            failures = 0;
            sentOnce = false;
            offset += block;
            SetProgressPos(static_cast<std::int32_t>(offset));
            if (offset >= size) return 0;
            continue;
        }
        // No reply in time (lost or late), a send the system gave up on (it
        // may yet arrive), or a refusal that may answer another command: the
        // next turn reads the block back.  A refusal on a link in step is
        // sent again after a pause.
        ackedInDoubt = false;
        // A refusal in a region whose erase was seen only at its ends: the
        // block is read back, and its sector erased if it holds other bits.
        needCheck = !clean || (erasedUnconfirmed && outcome == LinkDoubt::Outcome::Answered);
        if (failures == kMaxBlockFailures) {
            Report(outcome != LinkDoubt::Outcome::Answered ? IDS_TIMEOUT2 : IDS_TRANSFER_ERROR);
            return -1;
        }
        ++failures;
        if (!needCheck) {
            platform::Sleep(timings.retryPauseMs);
            if (Quiet()) return -1;
        }
    }
}
