// The taskbar button's progress (ITaskbarList3), on the user-interface
// thread.  Where the shell offers no taskbar list (older systems, Wine
// without one), every call does nothing.
#pragma once

struct HWND__;
struct ITaskbarList3;

class TaskbarProgress {
public:
    TaskbarProgress() = default;
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;
    ~TaskbarProgress() { Release(); }

    // 0..100 on the window's button; -1 takes the progress off it.
    void Show(HWND__* window, int percent);
    // Before the window goes, on the thread that called Show.
    void Release();

private:
    ITaskbarList3* list = nullptr;
    bool tried = false;
    bool comStarted = false;
};
