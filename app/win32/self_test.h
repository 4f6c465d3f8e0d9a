// --selftest: the program drives its own dialog through the window messages
// a user's clicks produce (BM_CLICK on the buttons, WM_SYSCOMMAND from the
// system menu) and checks what the window shows: the title, the preselected
// ports, a whole update against the virtual ARKO Q9, the about box, "Rescan
// Device".  It leaves the dialog open for the caller to close (a key or a
// click), or closes it itself after a minute.  Lines go to stdout.
#pragma once

#include <memory>

class Win32MainDialog;

class SelfTest {
public:
    // Starts on the dialog once it is shown.
    static void Start(Win32MainDialog& dialog, int instanceNumber);
    // All checks passed and none is pending.
    static bool Passed();
};
