#include "cli/cli_window.h"

void CliWindow::SetWindowTitle(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    title = text;
}

void CliWindow::SetControlText(int id, const std::string& text)
{
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::string& current = texts[id];
        changed = current != text;
        current = text;
    }
    // The counter starts a new row even when it shows the same text again.
    if (id == IDC_COUNTER) {
        Record({Change::Counter, Clock::now(), text, {}, 0, 0, {}}, true);
    } else if (id == IDC_STATUS && changed) {
        Record({Change::Status, Clock::now(), text, {}, 0, 0, {}}, false);
    }
}

void CliWindow::EnableControl(int id, bool enable)
{
    std::lock_guard<std::mutex> lock(mutex);
    enabled[id] = enable;
}

void CliWindow::ResetList(int id)
{
    std::lock_guard<std::mutex> lock(mutex);
    lists[id] = List{};
}

void CliWindow::AddListItem(int id, const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    lists[id].items.push_back(text);
}

void CliWindow::SetListSelection(int id, int index)
{
    std::lock_guard<std::mutex> lock(mutex);
    List& list = lists[id];
    // Like a combo box: an index outside the list clears the selection.
    list.selection = (index >= 0 && static_cast<std::size_t>(index) < list.items.size()) ? index : -1;
}

int CliWindow::GetListSelection(int id)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = lists.find(id);
    return it == lists.end() ? -1 : it->second.selection;
}

int CliWindow::GetListCount(int id)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = lists.find(id);
    return it == lists.end() ? 0 : static_cast<int>(it->second.items.size());
}

std::string CliWindow::GetListItemText(int id, int index)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = lists.find(id);
    if (it == lists.end() || index < 0 || static_cast<std::size_t>(index) >= it->second.items.size()) return {};
    return it->second.items[static_cast<std::size_t>(index)];
}

void CliWindow::SetProgressRange(int id, std::int32_t low, std::int32_t high)
{
    if (id != IDC_PROGRESS) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        progressLow = low;
        progressHigh = high;
    }
    Record({Change::ProgressRange, Clock::now(), {}, {}, 0, high, {}}, false);
}

void CliWindow::SetProgressPos(int id, std::int32_t pos)
{
    if (id != IDC_PROGRESS) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        progressPos = pos;
    }
    Record({Change::ProgressPos, Clock::now(), {}, {}, 0, pos, {}}, false);
}

void CliWindow::ShowUpdateProgress(const UpdateProgressView& view)
{
    Event event{Change::Overall, Clock::now(), {}, {}, 0, 0, view};
    Record(std::move(event), false);
}

int CliWindow::MessageBox(const std::string& text, const std::string& caption, unsigned type)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed) return IDOK;
        boxes.push_back({text, caption, type});
    }
    Record({Change::Box, Clock::now(), text, caption, type, 0, {}}, true);
    return IDOK;
}

void CliWindow::PostToUiThread(std::function<void()> call)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed || !call) return;
        posted.push_back(std::move(call));
        woken = true;
    }
    wakeup.notify_all();
}

void CliWindow::Record(Event event, bool wake)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed) return;
        events.push_back(std::move(event));
        if (wake) woken = true;
    }
    if (wake) wakeup.notify_all();
}

std::vector<CliWindow::Event> CliWindow::Pump(std::chrono::milliseconds wait)
{
    RunPosted(wait);
    return TakeEvents();
}

void CliWindow::RunPosted(std::chrono::milliseconds wait)
{
    std::deque<std::function<void()>> calls;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!woken && posted.empty() && wait.count() > 0) {
            wakeup.wait_for(lock, wait, [this] { return woken || !posted.empty(); });
        }
        woken = false;
        calls.swap(posted);
    }
    // Outside the lock: a handler calls back into the window.
    for (auto& call : calls) {
        bool drop = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            drop = closed;
        }
        if (!drop) call();
    }
}

std::vector<CliWindow::Event> CliWindow::TakeEvents()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Event> out;
    out.swap(events);
    return out;
}

bool CliWindow::HasPosted() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return !posted.empty();
}

void CliWindow::Wake()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        woken = true;
    }
    wakeup.notify_all();
}

void CliWindow::Close()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        posted.clear();
        woken = true;
    }
    wakeup.notify_all();
}

std::string CliWindow::Title() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return title;
}

std::string CliWindow::ControlText(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = texts.find(id);
    return it == texts.end() ? std::string() : it->second;
}

bool CliWindow::IsEnabled(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = enabled.find(id);
    return it == enabled.end() || it->second;
}

std::vector<std::string> CliWindow::ListItems(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = lists.find(id);
    return it == lists.end() ? std::vector<std::string>() : it->second.items;
}

std::int32_t CliWindow::ProgressHigh() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return progressHigh;
}

std::int32_t CliWindow::ProgressPos() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return progressPos;
}

std::vector<CliWindow::Box> CliWindow::Boxes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return boxes;
}
