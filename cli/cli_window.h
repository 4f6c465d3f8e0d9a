// The dialog's window for a terminal program: it keeps every control's
// state by id, records what the dialog reports as a stream of events for the
// front end to show, answers every message box at once with IDOK (there is
// no one to click), and runs posted calls on the main thread when that
// thread pumps.
#pragma once

#include "app/dialog_window.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class CliWindow final : public DialogWindow {
public:
    using Clock = std::chrono::steady_clock;

    enum class Change { Counter, Status, ProgressRange, ProgressPos, Box, Overall };
    struct Event {
        Change kind;
        Clock::time_point when;
        std::string text;          // Counter, Status, Box: the text
        std::string caption;       // Box
        unsigned type = 0;         // Box
        std::int32_t value = 0;    // ProgressRange: high end; ProgressPos: position
        UpdateProgressView overall{};   // Overall: the whole update's progress
    };
    struct Box {
        std::string text;
        std::string caption;
        unsigned type = 0;
        bool IsError() const { return (type & 0xF0) == MB_ICONHAND; }
    };

    CliWindow() = default;
    CliWindow(const CliWindow&) = delete;
    CliWindow& operator=(const CliWindow&) = delete;

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
    void ShowUpdateProgress(const UpdateProgressView& view) override;

    // Main thread: runs the posted calls and hands over the events recorded
    // since the last pump.  Waits up to `wait` for a posted call, a message
    // box, a step-counter change or Wake() when there is nothing yet.
    std::vector<Event> Pump(std::chrono::milliseconds wait);
    // Pump in two halves: the waiting and the posted calls, and the events
    // (which any thread may take).
    void RunPosted(std::chrono::milliseconds wait);
    std::vector<Event> TakeEvents();
    bool HasPosted() const;
    void Wake();
    // The window is closing: from now on boxes are neither shown nor
    // recorded, and posted calls are dropped.
    void Close();

    // Control state, readable from any thread.
    std::string Title() const;
    std::string ControlText(int id) const;
    bool IsEnabled(int id) const;   // controls never touched count as enabled
    std::vector<std::string> ListItems(int id) const;
    std::int32_t ProgressHigh() const;
    std::int32_t ProgressPos() const;
    std::vector<Box> Boxes() const;

private:
    struct List {
        std::vector<std::string> items;
        int selection = -1;
    };
    void Record(Event event, bool wake);

    mutable std::mutex mutex;
    std::condition_variable wakeup;
    bool woken = false;
    bool closed = false;
    std::string title;
    std::map<int, std::string> texts;
    std::map<int, bool> enabled;
    std::map<int, List> lists;
    std::int32_t progressLow = 0;
    std::int32_t progressHigh = 100;
    std::int32_t progressPos = 0;
    std::vector<Box> boxes;
    std::vector<Event> events;
    std::deque<std::function<void()>> posted;
};
