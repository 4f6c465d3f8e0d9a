// The fault explorer: the real update engine, run over and over against the
// in-process virtual ARKO Q9, each run under a fault schedule drawn from a
// seed (a shortened plan, a start flash, one to five faults), and after each
// run the properties every update must keep, counted by name.  A failing
// seed is printed with the command that replays it alone in detail.
//
//   fault_explorer [--runs=N] [--seed=S] [--repeat=K] [--kinds=drop,refuse,...] [--verbose]
//
// Runs use seeds S, S+1, ..., each run up to K times until it fails (1
// unless given).  The last line reads "N passed, M failed"; the
// exit status is 1 when any run failed.  A run that outlasts its bound is
// reported by a watchdog, which then ends the program.
#include "app/dialog_window.h"
#include "tests/explorer/checks.h"
#include "tests/explorer/schedule.h"
#include "tests/support/scripted_link.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace explorer;
using Clock = std::chrono::steady_clock;

struct Options {
    std::uint64_t runs = 500;
    std::uint64_t seed = 1;
    std::uint64_t repeat = 1;
    std::string kinds;
    bool verbose = false;
    std::string program;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    options.program = argv[0];
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name, std::string& out) {
            const std::string prefix = std::string(name) + "=";
            if (arg.rfind(prefix, 0) != 0) return false;
            out = arg.substr(prefix.size());
            return true;
        };
        std::string text;
        try {
            if (arg == "--verbose") {
                options.verbose = true;
            } else if (value("--runs", text)) {
                options.runs = std::stoull(text);
            } else if (value("--seed", text)) {
                options.seed = std::stoull(text);
            } else if (value("--repeat", text)) {
                options.repeat = std::max<std::uint64_t>(1, std::stoull(text));
            } else if (value("--kinds", text)) {
                options.kinds = text;
            } else {
                std::fprintf(stderr, "usage: %s [--runs=N] [--seed=S] [--repeat=K] [--kinds=a,b,...] [--verbose]\nkinds:",
                             argv[0]);
                for (const FaultKind& kind : kFaultKinds) std::fprintf(stderr, " %s", kind.name);
                std::fprintf(stderr, "\n");
                return false;
            }
        } catch (const std::exception&) {
            std::fprintf(stderr, "%s: not a number\n", arg.c_str());
            return false;
        }
    }
    return true;
}

std::string ReplayCommand(const Options& options, std::uint64_t seed)
{
    // Repeated, as a failure may need one order of the threads of several;
    // the repeats end at the first failure.
    std::string command = options.program + " --seed=" + std::to_string(seed) + " --runs=1 --repeat=20 --verbose";
    if (!options.kinds.empty()) command += " --kinds=" + options.kinds;
    return command;
}

// The counts the program ends with.
struct Tally {
    std::uint64_t runs = 0;
    std::uint64_t failedRuns = 0;
    std::uint64_t completed = 0;
    std::array<std::uint64_t, kKindCount> placed{};
    std::array<std::uint64_t, kKindCount> landed{};
    std::array<std::uint64_t, kPropertyNames.size()> failures{};
    std::array<std::uint64_t, kPropertyNames.size()> firstSeed{};
    std::uint64_t longestMs = 0;
    std::uint64_t longestSeed = 0;
    double worstShareOfBound = 0;
};

void PrintSummary(const Options& options, const Generator& generator, const Tally& tally, double seconds)
{
    std::printf("\nruns: %llu from seed %llu (%llu completed, %llu ended with an error) in %.1f s\n",
                static_cast<unsigned long long>(tally.runs), static_cast<unsigned long long>(options.seed),
                static_cast<unsigned long long>(tally.completed),
                static_cast<unsigned long long>(tally.runs - tally.completed), seconds);
    std::printf("faults placed (landed inside the run):");
    for (std::size_t k = 0; k < kKindCount; ++k) {
        if (generator.enabled[k])
            std::printf(" %s %llu (%llu)", kFaultKinds[k].name, static_cast<unsigned long long>(tally.placed[k]),
                        static_cast<unsigned long long>(tally.landed[k]));
    }
    std::printf("\nfailures by property:");
    for (std::size_t p = 0; p < kPropertyNames.size(); ++p)
        std::printf(" %s %llu", kPropertyNames[p], static_cast<unsigned long long>(tally.failures[p]));
    std::printf("\nlongest run: %llu ms (seed %llu); the closest to its bound took %.1f%% of it\n",
                static_cast<unsigned long long>(tally.longestMs), static_cast<unsigned long long>(tally.longestSeed),
                100.0 * tally.worstShareOfBound);
    for (std::size_t p = 0; p < kPropertyNames.size(); ++p) {
        if (tally.failures[p] != 0)
            std::printf("first %s failure: %s\n", kPropertyNames[p],
                        ReplayCommand(options, tally.firstSeed[p]).c_str());
    }
    std::printf("%llu passed, %llu failed\n", static_cast<unsigned long long>(tally.runs - tally.failedRuns),
                static_cast<unsigned long long>(tally.failedRuns));
    std::fflush(stdout);
}

// Ends the program when a run outlasts its bound: whatever that run has
// shown so far is printed by `report`, then the summary with the run counted
// as failed.  Arm and Disarm come from the explorer's thread only.
class Watchdog {
public:
    Watchdog() : thread([this] { Watch(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        changed.notify_all();
        thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void Arm(std::uint64_t boundMs, std::function<void()> onOverrun)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            deadline = Clock::now() + std::chrono::milliseconds(boundMs);
            report = std::move(onOverrun);
            armed = true;
        }
        changed.notify_all();
    }
    // Blocks for good when the watchdog has fired: the program is ending.
    void Disarm()
    {
        std::lock_guard<std::mutex> lock(mutex);
        armed = false;
        report = nullptr;
    }

private:
    void Watch()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stop) {
            if (!armed) {
                changed.wait(lock);
                continue;
            }
            if (changed.wait_until(lock, deadline) == std::cv_status::timeout && armed && Clock::now() >= deadline) {
                report();
                std::fflush(stdout);
                std::_Exit(1);
            }
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool stop = false;
    bool armed = false;
    Clock::time_point deadline;
    std::function<void()> report;
    std::thread thread;
};

void PrintSetup(const RunSetup& setup)
{
    std::printf("  plan: %s\n  start flash: %s\n  device settings: %s\n", DescribePlan(setup.plan).c_str(),
                setup.startName.c_str(), setup.settings.c_str());
    if (setup.unplugAtSend != 0) std::printf("  unplugged at the host's send %u\n", setup.unplugAtSend);
    std::printf("  bound: %llu ms\n", static_cast<unsigned long long>(setup.boundMs));
}

void PrintRecord(const RunRecord& record)
{
    std::printf("  status line: \"%s\"\n", record.status.c_str());
    for (const std::string& box : record.boxes) std::printf("  error box: \"%s\"\n", box.c_str());
    std::printf("  device log (%zu):\n", record.log.size());
    for (std::size_t i = 0; i < record.log.size(); ++i)
        std::printf("    %3zu %s\n", i + 1, DescribeEntry(record.log[i]).c_str());
    std::printf("  host messages (%zu):\n", record.sent.size());
    for (std::size_t i = 0; i < record.sent.size(); ++i)
        std::printf("    %3zu %s\n", i + 1, DescribeMessage(record.sent[i]).c_str());
}

// Counts each placed fault, and whether the run got as far as its count.
void CountFaults(const RunSetup& setup, const RunRecord& record, Tally& tally)
{
    std::uint64_t commands = 0;
    std::uint64_t readReplies = 0;
    for (const VirtualQ9::LogEntry& e : record.log) {
        using Kind = VirtualQ9::Kind;
        const bool counted = e.kind == Kind::BeginUpdate || e.kind == Kind::EndUpdate || e.kind == Kind::Erase ||
                             e.kind == Kind::WriteBlock || e.kind == Kind::Read || e.kind == Kind::Unknown;
        commands += counted ? 1 : 0;
        if (e.kind == Kind::Read && e.status == VirtualQ9::kStatusOk)
            readReplies += (e.size + VirtualQ9::kReadChunk - 1) / VirtualQ9::kReadChunk;
    }
    for (const PlacedFault& fault : setup.faults) {
        const Place place = kFaultKinds[fault.kind].place;
        const std::uint64_t reach = place == Place::Command ? commands
                                    : place == Place::ReadReply ? readReplies
                                                                : record.sent.size();
        if (fault.counts.empty()) {
            ++tally.placed[fault.kind];
            ++tally.landed[fault.kind];
            continue;
        }
        for (const std::uint32_t count : fault.counts) {
            ++tally.placed[fault.kind];
            tally.landed[fault.kind] += count <= reach ? 1 : 0;
        }
    }
}

RunRecord Run(const RunSetup& setup, Watchdog& watchdog, const std::function<void()>& onOverrun,
              const std::function<void(RunRecord&)>& check)
{
    const ScopedPlan plan(setup.plan);
    q9test::DialogRig rig(setup.settings, ExplorerTimings());
    rig.Device().Device().SetFlash(setup.startFlash);
    if (setup.unplugAtSend != 0) {
        // From this send on the device is gone.
        auto sends = std::make_shared<std::uint32_t>(0);
        const std::uint32_t at = setup.unplugAtSend;
        rig.Link().SetPolicy([sends, at](const q9test::Bytes&) {
            using Action = q9test::ScriptedLink::Action;
            return q9test::ScriptedLink::Decision{++*sends >= at ? Action::Unplugged : Action::Forward, {}};
        });
    }

    watchdog.Arm(setup.boundMs, [&] {
        RunRecord sofar;
        sofar.status = rig.Window().Text(IDC_STATUS);
        for (const RecordingWindow::Box& box : rig.Window().Boxes()) sofar.boxes.push_back(box.text);
        sofar.log = rig.Device().LogCopy();
        sofar.sent = rig.Link().Sent();
        std::printf("seed %llu: bounded: the run did not end within %llu ms\n",
                    static_cast<unsigned long long>(setup.seed), static_cast<unsigned long long>(setup.boundMs));
        PrintSetup(setup);
        PrintRecord(sofar);
        onOverrun();
    });
    RunRecord record;
    const Clock::time_point started = Clock::now();
    rig.RunUpdate();
    record.elapsedMs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
    // What is still on its way reaches the device (or is discarded) first.
    rig.Device().WaitIdle(static_cast<std::uint32_t>(setup.boundMs));
    record.status = rig.Window().Text(IDC_STATUS);
    for (const RecordingWindow::Box& box : rig.Window().Boxes()) record.boxes.push_back(box.text);
    record.log = rig.Device().LogCopy();
    record.sent = rig.Link().Sent();
    record.finalFlash = rig.Device().FlashCopy();
    watchdog.Disarm();
    check(record);   // with the run's plan in place
    return record;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;
    // Each run copies the 4 MiB flash a dozen times: the memory stays with
    // the program between runs instead of being mapped afresh every time.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    Generator generator;
    std::string error;
    if (!MakeGenerator(options.kinds, generator, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    std::printf("fault explorer: %llu runs from seed %llu; counted faults given %s\n",
                static_cast<unsigned long long>(options.runs), static_cast<unsigned long long>(options.seed),
                generator.listedCounts ? "at listed counts (@N/M)" : "as every Nth (no @N lists in this build)");
    std::string skipped;
    for (std::size_t k = 0; k < kKindCount; ++k)
        if (!generator.accepted[k]) skipped += std::string(skipped.empty() ? "" : ", ") + kFaultKinds[k].name;
    if (!skipped.empty()) std::printf("skipped (the device's settings do not take them): %s\n", skipped.c_str());
    std::fflush(stdout);

    Tally tally;
    Watchdog watchdog;
    const Clock::time_point began = Clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - began).count(); };
    for (std::uint64_t seed = options.seed; seed < options.seed + options.runs; ++seed) {
        const RunSetup setup = DrawRun(seed, generator);
        // A seed is run again up to --repeat times, until it fails: some
        // failures need the threads to meet in one order of several.
        for (std::uint64_t repetition = 1; repetition <= options.repeat; ++repetition) {
            std::vector<Failure> failures;
            const auto onOverrun = [&] {
                ++tally.runs;
                ++tally.failedRuns;
                ++tally.failures[static_cast<std::size_t>(Property::Bounded)];
                tally.firstSeed[static_cast<std::size_t>(Property::Bounded)] = seed;
                std::printf("  replay: %s\n", ReplayCommand(options, seed).c_str());
                PrintSummary(options, generator, tally, seconds());
            };
            const RunRecord record =
                Run(setup, watchdog, onOverrun, [&](RunRecord& r) { failures = CheckRun(setup, r); });

            ++tally.runs;
            tally.completed += Completed(record) ? 1 : 0;
            CountFaults(setup, record, tally);
            if (record.elapsedMs > tally.longestMs) {
                tally.longestMs = record.elapsedMs;
                tally.longestSeed = seed;
            }
            tally.worstShareOfBound = std::max(tally.worstShareOfBound, static_cast<double>(record.elapsedMs) /
                                                                            static_cast<double>(setup.boundMs));
            std::array<bool, kPropertyNames.size()> hit{};
            for (const Failure& failure : failures) hit[static_cast<std::size_t>(failure.property)] = true;
            for (std::size_t p = 0; p < hit.size(); ++p) {
                if (!hit[p]) continue;
                if (tally.failures[p]++ == 0) tally.firstSeed[p] = seed;
            }
            if (!failures.empty()) ++tally.failedRuns;

            const bool last = !failures.empty() || repetition == options.repeat;
            if ((options.verbose && last) || !failures.empty()) {
                std::printf("seed %llu: %s in %llu ms", static_cast<unsigned long long>(seed),
                            Completed(record) ? "completed" : "ended with an error",
                            static_cast<unsigned long long>(record.elapsedMs));
                if (options.repeat > 1)
                    std::printf(" (run %llu of at most %llu)", static_cast<unsigned long long>(repetition),
                                static_cast<unsigned long long>(options.repeat));
                std::printf("\n");
                for (const Failure& failure : failures)
                    std::printf("  %s: %s\n", kPropertyNames[static_cast<std::size_t>(failure.property)],
                                failure.detail.c_str());
                if (options.verbose) {
                    PrintSetup(setup);
                    PrintRecord(record);
                } else {
                    std::printf("  settings: %s%s\n  replay: %s\n", setup.settings.c_str(),
                                setup.unplugAtSend != 0
                                    ? (", unplug at send " + std::to_string(setup.unplugAtSend)).c_str()
                                    : "",
                                ReplayCommand(options, seed).c_str());
                }
                std::fflush(stdout);
            }
            if (!failures.empty()) break;
        }
    }
    PrintSummary(options, generator, tally, seconds());
    return tally.failedRuns == 0 ? 0 : 1;
}
