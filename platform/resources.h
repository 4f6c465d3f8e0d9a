// The executable's own read-only resources, found by type and integer id.
// The bytes stay where the loader mapped them; nothing is copied.
#pragma once

#include "resources/resource.h"

#include <cstdint>

namespace platform {

using Resource = resources::Resource;

// Found resource, or nullptr.  Stands in for FindResource, LoadResource,
// LockResource and SizeofResource: data points at the bytes in place.
const Resource* FindResource(const char* type, std::uint32_t id);

// Test hook: resources that FindResource should pretend are missing
// (type, id); a null type with hidden == false restores them all.  Safe to
// call while other threads look resources up.
void HideResourceForTest(const char* type, std::uint32_t id, bool hidden);

}  // namespace platform
