#include "platform/instance_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// A folder this user alone may use: a real directory (not a link), owned by
// us, with no access for anyone else.  Created 0700 when missing; a folder of
// ours with wider access is narrowed; one owned by another user is refused.
bool PrivateFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) return false;
    if (st.st_uid != ::geteuid()) return false;
    if ((st.st_mode & 0077) != 0 && ::chmod(path.c_str(), 0700) != 0) return false;
    return true;
}

// The lock file's name for a lock name: printable ASCII stays as it is
// (titles hold blanks and parentheses), everything else - '/', '%', control
// and non-ASCII bytes, and a leading '.' - becomes %XX, so that two names
// never share a file and no name leaves the folder.
std::string FileName(std::string_view name)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool plain = c >= 0x20 && c < 0x7F && c != '/' && c != '%' && !(i == 0 && c == '.');
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out + ".lock";
}

}  // namespace

NamedLock::NamedLock(NamedLock&& other) noexcept : fd(other.fd)
{
    other.fd = -1;
}

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept
{
    if (this != &other) {
        Release();
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

NamedLock::~NamedLock()
{
    Release();
}

std::string NamedLock::Folder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        const std::string path = std::string(runtime) + "/q9-updater";
        if (PrivateFolder(path)) return path;
    }
    const std::string path = "/tmp/q9-updater-" + std::to_string(::geteuid());
    if (PrivateFolder(path)) return path;
    return {};
}

bool NamedLock::TryAcquire(const std::string& name)
{
    Release();
    if (name.empty()) return false;
    const std::string folder = Folder();
    if (folder.empty()) return false;
    const std::string path = folder + "/" + FileName(name);

    int file = -1;
    do {
        file = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (file < 0 && errno == EINTR);
    if (file < 0) return false;

    int result = -1;
    do {
        result = ::flock(file, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(file);
        return false;
    }
    // The file stays: removing it would let a second process lock a new file
    // of the same name while a third still holds the old one.
    fd = file;
    return true;
}

void NamedLock::Release()
{
    if (fd >= 0) {
        ::close(fd);   // closing the only descriptor drops the lock
        fd = -1;
    }
}

}  // namespace platform
