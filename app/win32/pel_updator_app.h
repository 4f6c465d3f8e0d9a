// The application object of the native Windows updater: it initialises the
// common controls, reserves this process's instance number (1 to 20, named
// mutexes shared with the command-line program), refuses to start beyond
// 20, and runs the main dialog modally; the program ends when the dialog
// closes.
#pragma once

#include "platform/instance_lock.h"

#include <string>
#include <vector>

inline constexpr const char* kApplicationName = "q9-updater";

struct AppOptions {
    bool help = false;
    bool virtualDevice = false;   // --virtual-device[=SETTINGS]
    std::string virtualSettings;
    bool selfTest = false;        // --selftest[=close-while-busy]: the program clicks itself through
    bool selfTestCloseWhileBusy = false;
    bool selfTestErrorBox = false;
    bool selfTestGuard = false;
    bool selfTestNoDevice = false;
};

// Reads the program's options (without the program name).  false and a
// message naming the option on a bad one.
bool ParseAppOptions(const std::vector<std::string>& arguments, AppOptions& options, std::string& error);
const char* UsageText();

class VirtualMidi;

class CPelUpdatorApp {
public:
    CPelUpdatorApp() = default;
    CPelUpdatorApp(const CPelUpdatorApp&) = delete;
    CPelUpdatorApp& operator=(const CPelUpdatorApp&) = delete;
    virtual ~CPelUpdatorApp() = default;

    // The program: the options, the MIDI services, then InitInstance.  The
    // exit status: 0, 1 when the self-test failed, 2 for a usage error, 3
    // when the instance limit refused to start.
    int Run(const std::vector<std::string>& arguments);

    // Common controls, the instance rule, then the main dialog as a modal
    // loop.  Always false: the program ends as soon as it returns.
    virtual bool InitInstance();
    int GetInstanceNumber() const { return instanceNumber; }

private:
    platform::NamedLock instanceMutex;   // held until the process ends
    VirtualMidi* builtIn = nullptr;      // --virtual-device: named after the window's number
    int instanceNumber = 0;
    bool refused = false;
    bool selfTest = false;
    bool selfTestCloseWhileBusy = false;
    bool selfTestErrorBox = false;
    bool selfTestGuard = false;
    bool selfTestNoDevice = false;
    bool selfTestPassed = false;
};

extern CPelUpdatorApp theApp;
