// The built-in virtual ARKO Q9s that the command line asks for.
#pragma once

#include "cli/cli_app.h"
#include "cli/device_rows.h"

#include <memory>
#include <string>
#include <vector>

class VirtualMidi;

// The virtual devices --virtual-device (each time given) and
// --virtual-devices=N ask for.  Several are named "ARKO Q9", "ARKO Q9 (2)",
// ...; with --virtual-devices=N the k-th uses flash=PATH.k (the first PATH).
// With --all a device whose flash file is in use is listed in `busy`
// instead.  False with `error` (and `usage` for a bad option).
bool MakeVirtualDevices(const CliOptions& options, std::vector<std::unique_ptr<VirtualMidi>>& devices,
                        std::vector<DeviceSummary>& busy, std::string& error, bool& usage);
