// The command-line front end: ports, version, update and plan, each run
// through the same dialog logic as the desktop window.
#pragma once

#include <string>
#include <vector>

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInstances = 3;
inline constexpr int kExitVersionAfterUpdate = 4;   // the update completed; the version read after it failed

// What each exit status means, one line each in --help and the manual.
struct ExitStatusHelp {
    const char* status;
    const char* meaning;
};
inline constexpr ExitStatusHelp kExitStatusHelp[] = {
    {"0", "success"},
    {"1", "the operation failed (reason on standard error)"},
    {"2", "usage error"},
    {"3", "20 updaters run already"},
    {"4", "updated, but the version read after it failed"},
    {"128+N", "ended by signal N (130: Ctrl-C)"},
};

struct CliOptions {
    enum class Command { Ports, Version, Update, Plan, Verify };
    Command command = Command::Plan;
    std::string in;              // an id or an exact device name; empty: the preselection
    std::string out;
    bool virtualDevice = false;  // add the virtual ARKO Q9
    std::string virtualSettings;
    std::vector<std::string> virtualDevices;   // one virtual device per --virtual-device, with its settings
    int virtualCount = 0;        // --virtual-devices=N: N devices with the settings of the one --virtual-device
    bool all = false;            // update, version, verify: every connected ARKO Q9 at once
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
