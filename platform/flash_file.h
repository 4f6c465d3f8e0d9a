// The file behind the virtual device's flash=PATH: locked for as long as a device uses it (a
// second device on the same file is refused at once), written back whole
// by replacing it (a killed run leaves the old or the new contents, never a
// mix), with the file's owner and mode kept.  On Windows the lock is the
// open handle's sharing mode and the file is written back in place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

class FlashFile {
public:
    FlashFile() = default;
    ~FlashFile();
    FlashFile(const FlashFile&) = delete;
    FlashFile& operator=(const FlashFile&) = delete;

    // Creates the file with `initial` when it is missing, locks it, and reads
    // exactly `size` bytes into `contents`.  False with `error` naming the file.
    bool Open(const std::string& path, const std::vector<std::uint8_t>& initial, std::size_t size,
              std::vector<std::uint8_t>& contents, std::string& error);
    bool Save(const std::vector<std::uint8_t>& contents, std::string& error);
#if defined(_WIN32)
    using Handle = std::intptr_t;   // a HANDLE
    static constexpr Handle kNone = 0;
#else
    using Handle = int;
    static constexpr Handle kNone = -1;
#endif
    bool IsOpen() const { return fd != kNone; }

private:
    std::string path;
    Handle fd = kNone;   // the locked file
};

}  // namespace platform
