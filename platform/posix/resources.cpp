#include "platform/resources.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "resources/resource_table.h"

namespace platform {

namespace {

std::mutex hiddenMutex;
std::set<std::pair<std::string, std::uint32_t>>& Hidden()
{
    static std::set<std::pair<std::string, std::uint32_t>> hidden;
    return hidden;
}

bool IsHidden(const char* type, std::uint32_t id)
{
    std::lock_guard<std::mutex> lock(hiddenMutex);
    const auto& hidden = Hidden();
    return !hidden.empty() && hidden.count({type, id}) != 0;
}

}  // namespace

const Resource* FindResource(const char* type, std::uint32_t id)
{
    if (type == nullptr) return nullptr;
    std::size_t count = 0;
    const Resource* table = resources::ResourceTable(&count);
    for (std::size_t i = 0; i < count; ++i) {
        if (table[i].id == id && std::strcmp(table[i].type, type) == 0) {
            return IsHidden(type, id) ? nullptr : &table[i];
        }
    }
    return nullptr;
}

// A null type with hidden == false shows every resource again.
void HideResourceForTest(const char* type, std::uint32_t id, bool hidden)
{
    std::lock_guard<std::mutex> lock(hiddenMutex);
    if (type == nullptr) {
        if (!hidden) Hidden().clear();
        return;
    }
    if (hidden) {
        Hidden().insert({type, id});
    } else {
        Hidden().erase({type, id});
    }
}

}  // namespace platform
