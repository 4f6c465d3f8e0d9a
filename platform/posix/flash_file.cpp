#include "platform/flash_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string Failure(const std::string& what, const std::string& path, int err)
{
    return what + " flash file " + path + ": " + std::strerror(err);
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Temporary names taken by this process, so that its devices never share one.
std::atomic<unsigned> tempCounter{0};
constexpr int kTempNameAttempts = 100;

// A new file holding `bytes` beside `path`, under a name of this writer's
// own (the file's name, ".tmp.", the process id and a counter), created
// exclusively: a leftover of the same name is passed over, never reused, and
// no other writer's temporary file is touched.  Open for reading and
// writing, its name in `temp`; -1 with errno.
int WriteTemp(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& temp)
{
    int fd = -1;
    for (int attempt = 0; attempt < kTempNameAttempts && fd < 0; ++attempt) {
        temp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(tempCounter.fetch_add(1));
        fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) return -1;
    }
    if (fd < 0) return -1;   // EEXIST
    if (!WriteAll(fd, bytes) || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace

FlashFile::~FlashFile()
{
    if (fd >= 0) ::close(fd);
}

bool FlashFile::Open(const std::string& p, const std::vector<std::uint8_t>& initial, std::size_t size,
                     std::vector<std::uint8_t>& contents, std::string& error)
{
    path = p;
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        error = "flash file " + path + " is not a regular file";
        return false;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        int f = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (f < 0 && errno == ENOENT) {
            // Created whole under another name, then linked into place:
            // of two creators the first to link wins, and the other opens
            // the file it made.
            std::string temp;
            f = WriteTemp(path, initial, temp);
            if (f < 0) {
                error = Failure("cannot create", path, errno);
                return false;
            }
            if (::flock(f, LOCK_EX | LOCK_NB) != 0 || ::link(temp.c_str(), path.c_str()) != 0) {
                const int err = errno;
                ::close(f);
                ::unlink(temp.c_str());
                if (err == EEXIST) continue;   // made by someone else meanwhile
                error = Failure("cannot create", path, err);
                return false;
            }
            ::unlink(temp.c_str());
            fd = f;
            contents = initial;
            return true;
        }
        if (f < 0) {
            const int err = errno;
            error = (err == EACCES || err == EROFS || err == EPERM || err == ETXTBSY)
                        ? Failure("cannot write back (read-only, immutable or not permitted)", path, err)
                        : Failure("cannot open", path, err);
            return false;
        }
        if (::flock(f, LOCK_EX | LOCK_NB) != 0) {
            ::close(f);
            error = "flash file " + path + " is in use by another virtual device";
            return false;
        }
        // The file may have been replaced between opening and locking.
        struct stat opened {};
        struct stat named {};
        if (::fstat(f, &opened) != 0 || ::stat(path.c_str(), &named) != 0 || opened.st_ino != named.st_ino ||
            opened.st_dev != named.st_dev) {
            ::close(f);
            continue;
        }
        if ((opened.st_mode & 0222) == 0) {
            // Not writable for anyone: kept so, even for a user who could.
            ::close(f);
            error = "flash file " + path + " is read-only: a device on it could not write its flash back";
            return false;
        }
        if (!S_ISREG(opened.st_mode)) {
            ::close(f);
            error = "flash file " + path + " is not a regular file";
            return false;
        }
        if (static_cast<std::size_t>(opened.st_size) != size) {
            ::close(f);
            error = "flash file " + path + " holds " + std::to_string(opened.st_size) +
                    " bytes; a flash image must be exactly " + std::to_string(size) + " bytes (4 MiB)";
            return false;
        }
        contents.assign(size, 0);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(f, contents.data() + done, size - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const int err = n < 0 ? errno : EIO;
                ::close(f);
                error = Failure("cannot read", path, err);
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        fd = f;
        return true;
    }
    error = "flash file " + path + " keeps being replaced by another program";
    return false;
}

bool FlashFile::Save(const std::vector<std::uint8_t>& contents, std::string& error)
{
    if (fd < 0) {
        error = "flash file " + path + " is not open";
        return false;
    }
    struct stat old {};
    if (::fstat(fd, &old) != 0) {
        error = Failure("cannot write back", path, errno);
        return false;
    }
    std::string temp;
    const int f = WriteTemp(path, contents, temp);
    bool replaced = false;
    if (f >= 0) {
        // The new file takes the old one's owner and mode, and the lock
        // before it takes its name.
        if (::fchown(f, old.st_uid, old.st_gid) == 0 && ::fchmod(f, old.st_mode & 07777) == 0 &&
            ::flock(f, LOCK_EX | LOCK_NB) == 0 && ::rename(temp.c_str(), path.c_str()) == 0) {
            ::close(fd);
            fd = f;
            replaced = true;
        } else {
            ::close(f);
            ::unlink(temp.c_str());
        }
    }
    if (replaced) return true;
    // Where the directory cannot take a new file, or the owner cannot be
    // kept: written in place through the locked file.
    if (WriteAll(fd, contents) && ::fsync(fd) == 0) return true;
    error = Failure("cannot write back", path, errno);
    return false;
}

}  // namespace platform
