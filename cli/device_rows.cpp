#include "cli/device_rows.h"

#include <algorithm>

namespace {

constexpr const char* kGoodResults[] = {"updated", "read", "verified"};

std::string Format(const char* format, auto... args)
{
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

std::string Pad(std::string text, std::size_t width)
{
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

bool DeviceSummary::Ok() const
{
    return std::find(std::begin(kGoodResults), std::end(kGoodResults), result) != std::end(kGoodResults);
}

std::string DeviceRowLine(const DeviceRow& row, int nameWidth, int width)
{
    std::string line = Pad(row.name, static_cast<std::size_t>(std::max(nameWidth, 1))) + "  ";
    line += Pad(row.step, 12) + "  " + Pad(row.blocks, 11) + "  ";
    line += Pad(row.percent >= 0 ? Format("%3d%%", row.percent) : std::string(), 4) + "  ";
    line += Pad(row.bytesPerSecond > 0 ? Format("%.1f KiB/s", row.bytesPerSecond / 1024.0) : std::string(), 12);
    line += "  " + row.state;
    const auto limit = static_cast<std::size_t>(std::max(width - 1, 20));
    if (line.size() > limit) line.resize(limit);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::vector<std::string> SummaryTable(const std::vector<DeviceSummary>& devices)
{
    std::size_t nameWidth = 6;
    // A result with its message when that fits the column; otherwise the
    // message follows at the end of the line.
    constexpr std::size_t kResultRoom = 48;
    std::size_t resultWidth = 6;
    std::vector<std::string> results;
    for (const DeviceSummary& d : devices) {
        nameWidth = std::max(nameWidth, d.name.size());
        results.push_back(d.message.empty() ? d.result : d.result + ": " + d.message);
        resultWidth = std::max(resultWidth, results.back().size() <= kResultRoom ? results.back().size() : d.result.size());
    }
    std::vector<std::string> lines;
    lines.push_back(Pad("DEVICE", nameWidth) + "  " + Pad("RESULT", resultWidth) + "  " +
                    "    TIME  LOST REPLIES  READ-BACKS");
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const DeviceSummary& d = devices[i];
        std::string line = Pad(d.name, nameWidth) + "  ";
        const std::string counts = d.seconds < 0 ? Format("%8s  %12s  %10s", "-", "-", "-")
                                                 : Format("%6.1f s  %12u  %10u", d.seconds, d.lostReplies, d.readBacks);
        if (results[i].size() > resultWidth) {
            line += Pad(d.result, resultWidth) + "  " + counts + "  " + d.message;
        } else {
            line += Pad(results[i], resultWidth) + "  " + counts;
        }
        lines.push_back(line);
    }
    return lines;
}

void LiveRows::Draw(const std::vector<std::string>& lines)
{
    if (drawn > 0) std::fprintf(out, "\x1b[%zuA", drawn);
    for (const std::string& line : lines) std::fprintf(out, "\r%s\x1b[K\n", line.c_str());
    std::fflush(out);
    drawn = lines.size();
}
