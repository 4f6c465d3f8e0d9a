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

std::uint32_t Pack7(std::uint8_t* dest, const std::uint8_t* src, std::uint32_t count)
{
    std::uint32_t out = 0;
    for (std::uint32_t start = 0; start < count; start += 7) {
        const std::uint32_t k = count - start < 7 ? count - start : 7;
        std::uint8_t head = 0;
        for (std::uint32_t i = 0; i < k; ++i) {
            if (src[start + i] & 0x80) head |= static_cast<std::uint8_t>(0x40 >> i);
            dest[out + 1 + i] = src[start + i] & 0x7F;
        }
        dest[out] = head;
        out += k + 1;
    }
    return out;
}

std::uint32_t Unpack7(std::uint8_t* dest, const std::uint8_t* src, std::uint32_t packedCount)
{
    std::uint32_t out = 0;
    for (std::uint32_t start = 0; start < packedCount; start += 8) {
        const std::uint32_t k = packedCount - start < 8 ? packedCount - start : 8;
        const std::uint8_t head = src[start];
        for (std::uint32_t i = 0; i + 1 < k; ++i) {
            std::uint8_t b = src[start + 1 + i] & 0x7F;
            if (head & (0x40 >> i)) b |= 0x80;
            dest[out++] = b;
        }
    }
    return out;
}

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

std::uint32_t Crc32Byte(std::uint32_t reg, std::uint8_t byte)
{
    return (reg >> 8) ^ kCrcTable[(reg ^ byte) & 0xFF];
}

std::uint32_t Crc32(const std::uint8_t* data, std::uint32_t count)
{
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::uint32_t i = 0; i < count; ++i) reg = (reg >> 8) ^ kCrcTable[(reg ^ data[i]) & 0xFF];
    return reg;
}
