#include "tests/support/recording_window.h"

#include <algorithm>
#include <chrono>

void RecordingWindow::Record(Call call)
{
    calls.push_back(std::move(call));
    changed.notify_all();
}

void RecordingWindow::SetWindowTitle(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    title = text;
    Record({"SetWindowTitle", 0, 0, text});
}

void RecordingWindow::SetControlText(int id, const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    texts[id] = text;
    textHistory[id].push_back(text);
    Record({"SetControlText", id, 0, text});
}

void RecordingWindow::EnableControl(int id, bool enable)
{
    std::lock_guard<std::mutex> lock(mutex);
    enabled[id] = enable;
    Record({"EnableControl", id, enable ? 1 : 0, {}});
}

void RecordingWindow::ResetList(int id)
{
    std::lock_guard<std::mutex> lock(mutex);
    lists[id].clear();
    selections[id] = -1;
    Record({"ResetList", id, 0, {}});
}

void RecordingWindow::AddListItem(int id, const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    lists[id].push_back(text);
    Record({"AddListItem", id, 0, text});
}

void RecordingWindow::SetListSelection(int id, int index)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto count = static_cast<int>(lists[id].size());
    selections[id] = (index >= 0 && index < count) ? index : -1;
    Record({"SetListSelection", id, index, {}});
}

int RecordingWindow::GetListSelection(int id)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = selections.find(id);
    return it == selections.end() ? -1 : it->second;
}

int RecordingWindow::GetListCount(int id)
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(lists[id].size());
}

std::string RecordingWindow::GetListItemText(int id, int index)
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::vector<std::string>& items = lists[id];
    if (index < 0 || index >= static_cast<int>(items.size())) return {};
    return items[static_cast<std::size_t>(index)];
}

void RecordingWindow::SetProgressRange(int id, std::int32_t low, std::int32_t high)
{
    std::lock_guard<std::mutex> lock(mutex);
    progressLow = low;
    progressHigh = high;
    Record({"SetProgressRange", id, high, {}});
}

void RecordingWindow::SetProgressPos(int id, std::int32_t pos)
{
    std::lock_guard<std::mutex> lock(mutex);
    progressPos = pos;
    Record({"SetProgressPos", id, pos, {}});
}

int RecordingWindow::MessageBox(const std::string& text, const std::string& caption, unsigned type)
{
    std::lock_guard<std::mutex> lock(mutex);
    boxes.push_back({text, caption, type});
    Record({"MessageBox", 0, type, text});
    return IDOK;
}

void RecordingWindow::PostToUiThread(std::function<void()> call)
{
    std::lock_guard<std::mutex> lock(mutex);
    Record({"PostToUiThread", 0, 0, {}});
    if (!closed) posted.push_back(std::move(call));
}

void RecordingWindow::DismissQuestion()
{
    std::lock_guard<std::mutex> lock(mutex);
    Record({"DismissQuestion", 0, 0, {}});
}

int RecordingWindow::RunPosted()
{
    int ran = 0;
    for (;;) {
        std::function<void()> call;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (posted.empty()) return ran;
            call = std::move(posted.front());
            posted.pop_front();
        }
        call();
        ++ran;
    }
}

std::size_t RecordingWindow::PostedCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return posted.size();
}

void RecordingWindow::Close()
{
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    posted.clear();
}

std::string RecordingWindow::Title() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return title;
}

std::string RecordingWindow::Text(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = texts.find(id);
    return it == texts.end() ? std::string() : it->second;
}

bool RecordingWindow::Enabled(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = enabled.find(id);
    return it == enabled.end() ? true : it->second;
}

std::vector<std::string> RecordingWindow::ListItems(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = lists.find(id);
    return it == lists.end() ? std::vector<std::string>() : it->second;
}

int RecordingWindow::ListSelection(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = selections.find(id);
    return it == selections.end() ? -1 : it->second;
}

std::int32_t RecordingWindow::ProgressLow() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return progressLow;
}

std::int32_t RecordingWindow::ProgressHigh() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return progressHigh;
}

std::int32_t RecordingWindow::ProgressPos() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return progressPos;
}

std::vector<std::string> RecordingWindow::TextHistory(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = textHistory.find(id);
    return it == textHistory.end() ? std::vector<std::string>() : it->second;
}

std::vector<RecordingWindow::Box> RecordingWindow::Boxes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return boxes;
}

std::vector<RecordingWindow::Call> RecordingWindow::Calls() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
}

std::size_t RecordingWindow::CallCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
}

void RecordingWindow::ClearCalls()
{
    std::lock_guard<std::mutex> lock(mutex);
    calls.clear();
    boxes.clear();
    textHistory.clear();
}

std::string RecordingWindow::ControlStates() const
{
    std::string states;
    for (int id : {IDC_MIDI_IN, IDC_MIDI_OUT, IDC_VERSION_CHECK, IDOK, IDC_RESCAN}) {
        if (!states.empty()) states += ' ';
        states += std::to_string(id) + ':' + (Enabled(id) ? '1' : '0');
    }
    return states;
}

bool RecordingWindow::WaitUntil(const std::function<bool()>& pred, std::uint32_t timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        lock.unlock();
        const bool done = pred();
        lock.lock();
        if (done) return true;
        // Wake on the next call, or now and then for predicates over other state.
        const auto wakeAt = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
        if (changed.wait_until(lock, wakeAt) == std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            return pred();
        }
    }
}
