// A dialog cut to a work area smaller than itself (a small screen, a large
// scale) scrolls its controls, so that every one of them can be reached.
#pragma once

#include <cstdint>

struct HWND__;

class DialogScroll {
public:
    // After the window was cut: width and height of its whole client area.
    // Shows the scroll bars the cut client area needs (none when it is whole).
    void Fit(HWND__* window, long width, long height);
    // WM_VSCROLL, WM_HSCROLL and WM_MOUSEWHEEL; true when handled.
    bool Handle(HWND__* window, unsigned message, std::uintptr_t wParam);
    // Scrolls so that the control is in view (it took the keyboard focus).
    void Reveal(HWND__* window, HWND__* control);
    // The dialog scrolls (it was cut).
    bool Active() const { return active; }

private:
    void ScrollTo(HWND__* window, long x, long y);
    void SetBars(HWND__* window);

    long contentWidth = 0;
    long contentHeight = 0;
    long offsetX = 0;   // how far the controls are scrolled
    long offsetY = 0;
    bool active = false;
};
