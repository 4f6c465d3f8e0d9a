#include "platform/event.h"

#include <chrono>

namespace platform {

void Event::Set()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        signalled = true;
    }
    cond.notify_one();
}

void Event::Reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    signalled = false;
}

bool Event::Wait(std::uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    // A look without waiting needs no timed wait (which would cost a system call).
    if (timeoutMs == 0 && !signalled) return false;
    if (!cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled; })) return false;
    signalled = false;
    return true;
}

bool Event::IsSet() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return signalled;
}

}  // namespace platform
