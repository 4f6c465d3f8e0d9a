#include "platform/cpu.h"

namespace platform {

// Windows threads take the process's CPU mask, not their creator's: a mask
// for the updater's own threads alone cannot be set before they exist, so
// the scheduler places them.
bool KeepThreadsOnOneCpu()
{
    return false;
}

}  // namespace platform
