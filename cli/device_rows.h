// How `--all` shows the devices it drives: on a terminal one row per device
// redrawn in place (name, step, block count, rate, state), and at the end a
// summary table with one line per device.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct DeviceRow {
    std::string name;
    std::string step;           // "7/12 write", or the status line before the first row
    std::string blocks;         // "312/1024" in a write or verify row, else empty
    double bytesPerSecond = 0;  // 0: not known
    std::string state;          // "waiting", "running", "updated", "failed", ...
    int percent = -1;           // the whole update's; -1: none
};

// One row, at most `width` - 1 characters; names are padded to `nameWidth`.
std::string DeviceRowLine(const DeviceRow& row, int nameWidth, int width);

struct DeviceSummary {
    std::string name;
    std::string result;             // "updated", "failed", "skipped", "interrupted", ...
    std::string message;            // why it failed or was skipped; where it stood when interrupted
    double seconds = -1;            // -1: it never ran
    std::uint32_t lostReplies = 0;  // waits that ran out without a reply
    std::uint32_t readBacks = 0;    // read requests sent to check blocks and erases
    bool needsUpdate = false;       // an update changed its flash and did not complete
    bool Ok() const;                // it ended well
};

// The summary table: a heading and one line per device.
std::vector<std::string> SummaryTable(const std::vector<DeviceSummary>& devices);

// Rows redrawn in place on a terminal.
class LiveRows {
public:
    explicit LiveRows(std::FILE* out) : out(out) {}
    void Draw(const std::vector<std::string>& lines);

private:
    std::FILE* out;
    std::size_t drawn = 0;
};
