// What the build's two firmware tools share: the file name of each image,
// the layout of the 32-byte tail of images 139 and 147, and the form of a
// version field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "update/image_plan.h"

namespace firmware {

inline std::string ImageFileName(std::uint32_t id)
{
    return std::to_string(id) + ".bin";
}

// Images whose version field sits 32 bytes before the end, followed by
// filler and a 16-character maker's name.
inline bool HasNameTail(std::uint32_t id)
{
    return id == 139 || id == 147;
}

inline constexpr std::size_t kTailSize = 32;          // version field to the image's end
inline constexpr std::size_t kMainOffsetInTail = 5;   // "MAIN" in image 139
inline constexpr std::size_t kNameOffsetInTail = 16;  // the maker's name
inline constexpr std::size_t kNameSize = 16;
inline constexpr char kMakerName[] = "Q9 PLACEHOLDER  ";   // exactly 16 characters, no terminator stored
static_assert(sizeof(kMakerName) - 1 == kNameSize);

inline bool IsDigit(std::uint8_t byte)
{
    return byte >= '0' && byte <= '9';
}

// digit, full stop, digit, digit
inline bool IsVersionField(const std::uint8_t* bytes)
{
    return IsDigit(bytes[0]) && bytes[1] == '.' && IsDigit(bytes[2]) && IsDigit(bytes[3]);
}

}  // namespace firmware
