// The carried firmware: the six embedded images, their version fields and
// layout, LoadImageBytes, the image plan's invariants, and the build's check
// of the images it embeds.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/resources.h"
#include "q9_firmware_build.h"
#include "tools/firmware_layout.h"
#include "update/image_plan.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kBlockSize = 4096;
constexpr std::uint32_t kFlashSize = 0x400000;
constexpr std::uint32_t kUntouchedBegin = 0x171000;
constexpr std::uint32_t kUntouchedEnd = 0x1C7000;   // one past 0x1C6FFF

const ImageInfo& Info(std::uint32_t id)
{
    for (const ImageInfo& info : kImages)
        if (info.id == id) return info;
    ADD_FAILURE() << "no image " << id;
    return kImages[0];
}

std::vector<std::uint8_t> Embedded(std::uint32_t id)
{
    std::size_t size = 0;
    const std::uint8_t* data = FindImage(id, &size);
    if (data == nullptr) return {};
    return std::vector<std::uint8_t>(data, data + size);
}

// The pseudo-random part of a generated image: all but its version field and tail.
std::pair<std::size_t, std::size_t> RandomPart(const ImageInfo& info)
{
    if (info.id == 139) return {0, 0};
    if (info.version == nullptr) return {0, info.size};
    if (firmware::HasNameTail(info.id)) return {0, info.size - firmware::kTailSize};
    return {0, info.versionOffset};
}

// ---------------------------------------------------------------------------
// The images as embedded.

TEST(CarriedImages, AllSixArePresentWithTheirSizesAndVersionFields)
{
    for (const ImageInfo& info : kImages) {
        SCOPED_TRACE(info.id);
        std::size_t size = 0;
        const std::uint8_t* data = FindImage(info.id, &size);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(size, info.size);
        if (info.version == nullptr) continue;
        char field[4] = {};
        ASSERT_EQ(LoadImageBytes(info.id, info.versionOffset, 4, field), 0);
        EXPECT_TRUE(firmware::IsVersionField(reinterpret_cast<const std::uint8_t*>(field)));
        if (Q9_FIRMWARE_GENERATED) {
            EXPECT_EQ(std::string(field, 4), info.version);
        }
    }
}

TEST(CarriedImages, AreUsedInPlaceFromReadOnlyMemory)
{
    for (const ImageInfo& info : kImages) {
        const platform::Resource* resource = platform::FindResource("BIN", info.id);
        ASSERT_NE(resource, nullptr);
        EXPECT_EQ(FindImage(info.id, nullptr), resource->data) << "the same bytes every time";
        EXPECT_EQ(platform::FindResource("BIN", info.id), resource);
    }
    EXPECT_EQ(platform::FindResource("RCDATA", 129), nullptr);
    EXPECT_EQ(platform::FindResource(nullptr, 129), nullptr);

    // The mapping that holds the largest image is not writable.
    const auto address = reinterpret_cast<std::uintptr_t>(FindImage(136, nullptr));
    std::ifstream maps("/proc/self/maps");
    std::string line;
    bool found = false;
    while (std::getline(maps, line)) {
        std::uintptr_t begin = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%zx-%zx %4s", &begin, &end, perms) != 3) continue;
        if (address < begin || address >= end) continue;
        found = true;
        EXPECT_EQ(perms[1], '-') << line;
    }
    EXPECT_TRUE(found);
}

TEST(CarriedImages, SystemBlockIsFillerButItsFields)
{
    if (!Q9_FIRMWARE_GENERATED) GTEST_SKIP() << "the build embeds given firmware";
    const std::vector<std::uint8_t> image = Embedded(139);
    ASSERT_EQ(image.size(), 0x1000u);
    EXPECT_EQ(std::string(image.begin() + 0xFE0, image.begin() + 0xFE4), "1.20");
    EXPECT_EQ(std::string(image.begin() + 0xFE5, image.begin() + 0xFE9), "MAIN");
    const std::string name(image.begin() + 0xFF0, image.end());
    EXPECT_EQ(name, "Q9 PLACEHOLDER  ");
    for (char c : name) EXPECT_TRUE(c >= 0x20 && c < 0x7F);
    for (std::size_t i = 0; i < image.size(); ++i) {
        const bool field = (i >= 0xFE0 && i < 0xFE4) || (i >= 0xFE5 && i < 0xFE9) || i >= 0xFF0;
        if (!field) {
            ASSERT_EQ(image[i], 0xFF) << "offset " << i;
        }
    }
}

TEST(CarriedImages, SubMcuImageEndsWithVersionFillerAndName)
{
    if (!Q9_FIRMWARE_GENERATED) GTEST_SKIP() << "the build embeds given firmware";
    const std::vector<std::uint8_t> image = Embedded(147);
    ASSERT_EQ(image.size(), 0x5000u);
    EXPECT_EQ(std::string(image.begin() + 0x4FE0, image.begin() + 0x4FE4), "1.02");
    for (std::size_t i = 0x4FE4; i < 0x4FF0; ++i) EXPECT_EQ(image[i], 0xFF) << "offset " << i;
    EXPECT_EQ(std::string(image.begin() + 0x4FF0, image.end()), "Q9 PLACEHOLDER  ");
}

TEST(CarriedImages, PayloadsSeeEveryByteValueAndNoStrayVersionText)
{
    if (!Q9_FIRMWARE_GENERATED) GTEST_SKIP() << "the build embeds given firmware";
    for (const ImageInfo& info : kImages) {
        SCOPED_TRACE(info.id);
        const std::vector<std::uint8_t> image = Embedded(info.id);
        const auto [begin, end] = RandomPart(info);
        if (begin == end) continue;
        std::array<bool, 256> seen{};
        for (std::size_t i = begin; i < end; ++i) seen[image[i]] = true;
        for (int value = 0; value < 256; ++value) EXPECT_TRUE(seen[value]) << "byte value " << value;
        // Only the version field reads as a version: a reader one byte off sees garbage.
        std::size_t stray = 0;
        for (std::size_t i = 0; i + 4 <= image.size() && stray == 0; ++i) {
            const bool field = info.version != nullptr && i == info.versionOffset;
            if (!field && firmware::IsVersionField(&image[i])) stray = i;
        }
        EXPECT_EQ(stray, 0u) << "version-like bytes at offset " << stray;
    }
}

TEST(CarriedImages, GeneratorIsDeterministic)
{
    if (!Q9_FIRMWARE_GENERATED) GTEST_SKIP() << "the build embeds given firmware";
    char pattern[] = "/tmp/q9-gen-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    const std::string command = std::string("\"") + Q9_GEN_FIRMWARE_TOOL + "\" \"" + dir.string() + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const ImageInfo& info : kImages) {
        std::ifstream in(dir / firmware::ImageFileName(info.id), std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(bytes == Embedded(info.id)) << info.id;
    }
    fs::remove_all(dir);
}

// ---------------------------------------------------------------------------
// LoadImageBytes and hidden images.

TEST(LoadImageBytes, UnknownImageFailsAndLeavesTheDestinationAlone)
{
    for (std::uint32_t id : {0u, 1u, 128u, 130u, 140u, 148u, 0xFFFFFFFFu}) {
        std::array<std::uint8_t, 4> dest;
        dest.fill(0xAB);
        EXPECT_EQ(LoadImageBytes(id, 0, 4, dest.data()), -1) << id;
        for (std::uint8_t b : dest) EXPECT_EQ(b, 0xAB);
        EXPECT_EQ(FindImage(id, nullptr), nullptr);
    }
}

TEST(LoadImageBytes, RangeOutsideTheImageFailsAndLeavesTheDestinationAlone)
{
    std::array<std::uint8_t, 4> dest;
    dest.fill(0xAB);
    EXPECT_EQ(LoadImageBytes(139, 0x1000 - 3, 4, dest.data()), -1);
    EXPECT_EQ(LoadImageBytes(139, 0x1000, 1, dest.data()), -1);
    EXPECT_EQ(LoadImageBytes(139, 0xFFFFFFFF, 4, dest.data()), -1);
    EXPECT_EQ(LoadImageBytes(139, 4, 0xFFFFFFFF, dest.data()), -1);
    for (std::uint8_t b : dest) EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(LoadImageBytes(139, 0x1000 - 4, 4, dest.data()), 0);
    EXPECT_EQ(LoadImageBytes(139, 0x1000, 0, dest.data()), 0);
}

TEST(LoadImageBytes, HiddenImageCountsAsMissingUntilShownAgain)
{
    platform::HideResourceForTest("BIN", 142, true);
    std::array<std::uint8_t, 4> dest;
    dest.fill(0xAB);
    EXPECT_EQ(LoadImageBytes(142, 0x4AFFC, 4, dest.data()), -1);
    for (std::uint8_t b : dest) EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(FindImage(142, nullptr), nullptr);
    EXPECT_NE(FindImage(133, nullptr), nullptr) << "only the hidden one is missing";

    platform::HideResourceForTest("BIN", 142, false);
    EXPECT_EQ(LoadImageBytes(142, 0x4AFFC, 4, dest.data()), 0);

    platform::HideResourceForTest("BIN", 129, true);
    platform::HideResourceForTest("BIN", 136, true);
    platform::HideResourceForTest(nullptr, 0, false);   // shows everything again
    for (const ImageInfo& info : kImages) EXPECT_NE(FindImage(info.id, nullptr), nullptr) << info.id;
}

TEST(LoadImageBytes, HidingWhileAnotherThreadLooksUpIsSafe)
{
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::uint8_t field[4];
        while (!done) {
            const int result = LoadImageBytes(147, 0x4FE0, 4, field);
            EXPECT_TRUE(result == 0 || result == -1);
        }
    });
    for (int i = 0; i < 2000; ++i) platform::HideResourceForTest("BIN", 147, i % 2 == 0);
    platform::HideResourceForTest("BIN", 147, false);
    done = true;
    reader.join();
    EXPECT_NE(FindImage(147, nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// The plan.

struct Range {
    std::uint32_t begin;
    std::uint32_t end;   // one past the last byte
};

Range Covered(const ImagePlanStep& step)
{
    std::uint32_t length = step.length;
    if (step.kind == PLAN_WRITE && length == 0) length = Info(step.imageId).size;
    return {step.address, step.address + length};
}

TEST(ImagePlan, ErasesWholeSectorsInsideTheFlashAndWritesWholeImages)
{
    ASSERT_EQ(kImagePlan.size(), 12u);
    for (const ImagePlanStep& step : kImagePlan) {
        ASSERT_TRUE(step.kind == PLAN_ERASE || step.kind == PLAN_WRITE);
        if (step.kind == PLAN_ERASE) {
            EXPECT_EQ(step.address % kBlockSize, 0u);
            EXPECT_EQ(step.length % kBlockSize, 0u);
        } else {
            EXPECT_TRUE(step.length == 0 || step.length == Info(step.imageId).size);
        }
        EXPECT_LE(Covered(step).end, kFlashSize);
    }
    // The SYSTEM block is erased first and written last.
    EXPECT_EQ(kImagePlan.front().address, 0x170000u);
    EXPECT_EQ(kImagePlan.back().imageId, 139u);
}

TEST(ImagePlan, EveryImageIsWrittenOnceInsideAnEarlierErase)
{
    std::vector<std::uint32_t> written;
    for (std::size_t i = 0; i < kImagePlan.size(); ++i) {
        const ImagePlanStep& step = kImagePlan[i];
        if (step.kind != PLAN_WRITE) continue;
        written.push_back(step.imageId);
        const Range write = Covered(step);
        bool inside = false;
        for (std::size_t j = 0; j < i; ++j) {
            const ImagePlanStep& earlier = kImagePlan[j];
            if (earlier.kind != PLAN_ERASE) continue;
            const Range erase = Covered(earlier);
            inside = inside || (erase.begin <= write.begin && write.end <= erase.end);
        }
        EXPECT_TRUE(inside) << "row " << i + 1 << " writes outside every earlier erase";
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::uint32_t>{129, 133, 136, 139, 142, 147}));
}

TEST(ImagePlan, NeverTouchesTheReservedRange)
{
    for (const ImagePlanStep& step : kImagePlan) {
        const Range range = Covered(step);
        EXPECT_TRUE(range.end <= kUntouchedBegin || range.begin >= kUntouchedEnd)
            << std::hex << range.begin << ".." << range.end;
    }
}

TEST(ImagePlan, VersionFieldsLieWhereWritingTheImagesPutsThem)
{
    for (const ImagePlanStep& step : kImagePlan) {
        if (step.kind != PLAN_WRITE) continue;
        const ImageInfo& info = Info(step.imageId);
        if (info.version == nullptr) continue;
        EXPECT_EQ(step.address + info.versionOffset, info.versionAddress) << info.id;
    }
    EXPECT_EQ(Info(kBootImageId).versionAddress, kBootStampAddress);
}

TEST(ImagePlan, WritesGoOutInTheExpectedBlocks)
{
    struct Expected {
        std::uint32_t id;
        std::uint32_t fullBlocks;
        std::uint32_t lastBlock;   // bytes in a short last block, 0 if none
    };
    const Expected expected[] = {
        {133, 27, 0}, {142, 75, 0}, {129, 257, 1104}, {147, 5, 0}, {136, 564, 0}, {139, 1, 0},
    };
    std::size_t row = 0;
    for (const ImagePlanStep& step : kImagePlan) {
        if (step.kind != PLAN_WRITE) continue;
        ASSERT_LT(row, std::size(expected));
        const Expected& e = expected[row++];
        EXPECT_EQ(step.imageId, e.id);
        std::size_t size = 0;
        ASSERT_NE(FindImage(step.imageId, &size), nullptr);
        const std::size_t length = step.length == 0 ? size : step.length;
        EXPECT_EQ(length / kBlockSize, e.fullBlocks) << e.id;
        EXPECT_EQ(length % kBlockSize, e.lastBlock) << e.id;
    }
    // Image 129 leaves the end of its erased region erased.
    EXPECT_EQ(0x066000u + Info(129).size, 0x167450u);
}

// ---------------------------------------------------------------------------
// The build's check of the images it embeds.

class FirmwareCheck : public ::testing::Test {
protected:
    // The embedded images, written out once; each test links to them and
    // replaces the ones it spoils.
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/q9-images-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        good = pattern;
        for (const ImageInfo& info : kImages) WriteFile(good / firmware::ImageFileName(info.id), Embedded(info.id));
    }
    static void TearDownTestSuite() { fs::remove_all(good); }

    void SetUp() override
    {
        char pattern[] = "/tmp/q9-check-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        for (const ImageInfo& info : kImages) {
            const std::string name = firmware::ImageFileName(info.id);
            fs::create_symlink(good / name, dir / name);
        }
    }
    void TearDown() override { fs::remove_all(dir); }

    static void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes)
    {
        fs::remove(path);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void Write(std::uint32_t id, const std::vector<std::uint8_t>& bytes)
    {
        WriteFile(dir / firmware::ImageFileName(id), bytes);
    }

    // The tool's exit status and everything it printed.
    int Run(std::string* output)
    {
        const std::string command =
            std::string("\"") + Q9_CHECK_FIRMWARE_TOOL + "\" \"" + dir.string() + "\" 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return -1;
        char buffer[256];
        output->clear();
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *output += buffer;
        return pclose(pipe);
    }

    static inline fs::path good;
    fs::path dir;
};

TEST_F(FirmwareCheck, AcceptsTheEmbeddedImages)
{
    std::string output;
    EXPECT_EQ(Run(&output), 0) << output;
    EXPECT_EQ(output, "");
}

TEST_F(FirmwareCheck, RefusesAWrongSizeNamingTheFile)
{
    std::vector<std::uint8_t> image = Embedded(129);
    image.push_back(0);
    Write(129, image);
    std::string output;
    EXPECT_NE(Run(&output), 0);
    EXPECT_NE(output.find("129.bin: wrong size: 1053777 bytes, expected 1053776"), std::string::npos) << output;
}

TEST_F(FirmwareCheck, RefusesABadVersionFieldNamingTheFile)
{
    std::vector<std::uint8_t> image = Embedded(142);
    image[0x4AFFD] = ',';   // "1,00"
    Write(142, image);
    image = Embedded(139);
    image[0xFE2] = 0xFF;    // "1.?0"
    Write(139, image);
    std::string output;
    EXPECT_NE(Run(&output), 0);
    EXPECT_NE(output.find("142.bin: bad version field at offset 0x4AFFC"), std::string::npos) << output;
    EXPECT_NE(output.find("139.bin: bad version field at offset 0xFE0"), std::string::npos) << output;
    EXPECT_NE(output.find("2 problem(s)"), std::string::npos) << output;
}

TEST_F(FirmwareCheck, RefusesAMissingOrShortImage)
{
    fs::remove(dir / "136.bin");
    Write(133, std::vector<std::uint8_t>(100, 0));
    std::string output;
    EXPECT_NE(Run(&output), 0);
    EXPECT_NE(output.find("136.bin: missing"), std::string::npos) << output;
    EXPECT_NE(output.find("133.bin: wrong size: 100 bytes"), std::string::npos) << output;
    EXPECT_NE(output.find("133.bin: too short for its version field"), std::string::npos) << output;
}

}  // namespace
