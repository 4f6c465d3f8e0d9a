// The flags of a MIDI header the host shares with the virtual device's thread.
#pragma once

#include "platform/mmsystem.h"

#include <atomic>
#include <cstddef>

namespace virtual_midi {

// The header fields the backend uses end with dwFlags; shorter records are refused.
inline constexpr platform::UINT kMinHeaderSize = offsetof(platform::MIDIHDR, dwFlags) + sizeof(platform::DWORD);

inline void SetFlags(platform::MIDIHDR* header, platform::DWORD set, platform::DWORD clear)
{
    std::atomic_ref<platform::DWORD> flags(header->dwFlags);
    platform::DWORD old = flags.load();
    while (!flags.compare_exchange_weak(old, (old & ~clear) | set)) {
    }
}

inline bool HasFlag(platform::MIDIHDR* header, platform::DWORD flag)
{
    return (std::atomic_ref<platform::DWORD>(header->dwFlags).load() & flag) != 0;
}

}  // namespace virtual_midi
