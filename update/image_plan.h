// The carried firmware: six images of resource type "BIN", and the fixed
// 12-row plan that erases and writes the device's flash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::int32_t PLAN_ERASE = 1;
inline constexpr std::int32_t PLAN_WRITE = 2;

struct ImagePlanStep {
    std::int32_t kind;
    std::uint32_t address;
    std::uint32_t length;    // erase: bytes; write: bytes from the image's start, 0 = whole image
    std::uint32_t imageId;   // 0 in erase rows
};

inline constexpr std::array<ImagePlanStep, 12> kImagePlan = {{
    {PLAN_ERASE, 0x170000, 0x1000, 0},
    {PLAN_ERASE, 0x04B000, 0x1B000, 0},
    {PLAN_WRITE, 0x04B000, 0, 133},
    {PLAN_ERASE, 0x000000, 0x4B000, 0},
    {PLAN_WRITE, 0x000000, 0, 142},
    {PLAN_ERASE, 0x066000, 0x10A000, 0},
    {PLAN_WRITE, 0x066000, 0, 129},
    {PLAN_ERASE, 0x1C7000, 0x5000, 0},
    {PLAN_WRITE, 0x1C7000, 0x5000, 147},
    {PLAN_ERASE, 0x1CC000, 0x234000, 0},
    {PLAN_WRITE, 0x1CC000, 0x234000, 136},
    {PLAN_WRITE, 0x170000, 0, 139},
}};

using ImagePlan = std::array<ImagePlanStep, 12>;

// The plan the workers walk: kImagePlan, unless a test has put a shorter one
// in its place (same rows and kinds, shorter lengths) for the life of a
// ScopedPlan.  Set it only while no worker runs.
const ImagePlan& ActivePlan();

class ScopedPlan {
public:
    explicit ScopedPlan(const ImagePlan& plan);
    ~ScopedPlan();
    ScopedPlan(const ScopedPlan&) = delete;
    ScopedPlan& operator=(const ScopedPlan&) = delete;

private:
    const ImagePlan* saved;
    ImagePlan plan;
};

inline constexpr const char* kImageResourceType = "BIN";

inline constexpr std::uint32_t kBootStampAddress = 0x4AFFC;
inline constexpr std::uint32_t kBootImageId = 142;

// One image as carried: its id, size and, where it has one, its version field.
struct ImageInfo {
    std::uint32_t id;
    std::uint32_t size;
    const char* label;             // report label, or nullptr
    std::uint32_t versionOffset;   // in the image
    std::uint32_t versionAddress;  // in the device's flash
    const char* version;           // carried version, or nullptr
};

inline constexpr std::array<ImageInfo, 6> kImages = {{
    {142, 0x4B000, "BOOT", 0x4AFFC, 0x04AFFC, "1.00"},
    {133, 0x1B000, "PRESET", 0x1AFFC, 0x065FFC, "1.00"},
    {129, 0x101450, nullptr, 0, 0, nullptr},
    {139, 0x1000, "SYSTEM", 0xFE0, 0x170FE0, "1.20"},
    {147, 0x5000, "SUBMCU", 0x4FE0, 0x1CBFE0, "1.02"},
    {136, 0x234000, nullptr, 0, 0, nullptr},
}};

// The image's bytes in place, or nullptr when the build carries no such image.
const std::uint8_t* FindImage(std::uint32_t id, std::size_t* size);

// Copies count bytes from offset of image id to dest: 0, or -1 (dest
// untouched) when there is no such image or the range leaves the image.
int LoadImageBytes(std::uint32_t id, std::uint32_t offset, std::uint32_t count, void* dest);
