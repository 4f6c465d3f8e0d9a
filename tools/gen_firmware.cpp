// Writes the six synthetic firmware images that the build embeds when no
// real firmware is given: the sizes and version fields the updater expects,
// the 32-byte tails of images 139 and 147, and otherwise deterministic
// pseudo-random bytes in which every byte value occurs.
//
//   q9-gen-firmware OUTPUT_DIR
//
// A file whose content is already right is left alone, so its time stamp
// (and everything built from it) stays as it is.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/firmware_layout.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// SplitMix64: small, fast, and the same on every platform.
class Random {
public:
    explicit Random(std::uint64_t seed) : state(seed) {}
    std::uint64_t Next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

private:
    std::uint64_t state;
};

struct Image {
    Bytes bytes;
    std::size_t randomBegin = 0;   // the pseudo-random part
    std::size_t randomEnd = 0;
};

Image Make(const ImageInfo& info)
{
    Image image;
    image.bytes.assign(info.size, 0xFF);
    if (info.id == 139) {
        // The SYSTEM block: all filler except its tail.
        image.randomBegin = image.randomEnd = 0;
    } else {
        image.randomBegin = 0;
        image.randomEnd = info.version == nullptr                  ? info.size
                          : firmware::HasNameTail(info.id)         ? info.size - firmware::kTailSize
                                                                   : info.versionOffset;
        Random random(0x51A9'0000ull + info.id);
        for (std::size_t i = image.randomBegin; i < image.randomEnd; i += 8) {
            const std::uint64_t word = random.Next();
            for (std::size_t k = 0; k < 8 && i + k < image.randomEnd; ++k)
                image.bytes[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
        }
    }

    // A version-like run of four bytes anywhere but in the version field
    // would let a reader at the wrong offset look right: break each one.
    const std::size_t end = image.randomEnd;
    for (std::size_t i = image.randomBegin; i + 4 <= end; ++i) {
        if (firmware::IsVersionField(&image.bytes[i])) image.bytes[i + 1] ^= 0x80;
    }

    if (info.version != nullptr) {
        std::memcpy(&image.bytes[info.versionOffset], info.version, 4);
        if (firmware::HasNameTail(info.id)) {
            std::uint8_t* tail = &image.bytes[info.size - firmware::kTailSize];
            if (info.id == 139) std::memcpy(tail + firmware::kMainOffsetInTail, "MAIN", 4);
            std::memcpy(tail + firmware::kNameOffsetInTail, firmware::kMakerName, firmware::kNameSize);
        }
    }
    return image;
}

bool CoversEveryByteValue(const Image& image)
{
    if (image.randomBegin == image.randomEnd) return true;
    std::array<bool, 256> seen{};
    for (std::size_t i = image.randomBegin; i < image.randomEnd; ++i) seen[image.bytes[i]] = true;
    for (bool value : seen)
        if (!value) return false;
    return true;
}

bool SameContent(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const Bytes existing((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return existing == bytes;
}

bool Write(const std::filesystem::path& path, const Bytes& bytes)
{
    // Through a temporary file, so that an interrupted run leaves no short image.
    const std::filesystem::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", argv[0], dir.string().c_str(), error.message().c_str());
        return 1;
    }

    for (const ImageInfo& info : kImages) {
        const Image image = Make(info);
        const std::filesystem::path path = dir / firmware::ImageFileName(info.id);
        if (!CoversEveryByteValue(image)) {
            std::fprintf(stderr, "%s: %s: the pseudo-random bytes miss a byte value\n", argv[0], path.string().c_str());
            return 1;
        }
        if (SameContent(path, image.bytes)) continue;
        if (!Write(path, image.bytes)) {
            std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], path.string().c_str(), std::strerror(errno));
            return 1;
        }
    }
    return 0;
}
