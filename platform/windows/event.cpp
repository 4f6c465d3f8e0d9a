// The auto-reset event on the kernel's own event object.
#include "platform/event.h"

#include <windows.h>

#include <cstdlib>

namespace platform {

Event::Event() : handle(::CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
    // Without its event the reply slot cannot work at all; this only fails
    // when the process is out of kernel resources.
    if (handle == nullptr) std::abort();
}

Event::~Event()
{
    ::CloseHandle(handle);
}

void Event::Set()
{
    ::SetEvent(handle);
}

void Event::Reset()
{
    ::ResetEvent(handle);
}

bool Event::Wait(std::uint32_t timeoutMs)
{
    // INFINITE is 0xFFFFFFFF: a wait of that length never ends, as intended.
    return ::WaitForSingleObject(handle, timeoutMs) == WAIT_OBJECT_0;
}

bool Event::IsSet() const
{
    // A zero wait would consume the signal of an auto-reset event.  Looking
    // without consuming: take it, and give it back at once.
    if (::WaitForSingleObject(handle, 0) != WAIT_OBJECT_0) return false;
    ::SetEvent(handle);
    return true;
}

}  // namespace platform
