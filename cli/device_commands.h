// `ports`, `version`, `update` and `verify` on one device, each run through
// the same dialog logic as the desktop window.
#pragma once

#include "cli/cli_app.h"

#include <atomic>

// Runs the command; the exit status.  The dialog is gone (its worker
// joined) when it returns.  `signal` is the pending Ctrl-C (0: none).
int RunOneDevice(const CliOptions& options, int instanceNumber, const std::atomic<int>& signal);
