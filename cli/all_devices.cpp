#include "cli/all_devices.h"

#include "app/failure_guidance.h"
#include "app/pel_updator_dlg.h"
#include "cli/cli_output.h"
#include "cli/cli_window.h"
#include "cli/device_pairing.h"
#include "cli/json.h"
#include "cli/progress.h"
#include "platform/console.h"
#include "resources/string_table.h"
#include "update/protocol.h"

#if __has_include("platform/system_midi.h")
#include "platform/system_midi.h"
#define Q9_ALL_SYSTEM_MIDI 1
#endif

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRedrawInterval = 100ms;   // also how often the devices' progress is taken
// A device's thread is woken for what it must do (a posted call, a box, a
// new step, the worker's end, Ctrl-C); the progress in between is taken by
// the main thread, so it needs no tick of its own.  The limit is a safety net.
constexpr auto kDeviceWaitLimit = 1000ms;

std::vector<std::string> ListedNames(bool input)
{
    std::vector<std::string> names;
    const platform::UINT count = input ? CMidiInPort::GetDeviceCount() : CMidiOutPort::GetDeviceCount();
    for (platform::UINT id = 0; id < count; ++id) {
        char name[platform::kDeviceNameCapacity] = {};
        if (input) {
            CMidiInPort::GetDeviceName(id, name);
        } else {
            CMidiOutPort::GetDeviceName(id, name);
        }
        name[sizeof name - 1] = '\0';
        names.emplace_back(name);
    }
    return names;
}


void NoInput(platform::HMIDIIN, platform::UINT, platform::DWORD_PTR, platform::DWORD_PTR, platform::DWORD_PTR) {}
void NoOutput(platform::HMIDIOUT, platform::UINT, platform::DWORD_PTR, platform::DWORD_PTR, platform::DWORD_PTR) {}

// Whether another program (or another updater) holds the input or the
// output: a trial open that the backend refuses as allocated.
bool HeldElsewhere(int in, int out)
{
    platform::HMIDIIN inHandle = 0;
    const platform::MMRESULT inResult =
        platform::midiInOpen(&inHandle, static_cast<platform::UINT>(in), &NoInput, 0, platform::CALLBACK_FUNCTION);
    if (inResult == platform::MMSYSERR_NOERROR) platform::midiInClose(inHandle);
    platform::HMIDIOUT outHandle = 0;
    const platform::MMRESULT outResult =
        platform::midiOutOpen(&outHandle, static_cast<platform::UINT>(out), reinterpret_cast<platform::DWORD_PTR>(&NoOutput),
                              0, platform::CALLBACK_FUNCTION);
    if (outResult == platform::MMSYSERR_NOERROR) platform::midiOutClose(outHandle);
    return inResult == platform::MMSYSERR_ALLOCATED || outResult == platform::MMSYSERR_ALLOCATED;
}

// A JSON event with the device's name after its "event" field.
std::string WithDevice(const std::string& event, const std::string& device)
{
    using Json = nlohmann::ordered_json;
    const Json parsed = Json::parse(event, nullptr, false);
    if (!parsed.is_object()) return event;
    Json out = Json::object();
    for (auto it = parsed.begin(); it != parsed.end(); ++it) {
        out[it.key()] = it.value();
        if (it.key() == "event") out["device"] = device;
    }
    if (!out.contains("device")) out["device"] = device;
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

struct Shared {
    Shared(const CliOptions& options, int instanceNumber, UpdateProgress::Mode mode)
        : options(options), instanceNumber(instanceNumber), mode(mode)
    {
    }
    const CliOptions& options;
    int instanceNumber;
    UpdateProgress::Mode mode;
    std::mutex openMutex;     // listing, choosing and opening ports: one device at a time
    std::mutex stateMutex;    // every device's progress and summary
    std::mutex outputMutex;   // standard output
    std::condition_variable ended;   // with stateMutex: a device has ended
    std::atomic<bool> stop{false};

    void Print(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(outputMutex);
        Emit(line);
    }
};

// One device: a dialog of its own, run from a thread that is its
// user-interface thread.
class DeviceRun {
public:
    DeviceRun(Shared& shared, std::string name)
        : shared(shared), name(std::move(name)), dialog(window, shared.instanceNumber)
    {
        dialog.UseOwnState();
        summary.name = this->name;
        NewProgress();
    }
    DeviceRun(const DeviceRun&) = delete;
    DeviceRun& operator=(const DeviceRun&) = delete;
    ~DeviceRun()
    {
        if (thread.joinable()) thread.join();
    }

    void Start() { thread = std::thread([this] { Body(); }); }
    void Wake() { window.Wake(); }
    void Join()
    {
        if (thread.joinable()) thread.join();
    }

    // With stateMutex held.
    // The dialog's events since the last call, into the device's progress.
    void ApplyEvents() { progress->Apply(window.TakeEvents()); }
    bool Ended() const { return ended; }
    DeviceSummary Summary() const { return summary; }
    const std::string& Report() const { return report; }
    DeviceRow Row(Clock::time_point now) const
    {
        DeviceRow row;
        row.name = name;
        row.state = ended ? summary.result : phase == "waiting" ? phase : phase + " running";
        const UpdateProgress::Snapshot s = progress->Current(now);
        int number = 0;
        int rows = 0;
        if (std::sscanf(s.counter.c_str(), "%d/%d", &number, &rows) == 2 && number >= 1) {
            row.step = s.counter + (DescribeRow(number).write ? " write" : " erase");
        } else {
            row.step = OneLine(s.status).substr(0, 12);
        }
        if (s.high > static_cast<std::int32_t>(kMaxBlock / 2)) {   // a write or a verify: bytes; an erase counts to 10
            const auto blocks = [](std::int64_t bytes) { return (bytes + kMaxBlock - 1) / kMaxBlock; };
            row.blocks = std::to_string(blocks(s.pos)) + "/" + std::to_string(blocks(s.high));
        }
        if (!ended) {
            row.bytesPerSecond = s.bytesPerSecond;
            row.percent = s.percent;
        }
        return row;
    }

private:
    void NewProgress()
    {
        progress = std::make_unique<UpdateProgress>(
            shared.mode == UpdateProgress::Mode::Json ? UpdateProgress::Mode::Json : UpdateProgress::Mode::Lines,
            [this](const std::string& line) {
                if (shared.mode == UpdateProgress::Mode::Live) return;   // the rows show it
                shared.Print(shared.mode == UpdateProgress::Mode::Json ? WithDevice(line, name) : name + ": " + line);
            });
    }

    void Finish(const std::string& result, const std::string& message)
    {
        std::lock_guard<std::mutex> lock(shared.stateMutex);
        summary.result = result;
        summary.message = OneLine(message);
        summary.needsUpdate = dialog.DeviceNeedsUpdate();
        if (const std::string runAgain = LoadStringById(IDS_RUN_UPDATE_AGAIN);
            summary.needsUpdate && summary.message.find(runAgain) == std::string::npos) {
            const bool sentence = summary.message.empty() || summary.message.back() == '.';
            summary.message += (summary.message.empty() ? "" : sentence ? " " : ". ") + runAgain;
        }
        summary.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!countsTaken) TakeCounts();
        if (shared.mode == UpdateProgress::Mode::Lines) {
            shared.Print(name + ": " + result + (summary.message.empty() ? "" : ": " + summary.message));
        }
    }

    // The counts of the update (a verify after it counts its own reads anew).
    void TakeCounts()
    {
        summary.lostReplies = dialog.linkDoubt.Counts().lostReplies;
        summary.readBacks = dialog.linkDoubt.Counts().readBacks;
        countsTaken = true;
    }

    // Lists and chooses the ports, then runs the handler, all before any
    // other device lists or opens.  False when it could not start.
    bool Launch(void (CPelUpdatorDlg::*handler)(), bool first, std::string& error)
    {
        std::lock_guard<std::mutex> lock(shared.openMutex);
        if (first) {
            dialog.OnInitDialog();
        } else {
            dialog.OnRescanDevice();
        }
        const int in = LastIndex(window.ListItems(IDC_MIDI_IN), name);
        const int out = LastIndex(window.ListItems(IDC_MIDI_OUT), name);
        if (in < 0 || out < 0) {
            error = "no longer listed";
            return false;
        }
        window.SetListSelection(IDC_MIDI_IN, in);
        window.SetListSelection(IDC_MIDI_OUT, out);
        if (first && HeldElsewhere(in, out)) {
            std::string message = "busy: held by another program";
#ifdef Q9_ALL_SYSTEM_MIDI
            if (const std::string note = platform::TakeSystemMidiNote(); !note.empty()) message += " (" + note + ")";
#endif
            message += " " + LoadStringById(GuidanceFor(IDS_DEVICE_HELD));
            Finish("skipped", message);
            return false;
        }
        if (first && shared.mode == UpdateProgress::Mode::Json) {
            shared.Print(JsonObject()
                             .Add("event", "start")
                             .Add("device", name)
                             .Add("command", CommandName(shared.options.command))
                             .AddRaw("in", JsonObject().Add("id", in).Add("name", name).Text())
                             .AddRaw("out", JsonObject().Add("id", out).Add("name", name).Text())
                             .Text());
        }
        (dialog.*handler)();
        return true;
    }

    // Runs one handler to its end: true when it ran and no error box came;
    // `error` holds the first box's text.  `stopped` once Ctrl-C ended it.
    bool Phase(void (CPelUpdatorDlg::*handler)(), const char* what, bool first, std::string& error, bool& stopped)
    {
        {
            std::lock_guard<std::mutex> lock(shared.stateMutex);
            phase = what;
            if (!first) NewProgress();
        }
        const std::size_t boxesBefore = window.Boxes().size();
        if (!Launch(handler, first, error)) return false;
        std::atomic<bool> workerEnded{false};
        std::thread watcher([this, &workerEnded] {
            dialog.WaitForWorker();
            workerEnded.store(true);
            window.Wake();
        });
        for (;;) {
            const bool endedBefore = workerEnded.load();
            window.RunPosted(endedBefore ? 0ms : kDeviceWaitLimit);
            {
                std::lock_guard<std::mutex> lock(shared.stateMutex);
                ApplyEvents();
            }
            if (shared.stop.load()) {
                stopped = true;
                window.Close();
                dialog.OnDestroy();
                break;
            }
            if (endedBefore && !window.HasPosted()) break;
        }
        watcher.join();
        const std::vector<CliWindow::Box> boxes = window.Boxes();
        for (std::size_t i = boxesBefore; i < boxes.size(); ++i) {
            if (IsVersionReport(boxes[i])) report = boxes[i].text;
            if (boxes[i].IsError() && error.empty()) error = boxes[i].text;
        }
        return !stopped && error.empty();
    }

    static bool IsVersionReport(const CliWindow::Box& box)
    {
        return box.caption == "Version Information" && (box.type & 0xF0) == MB_ICONINFORMATION;
    }

    void Body()
    {
        start = Clock::now();
        std::string error;
        bool stopped = false;
        bool first = true;
        const auto interrupted = [&] {
            std::lock_guard<std::mutex> lock(shared.stateMutex);
            ApplyEvents();
            UpdateProgress::Snapshot s = progress->Current(Clock::now());
            while (!s.status.empty() && s.status.back() == ' ') s.status.pop_back();
            return "stopped during the " + phase + (s.counter.empty() ? "" : " at " + s.counter) +
                   (s.status.empty() ? "" : ", \"" + s.status + "\"");
        };
        const auto failed = [&](const char* fallback) {
            if (stopped) return Finish("interrupted", interrupted());
            Finish("failed", error.empty() ? fallback : error);
        };
        const CliOptions& options = shared.options;
        if (options.command == CliOptions::Command::Update) {
            const bool ran = Phase(&CPelUpdatorDlg::OnExecute, "update", first, error, stopped);
            first = false;
            if (summary.result == "skipped") return End();
            if (!ran || window.ControlText(IDC_STATUS) != LoadStringById(IDS_COMPLETED)) {
                failed("the update ended without completing");
                return End();
            }
            std::lock_guard<std::mutex> lock(shared.stateMutex);
            TakeCounts();
        }
        if (options.command == CliOptions::Command::Verify || options.verify) {
            const bool ran = Phase(&CPelUpdatorDlg::OnVerify, "verify", first, error, stopped);
            first = false;
            if (summary.result == "skipped") return End();
            const CPelUpdatorDlg::VerifyResult result = dialog.LastVerify();
            if (!ran || !result.completed || result.differingBlocks != 0) {
                if (result.completed && error.empty() && !stopped) {
                    error = std::to_string(result.differingBlocks) + " block(s) differ, the first at " +
                            Hex(result.firstDifference);
                }
                failed("the verify ended without completing");
                return End();
            }
        }
        if (options.command == CliOptions::Command::Version ||
            (options.command == CliOptions::Command::Update && !options.noVersion)) {
            const bool ran = Phase(&CPelUpdatorDlg::OnVersionCheck, "version check", first, error, stopped);
            if (summary.result == "skipped") return End();
            if (!ran || report.empty()) {
                if (options.command == CliOptions::Command::Update && !stopped) {
                    // The update itself completed: said so, but not as a success.
                    Finish("updated, versions unread", error.empty() ? "no version report" : error);
                } else {
                    failed("the version check ended without a report");
                }
                return End();
            }
        }
        Finish(options.command == CliOptions::Command::Update    ? "updated"
               : options.command == CliOptions::Command::Verify ? "verified"
                                                                 : "read",
               {});
        End();
    }

    void End()
    {
        window.Close();
        dialog.OnDestroy();
        std::lock_guard<std::mutex> lock(shared.stateMutex);
        ended = true;
        shared.ended.notify_all();
    }

    Shared& shared;
    std::string name;
    CliWindow window;
    CPelUpdatorDlg dialog;
    Clock::time_point start{};
    // Guarded by stateMutex.
    std::unique_ptr<UpdateProgress> progress;
    std::string phase = "waiting";
    DeviceSummary summary;
    bool countsTaken = false;
    bool ended = false;
    std::string report;   // the device thread's, read once it has ended
    std::thread thread;
};

UpdateProgress::Mode DisplayMode(const CliOptions& options)
{
    if (options.json) return UpdateProgress::Mode::Json;
    return platform::ConsoleHasEscapes() ? UpdateProgress::Mode::Live : UpdateProgress::Mode::Lines;
}

int ConsoleWidth()
{
    const int columns = platform::ConsoleColumns();
    return columns > 0 ? columns : 80;
}

}  // namespace


int RunAllDevices(const CliOptions& options, int instanceNumber, std::vector<DeviceSummary> busy,
                  const std::atomic<int>& signal)
{
    Shared shared(options, instanceNumber, DisplayMode(options));
    const std::vector<PairedDevice> paired = PairDevices(ListedNames(true), ListedNames(false));

    std::vector<DeviceSummary> skipped = std::move(busy);
    std::vector<std::unique_ptr<DeviceRun>> runs;
    for (const PairedDevice& device : paired) {
        if (!device.skipped.empty()) {
            skipped.push_back(DeviceSummary{device.name, "skipped", device.skipped});
            continue;
        }
        runs.push_back(std::make_unique<DeviceRun>(shared, device.name));
    }
    if (runs.empty() && skipped.empty()) {
        ErrorLine("no ARKO Q9 is connected: no MIDI input and output of one preferred name.");
        EmitEarlyResult(kExitFailed);
        return kExitFailed;
    }
    for (const DeviceSummary& s : skipped) {
        if (shared.mode == UpdateProgress::Mode::Json) {
            shared.Print(
                JsonObject().Add("event", "skipped").Add("device", s.name).Add("reason", s.message).Text());
        } else if (shared.mode == UpdateProgress::Mode::Lines) {
            shared.Print(s.name + ": skipped: " + s.message);
        }
    }
    for (const auto& run : runs) run->Start();

    // Wait for every device; redraw the rows on a terminal; Ctrl-C stops all.
    LiveRows rows(stdout);
    const int width = ConsoleWidth();
    std::size_t nameWidth = 6;
    for (const PairedDevice& device : paired) nameWidth = std::max(nameWidth, device.name.size());
    for (const DeviceSummary& s : skipped) nameWidth = std::max(nameWidth, s.name.size());
    const auto draw = [&] {
        std::vector<std::string> lines;
        {
            std::lock_guard<std::mutex> lock(shared.stateMutex);
            const Clock::time_point now = Clock::now();
            for (const auto& run : runs) lines.push_back(DeviceRowLine(run->Row(now), static_cast<int>(nameWidth), width));
        }
        for (const DeviceSummary& s : skipped) {
            lines.push_back(DeviceRowLine(DeviceRow{s.name, {}, {}, 0, "skipped"}, static_cast<int>(nameWidth), width));
        }
        std::lock_guard<std::mutex> lock(shared.outputMutex);
        rows.Draw(lines);
    };
    for (;;) {
        bool allEnded = true;
        {
            std::unique_lock<std::mutex> lock(shared.stateMutex);
            shared.ended.wait_for(lock, kRedrawInterval);
            for (const auto& run : runs) {
                run->ApplyEvents();
                allEnded = allEnded && run->Ended();
            }
        }
        if (signal.load() != 0 && !shared.stop.exchange(true)) {
            for (const auto& run : runs) run->Wake();
        }
        if (shared.mode == UpdateProgress::Mode::Live) draw();
        if (allEnded) break;
    }
    for (const auto& run : runs) run->Join();

    std::vector<DeviceSummary> summaries;
    for (const auto& run : runs) summaries.push_back(run->Summary());
    summaries.insert(summaries.end(), skipped.begin(), skipped.end());
    std::vector<std::string> notWell;
    for (const DeviceSummary& s : summaries) {
        if (!s.Ok()) notWell.push_back(s.name);
    }
    const bool interrupted = signal.load() != 0;
    const int exitStatus = interrupted ? 128 + signal.load() : notWell.empty() ? kExitOk : kExitFailed;

    if (shared.mode == UpdateProgress::Mode::Json) {
        JsonArray devices;
        for (std::size_t i = 0; i < summaries.size(); ++i) {
            const DeviceSummary& s = summaries[i];
            JsonObject device;
            device.Add("device", s.name).Add("result", s.result).Add("ok", s.Ok());
            if (!s.message.empty()) device.Add("message", s.message);
            device.Add("needsUpdate", s.needsUpdate);
            if (s.seconds >= 0) {
                device.Add("seconds", s.seconds).Add("lostReplies", s.lostReplies).Add("readBacks", s.readBacks);
            }
            if (i < runs.size() && !runs[i]->Report().empty()) device.Add("report", runs[i]->Report());
            devices.AddRaw(device.Text());
        }
        JsonObject result;
        result.Add("event", "result").Add("command", CommandName(options.command)).Add("ok", exitStatus == kExitOk);
        result.Add("exit", exitStatus);
        if (interrupted) result.Add("interrupted", true);
        result.AddRaw("devices", devices.Text());
        Emit(result.Text());
    } else {
        for (std::size_t i = 0; i < runs.size(); ++i) {
            if (runs[i]->Report().empty()) continue;
            std::printf("\n%s: Version Information\n%s\n", summaries[i].name.c_str(), runs[i]->Report().c_str());
        }
        std::printf("\n");
        for (const std::string& line : SummaryTable(summaries)) std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    if (!notWell.empty()) {
        std::string names;
        for (const std::string& name : notWell) names += (names.empty() ? "" : ", ") + name;
        std::fprintf(stderr, "%s: %zu of %zu devices did not end well: %s\n", kProgram, notWell.size(),
                     summaries.size(), names.c_str());
    }
    return exitStatus;
}
