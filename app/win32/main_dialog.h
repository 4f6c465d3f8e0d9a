// The updater's native Windows window: dialog template 103 run by
// DialogBoxParamW, the DialogWindow through which the dialog's logic
// (CPelUpdatorDlg) reaches its controls, and the message handlers that
// lead to that logic.
//
// Threads: every call of the DialogWindow may come from a worker.  Calls
// from another thread are queued and the window is woken with a posted
// message; they never wait for the user-interface thread.  MessageBox alone
// blocks its worker until the user has closed the box, while the window
// keeps processing messages.  Once the window is closing, MessageBox returns
// at once and queued calls are dropped.  The list contents and selections
// are mirrored under a lock so that any thread can read them without
// sending a message to the user-interface thread.
//
// windows.h stays out of this header: its macros (MessageBox, IDOK, ...)
// clash with the names of the toolkit-free interface.
#pragma once

#include "app/win32/dialog_scroll.h"
#include "app/win32/taskbar_progress.h"
#include "app/dialog_window.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CPelUpdatorDlg;
struct HWND__;

// The system menu's about item.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;

// Sees every message box before it is shown: true means it has answered the
// box and the box is not shown.  The self-test uses it.
using Win32MessageBoxHook = std::function<bool(const std::string& text, const std::string& caption, unsigned type)>;

class Win32MainDialog final : public DialogWindow {
public:
    // Constructed on the thread that then runs DoModal.
    explicit Win32MainDialog(int instanceNumber);
    Win32MainDialog(const Win32MainDialog&) = delete;
    Win32MainDialog& operator=(const Win32MainDialog&) = delete;
    // Stops everything that could still reach the window, then destroys the
    // logic, which waits for its worker: nothing outlives the window.
    ~Win32MainDialog() override;

    // The modal loop on template 103; returns when the dialog has closed
    // (IDCANCEL), or -1 when the window could not be created.
    std::intptr_t DoModal();

    CPelUpdatorDlg& Logic() { return *logic; }
    HWND__* Handle() const { return hwnd.load(); }
    bool IsClosing() const { return closing.load(); }
    void SetMessageBoxHook(Win32MessageBoxHook hook) { boxHook = std::move(hook); }
    // Runs on the user-interface thread once the dialog is initialised.
    void SetShownCallback(std::function<void(Win32MainDialog&)> call) { shown = std::move(call); }

    // DialogWindow.
    void SetWindowTitle(const std::string& title) override;
    void SetControlText(int id, const std::string& text) override;
    void EnableControl(int id, bool enable) override;
    void ResetList(int id) override;
    void AddListItem(int id, const std::string& text) override;
    void SetListSelection(int id, int index) override;
    int GetListSelection(int id) override;
    int GetListCount(int id) override;
    std::string GetListItemText(int id, int index) override;
    void SetProgressRange(int id, std::int32_t low, std::int32_t high) override;
    void SetProgressPos(int id, std::int32_t pos) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    void PostToUiThread(std::function<void()> call) override;
    // A message box whose OK and Cancel buttons carry the two texts (Cancel the default).
    int AskQuestion(const std::string& text, const std::string& caption, const std::string& first,
                    const std::string& second) override;
    void DismissQuestion() override;
    bool PortsPickedByHand() const override { return true; }
    void FocusControl(int id) override;
    void ShowUpdateProgress(const UpdateProgressView& view) override;

    // The Return key, wherever the focus is: "Execute" while it is enabled,
    // else nothing (a focused button does not take it for itself).
    void OnReturnKey();
    // Return keys the window has seen (the self-test counts them).
    int ReturnKeys() const { return returnKeys.load(); }

    // The dialog procedure's work, on the user-interface thread.
    std::intptr_t HandleMessage(HWND__* window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

private:
    struct ListMirror {
        std::vector<std::string> items;
        int selection = -1;
    };

    bool OnInitDialog();
    void OnCommand(int id, int code);
    void OnAbout();
    void Close();

    bool OnUiThread() const;
    // Runs the call now on the user-interface thread, else queues it there
    // (dropped if the window is closing by then).
    void OnUi(std::function<void()> call);
    void Queue(std::function<void()> call);
    void RunQueuedCalls();
    // The status line: the dialog's text, then the whole update's progress.
    void ShowStatusLine();
    int ShowBox(const std::string& text, const std::string& caption, unsigned type);
    // Boxes return, queued calls go, the logic stops its timer, closes the
    // ports and wakes a waiting worker with the closing status.
    void BeginClosing();

    std::atomic<HWND__*> hwnd{nullptr};
    unsigned long uiThread;
    Win32MessageBoxHook boxHook;
    std::function<void(Win32MainDialog&)> shown;

    std::atomic<bool> closing{false};
    bool asking = false;                      // the question before closing is open
    std::string statusText;                   // user-interface thread: the status line's own text
    std::string overallText;                  // ... and the whole update's progress beside it
    TaskbarProgress taskbar;                  // user-interface thread
    DialogScroll scroll;                      // user-interface thread
    std::atomic<int> returnKeys{0};
    std::mutex queueMutex;                    // guards `queue` and `closing` changes
    std::deque<std::function<void()>> queue;
    std::condition_variable boxDone;          // with queueMutex: a worker's box was closed

    mutable std::mutex listMutex;
    std::map<int, ListMirror> lists;

    // Last, so that it goes first: its worker may call the window until it ends.
    std::unique_ptr<CPelUpdatorDlg> logic;
};
