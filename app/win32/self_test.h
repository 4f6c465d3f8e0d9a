// --selftest: the program drives its own dialog through the window messages
// a user's clicks produce (BM_CLICK on its buttons) and checks what the
// window shows: the title, the preselected ports, the system menu, a whole
// update against the virtual ARKO Q9, "Rescan Device", the version check.
// Then the caller clicks, at the screen positions printed: the system
// menu's button, its about item, the about box's OK (each checked here as
// it happens) and "Exit".  Without such a caller the dialog closes itself
// after a minute and the test fails.  Lines go to stdout.
//
// --selftest=close-while-busy: "Execute", then the caller closes the
// dialog (the Escape key, or a click on "Exit") while the worker waits for
// a silent virtual device: the dialog closes at once and shows no box.
#pragma once

class Win32MainDialog;

class SelfTest {
public:
    enum class Scenario { Update, CloseWhileBusy };
    // Starts on the dialog once it is shown.
    static void Start(Win32MainDialog& dialog, int instanceNumber, Scenario scenario);
    // All checks passed and none is pending.
    static bool Passed();
};
