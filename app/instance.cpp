#include "app/instance.h"

#include "app/pel_updator_dlg.h"

#include <cstdio>

int ReserveInstanceNumber(platform::NamedLock& lock)
{
    for (int n = 1; n <= kMaxInstances; ++n) {
        if (lock.TryAcquire(ApplicationTitle(n))) return n;
    }
    return 0;
}

std::string InstanceRefusalText()
{
    char text[96];
    std::snprintf(text, sizeof text, "It is forbidden to launch more than %d instance of this application.",
                  kMaxInstances);
    return text;
}
