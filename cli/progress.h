// How the command-line front end shows a running update: on a terminal one
// live line; to a pipe one line per plan row; or newline-delimited JSON.
// It only watches what the dialog shows (the step counter, the status line,
// the progress bar and the message boxes), so what the user reads is what
// the dialog reports.
#pragma once

#include "cli/cli_window.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// One plan row as the front end describes it.
struct RowInfo {
    int number = 0;               // 1 to 12
    bool write = false;           // erase otherwise
    std::uint32_t address = 0;
    std::uint32_t length = 0;     // bytes erased or written (0 in a write row: the image is missing)
    std::uint32_t imageId = 0;
    std::uint32_t blocks = 0;     // write rows: 4096-byte blocks, the last one possibly shorter
    std::uint32_t lastBlock = 0;  // bytes in the last block
};
RowInfo DescribeRow(int number);
// Bytes the whole plan writes.
std::uint64_t PlanWriteBytes();

class UpdateProgress {
public:
    using Clock = CliWindow::Clock;
    enum class Mode { Live, Lines, Json };
    enum class Outcome { Completed, Failed, Interrupted };

    // Everything the live line shows, computed from the events.
    struct Snapshot {
        std::string counter;       // "7/12"
        std::string status;        // the status line
        std::int32_t high = 0;     // progress bar range 0..high
        std::int32_t pos = 0;
        double bytesPerSecond = 0; // 0: not known yet
        double secondsLeft = -1;   // the whole update's; -1: not known yet
        int percent = -1;          // the whole update's; -1: none (the row's bar is shown)
        int retries = 0;           // blocks read back or sent again
    };

    UpdateProgress(Mode mode, std::FILE* out, int width = 80);
    // Lines or JSON handed to `sink`, one at a time (no live line).
    using Sink = std::function<void(const std::string&)>;
    UpdateProgress(Mode mode, Sink sink);
    // The rows are a verify's: its written regions, read back and compared.
    bool verifying = false;

    void Apply(const std::vector<CliWindow::Event>& events);
    // Redraws the live line when it is due (about ten times a second).
    void Tick(Clock::time_point now);
    // Ends the row in progress and the display.
    void Finish(Outcome outcome, Clock::time_point now);

    Snapshot Current(Clock::time_point now) const;
    // The live line for a snapshot, at most `width` - 1 characters.
    static std::string LiveLine(const Snapshot& snapshot, char spinner, int width);
    // The line that tells how a row went ("done", "skipped", "failed", "interrupted").
    std::string RowLine(const RowInfo& row, const char* result, double seconds, double bytesPerSecond) const;

private:
    const char* Kind(const RowInfo& row) const { return !row.write ? "erase" : verifying ? "verify" : "write"; }
    void StartRow(int number, Clock::time_point when);
    void EndRow(const char* result, Clock::time_point when);
    void FlushJson();
    void Draw(Clock::time_point now);
    void Emit(const std::string& line);
    std::uint64_t BytesPassed() const;

    Mode mode;
    std::FILE* out;
    int width;
    Sink sink;

    std::string counter;
    std::string status;
    std::int32_t high = 0;
    std::int32_t pos = 0;

    int row = 0;                       // row in progress, 0 before the first
    bool rowWorked = false;            // the row set a progress range: it erased or wrote
    Clock::time_point rowStart{};
    std::uint64_t bytesBeforeRow = 0;  // write bytes of the rows before the current one
    std::uint64_t writtenBeforeRow = 0; // ... of those that were written, not skipped
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples;   // for the rate
    UpdateProgressView overall;        // as the dialog reports it

    // JSON: what changed since the last event was written.
    bool statusDirty = false;
    bool progressDirty = false;

    Clock::time_point lastDraw{};
    int spin = 0;
    bool drawn = false;
};
