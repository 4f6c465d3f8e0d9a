// The firmware update: identify the device, begin the update, erase and
// write the regions of the image plan, end the update.  Runs on its own
// thread; every wait and pause comes from Timings().
#include "app/pel_updator_dlg.h"

#include "platform/mmsystem.h"
#include "resources/string_table.h"
#include "update/image_plan.h"
#include "update/timings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kPlanRows = static_cast<int>(std::tuple_size_v<ImagePlan>);
constexpr int kMaxEraseRefusals = 6;     // the 7th refusal ends the update
constexpr int kMaxBlockFailures = 31;    // the 32nd failure in a row ends the update
constexpr std::int32_t kEraseProgressEnd = 10;
constexpr int kEndUpdateAttempts = 3;    // end-update commands sent at most
constexpr std::uint32_t kBootStampLength = 4;
constexpr std::uint32_t kSampleBytes = 16;       // read back of each block before the stamp
constexpr std::uint32_t kEraseProbeBytes = 64;   // the read behind an erase (lengths enough for its re-asks)
constexpr std::int32_t kStatusNotInUpdateMode = 11;   // the begin-update's refusal by a device not in update mode

// The bytes of the write-block messages that carry `dataBytes` bytes.
std::uint64_t WriteMessageBytes(std::uint64_t dataBytes)
{
    const std::uint64_t blocks = (dataBytes + kMaxBlock - 1) / kMaxBlock;
    return dataBytes + (dataBytes + 6) / 7 + blocks * kWriteBlockOverhead;
}

// The message bytes of the write rows after `row` (the boot region counted
// whether or not it is written).
std::uint64_t LaterWriteBytes(int row)
{
    std::uint64_t bytes = 0;
    for (int later = row + 1; later <= kPlanRows; ++later) {
        const ImagePlanStep& step = ActivePlan()[static_cast<std::size_t>(later - 1)];
        if (step.kind != PLAN_WRITE) continue;
        std::size_t size = step.length;
        if (size == 0) FindImage(step.imageId, &size);
        bytes += WriteMessageBytes(size);
    }
    return bytes;
}

std::string CounterText(int row)
{
    char text[32];
    std::snprintf(text, sizeof text, "%d/%d", row, kPlanRows);
    return text;
}

std::string TransmitText(std::uint32_t offset, std::uint32_t size)
{
    const std::string format = LoadStringById(IDS_DATA_TRANSMIT);
    char text[128];
    std::snprintf(text, sizeof text, format.c_str(), static_cast<int>(offset), static_cast<int>(size));
    return text;
}

std::uint8_t ModelByte(ProtocolEndpoint& endpoint)
{
    return endpoint.DeviceIdentity()[0];
}

}  // namespace

unsigned CPelUpdatorDlg::UpdateWorker(CPelUpdatorDlg* dialog)
{
    CPelUpdatorDlg& dlg = *dialog;
    const ProtocolTimings timings = Timings();
    dlg.planRow.store(0);   // `incomplete` stays: an update stopped before still needs this one
    dlg.confirmedBlocks.clear();

    {
        char text[32];
        std::snprintf(text, sizeof text, "0/%d", kPlanRows);
        dlg.SetCounterText(text);
    }

    // Identification.
    const IdentityAnswer answer = RequestIdentity(dlg, timings.identityMs);
    switch (answer.kind) {
    case IdentityAnswer::Kind::NotSent:
        dlg.Report(IDS_CANT_OPEN_OUT);
        return 0;
    case IdentityAnswer::Kind::TimedOut:
        dlg.Report(IDS_TIMEOUT1);
        return 0;
    case IdentityAnswer::Kind::Status:
        if (dlg.ClosingStatus(answer.status)) return 0;
        dlg.Report(IDS_ILLEGAL_DEVICE);
        return 0;
    case IdentityAnswer::Kind::Replied:
        break;
    }
    const std::uint8_t* identity = answer.identity.data();
    dlg.DeviceIdentity().Set(identity);
    if (!IsAcceptedIdentityReply(answer.maker, identity)) {
        dlg.Report(IDS_ILLEGAL_DEVICE);
        return 0;
    }
    dlg.HostReply().SetIdentity(identity);

    // Begin the update.
    dlg.linkDoubt.Reset();
    dlg.slowBlockSends = 0;
    ClearStaleReply(dlg);
    std::int32_t beginStatus = 0;
    const LinkDoubt::Outcome begun = dlg.linkDoubt.Exchange(
        [&] {
            const int sent = SendBeginUpdate(dlg.midiOut, ModelByte(dlg));
            dlg.SetStatusText(LoadStringById(IDS_ERASING));
            return sent;
        },
        timings.beginUpdateMs, beginStatus, timings.beginUpdateMs);
    if (begun == LinkDoubt::Outcome::Closing) return dlg.EndWork(0);
    if (begun != LinkDoubt::Outcome::Answered) {
        dlg.Report(IDS_TIMEOUT1);
        return 0;
    }
    dlg.SetStatusText("");
    if (beginStatus == kStatusNotInUpdateMode) {
        dlg.Report(IDS_UPDATE_MODE);
        return 0;
    }
    if (beginStatus != 0) {
        dlg.Report(IDS_TRANSFER_ERROR);
        return 0;
    }
    platform::Sleep(timings.pauseAfterBeginMs);
    if (dlg.Quiet()) return 0;

    // Every failure inside has been reported there (or the dialog is closing).
    if (dlg.TransferImages() == -1) return 0;

    // End the update: any reply completes it, whatever its status.  Every
    // block has been acknowledged outside doubt or read back by now.
    // A lost reply is asked for again: the flash is complete already.  The
    // first wait follows the device; the later ones are the full wait, for a
    // device that takes its time to finish.
    for (int attempt = 1;; ++attempt) {
        if (!dlg.linkDoubt.Settle()) return dlg.EndWork(0);
        if (attempt > 1) dlg.linkDoubt.CountResend();
        std::int32_t ignored = 0;
        const LinkDoubt::Outcome outcome = dlg.linkDoubt.Exchange(
            [&] { return SendEndUpdate(dlg.midiOut, ModelByte(dlg)); }, timings.endUpdateMs, ignored,
            attempt == 1 ? 0 : timings.endUpdateMs);
        if (outcome == LinkDoubt::Outcome::Closing) return dlg.EndWork(0);
        if (outcome == LinkDoubt::Outcome::Answered) break;
        if (outcome == LinkDoubt::Outcome::Stalled) {
            dlg.ReportReadBack();
            return 0;
        }
        if (outcome == LinkDoubt::Outcome::NotSent) {
            // The system did not pass it on (yet): asked again while it
            // stalls, without counting as an attempt.
            --attempt;
            if (!dlg.linkDoubt.PauseInStall()) return dlg.EndWork(0);
            continue;
        }
        if (attempt == kEndUpdateAttempts) {
            dlg.Report(IDS_TRANSFER_ERROR);
            return 0;
        }
    }
    dlg.incomplete.store(false);
    dlg.SetStatusText(LoadStringById(IDS_COMPLETED));
    dlg.EnableControls();
    dlg.EnableRunButtons(false);
    return 0;
}

int CPelUpdatorDlg::TransferImages()
{
    const ProtocolTimings timings = Timings();

    // The boot region is written only when the device's boot stamp differs
    // from the carried boot image's.
    bool bootCurrent = false;
    for (const ImagePlanStep& step : ActivePlan()) {
        if (step.address != 0) continue;
        std::uint8_t stamp[kBootStampLength] = {};
        const LinkDoubt::Check read = linkDoubt.Read(kBootStampAddress, kBootStampLength, stamp, timings.bootStampMs);
        if (read == LinkDoubt::Check::Closing) return EndWork(-1);
        if (read == LinkDoubt::Check::TooSlow || read == LinkDoubt::Check::Stalled) return ReportReadBack();
        if (read != LinkDoubt::Check::Match) {
            Report(IDS_BOOT_READ_FAILED);
            return -1;
        }
        std::size_t size = 0;
        const std::uint8_t* image = FindImage(kBootImageId, &size);
        if (image == nullptr || size < kBootStampAddress + kBootStampLength) {
            Report(IDS_IMAGE_MISSING);
            return -1;
        }
        bootCurrent = std::memcmp(image + kBootStampAddress, stamp, kBootStampLength) == 0;
        break;
    }

    // The plan's last row is its commit record, the stamp: its region was
    // erased first (row 1), so an update cut short anywhere leaves no stamp
    // and the device never starts an incomplete image.  So the stamp goes
    // out only once every image written before it is confirmed (ConfirmImages),
    // its own blocks are read back before they count, and nothing is erased
    // or written after it.
    for (int row = 1; row <= kPlanRows; ++row) {
        const ImagePlanStep& step = ActivePlan()[static_cast<std::size_t>(row - 1)];
        SetCounterText(CounterText(row));
        if (step.address == 0 && bootCurrent) continue;
        const bool commitRow = row == kPlanRows && step.kind == PLAN_WRITE;
        if (commitRow && ConfirmImages(bootCurrent) == -1) return -1;
        EnterPlanRow(row);
        if (step.kind == PLAN_ERASE) {
            if (EraseRegion(step.address, step.length) == -1) return -1;
        } else if (step.kind == PLAN_WRITE) {
            confirmEach = commitRow;
            const int written = WriteImage(step.address, step.length, step.imageId);
            confirmEach = false;
            if (written == -1) return -1;
        }
    }
    planRow.store(0);   // the end of the update is left
    return 0;
}

int CPelUpdatorDlg::ConfirmImages(bool bootCurrent)
{
    // Each block so far was acknowledged in step or read back.  An
    // acknowledgement in step is wrong only when another reply stood in for
    // it (a reply sent twice, one overtaken by later ones, a message the
    // system passed on after giving up on it); its own reply then arrives
    // with nothing owed (a stray), unless a lost reply or a message that
    // never arrived cancels it out.  So on a link that has shown none of
    // the signs of that (LinkDoubt::Troubled), one read settles it: replies
    // come in order, and once it is answered every stray has arrived.
    // Otherwise every image is read back.
    // A block that never reached the device (a message cut short, whose
    // missing reply a reply sent twice stood in for) leaves no sign in the
    // replies at all: a few bytes of each block, where its image is not
    // erased flash, are read back to show it.  The last of these reads
    // settles every reply before it.
    if (!linkDoubt.Settle()) return EndWork(-1);
    bool recheckAll = linkDoubt.Troubled();
    for (int row = 1; row < kPlanRows && !recheckAll; ++row) {
        const ImagePlanStep& step = ActivePlan()[static_cast<std::size_t>(row - 1)];
        if (step.kind != PLAN_WRITE || (step.address == 0 && bootCurrent)) continue;
        std::size_t imageSize = 0;
        const std::uint8_t* image = FindImage(step.imageId, &imageSize);
        const std::uint32_t size = step.length != 0 ? step.length : static_cast<std::uint32_t>(imageSize);
        if (image == nullptr || size == 0 || size > imageSize) {
            Report(IDS_IMAGE_MISSING);
            return -1;
        }
        SetStatusText(LoadStringById(IDS_CHECKING));
        for (std::uint32_t offset = 0; offset < size && !recheckAll; offset += kMaxBlock) {
            const std::uint32_t block = std::min(kMaxBlock, size - offset);
            if (confirmedBlocks.count(step.address + offset) != 0) continue;
            std::uint32_t at = 0;
            while (at < block && image[offset + at] == 0xFF) ++at;
            if (at == block) continue;   // erased flash already holds it
            const std::uint32_t start = std::min(at, block - std::min(block, kSampleBytes));
            const std::uint32_t length = std::min(kSampleBytes, block - start);
            const LinkDoubt::Check check =
                linkDoubt.Compare(step.address + offset + start, image + offset + start, length);
            if (check == LinkDoubt::Check::Closing) return EndWork(-1);
            if (check == LinkDoubt::Check::ReadFailed || check == LinkDoubt::Check::TooSlow ||
                check == LinkDoubt::Check::Stalled)
                return ReportReadBack();
            recheckAll = check != LinkDoubt::Check::Match;
        }
    }
    if (!linkDoubt.Settle()) return EndWork(-1);
    recheckAll = recheckAll || linkDoubt.Troubled();
    if (!recheckAll) return 0;

    // What the erases left and no image covers is read back first (an
    // erase acknowledged by another command's reply never happened), its
    // sectors erased again where it is not erased.  Then every image is
    // read back, and what differs is written again (also where such an
    // erase took a sector shared with an image).  The reads alone decide,
    // so replies going astray meanwhile change nothing.
    linkDoubt.ClearStrays();
    for (int row = 1; row < kPlanRows; ++row) {
        const ImagePlanStep& step = ActivePlan()[static_cast<std::size_t>(row - 1)];
        if (step.kind != PLAN_ERASE || (step.address == 0 && bootCurrent)) continue;
        for (const auto& [begin, end] : UncoveredRanges(step.address, step.address + step.length)) {
            SetStatusText(LoadStringById(IDS_CHECKING));
            const LinkDoubt::Check check = linkDoubt.CompareErased(begin, end - begin);
            if (check == LinkDoubt::Check::Closing) return EndWork(-1);
            if (check == LinkDoubt::Check::Match) continue;
            if (check != LinkDoubt::Check::Differs && check != LinkDoubt::Check::NeedsErase) return ReportReadBack();
            const std::uint32_t first = begin & ~(kMaxBlock - 1);
            const std::uint32_t last = (end + kMaxBlock - 1) & ~(kMaxBlock - 1);
            SetCounterText(CounterText(row));
            EnterPlanRow(row);
            if (EraseRegion(first, last - first) == -1) return -1;
        }
    }
    recheck = true;
    for (int row = 1; row < kPlanRows; ++row) {
        const ImagePlanStep& step = ActivePlan()[static_cast<std::size_t>(row - 1)];
        if (step.kind != PLAN_WRITE || (step.address == 0 && bootCurrent)) continue;
        SetCounterText(CounterText(row));
        EnterPlanRow(row);
        if (WriteImage(step.address, step.length, step.imageId) == -1) {
            recheck = false;
            return -1;
        }
    }
    recheck = false;
    SetCounterText(CounterText(kPlanRows));
    return 0;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> CPelUpdatorDlg::UncoveredRanges(std::uint32_t begin,
                                                                                    std::uint32_t end)
{
    // [begin, end) less every write row's range.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges{{begin, end}};
    for (const ImagePlanStep& step : ActivePlan()) {
        if (step.kind != PLAN_WRITE) continue;
        std::size_t size = step.length;
        if (size == 0 && FindImage(step.imageId, &size) == nullptr) continue;
        const std::uint64_t wBegin = step.address;
        const std::uint64_t wEnd = wBegin + size;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> left;
        for (const auto& [b, e] : ranges) {
            if (wEnd <= b || wBegin >= e) {
                left.emplace_back(b, e);
                continue;
            }
            if (wBegin > b) left.emplace_back(b, static_cast<std::uint32_t>(wBegin));
            if (wEnd < e) left.emplace_back(static_cast<std::uint32_t>(wEnd), e);
        }
        ranges = std::move(left);
    }
    return ranges;
}

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

int CPelUpdatorDlg::ReportReadBack()
{
    if (linkDoubt.Stalled() && !Quiet() && status.load() != kStatusDisconnected) {
        char text[256];
        std::snprintf(text, sizeof text, LoadStringById(IDS_MIDI_STALLED).c_str(), Timings().stallMaxMs / 1000.0);
        ReportText(text);
        return -1;
    }
    if (linkDoubt.Losing() && !Quiet() && status.load() != kStatusDisconnected) {
        char text[320];
        std::snprintf(text, sizeof text, LoadStringById(IDS_LINK_LOSING).c_str(), linkDoubt.LostOfRecent(),
                      LinkDoubt::kFates);
        ReportText(text);
        return -1;
    }
    if (linkDoubt.SlowestMs() > Timings().replyMaxMs && !Quiet() && status.load() != kStatusDisconnected) {
        char text[256];
        std::snprintf(text, sizeof text, LoadStringById(IDS_TOO_SLOW).c_str(), linkDoubt.SlowestMs() / 1000.0,
                      Timings().replyMaxMs / 1000.0);
        ReportText(text);
        return -1;
    }
    Report(linkDoubt.ReadRefusal() != 0 ? IDS_READ_REFUSED : IDS_READBACK_FAILED);
    return -1;
}

bool CPelUpdatorDlg::LinkTooSlow(std::uint32_t leftInImage, std::uint32_t sentBytes,
                                 std::chrono::steady_clock::duration took)
{
    // The pace of this block's send; a machine's hiccup is not the link's,
    // so only two block sends in a row this slow give the link up.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    if (us <= 0 || sentBytes == 0) return false;
    const std::uint64_t pace = std::max<std::uint64_t>(1, sentBytes * 1000000ull / static_cast<std::uint64_t>(us));
    const std::uint64_t bytes = WriteMessageBytes(leftInImage) + LaterWriteBytes(planRow.load());
    // A link over which the rest of the update would take longer than this is given up.
    if (bytes <= pace * std::uint64_t{Timings().updateMaxS}) {
        slowBlockSends = 0;
        return false;
    }
    if (++slowBlockSends < 2) return false;
    if (!Quiet() && status.load() != kStatusDisconnected) {
        char text[320];
        std::snprintf(text, sizeof text, LoadStringById(IDS_LINK_TOO_SLOW).c_str(), static_cast<unsigned>(pace),
                      static_cast<double>(bytes) / static_cast<double>(pace) / 3600.0);
        ReportText(text);
    }
    return true;
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
                if (EraseRegion(sector, kMaxBlock) == -1) return -1;
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
