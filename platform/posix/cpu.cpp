#include "platform/cpu.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace platform {

bool KeepThreadsOnOneCpu()
{
#if defined(__linux__)
    // A thread's CPU mask is inherited by the threads it creates.
    const int cpu = sched_getcpu();
    if (cpu < 0 || cpu >= CPU_SETSIZE) return false;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof(one), &one) == 0;
#else
    return false;
#endif
}

}  // namespace platform
