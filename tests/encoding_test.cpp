// Five-byte values, 7-bit packing, the CRC and the byte-exact commands.
#include "update/image_plan.h"
#include "update/protocol.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Encoded(std::uint32_t value)
{
    Bytes out(5);
    Encode5(value, out.data());
    return out;
}

Bytes Packed(const Bytes& data)
{
    Bytes out(PackedLength(static_cast<std::uint32_t>(data.size())));
    EXPECT_EQ(Pack7(out.data(), data.data(), static_cast<std::uint32_t>(data.size())), out.size());
    return out;
}

Bytes RandomBytes(std::mt19937& random, std::size_t n)
{
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
}

}  // namespace

TEST(Encode5, WorkedExamplesAndMasking)
{
    EXPECT_EQ(Encoded(0x4AFFC), (Bytes{0x7C, 0x5F, 0x12, 0x00, 0x00}));
    EXPECT_EQ(Encoded(0x1000), (Bytes{0x00, 0x20, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Encoded(0xFFFFFFFF), (Bytes{0x7F, 0x7F, 0x7F, 0x7F, 0x0F}));
    EXPECT_EQ(Encoded(0), (Bytes{0, 0, 0, 0, 0}));
    const std::uint8_t all[5] = {0x7F, 0x7F, 0x7F, 0x7F, 0x7F};
    EXPECT_EQ(Decode5(all), 0xFFFFFFFFu);
    const std::uint8_t high[5] = {0xFF, 0x80, 0x80, 0x80, 0xF0};   // stray top bits are masked
    EXPECT_EQ(Decode5(high), 0x7Fu);

    std::mt19937 random(5);
    for (int i = 0; i < 10000; ++i) {
        const std::uint32_t value = random();
        const Bytes bytes = Encoded(value);
        for (std::uint8_t b : bytes) EXPECT_LT(b, 0x80);
        EXPECT_EQ(Decode5(bytes.data()), value);
    }
}

TEST(Pack7, WorkedExamples)
{
    EXPECT_EQ(Packed({}), Bytes{});
    EXPECT_EQ(Packed({0x80}), (Bytes{0x40, 0x00}));
    EXPECT_EQ(Packed({0x80, 0x01, 0xFF}), (Bytes{0x50, 0x00, 0x01, 0x7F}));
    EXPECT_EQ(Packed(Bytes(7, 0xFF)), (Bytes{0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F}));
    EXPECT_EQ(PackedLength(7), 8u);
    EXPECT_EQ(PackedLength(8), 10u);
    EXPECT_EQ(PackedLength(13), 15u);
    EXPECT_EQ(PackedLength(4096), 4682u);
    EXPECT_EQ(Packed(Bytes(4096, 0xAA)).size(), 4682u);
}

TEST(Pack7, UnpackWritesExactlyTheDataBytes)
{
    Bytes data(13);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xF0 + i);
    const Bytes packed = Packed(data);
    ASSERT_EQ(packed.size(), 15u);
    Bytes out(20, 0xCC);
    EXPECT_EQ(Unpack7(out.data(), packed.data(), 15), 13u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 13), data);
    for (std::size_t i = 13; i < out.size(); ++i) EXPECT_EQ(out[i], 0xCC);
    EXPECT_EQ(Unpack7(out.data(), packed.data(), 0), 0u);
}

TEST(Pack7, RoundTripForEveryLengthUpTo4200)
{
    std::mt19937 random(7);
    const Bytes source = RandomBytes(random, 4200);
    Bytes packed(PackedLength(4200) + 8);
    Bytes unpacked(4200 + 8);
    for (std::uint32_t n = 0; n <= 4200; ++n) {
        std::fill(packed.begin(), packed.end(), 0xEE);
        const std::uint32_t written = Pack7(packed.data(), source.data(), n);
        ASSERT_EQ(written, PackedLength(n)) << n;
        ASSERT_EQ(written, 8 * (n / 7) + (n % 7 ? n % 7 + 1 : 0)) << n;
        ASSERT_EQ(packed[written], 0xEE) << "wrote past the end, n=" << n;
        ASSERT_TRUE(std::all_of(packed.begin(), packed.begin() + written, [](std::uint8_t b) { return b < 0x80; }))
            << n;
        std::fill(unpacked.begin(), unpacked.end(), 0xEE);
        ASSERT_EQ(Unpack7(unpacked.data(), packed.data(), written), n);
        ASSERT_TRUE(std::equal(source.begin(), source.begin() + n, unpacked.begin())) << n;
        ASSERT_EQ(unpacked[n], 0xEE) << n;
    }
}

TEST(Crc32, CheckValueEmptyAndByteByByte)
{
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32(digits, 9), 0x340BC6D9u);
    EXPECT_EQ(Crc32(nullptr, 0), 0xFFFFFFFFu);
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::uint8_t b : digits) reg = Crc32Byte(reg, b);
    EXPECT_EQ(reg, 0x340BC6D9u);
}

TEST(Crc32, IsTheComplementOfZlibOverRandomBuffers)
{
    std::mt19937 random(11);
    const Bytes data = RandomBytes(random, 9000);
    // Every short length and start (alignment), then long random ranges.
    for (std::uint32_t start = 0; start < 16; ++start)
        for (std::uint32_t n = 0; n < 80; ++n) {
            const auto expected = static_cast<std::uint32_t>(~crc32(0L, data.data() + start, n));
            ASSERT_EQ(Crc32(data.data() + start, n), expected) << start << " " << n;
        }
    for (int i = 0; i < 300; ++i) {
        const std::uint32_t start = random() % 100;
        const std::uint32_t n = random() % 8800;
        const auto expected = static_cast<std::uint32_t>(~crc32(0L, data.data() + start, n));
        ASSERT_EQ(Crc32(data.data() + start, n), expected) << start << " " << n;
    }
}

// ---------------------------------------------------------------------------
// Commands, byte for byte.

TEST(Commands, EraseCommandsOfTheFullUpdate)
{
    const std::vector<Bytes> expected = {
        {0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x00, 0x5C, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xF7},
        {0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x60, 0x12, 0x00, 0x00, 0x00, 0x60, 0x06, 0x00, 0x00, 0xF7},
        {0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x60, 0x12, 0x00, 0x00, 0xF7},
        {0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x40, 0x19, 0x00, 0x00, 0x00, 0x40, 0x42, 0x00, 0x00, 0xF7},
        {0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x60, 0x71, 0x00, 0x00, 0x00, 0x20, 0x01, 0x00, 0x00, 0xF7},
        {0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x00, 0x73, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x01, 0x00, 0xF7},
    };
    std::vector<Bytes> composed;
    for (const ImagePlanStep& step : kImagePlan) {
        if (step.kind != PLAN_ERASE) continue;
        Bytes message(16);
        EXPECT_EQ(ComposeErase(message.data(), 0x6E, step.address, step.length), 16u);
        composed.push_back(message);
    }
    EXPECT_EQ(composed, expected);
}

TEST(Commands, BootStampReadRequest)
{
    Bytes message(17);
    EXPECT_EQ(ComposeReadRequest(message.data(), 0x6E, kBootStampAddress, 4), 17u);
    EXPECT_EQ(message, (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x30, 0x7C, 0x5F, 0x12, 0x00, 0x00, 0x04, 0x00, 0x00,
                              0x00, 0x00, 0xF7}));
}

TEST(Commands, FullWriteBlock)
{
    std::mt19937 random(3);
    const Bytes data = RandomBytes(random, 4096);
    Bytes message(kMaxMessage + 4, 0xEE);
    ASSERT_EQ(ComposeWriteBlock(message.data(), 0x6E, data.data(), kImagePlan[2].address, 4096), 4700u);
    // The first block of row 3.
    EXPECT_EQ(Bytes(message.begin(), message.begin() + 12),
              (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x02, 0x00, 0x60, 0x12, 0x00, 0x00, 0x00, 0x20}));
    Bytes unpacked(4096);
    EXPECT_EQ(Unpack7(unpacked.data(), message.data() + 12, 4682), 4096u);
    EXPECT_EQ(unpacked, data);
    EXPECT_EQ(Decode5(message.data() + 12 + 4682), Crc32(data.data(), 4096));
    EXPECT_EQ(message[4699], 0xF7);
    EXPECT_EQ(message[4700], 0xEE);
    for (std::size_t i = 1; i < 4699; ++i) ASSERT_LT(message[i], 0x80) << i;
}

TEST(Commands, ShortLastBlockAndOneByteBlock)
{
    // Image 129 ends with a block of 1104 bytes; its length bytes are 50 08.
    const Bytes data(1104, 0x81);
    Bytes message(PackedLength(1104) + 18);
    ASSERT_EQ(ComposeWriteBlock(message.data(), 0x6E, data.data(), 0x167000, 1104), message.size());
    EXPECT_EQ(message[10], 0x50);
    EXPECT_EQ(message[11], 0x08);
    EXPECT_EQ(message.back(), 0xF7);

    const std::uint8_t one = 0xFF;
    Bytes small(PackedLength(1) + 18);
    ASSERT_EQ(ComposeWriteBlock(small.data(), 0x00, &one, 0x1000, 1), 20u);
    Bytes expected = {0xF0, 0x52, 0x00, 0x00, 0x02, 0x00, 0x20, 0x00, 0x00, 0x00, 0x01, 0x00, 0x40, 0x7F};
    const Bytes crc = Encoded(Crc32(&one, 1));
    expected.insert(expected.end(), crc.begin(), crc.end());
    expected.push_back(0xF7);
    EXPECT_EQ(small, expected);
}
