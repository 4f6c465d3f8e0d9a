// The self-test's shared parts: its steps, its state and the helpers its
// scenarios use (user-interface thread only).
#pragma once

#include "app/win32/self_test.h"

#include <string>
#include <vector>

#include <windows.h>
#undef MessageBox

class Win32MainDialog;

namespace selftest {

constexpr UINT_PTR kTimerId = 0x5154;
constexpr UINT kTickMs = 20;
constexpr DWORD kStepTimeoutMs = 60000;   // generous: a loaded machine under Wine

// The program's own clicks first; then the caller's: the system menu, its
// about item, the about box's OK and "Exit", each at the place printed.
enum class Step {
    Start, PressReturn, Updating, VersionCheck, ErrorBoxShown, ErrorBoxClosed,
    ClickSystemMenu, ClickAboutItem, ClickAboutOk, WaitForClose, Finished,
    // --selftest=guard
    GuardWriting, GuardReturns, GuardQuestion, GuardContinued, GuardCompleted, GuardVerified, GuardVersionCheck,
    GuardStopWriting, GuardStopQuestion, GuardStopped
};

struct Box {
    std::string text;
    std::string caption;
    unsigned type;
};

// User-interface thread only.
struct State {
    Win32MainDialog* dialog = nullptr;
    int instanceNumber = 0;
    SelfTest::Scenario scenario = SelfTest::Scenario::Update;
    Step step = Step::Start;
    DWORD stepStarted = 0;
    int failures = 0;
    bool closedByItself = false;
    std::vector<Box> boxes;
    int keyRequests = 0;      // --selftest=guard: the caller's keys and clicks asked for so far
    int returnKeysBefore = 0;
    bool byEscape = true;     // the close request of the current guard round: Escape, else the close box
    bool stopRound = false;   // ... answered Stop, else Continue
};

extern State state;

void Line(const std::string& text);
void Check(const std::string& what, bool passed, const std::string& detail = {});
std::string WindowText(HWND window);
std::string WithCrLf(const std::string& text);
std::string ItemText(HWND dialog, int id);
bool Enabled(HWND dialog, int id);
void Click(HWND dialog, int id);
void Next(Step step);
bool TimedOut(const char* waitingFor);
std::string BoxText(HWND box);
void CheckRunning(HWND dialog);
// Where "Exit" is; from here on the caller closes the dialog.
void Finish(HWND dialog);
// Asks the caller for keys ("key N Return Escape ...").
void AskKeys(const std::string& keys);
// --selftest=guard, one tick.
void GuardTick(HWND dialog);

}  // namespace selftest
