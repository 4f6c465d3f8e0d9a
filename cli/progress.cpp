#include "cli/progress.h"

#include "cli/json.h"
#include "update/image_plan.h"
#include "update/protocol.h"

#include <algorithm>
#include <cinttypes>

namespace {

constexpr auto kRateWindow = std::chrono::seconds(3);
constexpr auto kDrawInterval = std::chrono::milliseconds(100);

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::string Format(const char* format, auto... args)
{
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

}  // namespace

RowInfo DescribeRow(int number)
{
    RowInfo info;
    if (number < 1 || number > static_cast<int>(kImagePlan.size())) return info;
    const ImagePlanStep& step = kImagePlan[static_cast<std::size_t>(number - 1)];
    info.number = number;
    info.write = step.kind == PLAN_WRITE;
    info.address = step.address;
    info.length = step.length;
    info.imageId = step.imageId;
    if (info.write) {
        std::size_t size = 0;
        const bool found = FindImage(step.imageId, &size) != nullptr;
        if (info.length == 0) info.length = found ? static_cast<std::uint32_t>(size) : 0;
        info.blocks = (info.length + kMaxBlock - 1) / kMaxBlock;
        info.lastBlock = info.blocks == 0 ? 0 : info.length - (info.blocks - 1) * kMaxBlock;
    }
    return info;
}

std::uint64_t PlanWriteBytes()
{
    std::uint64_t total = 0;
    for (int n = 1; n <= static_cast<int>(kImagePlan.size()); ++n) {
        const RowInfo row = DescribeRow(n);
        if (row.write) total += row.length;
    }
    return total;
}

UpdateProgress::UpdateProgress(Mode mode_, std::FILE* out_, int width_) : mode(mode_), out(out_), width(width_)
{
}

UpdateProgress::UpdateProgress(Mode mode_, Sink sink_) : mode(mode_), out(nullptr), width(80), sink(std::move(sink_))
{
    if (mode == Mode::Live) mode = Mode::Lines;
}

void UpdateProgress::Emit(const std::string& line)
{
    if (out == nullptr) {
        if (sink) sink(line);
        return;
    }
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

std::uint64_t UpdateProgress::BytesPassed() const
{
    const RowInfo info = DescribeRow(row);
    std::uint64_t bytes = bytesBeforeRow;
    if (info.write && rowWorked) bytes += static_cast<std::uint64_t>(std::clamp(pos, 0, high));
    return bytes;
}

void UpdateProgress::StartRow(int number, Clock::time_point when)
{
    row = number;
    rowWorked = false;
    rowStart = when;
    bytesBeforeRow = 0;
    for (int n = 1; n < number; ++n) {
        const RowInfo info = DescribeRow(n);
        if (info.write) bytesBeforeRow += info.length;
    }
}

void UpdateProgress::EndRow(const char* result, Clock::time_point when)
{
    if (row == 0) return;
    const RowInfo info = DescribeRow(row);
    const double seconds = Seconds(when - rowStart);
    const bool done = std::string_view(result) == "done";
    // A row that passed in less time than this moved next to nothing (its
    // blocks were confirmed already): no rate for it.
    constexpr double kMinRateSeconds = 0.05;
    const double rate = (info.write && done && seconds >= kMinRateSeconds) ? info.length / seconds : 0;
    if (info.write && done) writtenBeforeRow += info.length;
    if (mode == Mode::Lines) {
        Emit(RowLine(info, result, seconds, rate));
    } else if (mode == Mode::Json) {
        JsonObject event;
        event.Add("event", "row").Add("row", info.number).Add("rows", static_cast<int>(kImagePlan.size()));
        event.Add("kind", Kind(info)).Add("address", info.address).Add("length", info.length);
        if (info.write) event.Add("image", info.imageId).Add("blocks", info.blocks);
        event.Add("result", result).Add("seconds", seconds);
        if (rate > 0) event.Add("bytesPerSecond", rate);
        Emit(event.Text());
    }
    row = 0;
}

void UpdateProgress::FlushJson()
{
    if (mode != Mode::Json) return;
    if (statusDirty) {
        Emit(JsonObject().Add("event", "status").Add("text", status).Text());
        statusDirty = false;
    }
    if (progressDirty) {
        const Snapshot now = Current(Clock::now());
        JsonObject event;
        event.Add("event", "progress").Add("row", row).Add("pos", pos).Add("range", high);
        event.Add("bytes", static_cast<std::int64_t>(BytesPassed()));
        event.Add("totalBytes", static_cast<std::int64_t>(PlanWriteBytes()));
        if (now.bytesPerSecond > 0) event.Add("bytesPerSecond", now.bytesPerSecond);
        if (now.percent >= 0) event.Add("percent", now.percent);
        if (now.secondsLeft >= 0) event.Add("secondsLeft", now.secondsLeft);
        if (now.retries > 0) event.Add("retries", now.retries);
        Emit(event.Text());
        progressDirty = false;
    }
}

void UpdateProgress::Apply(const std::vector<CliWindow::Event>& events)
{
    for (const CliWindow::Event& e : events) {
        switch (e.kind) {
        case CliWindow::Change::Counter: {
            FlushJson();
            counter = e.text;
            int number = 0;
            int rows = 0;
            if (std::sscanf(e.text.c_str(), "%d/%d", &number, &rows) == 2 && number >= 1 && number != row) {
                EndRow(rowWorked ? "done" : "skipped", e.when);
                StartRow(number, e.when);
            }
            if (mode == Mode::Json) Emit(JsonObject().Add("event", "counter").Add("text", e.text).Text());
            break;
        }
        case CliWindow::Change::Status:
            status = e.text;
            statusDirty = true;
            break;
        case CliWindow::Change::ProgressRange:
            high = e.value;
            pos = std::clamp(pos, 0, std::max(high, 0));
            rowWorked = true;
            progressDirty = true;
            break;
        case CliWindow::Change::ProgressPos: {
            pos = std::clamp(e.value, 0, std::max(high, 0));
            progressDirty = true;
            if (DescribeRow(row).write) {
                // The rate counts bytes sent: rows skipped (a current boot
                // region) add nothing.
                const std::uint64_t written =
                    writtenBeforeRow + (rowWorked ? static_cast<std::uint64_t>(std::clamp(pos, 0, high)) : 0);
                samples.emplace_back(e.when, written);
                while (samples.size() > 2 && e.when - samples.front().first > kRateWindow) samples.pop_front();
            }
            break;
        }
        case CliWindow::Change::Overall:
            if (e.overall.percent < 0) FlushJson();   // the last progress event keeps its figures
            overall = e.overall;
            progressDirty = progressDirty || overall.percent >= 0;
            break;
        case CliWindow::Change::Box:
            if (mode == Mode::Json) {
                FlushJson();
                const bool error = (e.type & 0xF0) == MB_ICONHAND;
                Emit(JsonObject()
                         .Add("event", "message")
                         .Add("caption", e.caption)
                         .Add("icon", error ? "error" : "information")
                         .Add("text", e.text)
                         .Text());
            }
            break;
        }
    }
    FlushJson();
}

UpdateProgress::Snapshot UpdateProgress::Current(Clock::time_point now) const
{
    Snapshot s;
    s.counter = counter;
    s.status = status;
    s.high = high;
    s.pos = pos;
    // Recent rate: bytes acknowledged over the last few seconds (falls to
    // zero during a long erase).
    const auto first = std::find_if(samples.begin(), samples.end(),
                                    [&](const auto& sample) { return now - sample.first <= kRateWindow; });
    if (first != samples.end() && samples.size() >= 2) {
        const double dt = Seconds(now - first->first);
        const std::uint64_t bytes = samples.back().second - std::min(samples.back().second, first->second);
        if (dt > 0.2 && bytes > 0) s.bytesPerSecond = bytes / dt;
    }
    // An update: the whole of it, as the dialog measures it.
    s.percent = overall.percent;
    s.secondsLeft = overall.secondsLeft;
    s.retries = overall.retries;
    // A verify: the bytes still to read at the average pace so far.
    if (overall.percent < 0 && !samples.empty()) {
        const double elapsed = Seconds(now - samples.front().first);
        const std::uint64_t passed = BytesPassed();
        const std::uint64_t total = PlanWriteBytes();
        const std::uint64_t since = samples.back().second - std::min(samples.back().second, samples.front().second);
        if (elapsed > 0.5 && since > 0 && total >= passed) s.secondsLeft = (total - passed) * elapsed / since;
    }
    return s;
}

std::string UpdateProgress::LiveLine(const Snapshot& s, char spinner, int width)
{
    std::string statusText = s.status;
    while (!statusText.empty() && statusText.back() == ' ') statusText.pop_back();
    // The whole update's percentage where there is one (an update), else the row's.
    const int rowPercent = s.high > 0 ? static_cast<int>(static_cast<std::int64_t>(s.pos) * 100 / s.high) : 0;
    const int percent = s.percent >= 0 ? s.percent : rowPercent;

    std::string tail = Format("%3d%%", percent);
    if (s.bytesPerSecond > 0) tail += Format("  %.1f KiB/s", s.bytesPerSecond / 1024.0);
    if (s.secondsLeft >= 0) {
        const auto left = static_cast<long>(s.secondsLeft + 0.5);
        tail += Format("  %ld:%02ld left", left / 60, left % 60);
    }
    if (s.retries > 0) tail += Format("  %d retr%s", s.retries, s.retries == 1 ? "y" : "ies");
    std::string head = std::string(1, spinner) + " " + (s.counter.empty() ? std::string("0/12") : s.counter);

    const int limit = std::max(width - 1, 20);
    // head, blank, status, two blanks, [bar], two blanks, tail
    const int fixed = static_cast<int>(head.size() + tail.size()) + 1 + 2 + 2 + 2;
    // The bar keeps its width while the status text changes (room for the
    // longest "Data transmit" line), so the line does not jump about.
    constexpr int kStatusRoom = 34;
    const int barWidth = std::clamp(limit - fixed - kStatusRoom, 10, 30);
    const int room = limit - fixed - barWidth;
    if (room < static_cast<int>(statusText.size())) statusText.resize(static_cast<std::size_t>(std::max(room, 0)));

    const int filled = s.high > 0 ? static_cast<int>(static_cast<std::int64_t>(std::clamp(s.pos, 0, s.high)) *
                                                     barWidth / s.high)
                                  : 0;
    std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(barWidth - filled), '.') + "]";
    std::string line = head + " " + statusText + "  " + bar + "  " + tail;
    if (static_cast<int>(line.size()) > limit) line.resize(static_cast<std::size_t>(limit));
    return line;
}

std::string UpdateProgress::RowLine(const RowInfo& row, const char* result, double seconds, double bytesPerSecond) const
{
    std::string line = Format("%2d/%zu  %-5s  0x%06" PRIX32 "  %8" PRIu32 " bytes", row.number, kImagePlan.size(),
                              Kind(row), row.address, row.length);
    if (row.write) {
        line += Format("  image %" PRIu32 ", %" PRIu32 " block%s", row.imageId, row.blocks, row.blocks == 1 ? "" : "s");
        if (row.blocks > 0 && row.lastBlock != kMaxBlock) line += Format(" (last %" PRIu32 " bytes)", row.lastBlock);
    }
    line += "  ";
    line += result;
    if (std::string_view(result) == "done") {
        line += Format("  %.2f s", seconds);
        if (bytesPerSecond > 0) line += Format("  %.1f KiB/s", bytesPerSecond / 1024.0);
    }
    return line;
}

void UpdateProgress::Draw(Clock::time_point now)
{
    static constexpr char kSpinner[] = {'|', '/', '-', '\\'};
    const std::string line = LiveLine(Current(now), kSpinner[spin++ % 4], width);
    std::fprintf(out, "\r%s\x1b[K", line.c_str());
    std::fflush(out);
    lastDraw = now;
    drawn = true;
}

void UpdateProgress::Tick(Clock::time_point now)
{
    if (mode == Mode::Live && now - lastDraw >= kDrawInterval) Draw(now);
}

void UpdateProgress::Finish(Outcome outcome, Clock::time_point now)
{
    const char* result = outcome == Outcome::Completed ? (rowWorked ? "done" : "skipped")
                         : outcome == Outcome::Failed  ? "failed"
                                                       : "interrupted";
    if (mode == Mode::Json) FlushJson();
    EndRow(result, now);
    if (mode == Mode::Live) {
        Draw(now);
        std::fputc('\n', out);
        std::fflush(out);
    }
}
