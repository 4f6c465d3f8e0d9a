#include "app/win32/pel_updator_app.h"

#include "app/instance.h"
#include "app/pel_updator_dlg.h"
#include "app/win32/main_dialog.h"
#include "app/win32/self_test.h"
#include "app/win32/wide_text.h"
#include "platform/midi_system.h"
#include "platform/system_midi.h"
#include "virtual_device/virtual_midi.h"

#include <cstdio>
#include <memory>

#include <windows.h>
#include <commctrl.h>
#undef MessageBox

CPelUpdatorApp theApp;

namespace {

constexpr int kExitSelfTestFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;

bool HasStandardHandle(DWORD which)
{
    HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// To the console or pipe the program was started from; a program started
// from Explorer has none, and gets a box instead.
void Report(const std::string& text, bool error)
{
    if (HasStandardHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE)) {
        std::fputs(text.c_str(), error ? stderr : stdout);
        std::fflush(error ? stderr : stdout);
        return;
    }
    MessageBoxW(nullptr, Widen(text).c_str(), Widen(kApplicationName).c_str(),
                MB_OK | (error ? MB_ICONEXCLAMATION : MB_ICONINFORMATION));
}

}  // namespace

bool ParseAppOptions(const std::vector<std::string>& arguments, AppOptions& options, std::string& error)
{
    const std::string virtualOption = "--virtual-device";
    for (const std::string& argument : arguments) {
        if (argument == "-h" || argument == "--help" || argument == "/?") {
            options.help = true;
        } else if (argument == virtualOption) {
            options.virtualDevice = true;
            options.virtualSettings.clear();
        } else if (argument.starts_with(virtualOption + "=")) {
            options.virtualDevice = true;
            options.virtualSettings = argument.substr(virtualOption.size() + 1);
        } else if (argument == "--selftest") {
            options.selfTest = true;
        } else if (argument == "--selftest=close-while-busy") {
            options.selfTest = true;
            options.selfTestCloseWhileBusy = true;
        } else if (argument == "--selftest=error-box") {
            options.selfTest = true;
            options.selfTestErrorBox = true;
        } else if (argument == "--selftest=guard") {
            options.selfTest = true;
            options.selfTestGuard = true;
        } else if (argument == "--selftest=no-device") {
            options.selfTest = true;
            options.selfTestNoDevice = true;
        } else {
            error = "unknown option '" + argument + "'";
            return false;
        }
    }
    return true;
}

const char* UsageText()
{
    return "Usage: q9-updater [--virtual-device[=SETTINGS]] [--selftest[=SCENARIO]]\n"
           "Updates the firmware of an ARKO Q9 over MIDI.\n"
           "\n"
           "  --virtual-device[=SETTINGS]  also list a virtual ARKO Q9 (\"ARKO Q9\", in window\n"
           "                               N \"ARKO Q9 (N)\"); SETTINGS as for q9-updater-cli,\n"
           "                               e.g. link=131072,erase-ms=2,write-ms=1\n"
           "  --selftest                   click through an update and the about box by\n"
           "                               itself and report on stdout (for tests);\n"
           "                               =close-while-busy: start an update and wait\n"
           "                               to be closed; =error-box: start an update and\n"
           "                               check the error box that follows; =guard:\n"
           "                               the question before stopping an update;\n"
           "                               =no-device: the hints without devices\n"
           "  -h, --help                   show this text\n";
}

int CPelUpdatorApp::Run(const std::vector<std::string>& arguments)
{
    AppOptions options;
    std::string error;
    if (!ParseAppOptions(arguments, options, error)) {
        Report(std::string(kApplicationName) + ": " + error + "\n" + UsageText(), true);
        return kExitUsage;
    }
    if (options.help) {
        Report(UsageText(), false);
        return 0;
    }
    selfTest = options.selfTest;
    selfTestCloseWhileBusy = options.selfTestCloseWhileBusy;
    selfTestErrorBox = options.selfTestErrorBox;
    selfTestGuard = options.selfTestGuard;
    selfTestNoDevice = options.selfTestNoDevice;

    platform::MidiSystem midi;
    platform::AddSystemBackends(midi);   // winmm
    if (options.virtualDevice) {
        std::unique_ptr<VirtualMidi> device = MakeVirtualMidi(options.virtualSettings, error);
        if (!device) {
            Report(std::string(kApplicationName) + ": --virtual-device: " + error + "\n", true);
            return kExitUsage;
        }
        builtIn = device.get();
        midi.Add(std::move(device));   // last in the lists
    }
    platform::MidiApi* previous = platform::InstallMidi(&midi);
    InitInstance();
    platform::InstallMidi(previous);
    if (refused) return kExitRefused;
    return selfTest && !selfTestPassed ? kExitSelfTestFailed : 0;
}

bool CPelUpdatorApp::InitInstance()
{
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    instanceNumber = ReserveInstanceNumber(instanceMutex);
    if (instanceNumber == 0) {
        refused = true;
        if (selfTest) {
            std::printf("selftest: refused: %s\n", InstanceRefusalText().c_str());
            std::fflush(stdout);
            return false;
        }
        // The application's name as caption; no icon asked for, so the
        // exclamation icon.
        MessageBoxW(nullptr, Widen(InstanceRefusalText()).c_str(), Widen(kApplicationName).c_str(),
                    MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    // The built-in device is named as this window's own device would be, so that it is preselected.
    if (builtIn != nullptr) builtIn->SetDeviceName(OwnDeviceName(instanceNumber));

    Win32MainDialog dialog(instanceNumber);
    if (selfTest) {
        const int number = instanceNumber;
        const auto scenario = selfTestCloseWhileBusy ? SelfTest::Scenario::CloseWhileBusy
                              : selfTestErrorBox     ? SelfTest::Scenario::ErrorBox
                              : selfTestGuard        ? SelfTest::Scenario::Guard
                              : selfTestNoDevice     ? SelfTest::Scenario::NoDevice
                                                     : SelfTest::Scenario::Update;
        dialog.SetShownCallback(
            [number, scenario](Win32MainDialog& shown) { SelfTest::Start(shown, number, scenario); });
    }
    dialog.DoModal();
    if (selfTest) selfTestPassed = SelfTest::Passed();
    return false;
}
