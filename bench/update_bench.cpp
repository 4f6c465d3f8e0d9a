// A full 12-row update against the virtual ARKO Q9, through the real ports,
// protocol and reply timer:
//  - FullUpdate/UnlimitedLink: no link or flash time, so what remains is the
//    host's own cost; reports the mean time per write block.
//  - FullUpdate/Link128KiB: a modelled link of 128 KiB/s with flash times;
//    reports the measured time against the time the link, the flash and the
//    procedure's fixed pause need.
//  - CliPeakMemory: the peak resident memory of `q9-updater-cli update
//    --virtual-device` run as a process.
#include "app/pel_updator_dlg.h"
#include "platform/midi_system.h"
#include "resources/string_table.h"
#include "update/timings.h"
#include "virtual_device/virtual_midi.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A window that only watches for the end of the update and times the write
// rows: a write row runs from its progress range (0 to the image size) to
// the position that reaches it.
class BenchWindow final : public DialogWindow {
public:
    void SetWindowTitle(const std::string&) override {}
    void SetControlText(int id, const std::string& text) override
    {
        if (id != IDC_STATUS || text != LoadStringById(IDS_COMPLETED)) return;
        std::lock_guard<std::mutex> lock(mutex);
        completed = true;
        ended.notify_all();
    }
    void EnableControl(int, bool) override {}
    void ResetList(int id) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        (id == IDC_MIDI_IN ? inCount : outCount) = 0;
    }
    void AddListItem(int id, const std::string&) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++(id == IDC_MIDI_IN ? inCount : outCount);
    }
    void SetListSelection(int id, int index) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        (id == IDC_MIDI_IN ? inSelection : outSelection) = index;
    }
    int GetListSelection(int id) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return id == IDC_MIDI_IN ? inSelection : outSelection;
    }
    int GetListCount(int id) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return id == IDC_MIDI_IN ? inCount : outCount;
    }
    std::string GetListItemText(int, int) override { return {}; }
    void SetProgressRange(int, std::int32_t, std::int32_t high) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        rangeHigh = high;
        rangeStart = Clock::now();
    }
    void SetProgressPos(int, std::int32_t pos) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (rangeHigh <= 10) return;   // an erase row (range 0 to 10)
        ++blocks;
        if (pos >= rangeHigh) writeTime += Clock::now() - rangeStart;
    }
    int MessageBox(const std::string& text, const std::string&, unsigned) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        error = text;
        ended.notify_all();
        return IDOK;
    }
    void PostToUiThread(std::function<void()>) override {}

    // Waits for "Version update completed." or an error box; the error text or empty.
    std::string WaitForEnd()
    {
        std::unique_lock<std::mutex> lock(mutex);
        ended.wait_for(lock, std::chrono::minutes(10), [this] { return completed || !error.empty(); });
        if (!completed && error.empty()) return "the update did not end";
        return error;
    }

    std::mutex mutex;
    std::condition_variable ended;
    bool completed = false;
    std::string error;
    int inCount = 0;
    int outCount = 0;
    int inSelection = -1;
    int outSelection = -1;
    std::int32_t rangeHigh = 0;
    Clock::time_point rangeStart{};
    Clock::duration writeTime{};
    std::int64_t blocks = 0;
};

// Bytes of the device's reply to a command of that kind.
std::size_t ReplyBytes(VirtualQ9::Kind kind)
{
    switch (kind) {
    case VirtualQ9::Kind::IdentityRequest: return 15;   // F0 7E 00 06 02 52 i0-i3 v0-v3 F7
    case VirtualQ9::Kind::Read: return 22;              // four data bytes, packed, with their CRC
    case VirtualQ9::Kind::BeginUpdate:
    case VirtualQ9::Kind::EndUpdate:
    case VirtualQ9::Kind::Erase:
    case VirtualQ9::Kind::WriteBlock:
    case VirtualQ9::Kind::Unknown: return 7;            // F0 52 00 mm 00 ss F7
    default: return 0;
    }
}

struct UpdateRun {
    std::string error;
    double seconds = 0;          // the whole update, "Execute" to "Version update completed."
    double writeSeconds = 0;     // the write rows alone
    std::int64_t blocks = 0;
    double neededSeconds = 0;    // link + flash + fixed pause
};

UpdateRun FullUpdate(const std::string& settings)
{
    UpdateRun run;
    std::string error;
    std::unique_ptr<VirtualMidi> owned = MakeVirtualMidi(settings, error);
    if (!owned) {
        run.error = error;
        return run;
    }
    VirtualMidi* device = owned.get();
    platform::MidiSystem system;
    system.Add(std::move(owned));
    platform::MidiApi* previous = platform::InstallMidi(&system);

    BenchWindow window;
    {
        CPelUpdatorDlg dialog(window, 1);
        dialog.OnInitDialog();
        const Clock::time_point start = Clock::now();
        dialog.OnExecute();
        run.error = window.WaitForEnd();
        run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        dialog.WaitForWorker();
        dialog.OnDestroy();
    }
    platform::InstallMidi(previous);
    device->WaitIdle(5000);

    {
        std::lock_guard<std::mutex> lock(window.mutex);
        run.writeSeconds = std::chrono::duration<double>(window.writeTime).count();
        run.blocks = window.blocks;
    }
    if (run.error.empty() && device->FlashCopy() != ExpectedFlashAfterUpdate()) {
        run.error = "the flash differs from what the plan writes";
    }

    // What the link and the flash need: every message sent and every reply
    // crosses the link once, one after another (each command waits for its
    // reply), plus the device's flash time and the pause after begin-update.
    const VirtualDeviceSettings& s = device->Device().Settings();
    std::uint64_t bytes = device->HostBytes();
    for (const VirtualQ9::LogEntry& entry : device->Device().Log()) {
        if (entry.answered) bytes += ReplyBytes(entry.kind);
    }
    const VirtualQ9::Counters& stats = device->Device().Stats();
    const double link = s.linkBytesPerSecond == 0 ? 0.0 : static_cast<double>(bytes) / s.linkBytesPerSecond;
    const double flash = (static_cast<double>(stats.sectorsErased) * s.eraseMsPer4K +
                          static_cast<double>(stats.blocksWritten) * s.writeMsPerBlock) / 1000.0;
    run.neededSeconds = link + flash + Timings().pauseAfterBeginMs / 1000.0;
    return run;
}

void RunFullUpdate(benchmark::State& state, const std::string& settings)
{
    UpdateRun last;
    for (auto _ : state) {
        last = FullUpdate(settings);
        if (!last.error.empty()) {
            state.SkipWithError(last.error.c_str());
            return;
        }
        state.SetIterationTime(last.seconds);
    }
    state.counters["blocks"] = static_cast<double>(last.blocks);
    state.counters["ms_per_block"] = last.blocks > 0 ? last.writeSeconds * 1000.0 / last.blocks : 0;
    state.counters["update_s"] = last.seconds;
    if (last.neededSeconds > Timings().pauseAfterBeginMs / 1000.0) {   // a modelled link
        state.counters["needed_s"] = last.neededSeconds;
        state.counters["efficiency_pct"] = last.seconds > 0 ? 100.0 * last.neededSeconds / last.seconds : 0;
    }
}

// An erased device: its boot region is not current, so all 12 rows work.
void BM_FullUpdate_UnlimitedLink(benchmark::State& state)
{
    RunFullUpdate(state, "flash=erased");
}
BENCHMARK(BM_FullUpdate_UnlimitedLink)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_FullUpdate_Link128KiB(benchmark::State& state)
{
    RunFullUpdate(state, "flash=erased,link=131072,erase-ms=2,write-ms=1");
}
BENCHMARK(BM_FullUpdate_Link128KiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// ---------------------------------------------------------------------------

void BM_CliPeakMemory(benchmark::State& state)
{
    namespace fs = std::filesystem;
    const fs::path cli = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "cli" / "q9-updater-cli";
    if (!fs::exists(cli)) {
        state.SkipWithError("q9-updater-cli is not built");
        return;
    }
    char folder[] = "/tmp/q9-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    ::setenv("XDG_RUNTIME_DIR", folder, 1);   // instance numbers of its own

    long maxKiB = 0;
    for (auto _ : state) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        const std::string path = cli.string();
        char update[] = "update";
        char virtualDevice[] = "--virtual-device";
        char* argv[] = {const_cast<char*>(path.c_str()), update, virtualDevice, nullptr};
        pid_t pid = -1;
        const Clock::time_point start = Clock::now();
        const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            state.SkipWithError("cannot start q9-updater-cli");
            break;
        }
        int status = 0;
        rusage usage{};
        while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("q9-updater-cli update failed");
            break;
        }
        maxKiB = std::max(maxKiB, usage.ru_maxrss);
    }
    state.counters["max_rss_MB"] = maxKiB / 1024.0;
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}
BENCHMARK(BM_CliPeakMemory)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
