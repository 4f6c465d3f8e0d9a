// The progress of a whole update, as one figure: the work of every plan row
// in bytes (a write row its message bytes, an erase row the bytes that take
// about as long to send as the erase takes), how much of it is done, and
// the time left at the pace measured so far.  The update worker owns it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct UpdateProgressView;

class OverallProgress {
public:
    using Clock = std::chrono::steady_clock;

    // One plan row: its work, and for a write row the range its bar counts
    // (the image's bytes); an erase row's bar counts its own steps.
    struct Row {
        std::uint64_t work = 0;     // 0: nothing to do in this update
        std::uint32_t barRange = 0; // write rows: the bytes written; 0 for an erase row
    };
    // The active plan's rows; with `bootCurrent` the boot region's rows have no work.
    static std::vector<Row> PlanRows(bool bootCurrent);

    // The pace says something only after this long and this share of the work.
    static constexpr double kMinMeasuredSeconds = 3.0;
    static constexpr std::uint64_t kMinMeasuredPerMille = 20;

    void Begin(std::vector<Row> rows, Clock::time_point now);
    void End() { rows.clear(); }
    bool Active() const { return !rows.empty(); }

    // The row `row` (1-based) shows `pos` of `range` on its bar: every row
    // before it is done.  Never goes back: a row read back or written again
    // later, or an erase inside a write row, leaves it where it was.
    void Advance(int row, std::int32_t pos, std::int32_t range);

    // 0..100, -1 when no update runs.
    int Percent() const;
    // Whole seconds left at the pace since the start, -1 until it is known.
    int SecondsLeft(Clock::time_point now) const;

private:
    std::vector<Row> rows;
    std::uint64_t total = 0;
    std::uint64_t done = 0;
    Clock::time_point started{};
};

// "42%", "42%, 3 min left", "42%, 40 s left", then ", 2 retries" when any.
std::string OverallProgressText(const UpdateProgressView& view);
// "42% — <title>".
std::string TitleWithPercent(int percent, const std::string& title);
// "Checking block 0x3E9000 again".
std::string CheckingBlockAgainText(std::uint32_t address);
