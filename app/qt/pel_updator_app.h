// The application object: it reserves this process's instance number (1 to
// 20, the same numbers the command-line front end uses), refuses to start
// beyond 20, and runs the main dialog modally; the program ends when the
// dialog closes.
#pragma once

#include "app/qt/main_dialog.h"
#include "platform/instance_lock.h"

#include <QStringList>

#include <functional>
#include <string>

namespace platform {
class MidiSystem;
}

inline constexpr const char* kApplicationName = "q9-updater";

struct AppOptions {
    bool help = false;
    bool version = false;             // --version
    bool virtualDevice = false;       // --virtual-device[=SETTINGS]
    std::string virtualSettings;
};

// Reads the program's options (without the program name; Qt's own options
// are gone by then).  false and a message naming the option on a bad one.
bool ParseAppOptions(const QStringList& arguments, AppOptions& options, QString& error);
QString UsageText();

class VirtualMidi;

class CPelUpdatorApp {
public:
    CPelUpdatorApp() = default;
    CPelUpdatorApp(const CPelUpdatorApp&) = delete;
    CPelUpdatorApp& operator=(const CPelUpdatorApp&) = delete;
    virtual ~CPelUpdatorApp() = default;

    // The program: the toolkit, the options, the MIDI services, then
    // InitInstance.  The exit status: 0, 2 for a usage error, 3 when the
    // instance limit refused to start.
    int Run(int argc, char** argv);

    // The instance rule, then the main dialog as a modal loop.  Always
    // false: the program ends as soon as it returns.
    virtual bool InitInstance();
    int GetInstanceNumber() const { return instanceNumber; }
    bool Refused() const { return refused; }
    bool HoldsInstance() const { return instanceMutex.Held(); }

    // Hooks for tests: every message box (the refusal and the dialog's), the
    // dialog once its modal loop runs, and extra MIDI backends listed after
    // the system's (and before the virtual device).
    MessageBoxHook messageBoxHook;
    std::function<void(MainDialog&)> dialogShown;
    std::function<void(platform::MidiSystem&)> addBackends;

private:
    platform::NamedLock instanceMutex;   // held until the process ends
    VirtualMidi* builtIn = nullptr;      // --virtual-device: named after the window's number
    int instanceNumber = 0;
    bool refused = false;
};

extern CPelUpdatorApp theApp;
