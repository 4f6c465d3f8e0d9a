// --selftest=guard: the question before stopping an update, driven by the
// caller's keys and clicks.
#include "app/pel_updator_dlg.h"
#include "app/win32/main_dialog.h"
#include "app/win32/self_test_support.h"
#include "resources/string_table.h"

namespace selftest {

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
        Check("title during the update \"" + WindowText(dialog) + "\"",
              WindowText(dialog).find("% \xE2\x80\x94 ") != std::string::npos);
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
        } else if (state.byEscape) {
            AskKeys("Return");   // the default
        } else {
            // The close box's question is left open: it closes itself as the update completes.
            Next(Step::GuardCompleted);
            break;
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
        if (state.dialog->Logic().IsBusy() || QuestionBox(dialog) != nullptr) {
            if (TimedOut("the update completes and the question closes itself")) Finish(dialog);
            break;
        }
        Check("the question left open closed itself; status \"" + ItemText(dialog, IDC_STATUS) + "\", title \"" +
                  WindowText(dialog) + "\", then \"" + ItemText(dialog, IDC_NEXT_STEP) + "\"",
              ItemText(dialog, IDC_STATUS) == LoadStringById(IDS_COMPLETED) &&
                  WindowText(dialog) == ApplicationTitle(state.instanceNumber) &&
                  ItemText(dialog, IDC_NEXT_STEP) == WithCrLf(AfterUpdateText()));
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

}  // namespace selftest
