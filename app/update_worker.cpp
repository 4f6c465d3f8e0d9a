// The firmware update: identify the device, begin the update, erase and
// write the regions of the image plan (flash_rows.cpp), confirm them, end
// the update.  Runs on its own thread; every wait and pause comes from
// Timings().
#include "app/pel_updator_dlg.h"
#include "app/update_worker_shared.h"

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
constexpr int kEndUpdateAttempts = 3;    // end-update commands sent at most
constexpr std::uint32_t kBootStampLength = 4;
constexpr std::uint32_t kSampleBytes = 16;       // read back of each block before the stamp
constexpr std::int32_t kStatusNotInUpdateMode = 11;   // the begin-update's refusal by a device not in update mode

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
    dlg.EndOverall();
    dlg.SetStatusText(LoadStringById(IDS_COMPLETED));
    dlg.ShowNextStep(AfterUpdateText());
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
    BeginOverall(bootCurrent);

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
    // so replies going astray meanwhile change nothing.  The step counter
    // and the row's bar stay at the stamp's row meanwhile.
    linkDoubt.ClearStrays();
    barHeld = true;
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
            EnterPlanRow(row);
            if (EraseRegion(first, last - first) == -1) return -1;
        }
    }
    recheck = true;
    for (int row = 1; row < kPlanRows; ++row) {
        const ImagePlanStep& step = ActivePlan()[static_cast<std::size_t>(row - 1)];
        if (step.kind != PLAN_WRITE || (step.address == 0 && bootCurrent)) continue;
        EnterPlanRow(row);
        if (WriteImage(step.address, step.length, step.imageId) == -1) {
            recheck = false;
            return -1;
        }
    }
    recheck = false;
    barHeld = false;
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


int CPelUpdatorDlg::ReportReadBack()
{
    if (linkDoubt.Stalled() && !Quiet() && status.load() != kStatusDisconnected) {
        char text[256];
        std::snprintf(text, sizeof text, LoadStringById(IDS_MIDI_STALLED).c_str(), Timings().stallMaxMs / 1000.0);
        ReportText(IDS_MIDI_STALLED, text);
        return -1;
    }
    if (linkDoubt.Losing() && !Quiet() && status.load() != kStatusDisconnected) {
        char text[320];
        std::snprintf(text, sizeof text, LoadStringById(IDS_LINK_LOSING).c_str(), linkDoubt.LostOfRecent(),
                      LinkDoubt::kFates);
        ReportText(IDS_LINK_LOSING, text);
        return -1;
    }
    if (linkDoubt.SlowestMs() > Timings().replyMaxMs && !Quiet() && status.load() != kStatusDisconnected) {
        char text[256];
        std::snprintf(text, sizeof text, LoadStringById(IDS_TOO_SLOW).c_str(), linkDoubt.SlowestMs() / 1000.0,
                      Timings().replyMaxMs / 1000.0);
        ReportText(IDS_TOO_SLOW, text);
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
        ReportText(IDS_LINK_TOO_SLOW, text);
    }
    return true;
}
