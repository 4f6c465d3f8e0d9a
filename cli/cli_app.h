// The command-line front end: ports, version, update and plan, each run
// through the same dialog logic as the desktop window.
#pragma once

#include <string>

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInstances = 3;
inline constexpr int kExitVersionAfterUpdate = 4;   // the update completed; the version read after it failed

struct CliOptions {
    enum class Command { Ports, Version, Update, Plan, Verify };
    Command command = Command::Plan;
    std::string in;              // an id or an exact device name; empty: the preselection
    std::string out;
    bool virtualDevice = false;  // add the virtual ARKO Q9
    std::string virtualSettings;
    std::string tracePath;       // empty: no trace
    bool json = false;
    bool noVersion = false;      // update: no version check afterwards
    bool verify = false;         // update: verify afterwards
};

// Runs one command; the exit status.  Messages go to stdout and stderr.
int RunCli(const CliOptions& options);

// Ctrl-C and termination: the running operation ends as if the dialog
// were closed.  Installs the handlers.
void InstallSignalHandlers();
