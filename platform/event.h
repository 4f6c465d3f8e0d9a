// An auto-reset event with a timed wait: a signal wakes one waiter (or the
// next wait) and is consumed by it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class Event {
public:
    void Set();
    void Reset();
    // true when signalled within timeoutMs (the signal is consumed), false on time-out.
    bool Wait(std::uint32_t timeoutMs);
    bool IsSet() const;

#if defined(_WIN32)
    // Windows: the kernel's own auto-reset event object.
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

private:
    void* handle;
#else
private:
    mutable std::mutex mutex;
    std::condition_variable cond;
    bool signalled = false;
#endif
};

}  // namespace platform
