// `ports`, `version`, `update` and `verify` on one device: the ports that
// --in and --out name (or the preselection), driven through the dialog logic
// as the desktop window drives it.
#include "cli/device_commands.h"

#include "app/failure_guidance.h"
#include "app/pel_updator_dlg.h"
#include "cli/cli_output.h"
#include "cli/cli_window.h"
#include "cli/json.h"
#include "cli/progress.h"
#include "platform/console.h"
#include "resources/string_table.h"

#if __has_include("platform/system_midi.h")
#include "platform/system_midi.h"
#define Q9_CLI_SYSTEM_MIDI 1
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char* const kReportCaption = "Version Information";

// The list position a --in/--out value names: a device id, or the last
// device whose name is exactly that text (the same rule as the preselection).
bool ResolveDevice(const std::string& wanted, const std::vector<std::string>& names, const char* direction, int& index,
                   std::string& error)
{
    const bool digits = !wanted.empty() && wanted.size() <= 9 && wanted.find_first_not_of("0123456789") == std::string::npos;
    if (digits) {
        const long id = std::strtol(wanted.c_str(), nullptr, 10);
        if (id >= static_cast<long>(names.size())) {
            error = "There is no MIDI " + std::string(direction) + " device with id " + wanted + ".";
            return false;
        }
        index = static_cast<int>(id);
        return true;
    }
    index = -1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == wanted) index = static_cast<int>(i);
    }
    if (index < 0) {
        error = "No MIDI " + std::string(direction) + " device is named \"" + wanted + "\".";
        return false;
    }
    return true;
}

// The device's fields that the check did not read are null; an image text
// is empty when the image is missing.
JsonObject VersionSetJson(const VersionSet& set, bool device)
{
    JsonObject object;
    const std::pair<const char*, const std::string*> fields[] = {
        {"system", &set.system}, {"preset", &set.preset}, {"boot", &set.boot}, {"submcu", &set.submcu}};
    for (const auto& [key, text] : fields) {
        if (device && text->empty()) {
            object.AddNull(key);
        } else {
            object.Add(key, *text);
        }
    }
    return object;
}

// ---------------------------------------------------------------------------
// Commands that drive the dialog.

class Session {
public:
    Session(int instanceNumber, const std::atomic<int>& signal) : signal(signal), dialog(window, instanceNumber) {}

    // Runs a handler on this (the user-interface) thread and pumps until the
    // worker it started has ended and every call it posted has run.  False
    // when a signal ended it: the dialog has then been closed.
    bool Run(void (CPelUpdatorDlg::*handler)(), UpdateProgress* progress)
    {
        (dialog.*handler)();
        std::atomic<bool> ended{false};
        std::thread watcher([this, &ended] {
            dialog.WaitForWorker();
            ended.store(true);
            window.Wake();
        });
        bool interrupted = false;
        for (;;) {
            const bool endedBefore = ended.load();
            const std::vector<CliWindow::Event> events = window.Pump(endedBefore ? 0ms : 100ms);
            if (progress != nullptr) {
                progress->Apply(events);
                progress->Tick(Clock::now());
            }
            if (signal.load() != 0) {
                // Like closing the dialog: the worker ends quietly.
                interrupted = true;
                window.Close();
                dialog.OnDestroy();
                break;
            }
            if (endedBefore && !window.HasPosted()) break;
        }
        watcher.join();
        return !interrupted;
    }

    // Applies --in and --out to the lists; false with a message on stderr.
    bool SelectPorts(const CliOptions& options)
    {
        struct Choice {
            const std::string& wanted;
            int id;
            const char* direction;
        };
        for (const Choice& choice : {Choice{options.in, IDC_MIDI_IN, "input"}, Choice{options.out, IDC_MIDI_OUT,
                                                                                       "output"}}) {
            if (choice.wanted.empty()) continue;
            int index = -1;
            std::string error;
            if (!ResolveDevice(choice.wanted, window.ListItems(choice.id), choice.direction, index, error)) {
                ErrorLine(error);
                return false;
            }
            window.SetListSelection(choice.id, index);
        }
        return true;
    }

    std::string Selected(int id) { return window.GetListItemText(id, window.GetListSelection(id)); }

    const std::atomic<int>& signal;   // the pending Ctrl-C (0: none)
    CliWindow window;
    CPelUpdatorDlg dialog;
};

bool IsReport(const CliWindow::Box& box)
{
    return box.caption == kReportCaption && (box.type & 0xF0) == MB_ICONINFORMATION;
}

void PrintErrors(const std::vector<CliWindow::Box>& boxes, std::size_t from)
{
    for (std::size_t i = from; i < boxes.size(); ++i) {
        if (!boxes[i].IsError()) continue;
        NoteError(boxes[i].text);
        std::fprintf(stderr, "%s: %s\n", boxes[i].caption.c_str(), boxes[i].text.c_str());
#ifdef Q9_CLI_SYSTEM_MIDI
        // What the system can tell about a device that would not open.
        if (const std::string note = platform::TakeSystemMidiNote(); !note.empty()) {
            std::fprintf(stderr, "%s\n", note.c_str());
            // A device held by another program: what to do about it.
            const std::string held = LoadStringById(IDS_DEVICE_HELD);
            if (note.rfind(held.substr(0, held.size() - 1), 0) == 0) {
                std::fprintf(stderr, "%s\n", LoadStringById(GuidanceFor(IDS_DEVICE_HELD)).c_str());
            }
        }
#endif
    }
}

// The version check; prints the report.  True when the report was shown
// and no error box came.
bool VersionCheck(Session& session, const CliOptions& options, bool& interrupted)
{
    const std::size_t first = session.window.Boxes().size();
    interrupted = !session.Run(&CPelUpdatorDlg::OnVersionCheck, nullptr);
    if (interrupted) return false;

    const std::vector<CliWindow::Box> boxes = session.window.Boxes();
    const CliWindow::Box* report = nullptr;
    bool error = false;
    for (std::size_t i = first; i < boxes.size(); ++i) {
        if (IsReport(boxes[i])) report = &boxes[i];
        if (boxes[i].IsError()) error = true;
        if (options.json) {
            JsonObject event;
            if (IsReport(boxes[i])) {
                event.Add("event", "report").Add("caption", boxes[i].caption).Add("text", boxes[i].text);
                event.AddRaw("device", VersionSetJson(session.dialog.versions.device, true).Text());
                event.AddRaw("image", VersionSetJson(session.dialog.versions.image, false).Text());
            } else {
                event.Add("event", "message").Add("caption", boxes[i].caption);
                event.Add("icon", boxes[i].IsError() ? "error" : "information").Add("text", boxes[i].text);
            }
            Emit(event.Text());
        }
    }
    if (report != nullptr && !options.json) {
        std::printf("%s\n%s\n", report->caption.c_str(), report->text.c_str());
        // An erased field: the dialog's status line says the update must be run again.
        const std::string note = session.window.ControlText(IDC_STATUS);
        if (note == LoadStringById(IDS_RUN_UPDATE_AGAIN)) std::printf("%s\n", note.c_str());
        std::fflush(stdout);
    }
    PrintErrors(boxes, first);
    if (report == nullptr && !error) {
        ErrorLine("the version check ended without a report.");
    }
    return report != nullptr && !error;
}

// `needsUpdate`: an update changed the flash and did not complete.
void EmitResult(const CliOptions& options, bool ok, int exitStatus, const std::string& status,
                const LinkDoubt::Stats* link = nullptr, bool needsUpdate = false)
{
#ifdef Q9_CLI_SYSTEM_MIDI
    // What the system noticed on the way (input the device sent and the
    // system's buffer lost), also after a success.
    if (const std::string note = platform::TakeSystemMidiNote(); !note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
#endif
    if (!options.json) return;
    JsonObject event;
    event.Add("event", "result").Add("command", CommandName(options.command)).Add("ok", ok).Add("exit", exitStatus);
    if (!status.empty()) event.Add("status", status);
    if (!ok) event.Add("message", LastError().empty() ? std::string("the command failed.") : LastError());
    event.Add("needsUpdate", needsUpdate);
    AddLinkCounts(event, link);
    Emit(event.Text());
}

// The start event of a command that works with a device (--json).
void EmitStart(Session& session, const CliOptions& options)
{
    if (!options.json) return;
    const int inId = session.window.GetListSelection(IDC_MIDI_IN);
    const int outId = session.window.GetListSelection(IDC_MIDI_OUT);
    Emit(JsonObject()
             .Add("event", "start")
             .Add("command", CommandName(options.command))
             .Add("instance", session.dialog.InstanceNumber())
             .AddRaw("in", JsonObject().Add("id", inId).Add("name", session.Selected(IDC_MIDI_IN)).Text())
             .AddRaw("out", JsonObject().Add("id", outId).Add("name", session.Selected(IDC_MIDI_OUT)).Text())
             .Text());
}

int InterruptedExit(const Session& session, const CliOptions& options)
{
    const int exitStatus = 128 + session.signal.load();
    const bool needsUpdate = session.dialog.DeviceNeedsUpdate();
    if (options.json) {
        std::string message = "Interrupted by signal " + std::to_string(session.signal.load()) + ".";
        if (needsUpdate) message += "\n" + LoadStringById(IDS_RUN_UPDATE_AGAIN);
        Emit(JsonObject()
                 .Add("event", "result")
                 .Add("command", CommandName(options.command))
                 .Add("ok", false)
                 .Add("exit", exitStatus)
                 .Add("interrupted", true)
                 .Add("message", message)
                 .Add("needsUpdate", needsUpdate)
                 .Text());
    } else if (needsUpdate) {
        std::fprintf(stderr, "%s\n", LoadStringById(IDS_RUN_UPDATE_AGAIN).c_str());
    }
    return exitStatus;
}

int RunPorts(Session& session, const CliOptions& options, int instanceNumber)
{
    session.dialog.FillPortLists();
    struct Side {
        int id;
        const char* title;
        const char* none;
    };
    const Side sides[] = {{IDC_MIDI_IN, "MIDI IN", "No MIDI input devices."},
                          {IDC_MIDI_OUT, "MIDI OUT", "No MIDI output devices."}};
    if (options.json) {
        JsonObject event;
        event.Add("event", "ports").Add("instance", instanceNumber);
        for (const Side& side : sides) {
            const std::vector<std::string> names = session.window.ListItems(side.id);
            const int selection = session.window.GetListSelection(side.id);
            JsonArray list;
            for (std::size_t i = 0; i < names.size(); ++i) {
                list.AddRaw(JsonObject()
                                .Add("id", static_cast<int>(i))
                                .Add("name", names[i])
                                .Add("preselected", static_cast<int>(i) == selection)
                                .Text());
            }
            event.AddRaw(side.id == IDC_MIDI_IN ? "in" : "out", list.Text());
        }
        Emit(event.Text());
        EmitResult(options, true, kExitOk, {});
        return kExitOk;
    }
    for (const Side& side : sides) {
        const std::vector<std::string> names = session.window.ListItems(side.id);
        const int selection = session.window.GetListSelection(side.id);
        std::printf("%s:\n", side.title);
        if (names.empty()) std::printf("  %s\n", side.none);
        for (std::size_t i = 0; i < names.size(); ++i) {
            std::printf("  %2zu  %s%s\n", i, names[i].c_str(),
                        static_cast<int>(i) == selection ? "  (preselected)" : "");
        }
    }
    if (instanceNumber != 1) {
        std::printf("Instance %d preselects names followed by \" (%d)\".\n", instanceNumber, instanceNumber);
    }
    std::fflush(stdout);
#ifdef Q9_CLI_SYSTEM_MIDI
    // Devices that could not be listed (no permission), said so.
    if (const std::string note = platform::TakeSystemMidiNote(); !note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
#endif
    return kExitOk;
}

int RunVersion(Session& session, const CliOptions& options)
{
    session.dialog.OnInitDialog();
    if (!session.SelectPorts(options)) {
        EmitResult(options, false, kExitFailed, {});
        return kExitFailed;
    }
    EmitStart(session, options);
    bool interrupted = false;
    const bool ok = VersionCheck(session, options, interrupted);
    if (interrupted) return InterruptedExit(session, options);
    const int exitStatus = ok ? kExitOk : kExitFailed;
    EmitResult(options, ok, exitStatus, {});
    return exitStatus;
}

int TerminalWidth()
{
    if (const int columns = platform::ConsoleColumns(); columns > 0) return columns;
    if (const char* columns = std::getenv("COLUMNS")) {
        const int n = std::atoi(columns);
        if (n > 0) return n;
    }
    return 80;
}

UpdateProgress::Mode ProgressMode(const CliOptions& options)
{
    if (options.json) return UpdateProgress::Mode::Json;
    return platform::ConsoleHasEscapes() ? UpdateProgress::Mode::Live : UpdateProgress::Mode::Lines;
}

// The verify worker with live progress; true when every block matched.
bool VerifyPass(Session& session, const CliOptions& options, bool& interrupted)
{
    const std::size_t first = session.window.Boxes().size();
    UpdateProgress progress(ProgressMode(options), stdout, TerminalWidth());
    progress.verifying = true;
    interrupted = !session.Run(&CPelUpdatorDlg::OnVerify, &progress);
    const CPelUpdatorDlg::VerifyResult result = session.dialog.LastVerify();
    const bool ok = !interrupted && result.completed && result.differingBlocks == 0;
    progress.Finish(interrupted ? UpdateProgress::Outcome::Interrupted
                    : ok        ? UpdateProgress::Outcome::Completed
                                : UpdateProgress::Outcome::Failed,
                    Clock::now());
    if (interrupted) return false;
    const std::vector<CliWindow::Box> boxes = session.window.Boxes();
    PrintErrors(boxes, first);
    if (options.json && result.completed) {
        JsonObject event;
        event.Add("event", "verify").Add("ok", ok).Add("blocks", static_cast<std::int64_t>(result.blocks));
        event.Add("differingBlocks", static_cast<std::int64_t>(result.differingBlocks));
        if (!ok) event.Add("firstDifference", Hex(result.firstDifference));
        Emit(event.Text());
    } else if (ok) {
        Emit(session.window.ControlText(IDC_STATUS));
    }
    if (!result.completed && boxes.size() == first) {
        ErrorLine("the verify ended without completing.");
    }
    return ok;
}

int RunVerify(Session& session, const CliOptions& options)
{
    session.dialog.OnInitDialog();
    if (!session.SelectPorts(options)) {
        EmitResult(options, false, kExitFailed, {});
        return kExitFailed;
    }
    EmitStart(session, options);
    bool interrupted = false;
    const bool ok = VerifyPass(session, options, interrupted);
    if (interrupted) return InterruptedExit(session, options);
    const LinkDoubt::Stats link = session.dialog.linkDoubt.Counts();
    PrintLinkCounts(options, link);
    const int exitStatus = ok ? kExitOk : kExitFailed;
    // A verify that did not complete leaves its progress text behind: no status.
    const std::string status = session.dialog.LastVerify().completed ? session.window.ControlText(IDC_STATUS) : "";
    EmitResult(options, ok, exitStatus, status, &link);
    return exitStatus;
}

int RunUpdate(Session& session, const CliOptions& options)
{
    session.dialog.OnInitDialog();
    if (!session.SelectPorts(options)) {
        EmitResult(options, false, kExitFailed, {});
        return kExitFailed;
    }

    const UpdateProgress::Mode mode = ProgressMode(options);
    const std::string inName = session.Selected(IDC_MIDI_IN);
    const std::string outName = session.Selected(IDC_MIDI_OUT);
    const int inId = session.window.GetListSelection(IDC_MIDI_IN);
    const int outId = session.window.GetListSelection(IDC_MIDI_OUT);
    if (options.json) {
        Emit(JsonObject()
                 .Add("event", "start")
                 .Add("command", "update")
                 .Add("instance", session.dialog.InstanceNumber())
                 .AddRaw("in", JsonObject().Add("id", inId).Add("name", inName).Text())
                 .AddRaw("out", JsonObject().Add("id", outId).Add("name", outName).Text())
                 .Text());
    } else {
        auto port = [](const char* side, int id, const std::string& name) {
            if (id < 0) return std::string(side) + " (none selected)";
            return std::string(side) + " " + std::to_string(id) + " \"" + name + "\"";
        };
        std::printf("Updating through %s and %s.\n", port("MIDI OUT", outId, outName).c_str(),
                    port("MIDI IN", inId, inName).c_str());
        std::fflush(stdout);
    }

    UpdateProgress progress(mode, stdout, TerminalWidth());
    const bool finished = session.Run(&CPelUpdatorDlg::OnExecute, &progress);
    const LinkDoubt::Stats link = session.dialog.linkDoubt.Counts();
    const std::vector<CliWindow::Box> boxes = session.window.Boxes();
    bool error = false;
    for (const CliWindow::Box& box : boxes) error = error || box.IsError();
    const std::string status = session.window.ControlText(IDC_STATUS);
    const bool completed = finished && !error && status == LoadStringById(IDS_COMPLETED);

    progress.Finish(!finished   ? UpdateProgress::Outcome::Interrupted
                    : completed ? UpdateProgress::Outcome::Completed
                                : UpdateProgress::Outcome::Failed,
                    Clock::now());
    // An update that changed the flash and did not complete: the device needs it again.
    // The error box says so itself when the flash had changed before it.
    const std::string runAgain = LoadStringById(IDS_RUN_UPDATE_AGAIN);
    if (!finished) return InterruptedExit(session, options);
    if (!completed) {
        const bool needsUpdate = session.dialog.DeviceNeedsUpdate();
        PrintErrors(boxes, 0);
        if (!error) ErrorLine("the update ended without completing.");
        bool said = false;
        for (const CliWindow::Box& box : boxes) said = said || box.text.find(runAgain) != std::string::npos;
        if (needsUpdate && !said) {
            if (!options.json) std::fprintf(stderr, "%s\n", runAgain.c_str());
            if (!LastError().empty()) NoteError(LastError() + "\n" + runAgain);
        }
        PrintLinkCounts(options, link);
        EmitResult(options, false, kExitFailed, status, &link, needsUpdate);
        return kExitFailed;
    }
    if (!options.json) Emit(status);
    PrintLinkCounts(options, link);
    if (options.verify) {
        if (!options.json) std::printf("\n");
        bool interrupted = false;
        const bool verified = VerifyPass(session, options, interrupted);
        if (interrupted) return InterruptedExit(session, options);
        if (!verified) {
            EmitResult(options, false, kExitFailed, status, &link);
            return kExitFailed;
        }
    }
    if (options.noVersion) {
        EmitResult(options, true, kExitOk, status, &link);
        return kExitOk;
    }

    // Then the versions the device holds now, as a user would: "Rescan
    // Device" brings the run buttons back (and lists the devices anew), the
    // same devices are selected again, then "Version Check".
    session.dialog.OnRescanDevice();
    if (inId >= 0) {
        int index = -1;
        std::string unused;
        if (ResolveDevice(inName, session.window.ListItems(IDC_MIDI_IN), "input", index, unused)) {
            session.window.SetListSelection(IDC_MIDI_IN, index);
        }
    }
    if (outId >= 0) {
        int index = -1;
        std::string unused;
        if (ResolveDevice(outName, session.window.ListItems(IDC_MIDI_OUT), "output", index, unused)) {
            session.window.SetListSelection(IDC_MIDI_OUT, index);
        }
    }
    if (!options.json) std::printf("\n");
    bool interrupted = false;
    const bool ok = VersionCheck(session, options, interrupted);
    if (interrupted) return InterruptedExit(session, options);
    // The update itself completed: a failed version read after it is a
    // warning with an exit status of its own, never the update's failure.
    if (!ok) {
        std::fprintf(stderr, "%s: warning: the update completed, but the versions could not be read after it.\n",
                     kProgram);
        if (options.json) {
            JsonObject event;
            event.Add("event", "result")
                .Add("command", CommandName(options.command))
                .Add("ok", true)
                .Add("exit", kExitVersionAfterUpdate)
                .Add("status", status)
                .Add("needsUpdate", false)
                .Add("versionRead", false);
            AddLinkCounts(event, &link);
            Emit(event.Text());
        }
        return kExitVersionAfterUpdate;
    }
    EmitResult(options, true, kExitOk, status, &link);
    return kExitOk;
}

}  // namespace

int RunOneDevice(const CliOptions& options, int instanceNumber, const std::atomic<int>& signal)
{
    int exitStatus = kExitOk;
    Session session(instanceNumber, signal);
    switch (options.command) {
    case CliOptions::Command::Ports: exitStatus = RunPorts(session, options, instanceNumber); break;
    case CliOptions::Command::Version: exitStatus = RunVersion(session, options); break;
    case CliOptions::Command::Update: exitStatus = RunUpdate(session, options); break;
    case CliOptions::Command::Verify: exitStatus = RunVerify(session, options); break;
    case CliOptions::Command::Plan: break;
    }
    session.window.Close();
    session.dialog.OnDestroy();
    return exitStatus;
}
