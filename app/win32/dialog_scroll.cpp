#include "app/win32/dialog_scroll.h"

#include <algorithm>

#include <windows.h>

namespace {

constexpr LONG kLine = 16;   // pixels per arrow click and per third of a wheel notch

RECT ClientOf(HWND window)
{
    RECT client = {};
    GetClientRect(window, &client);
    return client;
}

}  // namespace

void DialogScroll::Fit(HWND window, long width, long height)
{
    contentWidth = width;
    contentHeight = height;
    // A vertical bar narrows the client area, which may then need a horizontal one, and back.
    bool vertical = false;
    bool horizontal = false;
    for (int pass = 0; pass < 3; ++pass) {
        const RECT client = ClientOf(window);
        vertical = client.bottom < contentHeight;
        horizontal = client.right < contentWidth;
        ShowScrollBar(window, SB_VERT, vertical ? TRUE : FALSE);
        ShowScrollBar(window, SB_HORZ, horizontal ? TRUE : FALSE);
    }
    active = vertical || horizontal;
    if (active) SetBars(window);
}

void DialogScroll::SetBars(HWND window)
{
    const RECT client = ClientOf(window);
    SCROLLINFO info = {};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    info.nMax = contentHeight - 1;
    info.nPage = static_cast<UINT>(std::max<LONG>(client.bottom, 1));
    info.nPos = offsetY;
    SetScrollInfo(window, SB_VERT, &info, TRUE);
    info.nMax = contentWidth - 1;
    info.nPage = static_cast<UINT>(std::max<LONG>(client.right, 1));
    info.nPos = offsetX;
    SetScrollInfo(window, SB_HORZ, &info, TRUE);
}

void DialogScroll::ScrollTo(HWND window, long x, long y)
{
    const RECT client = ClientOf(window);
    x = std::clamp<long>(x, 0, std::max<long>(contentWidth - client.right, 0));
    y = std::clamp<long>(y, 0, std::max<long>(contentHeight - client.bottom, 0));
    if (x == offsetX && y == offsetY) return;
    // Every control moves, also those wholly out of view (which scrolling
    // the client area's pixels with its children would leave behind).
    const long dx = offsetX - x;
    const long dy = offsetY - y;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT place = {};
        GetWindowRect(child, &place);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&place), 2);
        SetWindowPos(child, nullptr, place.left + dx, place.top + dy, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    InvalidateRect(window, nullptr, TRUE);
    offsetX = x;
    offsetY = y;
    SetBars(window);
}

bool DialogScroll::Handle(HWND window, unsigned message, std::uintptr_t wParam)
{
    if (!active) return false;
    if (message == WM_MOUSEWHEEL) {
        const int notches = GET_WHEEL_DELTA_WPARAM(wParam) / WHEEL_DELTA;
        ScrollTo(window, offsetX, offsetY - notches * 3 * kLine);
        return true;
    }
    if (message != WM_VSCROLL && message != WM_HSCROLL) return false;
    const int bar = message == WM_VSCROLL ? SB_VERT : SB_HORZ;
    SCROLLINFO info = {};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    GetScrollInfo(window, bar, &info);
    LONG pos = info.nPos;
    switch (LOWORD(wParam)) {
    case SB_LINEUP: pos -= kLine; break;
    case SB_LINEDOWN: pos += kLine; break;
    case SB_PAGEUP: pos -= static_cast<LONG>(info.nPage); break;
    case SB_PAGEDOWN: pos += static_cast<LONG>(info.nPage); break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: pos = info.nTrackPos; break;
    case SB_TOP: pos = 0; break;
    case SB_BOTTOM: pos = info.nMax; break;
    default: return true;
    }
    if (bar == SB_VERT) {
        ScrollTo(window, offsetX, pos);
    } else {
        ScrollTo(window, pos, offsetY);
    }
    return true;
}

void DialogScroll::Reveal(HWND window, HWND control)
{
    if (!active || control == nullptr || GetParent(control) != window) return;
    RECT place = {};
    GetWindowRect(control, &place);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&place), 2);
    const RECT client = ClientOf(window);
    LONG x = offsetX;
    LONG y = offsetY;
    if (place.bottom > client.bottom) y += place.bottom - client.bottom;
    if (place.top < 0) y += place.top;
    if (place.right > client.right) x += place.right - client.right;
    if (place.left < 0) x += place.left;
    ScrollTo(window, x, y);
}
