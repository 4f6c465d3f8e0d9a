#include "app/win32/self_test.h"

#include "app/pel_updator_dlg.h"
#include "app/win32/about_dlg.h"
#include "app/win32/main_dialog.h"
#include "app/win32/wide_text.h"
#include "resources/dialog_templates.h"
#include "resources/string_table.h"

#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>
#undef MessageBox

namespace {

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
} state;

void Line(const std::string& text)
{
    std::printf("selftest: %s\n", text.c_str());
    std::fflush(stdout);
}

void Check(const std::string& what, bool passed, const std::string& detail = {})
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

void CheckRunning(HWND dialog)
{
    Check("Execute starts the update and disables the controls",
          !Enabled(dialog, IDOK) && !Enabled(dialog, IDC_MIDI_IN) && !Enabled(dialog, IDC_RESCAN) &&
              state.dialog->Logic().IsBusy());
    Check("the keyboard focus left the disabled Execute for the status line, not Exit",
          GetFocus() == GetDlgItem(dialog, IDC_STATUS));
}

// --selftest=guard: asks the caller for keys ("key N Return Escape ...") or
// a click ("click N x,y"), numbered so that each is given once.
void AskKeys(const std::string& keys)
{
    Line("key " + std::to_string(++state.keyRequests) + " " + keys);
}

void AskClick(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    Line("click " + std::to_string(++state.keyRequests) + " " + std::to_string((rect.left + rect.right) / 2) + "," +
         std::to_string((rect.top + rect.bottom) / 2));
}

// The question box the dialog has open, if any.
HWND QuestionBox(HWND dialog)
{
    struct Search {
        HWND dialog;
        HWND box;
    } search = {dialog, nullptr};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (window == s->dialog || !IsWindowVisible(window) || GetWindow(window, GW_OWNER) != s->dialog) return TRUE;
            if (GetDlgItem(window, IDOK) == nullptr || GetDlgItem(window, IDCANCEL) == nullptr) return TRUE;
            s->box = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.box;
}

bool Writing(HWND dialog)
{
    return ItemText(dialog, IDC_STATUS).starts_with("Data transmit") && state.dialog->Logic().IsBusy();
}

// The close request of this round: Escape from the caller, or the close box's command.
void RequestClose(HWND dialog)
{
    if (state.byEscape) {
        AskKeys("Escape");
    } else {
        PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    Next(Step::GuardQuestion);
}

void Finish(HWND dialog);

// Return five times with the focus on "Exit"; Escape and the close box
// answered Continue while the update completes; then a version check and
// Return; then Escape and the close box answered Stop, each in an update.
void GuardTick(HWND dialog)
{
    const std::string round = std::string(state.byEscape ? "Escape" : "the close box") +
                              (state.stopRound ? ", Stop" : ", Continue");
    switch (state.step) {
    case Step::GuardWriting:
        if (!Writing(dialog)) {
            if (TimedOut("Return starts the update")) Finish(dialog);
            break;
        }
        CheckRunning(dialog);
        // The focus where a stray Tab puts it: on "Exit".
        SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDCANCEL)), TRUE);
        state.returnKeysBefore = state.dialog->ReturnKeys();
        AskKeys("Return Return Return Return Return");
        Next(Step::GuardReturns);
        break;
    case Step::GuardReturns:
        if (state.dialog->ReturnKeys() < state.returnKeysBefore + 5) {
            if (TimedOut("five Return keys reach the dialog")) Finish(dialog);
            break;
        }
        Check("five Return keys with the focus on Exit: the update goes on, the dialog stays",
              state.dialog->Logic().IsBusy() && IsWindowVisible(dialog) && QuestionBox(dialog) == nullptr);
        RequestClose(dialog);
        break;
    case Step::GuardQuestion: {
        HWND box = QuestionBox(dialog);
        if (box == nullptr) {
            if (TimedOut("the question before stopping")) Finish(dialog);
            break;
        }
        Check(round + ": the question \"" + BoxText(box) + "\" [" + ItemText(box, IDOK) + "] [" +
                  ItemText(box, IDCANCEL) + "]",
              BoxText(box) == LoadStringById(IDS_STOP_QUESTION) && ItemText(box, IDOK) == LoadStringById(IDS_STOP) &&
                  ItemText(box, IDCANCEL) == LoadStringById(IDS_CONTINUE) && state.dialog->Logic().IsBusy());
        if (state.stopRound) {
            AskClick(GetDlgItem(box, IDOK));
        } else {
            AskKeys(state.byEscape ? "Return" : "Escape");   // the default, then the box's own Escape
        }
        Next(state.stopRound ? Step::GuardStopped : Step::GuardContinued);
        break;
    }
    case Step::GuardContinued:
        if (QuestionBox(dialog) != nullptr) {
            if (TimedOut("Continue closes the question")) Finish(dialog);
            break;
        }
        Check(round + ": the update goes on", IsWindowVisible(dialog) && !state.dialog->IsClosing());
        if (state.byEscape) {
            state.byEscape = false;
            RequestClose(dialog);
        } else {
            Next(Step::GuardCompleted);
        }
        break;
    case Step::GuardCompleted:
        if (state.dialog->Logic().IsBusy()) {
            if (TimedOut("the update completes")) Finish(dialog);
            break;
        }
        Check("status \"" + ItemText(dialog, IDC_STATUS) + "\"", ItemText(dialog, IDC_STATUS) == LoadStringById(IDS_COMPLETED));
        state.dialog->Logic().OnVerify();
        Next(Step::GuardVerified);
        break;
    case Step::GuardVerified: {
        if (state.dialog->Logic().IsBusy()) {
            if (TimedOut("the verify ends")) Finish(dialog);
            break;
        }
        const CPelUpdatorDlg::VerifyResult verify = state.dialog->Logic().LastVerify();
        Check("the device holds exactly the carried firmware (" + std::to_string(verify.blocks) + " blocks compared)",
              verify.completed && verify.differingBlocks == 0);
        state.boxes.clear();
        Click(dialog, IDC_RESCAN);
        Click(dialog, IDC_VERSION_CHECK);
        Next(Step::GuardVersionCheck);
        break;
    }
    case Step::GuardVersionCheck:
        if (state.dialog->Logic().IsBusy() || state.boxes.empty()) {
            if (TimedOut("the version check reports")) Finish(dialog);
            break;
        }
        state.boxes.clear();
        state.byEscape = true;
        state.stopRound = true;
        AskKeys("Return");   // after the version check: an update, not the end of the dialog
        Next(Step::GuardStopWriting);
        break;
    case Step::GuardStopWriting:
        if (!Writing(dialog)) {
            if (TimedOut("Return starts an update")) Finish(dialog);
            break;
        }
        Check("Return starts an update; the dialog stays", IsWindowVisible(dialog) != FALSE);
        RequestClose(dialog);
        break;
    case Step::GuardStopped: {
        if (QuestionBox(dialog) != nullptr || state.dialog->Logic().IsBusy()) {
            if (TimedOut("Stop ends the update")) Finish(dialog);
            break;
        }
        const std::string status = ItemText(dialog, IDC_STATUS);
        Check(round + ": the update ends, the dialog stays, status \"" + status + "\"",
              IsWindowVisible(dialog) && status == LoadStringById(IDS_RUN_UPDATE_AGAIN) && Enabled(dialog, IDOK));
        if (state.byEscape) {
            state.byEscape = false;
            AskKeys("Return");
            Next(Step::GuardStopWriting);
        } else {
            Finish(dialog);
        }
        break;
    }
    default:
        break;
    }
}

// Where "Exit" is; from here on the caller closes the dialog.
void Finish(HWND dialog)
{
    PlaceOf("Exit", GetDlgItem(dialog, IDCANCEL));
    Line(state.failures == 0 ? "done, waiting for close" : "done with failures, waiting for close");
    Next(Step::WaitForClose);
}

void Tick(HWND dialog)
{
    const std::string completed = LoadStringById(IDS_COMPLETED);
    switch (state.step) {
    case Step::Start: {
        const std::string title = WindowText(dialog);
        Check("title \"" + title + "\"", title == ApplicationTitle(state.instanceNumber));
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
