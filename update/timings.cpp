#include "update/timings.h"

#include <mutex>

namespace {
std::mutex timingsMutex;
ProtocolTimings current;
}  // namespace

const ProtocolTimings& Timings()
{
    return current;
}

void SetTimings(const ProtocolTimings& timings)
{
    std::lock_guard<std::mutex> lock(timingsMutex);
    current = timings;
}

ScopedTimings::ScopedTimings(const ProtocolTimings& timings) : saved(Timings())
{
    SetTimings(timings);
}

ScopedTimings::~ScopedTimings()
{
    SetTimings(saved);
}
