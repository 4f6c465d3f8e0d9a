// --selftest: checks the title, the preselected ports and the system menu,
// then asks the caller to press Return: the update starts (the dialog
// stays).  It checks the whole update against the virtual ARKO Q9, then
// drives "Rescan Device" and "Version Check" itself through the messages a
// user's clicks produce (BM_CLICK).  Then the caller clicks, at the screen
// positions printed: the system menu's button, its about item, the about
// box's OK (each checked here as it happens) and "Exit".  Without such a caller the dialog closes itself
// after a minute and the test fails.  Lines go to stdout.
//
// --selftest=close-while-busy: "Execute" (BM_CLICK), then the caller closes the
// dialog (the Escape key, or a click on "Exit") while the worker waits for
// a silent virtual device: the dialog closes at once and shows no box.
//
// --selftest=error-box: "Execute" against a device that is not in its
// update mode; the worker's error box is real: while it is open the worker
// waits and the dialog, disabled under it, keeps running (this check runs
// on its thread).  The caller presses Return to close it, then Escape.
//
// --selftest=guard: keys and clicks the caller gives when asked ("key N
// KEYS", "click N x,y"): Return starts an update, five Returns with the
// focus on "Exit" change nothing; Escape and then the close box (its
// command) during the update show the question, answered Continue the
// first time and left open the second: it closes itself as the update
// completes, which reads back exactly; after a version check Return
// starts an update; Escape and then the close box answered Stop end the
// update, the dialog stays and its status line says to run it again.
//
// --selftest=no-device (run without devices): the status line says so and
// what to do, and "Execute" gives the same hint.
#pragma once

class Win32MainDialog;

class SelfTest {
public:
    enum class Scenario { Update, CloseWhileBusy, ErrorBox, Guard, NoDevice };
    // Starts on the dialog once it is shown.
    static void Start(Win32MainDialog& dialog, int instanceNumber, Scenario scenario);
    // All checks passed and none is pending.
    static bool Passed();
};
