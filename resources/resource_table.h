// Every binary resource that the executable carries, in one table: the six
// firmware images of type "BIN", assembled into the read-only data of the
// executable.  The POSIX resource service (platform/posix/resources.cpp) looks
// things up here.
#pragma once

#include <cstddef>

#include "resources/resource.h"

namespace resources {

// The table and, in *count, its length.
const Resource* ResourceTable(std::size_t* count);

}  // namespace resources
