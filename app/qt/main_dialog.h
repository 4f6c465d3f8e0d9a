// The updater's window: dialog template 103 as Qt widgets, the DialogWindow
// through which the dialog's logic (CPelUpdatorDlg) reaches its controls,
// and the message handlers that lead to that logic.
//
// Threads: every call of the DialogWindow may come from a worker.  Calls
// from another thread are queued to the user-interface thread and never
// wait for it; MessageBox alone blocks its worker until the user has closed
// the box, while the window keeps processing events.  Once the window is
// closing, MessageBox returns at once and queued calls are dropped.  The
// list contents and selections are mirrored under a lock so that any thread
// can read them without waiting for the user-interface thread.
#pragma once

#include "app/dialog_window.h"
#include "app/qt/template_dialog.h"

#include <QPointer>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CPelUpdatorDlg;
class QAction;
class QComboBox;
class QMessageBox;

// Sees every message box before it is shown.  It may inspect and answer the
// box; true means it has done so and the box is not shown.  Tests use it.
using MessageBoxHook = std::function<bool(QMessageBox& box)>;

// The box for a message-box type: the caption, the text, the icon (stop,
// question, exclamation, information) and an OK button.
void PrepareMessageBox(QMessageBox& box, const std::string& text, const std::string& caption, unsigned type);

class MainDialog final : public TemplateDialog, public DialogWindow {
    Q_OBJECT
public:
    explicit MainDialog(int instanceNumber, QWidget* parent = nullptr);
    // Closes the window if it is open, then destroys the logic, which waits
    // for its worker: nothing outlives the window.
    ~MainDialog() override;

    // The about item and the icon, then the logic's OnInitDialog (port
    // lists, reply timer, progress range, title).  Runs once.
    bool OnInitDialog();
    // OnInitDialog, then the modal loop; returns when the dialog has closed.
    int DoModal();

    CPelUpdatorDlg& Logic() { return *logic; }
    QAction* AboutAction() const { return aboutAction; }
    bool IsClosing() const { return closing.load(); }
    void SetMessageBoxHook(MessageBoxHook hook) { boxHook = std::move(hook); }

    // Handlers of the buttons and of the about item.
    void OnExecute();
    void OnVersionCheck();
    void OnRescanDevice();
    void OnAbout();

    // The IDOK command (the Enter key, or "Execute") starts an update and
    // never closes the dialog.
    void accept() override;
    // Every way of closing ("Exit", Escape, the close box) ends here; an
    // update that has begun to change the flash asks first (the logic's
    // OnCloseRequest) and the dialog stays open unless nothing runs.
    void done(int result) override;

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
    int AskQuestion(const std::string& text, const std::string& caption, const std::string& first,
                    const std::string& second) override;
    void DismissQuestion() override;
    bool PortsPickedByHand() const override { return true; }
    void FocusControl(int id) override;
    void ShowUpdateProgress(const UpdateProgressView& view) override;

protected:
    // Return and Enter mean "Execute" only, and nothing while it is disabled.
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct ListMirror {
        std::vector<std::string> items;
        int selection = -1;
    };

    bool OnUiThread() const;
    // Runs the call now on the user-interface thread, else queues it there
    // (dropped if the window is closing by then).
    void OnUi(std::function<void()> call);
    QComboBox* List(int id) const;
    // The status line: the dialog's text, then the whole update's progress.
    void ShowStatusLine();
    // Shows the box modally on the user-interface thread (or hands it to the hook).
    int ShowBox(const std::string& text, const std::string& caption, unsigned type);
    // Stops everything that could still reach the window: boxes, waiting workers, the logic.
    void BeginClosing();

    QAction* aboutAction = nullptr;
    MessageBoxHook boxHook;
    bool initialised = false;
    bool fillingList = false;   // the window itself changes a list: not the user's choice
    bool asking = false;        // the question before closing is open
    std::string statusText;     // user-interface thread: the status line's own text
    std::string overallText;    // ... and the whole update's progress beside it

    std::atomic<bool> closing{false};
    std::mutex boxMutex;                      // guards `closing` changes against waiting workers
    std::condition_variable boxDone;
    std::vector<QPointer<QDialog>> openBoxes; // user-interface thread only
    QPointer<QMessageBox> question;           // the open question; user-interface thread only

    mutable std::mutex listMutex;
    std::map<int, ListMirror> lists;

    // Last, so that it goes first: its worker may call the window until it ends.
    std::unique_ptr<CPelUpdatorDlg> logic;
};
