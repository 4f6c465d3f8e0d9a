// Named locks as named mutexes of the user's logon: CreateMutexA with
// initial ownership; a name that already exists (ERROR_ALREADY_EXISTS) or
// that cannot be created counts as taken.  The system frees the mutex when
// the process ends.
#include "platform/instance_lock.h"

#include <windows.h>

#include <utility>

namespace platform {

NamedLock::NamedLock(NamedLock&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept
{
    if (this != &other) {
        Release();
        handle = std::exchange(other.handle, nullptr);
    }
    return *this;
}

NamedLock::~NamedLock()
{
    Release();
}

bool NamedLock::TryAcquire(const std::string& name)
{
    Release();
    // No kernel namespace prefix: the name is local to the logon.  A name
    // the kernel would read as a path of objects is refused.
    if (name.empty() || name.size() >= MAX_PATH || name.find('\\') != std::string::npos) return false;
    HANDLE mutex = ::CreateMutexA(nullptr, TRUE, name.c_str());
    const DWORD error = ::GetLastError();
    if (mutex == nullptr) return false;
    if (error == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return false;
    }
    handle = mutex;
    return true;
}

void NamedLock::Release()
{
    if (handle != nullptr) {
        ::ReleaseMutex(handle);
        ::CloseHandle(handle);
        handle = nullptr;
    }
}

}  // namespace platform
