// Verify: identify the device and read back every region that the plan
// writes, in reads of 4 KiB, comparing each with the carried image.  The
// boot region is compared like the others, whatever its stamp says.
#include "app/pel_updator_dlg.h"

#include "resources/string_table.h"
#include "update/image_plan.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

constexpr int kPlanRows = static_cast<int>(std::tuple_size_v<ImagePlan>);

std::string Format(std::uint32_t id, long long a, long long b)
{
    char text[256];
    std::snprintf(text, sizeof text, LoadStringById(id).c_str(), a, b);
    return text;
}

}  // namespace

void CPelUpdatorDlg::OnVerify()
{
    StartRun(&CPelUpdatorDlg::VerifyWorker, DialogWork::Verify);
}

unsigned CPelUpdatorDlg::VerifyWorker(CPelUpdatorDlg* dialog)
{
    CPelUpdatorDlg& dlg = *dialog;
    VerifyResult result;
    dlg.SetCounterText("0/" + std::to_string(kPlanRows));
    if (dlg.IdentifyDevice() == -1) {
        if (!dlg.Quiet()) dlg.EnableControls();
        return 0;
    }
    dlg.linkDoubt.Reset();

    for (int row = 1; row <= kPlanRows; ++row) {
        const ImagePlanStep& step = ActivePlan()[static_cast<std::size_t>(row - 1)];
        if (step.kind != PLAN_WRITE) continue;
        dlg.SetCounterText(std::to_string(row) + "/" + std::to_string(kPlanRows));
        std::size_t imageSize = 0;
        const std::uint8_t* image = FindImage(step.imageId, &imageSize);
        const std::uint32_t size = step.length != 0 ? step.length : static_cast<std::uint32_t>(imageSize);
        if (image == nullptr || imageSize == 0 || size > imageSize) {
            dlg.Report(IDS_IMAGE_MISSING);
            return 0;
        }
        dlg.SetProgressRange(static_cast<std::int32_t>(size));
        for (std::uint32_t offset = 0; offset < size; offset += kMaxBlock) {
            const std::uint32_t block = std::min(kMaxBlock, size - offset);
            dlg.SetStatusText(Format(IDS_VERIFYING, offset, size));
            const LinkDoubt::Check check = dlg.linkDoubt.Compare(step.address + offset, image + offset, block);
            if (check == LinkDoubt::Check::Closing) return dlg.EndWork(0);
            if (check == LinkDoubt::Check::ReadFailed || check == LinkDoubt::Check::TooSlow) {
                dlg.ReportReadBack();
                return 0;
            }
            ++result.blocks;
            if (check != LinkDoubt::Check::Match) {
                if (result.differingBlocks == 0) {
                    result.firstDifference = step.address + offset + dlg.linkDoubt.FirstDifference();
                }
                ++result.differingBlocks;
            }
            dlg.SetProgressPos(static_cast<std::int32_t>(offset + block));
        }
    }

    result.completed = true;
    {
        std::lock_guard<std::mutex> lock(dlg.verifyMutex);
        dlg.verifyResult = result;
    }
    if (dlg.Quiet()) return 0;
    if (result.differingBlocks == 0) {
        dlg.SetStatusText(LoadStringById(IDS_VERIFIED));
    } else {
        const std::string text = Format(IDS_VERIFY_DIFFERS, result.firstDifference, result.differingBlocks);
        dlg.SetStatusText(text);
        dlg.window.MessageBox(text, LoadStringById(IDS_ERROR_CAPTION), MB_OK | MB_ICONHAND);
    }
    dlg.EnableControls();
    return 0;
}

CPelUpdatorDlg::VerifyResult CPelUpdatorDlg::LastVerify()
{
    std::lock_guard<std::mutex> lock(verifyMutex);
    return verifyResult;
}
