// What every command shares: the signals, the virtual devices, the trace,
// the instance number and the MIDI system, set up before the command runs
// (on one device or on all) and taken down after it.
#include "cli/cli_app.h"

#include "app/instance.h"
#include "cli/all_devices.h"
#include "cli/cli_output.h"
#include "cli/device_commands.h"
#include "cli/trace_midi.h"
#include "cli/virtual_devices.h"
#include "platform/console.h"
#include "platform/cpu.h"
#include "platform/midi_system.h"
#include "virtual_device/virtual_midi.h"

#if __has_include("platform/system_midi.h")
#include "platform/system_midi.h"
#define Q9_CLI_SYSTEM_MIDI 1
#endif

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

// The signal that asks the running operation to end, or 0.
std::atomic<int> pendingSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnSignal(int signal)
{
    pendingSignal.store(signal);
}

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

}  // namespace

void InstallSignalHandlers()
{
    // A reader that goes away (`| head`) must not end an update half-way
    // through the flash: output to it just fails from then on.
    platform::OnInterrupt(OnSignal);
#ifdef SIGHUP
    // A closed terminal ends an update like SIGTERM: quietly, the flash of
    // the built-in device written back.
    std::signal(SIGHUP, OnSignal);
#endif
}

int RunCli(const CliOptions& options)
{
    currentCommand = &options;
    if (options.command == CliOptions::Command::Plan) return CheckOutput(RunPlan(options));

    // Everything the command line names is checked before anything starts.
    if (options.all && (!options.in.empty() || !options.out.empty())) {
        return Usage("--all drives every connected device: it takes no --in or --out");
    }
    // Every device's blocks are handed from thread to thread (the end of a
    // send and each reply wake the worker or the reply timer): with --all
    // the program's threads, from here on, share one CPU, virtual devices
    // included, so that a hand-off seldom wakes a second, idle CPU.
    if (options.all) platform::KeepThreadsOnOneCpu();
    std::vector<std::unique_ptr<VirtualMidi>> virtualMidis;
    std::vector<VirtualMidi*> virtualDevices;
    std::vector<DeviceSummary> busyVirtual;   // --all: devices whose flash file another device holds
    if (options.virtualDevice) {
        std::string error;
        bool usage = false;
        if (!MakeVirtualDevices(options, virtualMidis, busyVirtual, error, usage)) {
            if (usage) return Usage(error);
            // The settings are right; the flash file cannot be used.
            ErrorLine(error);
            EmitEarlyResult(kExitFailed);
            return kExitFailed;
        }
        for (const auto& midi : virtualMidis) virtualDevices.push_back(midi.get());
    }
    FilePtr trace(nullptr, &std::fclose);
    if (!options.tracePath.empty()) {
        trace.reset(std::fopen(options.tracePath.c_str(), "wb"));
        if (!trace) {
            return Usage("--trace: cannot write \"" + options.tracePath + "\": " + std::strerror(errno));
        }
    }

    platform::NamedLock instanceLock;
    const int instanceNumber = ReserveInstanceNumber(instanceLock);
    if (instanceNumber == 0) {
        ErrorLine(InstanceRefusalText(), false);
        EmitEarlyResult(kExitInstances);
        return kExitInstances;
    }
    // The n-th updater preselects devices named "... (n)": so is its own
    // virtual device named.
    // (Several virtual devices are named by their own numbers.)
    if (virtualMidis.size() == 1 && busyVirtual.empty() && instanceNumber != 1) {
        virtualMidis.front()->SetDeviceName(std::string(VirtualQ9::kDeviceName) + " (" +
                                            std::to_string(instanceNumber) + ")");
    }

    platform::MidiSystem system;
#ifdef Q9_CLI_SYSTEM_MIDI
    platform::AddSystemBackends(system);
#endif
    for (auto& midi : virtualMidis) system.Add(std::move(midi));
    std::unique_ptr<TraceMidi> tracer;
    platform::MidiApi* service = &system;
    if (trace) {
        tracer = std::make_unique<TraceMidi>(system, trace.get());
        service = tracer.get();
    }
    platform::MidiApi* previous = platform::InstallMidi(service);

    // Either way the dialogs are gone (their workers joined) before the services go.
    int exitStatus = options.all ? RunAllDevices(options, instanceNumber, std::move(busyVirtual), pendingSignal)
                                 : RunOneDevice(options, instanceNumber, pendingSignal);

    // The virtual device writes its flash file back as its ports close: a
    // write that failed is no success.
    for (VirtualMidi* virtualDevice : virtualDevices) {
        if (virtualDevice->LastSaveError().empty()) continue;
        ErrorLine("virtual device: " + virtualDevice->LastSaveError());
        if (exitStatus == kExitOk || exitStatus == kExitVersionAfterUpdate) {
            exitStatus = kExitFailed;
            EmitEarlyResult(exitStatus);
        }
    }

    platform::InstallMidi(previous);
    int traceErrno = tracer ? tracer->WriteErrno() : 0;
    tracer.reset();
    if (trace && std::fclose(trace.release()) != 0 && traceErrno == 0) traceErrno = errno;
    if (traceErrno != 0) {
        ErrorLine("--trace: cannot write \"" + options.tracePath + "\": " + std::strerror(traceErrno));
        if (exitStatus == kExitOk || exitStatus == kExitVersionAfterUpdate) {
            exitStatus = kExitFailed;
            EmitEarlyResult(exitStatus);   // the last result event is the one that counts
        }
    }
    return CheckOutput(exitStatus);
}
