// The Windows console: its window width, virtual-terminal processing for the
// live line (a console without it gets one line per row), and Ctrl-C through
// a console control handler, which the system runs on a thread of its own.
#include "platform/console.h"

#include <windows.h>

#include <atomic>
#include <csignal>

namespace platform {

namespace {

std::atomic<void (*)(int)> interruptHandler{nullptr};

BOOL WINAPI OnConsoleControl(DWORD event)
{
    void (*handler)(int) = interruptHandler.load();
    if (handler == nullptr) return FALSE;
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        handler(SIGINT);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        handler(SIGTERM);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

int ConsoleColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 0;
}

bool ConsoleHasEscapes()
{
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || out == nullptr || ::GetConsoleMode(out, &mode) == 0) return false;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    // Older consoles refuse the mode: they get one line per row.
    return ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void OnInterrupt(void (*handler)(int signal))
{
    interruptHandler.store(handler);
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

}  // namespace platform
