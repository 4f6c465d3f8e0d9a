// One binary resource the executable carries: found by type and integer id,
// its bytes left where the loader mapped them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace resources {

struct Resource {
    const char* type;
    std::uint32_t id;
    const std::uint8_t* data;
    std::size_t size;
};

}  // namespace resources
