// The one window interface through which the dialog's logic reaches its
// controls, by control id.  The Qt window, the command-line front end and
// the tests implement it.
//
// Every call may come from a worker thread.  Text, enabling, list and
// progress calls never block on the user-interface thread.  MessageBox
// blocks its caller until the user has closed the box; once the window is
// closing it returns at once without showing anything.  PostToUiThread runs
// the call later on the user-interface thread (dropped once the window has
// closed).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Control ids of dialog template 103.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_MIDI_IN = 1000;
inline constexpr int IDC_MIDI_OUT = 1001;
inline constexpr int IDC_PROGRESS = 1002;
inline constexpr int IDC_STATUS = 1003;
inline constexpr int IDC_RESCAN = 1004;
inline constexpr int IDC_COUNTER = 1006;
inline constexpr int IDC_VERSION_CHECK = 1007;
inline constexpr int IDC_NEXT_STEP = 1008;   // where the device stands and what to do next

// Message box types.
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_ICONHAND = 0x10;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_OKCANCEL = 0x01;
inline constexpr unsigned MB_DEFBUTTON2 = 0x100;

// The whole update's progress as the dialog shows it beside the row's bar.
struct UpdateProgressView {
    int percent = -1;       // 0..100; -1: no update runs
    int secondsLeft = -1;   // -1: not known yet
    int retries = 0;        // blocks read back or sent again
    bool operator==(const UpdateProgressView&) const = default;
};

class DialogWindow {
public:
    virtual ~DialogWindow() = default;

    virtual void SetWindowTitle(const std::string& title) = 0;
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual void EnableControl(int id, bool enable) = 0;

    // Lists (combo boxes): empty, append, select (-1: no selection), read.
    virtual void ResetList(int id) = 0;
    virtual void AddListItem(int id, const std::string& text) = 0;
    virtual void SetListSelection(int id, int index) = 0;
    virtual int GetListSelection(int id) = 0;
    virtual int GetListCount(int id) = 0;
    virtual std::string GetListItemText(int id, int index) = 0;

    virtual void SetProgressRange(int id, std::int32_t low, std::int32_t high) = 0;
    virtual void SetProgressPos(int id, std::int32_t pos) = 0;

    // A modal box owned by the dialog; returns the button pressed (IDOK).
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;

    virtual void PostToUiThread(std::function<void()> call) = 0;

    // A question owned by the dialog, on the user-interface thread, with two
    // buttons named by the caller: IDOK for the first, IDCANCEL for the
    // second, which is the default and the answer of Escape and of the
    // box's close box.  A window that cannot ask answers IDCANCEL.
    virtual int AskQuestion(const std::string& /*text*/, const std::string& /*caption*/,
                            const std::string& /*first*/, const std::string& /*second*/)
    {
        return IDCANCEL;
    }
    // Closes the question AskQuestion has open, if any, which then answers
    // IDCANCEL.  May be called from any thread; never waits.
    virtual void DismissQuestion() {}
    // The user picks the ports in this window's lists (a dialog, not a
    // command line): a list without a port of the window's own name is
    // then worth a note.
    virtual bool PortsPickedByHand() const { return false; }
    // The whole update's progress changed (percent -1 once it has ended):
    // the status line's companion text, and the taskbar where there is one.
    virtual void ShowUpdateProgress(const UpdateProgressView& /*view*/) {}
    // Gives the keyboard focus to a control (nothing where there is no focus).
    virtual void FocusControl(int /*id*/) {}
};
