// Five-byte values, 7-bit packing and the CRC of the update protocol.
#include "update/protocol.h"

#include <array>

void Encode5(std::uint32_t value, std::uint8_t* dest)
{
    dest[0] = static_cast<std::uint8_t>(value & 0x7F);
    dest[1] = static_cast<std::uint8_t>((value >> 7) & 0x7F);
    dest[2] = static_cast<std::uint8_t>((value >> 14) & 0x7F);
    dest[3] = static_cast<std::uint8_t>((value >> 21) & 0x7F);
    dest[4] = static_cast<std::uint8_t>((value >> 28) & 0x0F);
}

std::uint32_t Decode5(const std::uint8_t* src)
{
    return static_cast<std::uint32_t>(src[0] & 0x7F) | static_cast<std::uint32_t>(src[1] & 0x7F) << 7 |
           static_cast<std::uint32_t>(src[2] & 0x7F) << 14 | static_cast<std::uint32_t>(src[3] & 0x7F) << 21 |
           static_cast<std::uint32_t>(src[4] & 0x0F) << 28;
}

namespace {

// One full group: 7 data bytes into a head byte and 7 low-bit bytes.
inline void PackGroup(std::uint8_t* d, const std::uint8_t* s)
{
    d[0] = static_cast<std::uint8_t>(((s[0] >> 1) & 0x40) | ((s[1] >> 2) & 0x20) | ((s[2] >> 3) & 0x10) |
                                     ((s[3] >> 4) & 0x08) | ((s[4] >> 5) & 0x04) | ((s[5] >> 6) & 0x02) |
                                     (s[6] >> 7));
    for (int i = 0; i < 7; ++i) d[1 + i] = s[i] & 0x7F;
}

inline void UnpackGroup(std::uint8_t* d, const std::uint8_t* s)
{
    const unsigned head = s[0];
    for (int i = 0; i < 7; ++i) d[i] = static_cast<std::uint8_t>((s[1 + i] & 0x7F) | (((head << (i + 1)) & 0x80)));
}

}  // namespace

std::uint32_t Pack7(std::uint8_t* dest, const std::uint8_t* src, std::uint32_t count)
{
    const std::uint32_t full = count / 7;
    for (std::uint32_t g = 0; g < full; ++g) PackGroup(dest + 8 * g, src + 7 * g);
    std::uint32_t out = 8 * full;
    const std::uint32_t k = count - 7 * full;
    if (k > 0) {
        const std::uint8_t* s = src + 7 * full;
        std::uint8_t head = 0;
        for (std::uint32_t i = 0; i < k; ++i) {
            if (s[i] & 0x80) head |= static_cast<std::uint8_t>(0x40 >> i);
            dest[out + 1 + i] = s[i] & 0x7F;
        }
        dest[out] = head;
        out += k + 1;
    }
    return out;
}

std::uint32_t Unpack7(std::uint8_t* dest, const std::uint8_t* src, std::uint32_t packedCount)
{
    const std::uint32_t full = packedCount / 8;
    for (std::uint32_t g = 0; g < full; ++g) UnpackGroup(dest + 7 * g, src + 8 * g);
    std::uint32_t out = 7 * full;
    const std::uint32_t k = packedCount - 8 * full;   // a short last group: its head and k - 1 bytes
    if (k > 1) {
        const std::uint8_t* s = src + 8 * full;
        const std::uint8_t head = s[0];
        for (std::uint32_t i = 0; i + 1 < k; ++i) {
            std::uint8_t b = s[1 + i] & 0x7F;
            if (head & (0x40 >> i)) b |= 0x80;
            dest[out++] = b;
        }
    }
    return out;
}

namespace {

// Slicing-by-8 tables: kCrcTables[0] is the reflected CRC-32 table; entry n
// of table k is the register after n followed by k zero bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> MakeCrcTables()
{
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][n] = c;
    }
    for (std::uint32_t n = 0; n < 256; ++n)
        for (int k = 1; k < 8; ++k) tables[k][n] = (tables[k - 1][n] >> 8) ^ tables[0][tables[k - 1][n] & 0xFF];
    return tables;
}

constexpr std::array<std::array<std::uint32_t, 256>, 8> kCrcTables = MakeCrcTables();
constexpr const std::array<std::uint32_t, 256>& kCrcTable = kCrcTables[0];

inline std::uint32_t LoadLittle32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::uint32_t Crc32Byte(std::uint32_t reg, std::uint8_t byte)
{
    return (reg >> 8) ^ kCrcTable[(reg ^ byte) & 0xFF];
}

// The same register as Crc32Byte applied to every byte in order, eight
// bytes per step.
std::uint32_t Crc32(const std::uint8_t* data, std::uint32_t count)
{
    std::uint32_t reg = 0xFFFFFFFFu;
    while (count >= 8) {
        const std::uint32_t one = LoadLittle32(data) ^ reg;
        const std::uint32_t two = LoadLittle32(data + 4);
        reg = kCrcTables[7][one & 0xFF] ^ kCrcTables[6][(one >> 8) & 0xFF] ^ kCrcTables[5][(one >> 16) & 0xFF] ^
              kCrcTables[4][one >> 24] ^ kCrcTables[3][two & 0xFF] ^ kCrcTables[2][(two >> 8) & 0xFF] ^
              kCrcTables[1][(two >> 16) & 0xFF] ^ kCrcTables[0][two >> 24];
        data += 8;
        count -= 8;
    }
    while (count-- > 0) reg = (reg >> 8) ^ kCrcTable[(reg ^ *data++) & 0xFF];
    return reg;
}
