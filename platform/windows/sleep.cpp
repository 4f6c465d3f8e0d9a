// Sleep on the kernel's own: the thread gives up the processor for about
// that long (rounded to the timer's resolution; 0 yields its time slice).
#include "platform/mmsystem.h"

#include <windows.h>

namespace platform {

void Sleep(UINT ms)
{
    ::Sleep(ms);
}

}  // namespace platform
