// A DialogWindow for tests: records every call, keeps each control's text,
// enabled state, list items and selection, and the progress range and
// position readable by id, records message boxes (text, caption, type) and
// answers them with IDOK at once.  Calls posted to the user-interface thread
// wait in a queue until the test runs them with RunPosted() (on the test's
// own thread, which thus plays the user-interface thread).  Thread-safe:
// workers call in from their own threads while the test reads.
//
// Tests that must wait for a worker use WaitUntil() with a predicate over
// the window; it wakes on every recorded call and gives up after a bounded
// (generous) time, so a broken worker fails the test instead of hanging it.
#pragma once

#include "app/dialog_window.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class RecordingWindow final : public DialogWindow {
public:
    struct Box {
        std::string text;
        std::string caption;
        unsigned type;
    };
    // One recorded call: its name ("SetControlText", "EnableControl", ...),
    // the control id (0 where there is none), a number (enable flag,
    // selection, position, high end of a range) and a text.
    struct Call {
        std::string name;
        int id;
        std::int64_t value;
        std::string text;
    };

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
    void DismissQuestion() override;   // recorded as "DismissQuestion"
    bool PortsPickedByHand() const override { return portsPickedByHand; }
    bool portsPickedByHand = false;    // as a dialog's window when set

    // Runs the posted calls (also those they post in turn); how many ran.
    int RunPosted();
    std::size_t PostedCount() const;
    // After Close() posted calls are dropped, as a closed window drops them.
    void Close();

    // What the controls show now.  Controls are enabled until disabled.
    std::string Title() const;
    std::string Text(int id) const;
    bool Enabled(int id) const;
    std::vector<std::string> ListItems(int id) const;
    int ListSelection(int id) const;
    std::int32_t ProgressLow() const;
    std::int32_t ProgressHigh() const;
    std::int32_t ProgressPos() const;
    // Every text the control was given, in order.
    std::vector<std::string> TextHistory(int id) const;

    std::vector<Box> Boxes() const;
    std::vector<Call> Calls() const;
    std::size_t CallCount() const;
    void ClearCalls();

    // The five controls EnableControls switches, as "1000:1 1001:1 1007:1 1:1 1004:1".
    std::string ControlStates() const;

    // Waits until pred() holds (checked after every recorded call) or
    // timeoutMs passes; the final value of pred().
    bool WaitUntil(const std::function<bool()>& pred, std::uint32_t timeoutMs = 20000);

private:
    void Record(Call call);   // lock held by the caller

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::string title;
    std::map<int, std::string> texts;
    std::map<int, std::vector<std::string>> textHistory;
    std::map<int, bool> enabled;
    std::map<int, std::vector<std::string>> lists;
    std::map<int, int> selections;
    std::int32_t progressLow = 0;
    std::int32_t progressHigh = 100;
    std::int32_t progressPos = 0;
    std::vector<Box> boxes;
    std::vector<Call> calls;
    std::deque<std::function<void()>> posted;
    bool closed = false;
};
