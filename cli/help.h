// The help text of q9-updater-cli: commands, options, every command's own
// options, the exit statuses and the virtual device's settings, one line each.
#pragma once

#include <CLI/CLI.hpp>

// Call once every command and option has been added.
void ConfigureHelp(CLI::App& app);
