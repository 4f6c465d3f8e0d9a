#include "app/win32/about_dlg.h"

#include "app/pel_updator_dlg.h"
#include "app/win32/wide_text.h"
#include "resources/dialog_templates.h"

#include <atomic>

#include <windows.h>
#undef MessageBox

namespace {

constexpr int kAboutTemplate = IDD_ABOUTBOX;
constexpr int kTitleField = IDC_ABOUT_TITLE;

std::atomic<HWND> current{nullptr};

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        current = window;
        // The plain title: the about box names the program, not this instance.
        SetDlgItemTextW(window, kTitleField, Widen(ApplicationTitle(1)).c_str());
        return TRUE;   // the focus goes to the first tab stop
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(window, LOWORD(wParam));
            return TRUE;
        }
        break;
    case WM_DESTROY:
        current = nullptr;
        break;
    default:
        break;
    }
    return FALSE;
}

}  // namespace

int CAboutDlg::DoModal(HWND__* owner)
{
    return static_cast<int>(
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kAboutTemplate), owner, AboutProc, 0));
}

HWND__* CAboutDlg::Current()
{
    return current.load();
}
