// Named process-wide locks that the operating system frees when the process
// ends (the stand-in for named mutexes): a lock file per name, held with
// flock, in $XDG_RUNTIME_DIR or a private per-user folder under /tmp.
#pragma once

#include <string>

namespace platform {

class NamedLock {
public:
    NamedLock() = default;
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    NamedLock(NamedLock&& other) noexcept;
    NamedLock& operator=(NamedLock&& other) noexcept;
    ~NamedLock();

    // Tries to take the lock of that name.  true: this process now holds it.
    // false: another process holds it, or it could not be created.
    bool TryAcquire(const std::string& name);
    void Release();

#if defined(_WIN32)
    // Windows: a named mutex of the user's logon, created with initial
    // ownership and held until Release or the end of the process.
    bool Held() const { return handle != nullptr; }

private:
    void* handle = nullptr;
#else
    bool Held() const { return fd >= 0; }

    // Folder where the lock files live: $XDG_RUNTIME_DIR/q9-updater, else
    // /tmp/q9-updater-UID (created 0700, refused if another user owns it).
    static std::string Folder();

private:
    int fd = -1;
#endif
};

}  // namespace platform
