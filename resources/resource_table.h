// Every binary resource that the executable carries, in one table: the six
// firmware images of type "BIN", assembled into the read-only data of the
// executable.  platform::FindResource looks things up here.
#pragma once

#include <cstddef>

#include "platform/resources.h"

namespace resources {

// The table and, in *count, its length.
const platform::Resource* ResourceTable(std::size_t* count);

}  // namespace resources
