#include "app/win32/main_dialog.h"

#include "app/pel_updator_dlg.h"
#include "app/update_progress.h"
#include "app/win32/about_dlg.h"
#include "app/win32/wide_text.h"
#include "resources/dialog_templates.h"
#include "resources/string_table.h"

#include <algorithm>

#include <windows.h>
#include <commctrl.h>
#undef MessageBox

namespace {

// Wakes the user-interface thread to run the queued calls.
constexpr UINT kRunQueuedCalls = WM_APP + 2;
// A control took the keyboard focus (wParam): scrolled into view where the dialog scrolls.
constexpr UINT kRevealControl = WM_APP + 3;

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) SetWindowLongPtrW(window, DWLP_USER, lParam);
    auto* dialog = reinterpret_cast<Win32MainDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (dialog == nullptr) return FALSE;
    return dialog->HandleMessage(window, message, wParam, lParam);
}

// A window larger than the work area of its monitor (a small screen, a
// large scale) is cut to it and moved inside it, its title bar and "Exit"
// corner on screen.
void FitToWorkArea(HWND window)
{
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    RECT frame = {};
    if (!GetWindowRect(window, &frame) ||
        !GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
        return;
    }
    const RECT& work = monitor.rcWork;
    const LONG width = std::min(frame.right - frame.left, work.right - work.left);
    const LONG height = std::min(frame.bottom - frame.top, work.bottom - work.top);
    const LONG left = std::clamp(frame.left, work.left, work.right - width);
    const LONG top = std::clamp(frame.top, work.top, work.bottom - height);
    if (width == frame.right - frame.left && height == frame.bottom - frame.top && left == frame.left &&
        top == frame.top) {
        return;
    }
    SetWindowPos(window, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool IsList(int id)
{
    return id == IDC_MIDI_IN || id == IDC_MIDI_OUT;
}

bool IsReturn(const MSG* message)
{
    return message != nullptr && message->wParam == VK_RETURN &&
           (message->message == WM_KEYDOWN || message->message == WM_KEYUP || message->message == WM_CHAR);
}

// The push buttons take the Return key themselves instead of letting the
// dialog manager press the focused one (a disabled "Execute" hands the
// focus, and with it the default, to "Exit"): Return means "Execute" only.
LRESULT CALLBACK ButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data)
{
    auto* dialog = reinterpret_cast<Win32MainDialog*>(data);
    switch (message) {
    case WM_GETDLGCODE:
        if (IsReturn(reinterpret_cast<const MSG*>(lParam))) {
            return DefSubclassProc(button, message, wParam, lParam) | DLGC_WANTMESSAGE;
        }
        break;
    case WM_KEYDOWN:
        if (wParam == VK_RETURN) {
            dialog->OnReturnKey();
            return 0;
        }
        break;
    case WM_KEYUP:
    case WM_CHAR:
        if (wParam == VK_RETURN) return 0;
        break;
    case WM_SETFOCUS:
        SendMessageW(GetParent(button), kRevealControl, reinterpret_cast<WPARAM>(button), 0);
        break;
    default:
        break;
    }
    return DefSubclassProc(button, message, wParam, lParam);
}

constexpr UINT_PTR kButtonSubclass = 1;

// The texts of the question's two buttons, while it is being opened.
thread_local const std::wstring* questionButtons = nullptr;
thread_local HHOOK questionHook = nullptr;
// The question's box while it is open (the user-interface thread's own).
thread_local HWND questionBox = nullptr;

LRESULT CALLBACK QuestionHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE && questionButtons != nullptr) {
        const auto box = reinterpret_cast<HWND>(wParam);
        questionBox = box;
        SetDlgItemTextW(box, IDOK, questionButtons[0].c_str());
        SetDlgItemTextW(box, IDCANCEL, questionButtons[1].c_str());
        questionButtons = nullptr;
    }
    return CallNextHookEx(questionHook, code, wParam, lParam);
}

}  // namespace

Win32MainDialog::Win32MainDialog(int instanceNumber) : uiThread(GetCurrentThreadId())
{
    lists[IDC_MIDI_IN];
    lists[IDC_MIDI_OUT];
    logic = std::make_unique<CPelUpdatorDlg>(*this, instanceNumber);
}

Win32MainDialog::~Win32MainDialog()
{
    BeginClosing();
    logic.reset();   // waits for the worker, which no longer reaches the window
}

std::intptr_t Win32MainDialog::DoModal()
{
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PELUPDATOR_DIALOG), nullptr,
                           MainDialogProc, reinterpret_cast<LPARAM>(this));
}

std::intptr_t Win32MainDialog::HandleMessage(HWND__* window, unsigned message, std::uintptr_t wParam,
                                             std::intptr_t)
{
    switch (message) {
    case WM_INITDIALOG:
        hwnd = window;
        {
            RECT whole = {};
            GetClientRect(window, &whole);
            FitToWorkArea(window);
            scroll.Fit(window, whole.right, whole.bottom);
        }
        OnInitDialog();
        if (shown) shown(*this);
        return TRUE;   // the focus goes to the first tab stop
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            OnAbout();
            return TRUE;
        }
        return FALSE;   // the system's own handling of the other commands
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case kRunQueuedCalls:
        RunQueuedCalls();
        return TRUE;
    case kRevealControl:
        scroll.Reveal(window, reinterpret_cast<HWND>(wParam));
        return TRUE;
    case WM_VSCROLL:
    case WM_HSCROLL:
    case WM_MOUSEWHEEL:
        return scroll.Handle(window, message, wParam) ? TRUE : FALSE;
    case WM_DESTROY:
        for (int id : {IDOK, IDCANCEL, IDC_RESCAN, IDC_VERSION_CHECK}) {
            RemoveWindowSubclass(GetDlgItem(window, id), ButtonProc, kButtonSubclass);
        }
        BeginClosing();
        taskbar.Release();
        return FALSE;
    default:
        return FALSE;
    }
}

bool Win32MainDialog::OnInitDialog()
{
    HWND window = hwnd.load();
    // The about item at the end of the system menu, after a separator.
    const std::wstring item = Widen(LoadStringById(IDS_ABOUTBOX));
    if (HMENU menu = GetSystemMenu(window, FALSE); menu != nullptr && !item.empty()) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, item.c_str());
    }
    // The icon for the title bar, the task bar and the minimised window
    // (shared: the system frees it with the module).
    const auto icon = [](int width, int height) {
        return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                             width, height, LR_SHARED));
    };
    if (HICON big = icon(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)); big != nullptr) {
        SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    }
    if (HICON small = icon(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON)); small != nullptr) {
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    }
    // "Execute" and "Rescan Device" both carry the default button style; the
    // dialog manager would take the last one, so Enter would rescan.  Enter
    // means "Execute".
    SendMessageW(window, DM_SETDEFID, IDOK, 0);
    for (int id : {IDOK, IDCANCEL, IDC_RESCAN, IDC_VERSION_CHECK}) {
        SetWindowSubclass(GetDlgItem(window, id), ButtonProc, kButtonSubclass, reinterpret_cast<DWORD_PTR>(this));
    }
    return logic->OnInitDialog();
}

void Win32MainDialog::OnCommand(int id, int code)
{
    if ((IsList(id) && code == CBN_SETFOCUS) || (!IsList(id) && code == EN_SETFOCUS)) {
        scroll.Reveal(hwnd.load(), GetDlgItem(hwnd.load(), id));
    }
    if (IsList(id)) {
        // The user's choice (the window's own changes send no notification).
        if (code == CBN_SELCHANGE) {
            const int selection = static_cast<int>(SendDlgItemMessageW(hwnd.load(), id, CB_GETCURSEL, 0, 0));
            std::lock_guard lock(listMutex);
            lists[id].selection = selection;
        }
        return;
    }
    if (code != BN_CLICKED) return;
    if (id == IDCANCEL) {
        // "Exit", Escape, the close box and the system menu's close: at
        // once, unless an update that has begun to change the flash runs;
        // then the logic asks first.
        if (closing) return;
        if (asking) return;   // the question is open: it answers first
        asking = true;
        const bool close = logic->OnCloseRequest();
        asking = false;
        if (close) Close();
        return;
    }
    if (closing) return;
    switch (id) {
    case IDOK:   // "Execute" or the Enter key: starts an update, never closes
        logic->OnExecute();
        break;
    case IDC_RESCAN:
        logic->OnRescanDevice();
        break;
    case IDC_VERSION_CHECK:
        logic->OnVersionCheck();
        break;
    default:
        break;
    }
}

void Win32MainDialog::OnReturnKey()
{
    ++returnKeys;
    if (!closing) logic->OnReturnKey();
}

void Win32MainDialog::OnAbout()
{
    if (closing) return;
    CAboutDlg about;
    about.DoModal(hwnd.load());
}

void Win32MainDialog::Close()
{
    BeginClosing();
    EndDialog(hwnd.load(), IDCANCEL);
}

void Win32MainDialog::BeginClosing()
{
    {
        std::lock_guard lock(queueMutex);
        if (closing) return;
        closing = true;
        queue.clear();
    }
    boxDone.notify_all();   // a worker waiting for its box goes on at once
    if (logic) logic->OnDestroy();
}

bool Win32MainDialog::OnUiThread() const
{
    return GetCurrentThreadId() == uiThread;
}

void Win32MainDialog::OnUi(std::function<void()> call)
{
    if (OnUiThread()) {
        if (!closing) call();
        return;
    }
    Queue(std::move(call));
}

void Win32MainDialog::Queue(std::function<void()> call)
{
    {
        std::lock_guard lock(queueMutex);
        if (closing) return;
        queue.push_back(std::move(call));
    }
    // One wake-up per call; a wake-up that finds the queue empty does nothing.
    PostMessageW(hwnd.load(), kRunQueuedCalls, 0, 0);
}

void Win32MainDialog::RunQueuedCalls()
{
    for (;;) {
        std::function<void()> call;
        {
            std::lock_guard lock(queueMutex);
            if (closing || queue.empty()) return;
            call = std::move(queue.front());
            queue.pop_front();
        }
        call();
    }
}

void Win32MainDialog::SetWindowTitle(const std::string& title)
{
    OnUi([this, title] { SetWindowTextW(hwnd.load(), Widen(title).c_str()); });
}

void Win32MainDialog::SetControlText(int id, const std::string& text)
{
    OnUi([this, id, text] {
        if (id == IDC_STATUS) {
            statusText = text;
            ShowStatusLine();
            return;
        }
        std::string shown;   // a static text breaks its lines at CR LF
        for (const char c : text) {
            if (c == '\n' && (shown.empty() || shown.back() != '\r')) shown += '\r';
            shown += c;
        }
        SetDlgItemTextW(hwnd.load(), id, Widen(shown).c_str());
    });
}

void Win32MainDialog::ShowStatusLine()
{
    std::string line = statusText;
    if (!overallText.empty()) {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        line += (line.empty() ? "" : "   ") + overallText;
    }
    SetDlgItemTextW(hwnd.load(), IDC_STATUS, Widen(line).c_str());
}

void Win32MainDialog::ShowUpdateProgress(const UpdateProgressView& view)
{
    OnUi([this, view] {
        overallText = OverallProgressText(view);
        ShowStatusLine();
        taskbar.Show(hwnd.load(), view.percent);
    });
}

void Win32MainDialog::EnableControl(int id, bool enable)
{
    OnUi([this, id, enable] {
        HWND window = hwnd.load();
        HWND control = GetDlgItem(window, id);
        const bool hadFocus = !enable && control != nullptr && GetFocus() == control;
        EnableWindow(control, enable ? TRUE : FALSE);
        // A disabled control loses the keyboard, and with it the dialog
        // would no longer hear Escape or Tab: the next tab stop takes it.
        if (hadFocus) SendMessageW(window, WM_NEXTDLGCTL, 0, FALSE);
    });
}

void Win32MainDialog::ResetList(int id)
{
    if (!IsList(id)) return;
    {
        std::lock_guard lock(listMutex);
        lists[id] = ListMirror{};
    }
    OnUi([this, id] { SendDlgItemMessageW(hwnd.load(), id, CB_RESETCONTENT, 0, 0); });
}

void Win32MainDialog::AddListItem(int id, const std::string& text)
{
    if (!IsList(id)) return;
    {
        std::lock_guard lock(listMutex);
        lists[id].items.push_back(text);
    }
    OnUi([this, id, text] {
        const std::wstring wide = Widen(text);
        SendDlgItemMessageW(hwnd.load(), id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    });
}

void Win32MainDialog::SetListSelection(int id, int index)
{
    if (!IsList(id)) return;
    {
        std::lock_guard lock(listMutex);
        ListMirror& list = lists[id];
        if (index < 0 || index >= static_cast<int>(list.items.size())) index = -1;
        list.selection = index;
    }
    OnUi([this, id, index] { SendDlgItemMessageW(hwnd.load(), id, CB_SETCURSEL, static_cast<WPARAM>(index), 0); });
}

int Win32MainDialog::GetListSelection(int id)
{
    std::lock_guard lock(listMutex);
    const auto it = lists.find(id);
    return it == lists.end() ? -1 : it->second.selection;
}

int Win32MainDialog::GetListCount(int id)
{
    std::lock_guard lock(listMutex);
    const auto it = lists.find(id);
    return it == lists.end() ? -1 : static_cast<int>(it->second.items.size());
}

std::string Win32MainDialog::GetListItemText(int id, int index)
{
    std::lock_guard lock(listMutex);
    const auto it = lists.find(id);
    if (it == lists.end() || index < 0 || index >= static_cast<int>(it->second.items.size())) return {};
    return it->second.items[static_cast<std::size_t>(index)];
}

void Win32MainDialog::SetProgressRange(int id, std::int32_t low, std::int32_t high)
{
    OnUi([this, id, low, high] {
        SendDlgItemMessageW(hwnd.load(), id, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
    });
}

void Win32MainDialog::SetProgressPos(int id, std::int32_t pos)
{
    OnUi([this, id, pos] { SendDlgItemMessageW(hwnd.load(), id, PBM_SETPOS, static_cast<WPARAM>(pos), 0); });
}

int Win32MainDialog::ShowBox(const std::string& text, const std::string& caption, unsigned type)
{
    if (closing) return IDOK;
    if (boxHook && boxHook(text, caption, type)) return IDOK;
    MessageBoxW(hwnd.load(), Widen(text).c_str(), Widen(caption).c_str(), type);
    return IDOK;
}

int Win32MainDialog::MessageBox(const std::string& text, const std::string& caption, unsigned type)
{
    if (closing) return IDOK;
    if (OnUiThread()) return ShowBox(text, caption, type);

    // A worker's box: shown on the user-interface thread, owned by the
    // dialog; the worker waits until it has been closed, or until the
    // window closes (which drops the queued box).
    auto done = std::make_shared<bool>(false);   // guarded by queueMutex
    Queue([this, done, text, caption, type] {
        ShowBox(text, caption, type);
        {
            std::lock_guard lock(queueMutex);
            *done = true;
        }
        boxDone.notify_all();
    });
    std::unique_lock lock(queueMutex);
    boxDone.wait(lock, [&] { return *done || closing.load(); });
    return IDOK;
}

int Win32MainDialog::AskQuestion(const std::string& text, const std::string& caption, const std::string& first,
                                 const std::string& second)
{
    if (closing || !OnUiThread()) return IDCANCEL;
    const std::wstring buttons[2] = {Widen(first), Widen(second)};
    questionButtons = buttons;
    questionHook = SetWindowsHookExW(WH_CBT, QuestionHook, nullptr, GetCurrentThreadId());
    const int answer = MessageBoxW(hwnd.load(), Widen(text).c_str(), Widen(caption).c_str(),
                                   MB_OKCANCEL | MB_DEFBUTTON2 | MB_ICONEXCLAMATION);
    if (questionHook != nullptr) UnhookWindowsHookEx(questionHook);
    questionHook = nullptr;
    questionButtons = nullptr;
    questionBox = nullptr;
    return !closing && answer == IDOK ? IDOK : IDCANCEL;
}

void Win32MainDialog::DismissQuestion()
{
    // Runs inside the box's own message loop, which dispatches the queued call.
    OnUi([] {
        if (questionBox != nullptr) EndDialog(questionBox, IDCANCEL);
    });
}

void Win32MainDialog::FocusControl(int id)
{
    OnUi([this, id] {
        HWND window = hwnd.load();
        if (HWND control = GetDlgItem(window, id); control != nullptr) {
            SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
            SendMessageW(window, DM_SETDEFID, IDOK, 0);
        }
    });
}

void Win32MainDialog::PostToUiThread(std::function<void()> call)
{
    Queue(std::move(call));
}
