#include <array>
#include <cstdint>

#include "resources/resource_table.h"

// Defined by the assembled firmware_images.S: each image's first byte and
// its length in bytes, both in read-only data.
#define Q9_DECLARE_IMAGE(id)                                  \
    extern "C" const std::uint8_t q9_firmware_##id[];         \
    extern "C" const std::uint32_t q9_firmware_##id##_size;

Q9_DECLARE_IMAGE(129)
Q9_DECLARE_IMAGE(133)
Q9_DECLARE_IMAGE(136)
Q9_DECLARE_IMAGE(139)
Q9_DECLARE_IMAGE(142)
Q9_DECLARE_IMAGE(147)

#define Q9_IMAGE_ENTRY(id) Resource{"BIN", id, q9_firmware_##id, q9_firmware_##id##_size}

namespace resources {

const Resource* ResourceTable(std::size_t* count)
{
    // Built on first use, so that no other static initialiser can see it half made.
    static const std::array<Resource, 6> table = {
        Q9_IMAGE_ENTRY(142), Q9_IMAGE_ENTRY(133), Q9_IMAGE_ENTRY(129),
        Q9_IMAGE_ENTRY(139), Q9_IMAGE_ENTRY(147), Q9_IMAGE_ENTRY(136),
    };
    if (count != nullptr) *count = table.size();
    return table.data();
}

}  // namespace resources
