#include "update/image_plan.h"

#include <cstring>

#include "platform/resources.h"

#include <atomic>

namespace {
std::atomic<const ImagePlan*> activePlan{&kImagePlan};
}  // namespace

const ImagePlan& ActivePlan()
{
    return *activePlan.load();
}

ScopedPlan::ScopedPlan(const ImagePlan& shorter) : saved(activePlan.load()), plan(shorter)
{
    activePlan.store(&plan);
}

ScopedPlan::~ScopedPlan()
{
    activePlan.store(saved);
}

const std::uint8_t* FindImage(std::uint32_t id, std::size_t* size)
{
    const platform::Resource* resource = platform::FindResource(kImageResourceType, id);
    if (resource == nullptr) return nullptr;
    if (size != nullptr) *size = resource->size;
    return resource->data;
}

int LoadImageBytes(std::uint32_t id, std::uint32_t offset, std::uint32_t count, void* dest)
{
    std::size_t size = 0;
    const std::uint8_t* image = FindImage(id, &size);
    if (image == nullptr) return -1;
    // A range outside the image is refused like a missing image, rather than
    // read past its end.
    if (offset > size || count > size - offset) return -1;
    if (count == 0) return 0;
    if (dest == nullptr) return -1;
    std::memcpy(dest, image + offset, count);
    return 0;
}
