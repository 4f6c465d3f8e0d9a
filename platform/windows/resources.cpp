// The executable's own resources, found with FindResourceA, LoadResource,
// LockResource and SizeofResource in the program's module.  The bytes stay
// where the loader mapped them.
#include "platform/resources.h"

#include <windows.h>
#undef FindResource

#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace platform {

namespace {

std::mutex mutex;

// Resources found so far, kept so that the records handed out stay valid.
std::deque<Resource>& Found()
{
    static std::deque<Resource> found;
    return found;
}

std::set<std::pair<std::string, std::uint32_t>>& Hidden()
{
    static std::set<std::pair<std::string, std::uint32_t>> hidden;
    return hidden;
}

// Integer ids only: an id above 0xFFFF would be read as a pointer to a name.
bool Lookup(const char* type, std::uint32_t id, const std::uint8_t*& data, std::size_t& size)
{
    if (id == 0 || id > 0xFFFF) return false;
    HMODULE self = ::GetModuleHandleA(nullptr);
    HRSRC info = ::FindResourceA(self, MAKEINTRESOURCEA(id), type);
    if (info == nullptr) return false;
    HGLOBAL loaded = ::LoadResource(self, info);
    if (loaded == nullptr) return false;
    const void* bytes = ::LockResource(loaded);
    if (bytes == nullptr) return false;
    data = static_cast<const std::uint8_t*>(bytes);
    size = ::SizeofResource(self, info);
    return true;
}

}  // namespace

const Resource* FindResource(const char* type, std::uint32_t id)
{
    if (type == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (Hidden().count({type, id}) != 0) return nullptr;
    for (const Resource& r : Found()) {
        if (r.id == id && std::strcmp(r.type, type) == 0) return &r;
    }
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    if (!Lookup(type, id, data, size)) return nullptr;
    // The type text must outlive the record: keep a copy of our own.
    static std::set<std::string> types;
    const char* kept = types.insert(type).first->c_str();
    Found().push_back(Resource{kept, id, data, size});
    return &Found().back();
}

// A null type with hidden == false shows every resource again.
void HideResourceForTest(const char* type, std::uint32_t id, bool hidden)
{
    std::lock_guard<std::mutex> lock(mutex);
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
