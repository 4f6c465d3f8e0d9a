// The about box: dialog template 100 with the program's icon and its plain
// title (no instance number), opened from the main dialog's system menu.
#pragma once

struct HWND__;

class CAboutDlg {
public:
    // The modal loop, the owner disabled meanwhile; "OK", Enter, Escape and
    // the close box end it.
    int DoModal(HWND__* owner);
    // The open box, or null: the self-test looks at it.
    static HWND__* Current();
};
