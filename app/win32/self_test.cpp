#include "app/win32/self_test.h"

#include "app/pel_updator_dlg.h"
#include "app/win32/about_dlg.h"
#include "app/win32/main_dialog.h"
#include "app/win32/wide_text.h"
#include "resources/dialog_templates.h"
#include "resources/string_table.h"
#include "app/win32/self_test_support.h"   // <windows.h>: after the headers that name IDOK

#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>
#undef MessageBox

namespace selftest {

State state;

void Line(const std::string& text)
{
    std::printf("selftest: %s\n", text.c_str());
    std::fflush(stdout);
}

void Check(const std::string& what, bool passed, const std::string& detail)
{
    if (passed) {
        Line("ok " + what);
    } else {
        ++state.failures;
        Line("FAIL " + what + (detail.empty() ? "" : " (" + detail + ")"));
    }
}

std::string WindowText(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return Narrow(text);
}

// A text as a static control holds it: lines end in CR LF.
std::string WithCrLf(const std::string& text)
{
    std::string out;
    for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

std::string ItemText(HWND dialog, int id)
{
    return WindowText(GetDlgItem(dialog, id));
}

bool Enabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

std::string SelectedListText(HWND dialog, int id)
{
    const LRESULT selection = SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0);
    if (selection < 0) return "(none)";
    wchar_t text[256] = {};
    if (SendDlgItemMessageW(dialog, id, CB_GETLBTEXTLEN, static_cast<WPARAM>(selection), 0) >= 256) return "(long)";
    SendDlgItemMessageW(dialog, id, CB_GETLBTEXT, static_cast<WPARAM>(selection), reinterpret_cast<LPARAM>(text));
    return Narrow(text);
}

// What a click does: the button's own mouse handling, then BN_CLICKED.
void Click(HWND dialog, int id)
{
    SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void Next(Step step)
{
    state.step = step;
    state.stepStarted = GetTickCount();
}

bool TimedOut(const char* waitingFor)
{
    if (GetTickCount() - state.stepStarted < kStepTimeoutMs) return false;
    Check(waitingFor, false, "timed out");
    return true;
}

void CheckMenu(HWND dialog)
{
    HMENU menu = GetSystemMenu(dialog, FALSE);
    const int count = menu != nullptr ? GetMenuItemCount(menu) : 0;
    wchar_t text[128] = {};
    if (count >= 2) GetMenuStringW(menu, static_cast<UINT>(count - 1), text, 128, MF_BYPOSITION);
    const bool separator =
        count >= 2 && (GetMenuState(menu, static_cast<UINT>(count - 2), MF_BYPOSITION) & MF_SEPARATOR) != 0;
    Check("system menu ends with a separator and the about item",
          count >= 2 && separator && GetMenuItemID(menu, count - 1) == IDM_ABOUTBOX &&
              Narrow(text) == LoadStringById(IDS_ABOUTBOX),
          Narrow(text));
}

// The middle of a rectangle in screen coordinates, for the caller's click.
void Place(const std::string& what, const RECT& rect)
{
    Line(what + " at " + std::to_string((rect.left + rect.right) / 2) + "," +
         std::to_string((rect.top + rect.bottom) / 2));
}

void PlaceOf(const std::string& what, HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    Place(what, rect);
}

// The system menu's button: the icon at the left end of the title bar.
void PlaceSystemMenu(HWND dialog)
{
    RECT window = {};
    GetWindowRect(dialog, &window);
    const int frameX = GetSystemMetrics(SM_CXDLGFRAME);
    const int frameY = GetSystemMetrics(SM_CYDLGFRAME);
    const int button = GetSystemMetrics(SM_CYCAPTION) - 1;
    const RECT icon = {window.left + frameX, window.top + frameY, window.left + frameX + button,
                       window.top + frameY + button};
    Place("System menu", icon);
}

// The message box captioned "Error" that the dialog owns, if one is open.
HWND ErrorBox(HWND dialog)
{
    HWND box = FindWindowW(L"#32770", Widen(LoadStringById(IDS_ERROR_CAPTION)).c_str());
    return box != nullptr && GetWindow(box, GW_OWNER) == dialog && IsWindowVisible(box) ? box : nullptr;
}

// The message of a message box: its one static text that is not empty.
std::string BoxText(HWND box)
{
    std::string text;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = {};
        GetClassNameW(child, className, 16);
        if (lstrcmpiW(className, L"static") == 0 && !WindowText(child).empty()) text = WindowText(child);
    }
    return text;
}

// The open popup menu, if any (the system's menu window class).
HWND OpenMenu()
{
    HWND menu = FindWindowW(L"#32768", nullptr);
    return menu != nullptr && IsWindowVisible(menu) ? menu : nullptr;
}

// Within the work area; where it was cut, the scroll bars bring the lowest
// control into view and back.
void CheckFits(HWND dialog)
{
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST), &monitor);
    RECT frame = {};
    GetWindowRect(dialog, &frame);
    const RECT& work = monitor.rcWork;
    const bool inside = frame.left >= work.left && frame.top >= work.top && frame.right <= work.right &&
                        frame.bottom <= work.bottom;
    RECT client = {};
    GetClientRect(dialog, &client);
    const auto placeOf = [dialog](int id) {
        RECT place = {};
        GetWindowRect(GetDlgItem(dialog, id), &place);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
        return place;
    };
    const bool whole = placeOf(IDC_NEXT_STEP).bottom <= client.bottom && placeOf(IDC_NEXT_STEP).right <= client.right;
    SendMessageW(dialog, WM_VSCROLL, SB_BOTTOM, 0);
    const bool reached = placeOf(IDC_NEXT_STEP).top >= 0 && placeOf(IDC_NEXT_STEP).bottom <= client.bottom;
    SendMessageW(dialog, WM_HSCROLL, SB_BOTTOM, 0);
    const bool right = placeOf(IDCANCEL).right <= client.right;
    SendMessageW(dialog, WM_VSCROLL, SB_TOP, 0);
    SendMessageW(dialog, WM_HSCROLL, SB_TOP, 0);
    const RECT first = placeOf(IDC_MIDI_IN);
    Check(std::string("the dialog fits the work area") + (whole ? "" : ", scrolling"),
          inside && reached && right && first.top >= 0 && first.left >= 0,
          std::to_string(frame.right - frame.left) + "x" + std::to_string(frame.bottom - frame.top) + " in " +
              std::to_string(work.right - work.left) + "x" + std::to_string(work.bottom - work.top));
}

void CheckRunning(HWND dialog)
{
    Check("Execute starts the update and disables the controls",
          !Enabled(dialog, IDOK) && !Enabled(dialog, IDC_MIDI_IN) && !Enabled(dialog, IDC_RESCAN) &&
              state.dialog->Logic().IsBusy());
    Check("the keyboard focus left the disabled Execute for the status line, not Exit",
          GetFocus() == GetDlgItem(dialog, IDC_STATUS));
}

void Finish(HWND dialog)
{
    // The focus on "Exit" brings it into view where the dialog scrolls.
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDCANCEL)), TRUE);
    PlaceOf("Exit", GetDlgItem(dialog, IDCANCEL));
    Line(state.failures == 0 ? "done, waiting for close" : "done with failures, waiting for close");
    Next(Step::WaitForClose);
}

}  // namespace selftest

namespace {

using namespace selftest;


void Tick(HWND dialog)
{
    const std::string completed = LoadStringById(IDS_COMPLETED);
    switch (state.step) {
    case Step::Start: {
        const std::string title = WindowText(dialog);
        Check("title \"" + title + "\"", title == ApplicationTitle(state.instanceNumber));
        CheckFits(dialog);
        if (state.scenario == SelfTest::Scenario::NoDevice) {
            const std::string status = ItemText(dialog, IDC_STATUS);
            Check("no device: status \"" + status + "\"",
                  status == LoadStringById(IDS_NO_DEVICE) + " " + LoadStringById(IDS_CONNECT_HINT));
            Click(dialog, IDOK);
            const std::string hint = LoadStringById(IDS_CANT_OPEN_OUT) + " " + LoadStringById(IDS_CONNECT_HINT);
            Check("Execute: the box says what to do", state.boxes.size() == 1 && state.boxes[0].text == hint,
                  state.boxes.empty() ? "no box" : state.boxes[0].text);
            state.boxes.clear();
            Finish(dialog);
            break;
        }
        const std::string in = SelectedListText(dialog, IDC_MIDI_IN);
        const std::string out = SelectedListText(dialog, IDC_MIDI_OUT);
        Check("virtual device preselected: in \"" + in + "\", out \"" + out + "\"",
              in.starts_with("ARKO Q9") && out.starts_with("ARKO Q9"));
        CheckMenu(dialog);
        if (state.scenario == SelfTest::Scenario::Guard) {
            AskKeys("Return");
            Next(Step::GuardWriting);
            break;
        }
        if (state.scenario == SelfTest::Scenario::Update) {
            // The Enter key reaches the default button: an update, and the dialog stays.
            Line("press Return");
            Next(Step::PressReturn);
            break;
        }
        Click(dialog, IDOK);
        CheckRunning(dialog);
        if (state.scenario == SelfTest::Scenario::ErrorBox) {
            Next(Step::ErrorBoxShown);
            break;
        }
        Finish(dialog);   // the caller closes the dialog while the worker waits
        break;
    }
    case Step::ErrorBoxShown: {
        HWND box = ErrorBox(dialog);
        if (box == nullptr) {
            if (TimedOut("the worker shows an error box")) Finish(dialog);
            break;
        }
        const std::string text = BoxText(box);
        Check("error box \"" + text + "\" owned by the dialog, which is disabled meanwhile",
              text == LoadStringById(IDS_UPDATE_MODE) + "\n" + LoadStringById(IDS_GUIDE_UPDATE_MODE) && GetWindow(box, GW_OWNER) == dialog &&
                  IsWindowEnabled(dialog) == FALSE);
        // The user-interface thread runs this very check: the box blocks the worker only.
        Check("the worker waits for the box", state.dialog->Logic().IsBusy());
        Line("press Return");
        Next(Step::ErrorBoxClosed);
        break;
    }
    case Step::ErrorBoxClosed:
        if (ErrorBox(dialog) != nullptr || state.dialog->Logic().IsBusy()) {
            if (TimedOut("Return closes the error box and the worker ends")) Finish(dialog);
            break;
        }
        Check("after the box: ready again", Enabled(dialog, IDOK) && Enabled(dialog, IDC_MIDI_IN) &&
                                                Enabled(dialog, IDC_RESCAN) && Enabled(dialog, IDC_VERSION_CHECK));
        Finish(dialog);
        break;
    case Step::PressReturn:
        if (!state.dialog->Logic().IsBusy()) {
            if (TimedOut("Return starts the update")) Finish(dialog);
            break;
        }
        Line("ok Return started the update");
        CheckRunning(dialog);
        Next(Step::Updating);
        break;
    case Step::Updating: {
        if (ItemText(dialog, IDC_STATUS) != completed || state.dialog->Logic().IsBusy()) {
            if (!state.boxes.empty() || TimedOut("update completes")) Finish(dialog);
            break;
        }
        const auto high = SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_GETRANGE, FALSE, 0);
        const auto pos = SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0);
        Check("status \"" + completed + "\", counter \"" + ItemText(dialog, IDC_COUNTER) + "\", progress " +
                  std::to_string(pos) + "/" + std::to_string(high),
              high > 0 && pos == high);
        Check("updated: Execute and Version Check disabled, lists and Rescan Device enabled",
              !Enabled(dialog, IDOK) && !Enabled(dialog, IDC_VERSION_CHECK) && Enabled(dialog, IDC_MIDI_IN) &&
                  Enabled(dialog, IDC_MIDI_OUT) && Enabled(dialog, IDC_RESCAN) && Enabled(dialog, IDCANCEL));
        Click(dialog, IDC_RESCAN);
        Check("Rescan Device enables Execute and Version Check",
              Enabled(dialog, IDOK) && Enabled(dialog, IDC_VERSION_CHECK));
        Click(dialog, IDC_VERSION_CHECK);
        Next(Step::VersionCheck);
        break;
    }
    case Step::VersionCheck:
        if (state.dialog->Logic().IsBusy() || state.boxes.empty()) {
            if (TimedOut("version check reports")) Finish(dialog);
            break;
        }
        Check("version check shows \"" + state.boxes.back().caption + "\"",
              state.boxes.size() == 1 && state.boxes.back().caption == "Version Information" &&
                  state.boxes.back().type == (MB_OK | MB_ICONINFORMATION),
              state.boxes.back().text);
        state.boxes.clear();
        Check("controls enabled again", Enabled(dialog, IDOK) && Enabled(dialog, IDC_RESCAN));
        PlaceSystemMenu(dialog);
        Next(Step::ClickSystemMenu);
        break;
    case Step::ClickSystemMenu: {
        HWND menu = OpenMenu();
        if (menu == nullptr) {
            if (TimedOut("a click opens the system menu")) Finish(dialog);
            break;
        }
        HMENU system = GetSystemMenu(dialog, FALSE);
        RECT item = {};
        const int last = GetMenuItemCount(system) - 1;
        if (last < 0 || !GetMenuItemRect(dialog, system, static_cast<UINT>(last), &item)) {
            Check("about item placed in the open system menu", false);
            Finish(dialog);
            break;
        }
        Line("ok system menu open");
        Place("About item", item);
        Next(Step::ClickAboutItem);
        break;
    }
    case Step::ClickAboutItem: {
        HWND about = CAboutDlg::Current();
        if (about == nullptr || !IsWindowVisible(about)) {
            if (TimedOut("the about item opens the about box")) Finish(dialog);
            break;
        }
        const LONG_PTR style = GetWindowLongPtrW(GetDlgItem(about, IDC_ABOUT_TITLE), GWL_STYLE);
        Check("about box \"" + WindowText(about) + "\" shows \"" + ItemText(about, IDC_ABOUT_TITLE) + "\", read-only",
              WindowText(about) == "About ARKO Q9 Updater" && ItemText(about, IDC_ABOUT_TITLE) == ApplicationTitle(1) &&
                  (style & ES_READONLY) != 0);
        Check("main dialog disabled under the about box", IsWindowEnabled(dialog) == FALSE);
        PlaceOf("About OK", GetDlgItem(about, IDOK));
        Next(Step::ClickAboutOk);
        break;
    }
    case Step::ClickAboutOk:
        if (CAboutDlg::Current() != nullptr) {
            if (TimedOut("a click on OK closes the about box")) Finish(dialog);
            break;
        }
        Check("about box closed, main dialog enabled again", IsWindowEnabled(dialog) != FALSE);
        Finish(dialog);
        break;
    case Step::WaitForClose:
        if (GetTickCount() - state.stepStarted >= kStepTimeoutMs) {
            Check("closed from outside", false, "nobody closed the window; closing it");
            state.closedByItself = true;
            Next(Step::Finished);
            Click(dialog, IDCANCEL);
        }
        break;
    case Step::Finished:
        break;
    default:
        GuardTick(dialog);
        break;
    }
    for (const Box& box : state.boxes) Check("no error box", false, box.caption + ": " + box.text);
    state.boxes.clear();
}

void CALLBACK OnTimer(HWND dialog, UINT, UINT_PTR, DWORD)
{
    if (state.dialog == nullptr || state.dialog->IsClosing()) return;
    Tick(dialog);
}

}  // namespace

void SelfTest::Start(Win32MainDialog& dialog, int instanceNumber, Scenario scenario)
{
    state = State{};
    state.dialog = &dialog;
    state.instanceNumber = instanceNumber;
    state.scenario = scenario;
    state.stepStarted = GetTickCount();
    // Boxes are answered here instead of shown (only the version report is
    // expected; once the dialog is closing, none reaches this far), except
    // in the scenario that shows a real one.
    if (scenario != Scenario::ErrorBox) {
        dialog.SetMessageBoxHook([](const std::string& text, const std::string& caption, unsigned type) {
            state.boxes.push_back({text, caption, type});
            return true;
        });
    }
    SetTimer(dialog.Handle(), kTimerId, kTickMs, OnTimer);
}

bool SelfTest::Passed()
{
    const bool finished = (state.step == Step::WaitForClose || state.step == Step::Finished) && !state.closedByItself;
    Line(state.failures == 0 && finished ? "passed" : "failed");
    return state.failures == 0 && finished;
}
