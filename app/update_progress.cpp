#include "app/update_progress.h"

#include "app/dialog_window.h"
#include "app/update_worker_shared.h"
#include "update/image_plan.h"

#include <algorithm>
#include <cstdio>

namespace {

// An erased 4 KiB sector takes about as long as sending this many bytes.
constexpr std::uint64_t kEraseSectorWork = 2048;
constexpr int kMinutesFrom = 120;   // seconds from which the time left is told in minutes

}  // namespace

std::vector<OverallProgress::Row> OverallProgress::PlanRows(bool bootCurrent)
{
    std::vector<Row> result;
    for (const ImagePlanStep& step : ActivePlan()) {
        Row row;
        const bool skipped = step.address == 0 && bootCurrent;
        if (step.kind == PLAN_WRITE) {
            std::size_t size = step.length;
            if (size == 0) FindImage(step.imageId, &size);
            row.barRange = static_cast<std::uint32_t>(size);
            row.work = skipped ? 0 : WriteMessageBytes(size);
        } else if (step.kind == PLAN_ERASE && !skipped) {
            row.work = (std::uint64_t{step.length} + kMaxBlock - 1) / kMaxBlock * kEraseSectorWork;
        }
        result.push_back(row);
    }
    return result;
}

void OverallProgress::Begin(std::vector<Row> plan, Clock::time_point now)
{
    rows = std::move(plan);
    total = 0;
    for (const Row& row : rows) total += row.work;
    done = 0;
    started = now;
}

void OverallProgress::Advance(int row, std::int32_t pos, std::int32_t range)
{
    if (row < 1 || row > static_cast<int>(rows.size()) || range <= 0) return;
    const Row& current = rows[static_cast<std::size_t>(row - 1)];
    // A write row's bar shows an erase of one of its sectors for a moment.
    if (current.barRange != 0 && static_cast<std::uint32_t>(range) != current.barRange) return;
    std::uint64_t before = 0;
    for (int r = 1; r < row; ++r) before += rows[static_cast<std::size_t>(r - 1)].work;
    const std::uint64_t within = current.work * static_cast<std::uint64_t>(std::clamp(pos, 0, range)) /
                                 static_cast<std::uint64_t>(range);
    done = std::max(done, before + within);
}

int OverallProgress::Percent() const
{
    if (!Active()) return -1;
    if (total == 0) return 100;
    return static_cast<int>(std::min<std::uint64_t>(done, total) * 100 / total);
}

int OverallProgress::SecondsLeft(Clock::time_point now) const
{
    if (!Active() || total == 0 || done >= total) return -1;
    const double elapsed = std::chrono::duration<double>(now - started).count();
    if (elapsed < kMinMeasuredSeconds || done * 1000 < total * kMinMeasuredPerMille) return -1;
    return static_cast<int>(static_cast<double>(total - done) * elapsed / static_cast<double>(done) + 0.5);
}

std::string OverallProgressText(const UpdateProgressView& view)
{
    if (view.percent < 0) return {};
    char text[96];
    int used = std::snprintf(text, sizeof text, "%d%%", view.percent);
    if (view.secondsLeft >= kMinutesFrom) {
        used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), ", %d min left",
                              (view.secondsLeft + 30) / 60);
    } else if (view.secondsLeft >= 0) {
        used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), ", %d s left",
                              view.secondsLeft);
    }
    if (view.retries > 0) {
        std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), ", %d retr%s", view.retries,
                      view.retries == 1 ? "y" : "ies");
    }
    return text;
}

std::string TitleWithPercent(int percent, const std::string& title)
{
    return std::to_string(percent) + "% \xE2\x80\x94 " + title;
}

std::string CheckingBlockAgainText(std::uint32_t address)
{
    char text[48];
    std::snprintf(text, sizeof text, "Checking block 0x%06X again", static_cast<unsigned>(address));
    return text;
}
