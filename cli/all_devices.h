// `update --all`, `version --all`, `verify --all`: every connected ARKO Q9
// driven at once, each by a dialog of its own (its own worker, reply slot
// and ports), with one live row per device and a summary at the end.
#pragma once

#include "cli/cli_app.h"
#include "cli/device_rows.h"

#include <atomic>
#include <string>
#include <vector>

// Runs the command on every paired device; the exit status.  `signal` is
// the pending Ctrl-C (0: none).
int RunAllDevices(const CliOptions& options, int instanceNumber, std::vector<DeviceSummary> busy,
                  const std::atomic<int>& signal);
