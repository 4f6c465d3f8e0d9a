#include "platform/mmsystem.h"

#include <chrono>
#include <thread>

namespace platform {

void Sleep(UINT ms)
{
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace platform
