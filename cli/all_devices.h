// `update --all`, `version --all`, `verify --all`: every connected ARKO Q9
// driven at once, each by a dialog of its own (its own worker, reply slot
// and ports), with one live row per device and a summary at the end.
#pragma once

#include "cli/cli_app.h"
#include "cli/device_rows.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class VirtualMidi;

// A device as the lists show it: an input and an output of one preferred
// name ("ARKO Q9", "ARKO Q9 (2)", "USB Audio Device (3)", ...).  `skipped`
// says why a name found only one way is not driven.
struct PairedDevice {
    std::string name;
    std::string skipped;
};
// The preferred names among the listed devices, in the order of the
// preferred names and then of their numbers.
std::vector<PairedDevice> PairDevices(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);

// The virtual devices --virtual-device (each time given) and
// --virtual-devices=N ask for.  Several are named "ARKO Q9", "ARKO Q9 (2)",
// ...; with --virtual-devices=N the k-th uses flash=PATH.k (the first PATH).
// With --all a device whose flash file is in use is listed in `busy`
// instead.  False with `error` (and `usage` for a bad option).
bool MakeVirtualDevices(const CliOptions& options, std::vector<std::unique_ptr<VirtualMidi>>& devices,
                        std::vector<DeviceSummary>& busy, std::string& error, bool& usage);

// Runs the command on every paired device; the exit status.  `signal` is
// the pending Ctrl-C (0: none).
int RunAllDevices(const CliOptions& options, int instanceNumber, std::vector<DeviceSummary> busy,
                  const std::atomic<int>& signal);
