// The virtual ARKO Q9: the device model directly, its settings, its MIDI
// backend through the raw MIDI calls, and the whole receive path through the
// real ports, protocol code and a 1 ms reply timer.
#include "virtual_device/virtual_midi.h"

#include "midi/dx_mtimer.h"
#include "platform/midi_system.h"
#include "update/image_plan.h"
#include "update/protocol.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include <unistd.h>

using namespace platform;
using Bytes = std::vector<std::uint8_t>;
using Q9 = VirtualQ9;

namespace {

constexpr std::uint8_t kModel = 0x6E;

// Messages built here from the wire layout, independently of the host's composers.
Bytes Five(std::uint32_t v)
{
    Bytes b(5);
    Encode5(v, b.data());
    return b;
}
Bytes Cmd(std::uint8_t cmd, const Bytes& body = {}, std::uint8_t model = kModel)
{
    Bytes m{0xF0, 0x52, 0x00, model, cmd};
    m.insert(m.end(), body.begin(), body.end());
    m.push_back(0xF7);
    return m;
}
Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes Erase(std::uint32_t address, std::uint32_t size) { return Cmd(kCmdErase, Cat(Five(address), Five(size))); }
Bytes Read(std::uint32_t address, std::uint32_t size) { return Cmd(kCmdRead, Cat(Cat({0x30}, Five(address)), Five(size))); }
std::uint32_t ZlibJamCrc(const std::uint8_t* data, std::size_t n)
{
    return ~static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(n)));
}
Bytes Write(std::uint32_t address, const Bytes& data)
{
    const auto n = static_cast<std::uint32_t>(data.size());
    Bytes packed(PackedLength(n));
    Pack7(packed.data(), data.data(), n);
    Bytes body = Cat(Five(address), {static_cast<std::uint8_t>(n & 0x7F), static_cast<std::uint8_t>(n >> 7)});
    return Cmd(kCmdWriteBlock, Cat(Cat(body, packed), Five(ZlibJamCrc(data.data(), n))));
}
Bytes Pattern(std::size_t n, std::uint32_t seed)
{
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return b;
}

VirtualDeviceSettings Settings(const std::string& text)
{
    VirtualDeviceSettings s;
    std::string error;
    EXPECT_TRUE(ParseVirtualDeviceSettings(text, s, error)) << error;
    return s;
}

std::vector<Q9::Reply> Send(Q9& dev, const Bytes& m) { return dev.Receive(m.data(), m.size()); }

// The status of a single status reply; -1 when the answer is anything else.
int StatusOf(const std::vector<Q9::Reply>& replies)
{
    if (replies.size() != 1) return -1;
    const Bytes& b = replies[0].bytes;
    if (b != Bytes{0xF0, 0x52, 0x00, kModel, 0x00, b.size() == 7 ? b[5] : std::uint8_t{0}, 0xF7}) return -1;
    return b[5];
}

// Decodes read-data replies checking every byte; false on any mismatch.
bool DecodeRead(const Bytes& b, Bytes& out, bool& crcOk)
{
    if (b.size() < 17 || b[0] != 0xF0 || b[1] != 0x52 || b[2] != 0 || b[3] != kModel || b[4] != 0x60 ||
        b[5] != 0x04 || b[6] != 0x30 || b[7] != 0 || b[8] != 0 || b.back() != 0xF7)
        return false;
    const std::uint32_t n = b[9] | b[10] << 7;
    if (b.size() != 17 + PackedLength(n)) return false;
    Bytes data(n);
    if (Unpack7(data.data(), b.data() + 11, PackedLength(n)) != n) return false;
    crcOk = Decode5(b.data() + 11 + PackedLength(n)) == ZlibJamCrc(data.data(), n);
    out.insert(out.end(), data.begin(), data.end());
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Settings.

TEST(VirtualDeviceSettings, ParsesEveryItem)
{
    VirtualDeviceSettings s;
    std::string error;
    ASSERT_TRUE(ParseVirtualDeviceSettings("", s, error));
    EXPECT_EQ(s.flash, VirtualDeviceSettings::Flash::Factory);
    EXPECT_EQ(s.identity, (std::array<std::uint8_t, 4>{0x6E, 0x00, 0x09, 0x00}));

    ASSERT_TRUE(ParseVirtualDeviceSettings(
        "flash=erased, identity=6e000800,version=2.5a,update-mode=off,link=131072,erase-ms=3,write-ms=2,"
        "drop=5,refuse=7,corrupt-read=2,late=40,silent,",
        s, error))
        << error;
    EXPECT_EQ(s.flash, VirtualDeviceSettings::Flash::Erased);
    EXPECT_EQ(s.identity, (std::array<std::uint8_t, 4>{0x6E, 0x00, 0x08, 0x00}));
    EXPECT_EQ(std::string(s.version.data(), 4), "2.5a");
    EXPECT_TRUE(s.updateModeOff);
    EXPECT_EQ(s.linkBytesPerSecond, 131072u);
    EXPECT_EQ(s.eraseMsPer4K, 3u);
    EXPECT_EQ(s.writeMsPerBlock, 2u);
    EXPECT_EQ(s.drop, 5u);
    EXPECT_EQ(s.refuse, 7u);
    EXPECT_EQ(s.corruptRead, 2u);
    EXPECT_EQ(s.lateMs, 40u);
    EXPECT_TRUE(s.silent);

    ASSERT_TRUE(ParseVirtualDeviceSettings("flash=current", s, error));
    EXPECT_EQ(s.flash, VirtualDeviceSettings::Flash::Current);
    ASSERT_TRUE(ParseVirtualDeviceSettings("flash=/tmp/q9.bin", s, error));
    EXPECT_EQ(s.flash, VirtualDeviceSettings::Flash::Path);
    EXPECT_EQ(s.flashPath, "/tmp/q9.bin");
    // A comma in a path is quoted or escaped; other backslashes (Windows paths) stay.
    for (const auto& [text, path] : {std::pair{"flash=\"a,b\",late=1", "a,b"}, std::pair{"flash=a\\,b,late=1", "a,b"},
                                     std::pair{"flash=C:\\q9\\f.bin,late=1", "C:\\q9\\f.bin"}}) {
        ASSERT_TRUE(ParseVirtualDeviceSettings(text, s, error)) << text << ": " << error;
        EXPECT_EQ(s.flashPath, path) << text;
        EXPECT_EQ(s.lateMs, 1u) << text;
    }

    EXPECT_EQ(s.reorderMs, 2600u);
    EXPECT_EQ(s.stallMs, 3500u);
    ASSERT_TRUE(ParseVirtualDeviceSettings("reorder-ms=5,stall-ms=6", s, error)) << error;
    EXPECT_EQ(s.reorderMs, 5u);
    EXPECT_EQ(s.stallMs, 6u);
    // Every counted fault, as N and as @N/M/... with generated rising counts:
    // it hits exactly at its counts.
    const std::pair<const char*, FaultCount VirtualDeviceSettings::*> counted[] = {
        {"drop", &VirtualDeviceSettings::drop}, {"refuse", &VirtualDeviceSettings::refuse},
        {"corrupt-read", &VirtualDeviceSettings::corruptRead}, {"hold", &VirtualDeviceSettings::hold},
        {"dup", &VirtualDeviceSettings::dup}, {"reorder", &VirtualDeviceSettings::reorder},
        {"stall", &VirtualDeviceSettings::stall}, {"cut", &VirtualDeviceSettings::cut},
        {"ghost", &VirtualDeviceSettings::ghost}};
    std::uint32_t seed = 7;
    for (const auto& [key, field] : counted) {
        for (int round = 0; round < 20; ++round) {
            std::vector<std::uint32_t> at;
            std::string text = std::string(key) + "=@";
            for (std::uint32_t n = 0, count = 1 + (seed = seed * 1103515245u + 12345u) % 64; count > 0; --count) {
                at.push_back(n += 1 + (seed = seed * 1103515245u + 12345u) % 9);
                text += (at.size() > 1 ? "/" : "") + std::to_string(n);
            }
            const std::uint32_t every = 1 + round;
            for (const bool periodic : {false, true}) {
                const std::string item = periodic ? std::string(key) + "=" + std::to_string(every) : text;
                ASSERT_TRUE(ParseVirtualDeviceSettings(item, s, error)) << item << ": " << error;
                for (std::uint32_t n = 0; n <= at.back() + 10; ++n) {
                    const bool expected = periodic ? n > 0 && n % every == 0 : std::count(at.begin(), at.end(), n) == 1;
                    ASSERT_EQ((s.*field).Hits(n), expected) << item << " at " << n;
                }
            }
        }
        ASSERT_TRUE(ParseVirtualDeviceSettings(std::string(key) + "=0", s, error));
        EXPECT_TRUE((s.*field).Off()) << key;
    }
}

TEST(VirtualDeviceSettings, BadItemsAreNamedAndChangeNothing)
{
    std::string tooMany = "ghost=@1";
    for (int i = 2; i <= 65; ++i) tooMany += "/" + std::to_string(i);
    for (const std::string& item : std::vector<std::string>{
             "bogus=1", "link=fast", "link=-1", "drop=", "identity=6E0009", "identity=6E00090G", "identity=8E000900",
             "version=10000", "update-mode=maybe", "silent=yes", "late=99999999", "flash=", "write-ms=1.5", "refuse",
             "dup=-1", "reorder=x", "reorder-ms=99999999", "stall-ms=", "cut=1.5", "ghost", "dup=@", "reorder=@0",
             "stall=@5/3", "cut=@4/4", "ghost=@1//2", "hold=@1/", "drop=@x", "refuse=@-1", "corrupt-read=@/1",
             "dup=@4294967296", tooMany}) {
        VirtualDeviceSettings s;
        s.lateMs = 77;
        std::string error;
        EXPECT_FALSE(ParseVirtualDeviceSettings(std::string("link=5,") + item, s, error)) << item;
        EXPECT_NE(error.find(std::string("\"") + item + "\""), std::string::npos) << error;
        EXPECT_EQ(s.lateMs, 77u) << item;
    }
    std::string error;
    VirtualDeviceSettings s;
    EXPECT_FALSE(ParseVirtualDeviceSettings("stall=@5/3", s, error));
    EXPECT_NE(error.find("must rise"), std::string::npos) << error;
    EXPECT_FALSE(ParseVirtualDeviceSettings(tooMany, s, error));
    EXPECT_NE(error.find("at most 64"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------
// Flash contents.

bool AllErased(const Bytes& flash, std::size_t from, std::size_t to)
{
    const Bytes erased(to - from, 0xFF);
    return std::memcmp(flash.data() + from, erased.data(), erased.size()) == 0;
}

TEST(VirtualDeviceFlash, FactoryAndExpectedContents)
{
    const Bytes expected = ExpectedFlashAfterUpdate();
    ASSERT_EQ(expected.size(), Q9::kFlashSize);
    for (const ImageInfo& info : kImages) {
        std::size_t size = 0;
        const std::uint8_t* image = FindImage(info.id, &size);
        ASSERT_NE(image, nullptr);
        std::uint32_t address = 0;
        for (const ImagePlanStep& step : kImagePlan)
            if (step.kind == PLAN_WRITE && step.imageId == info.id) address = step.address;
        EXPECT_EQ(std::memcmp(image, expected.data() + address, size), 0) << info.id;
    }
    EXPECT_TRUE(AllErased(expected, 0x171000, 0x1C7000));   // never written
    EXPECT_TRUE(AllErased(expected, 0x167450, 0x170000));   // erased beyond image 129

    // Factory: the same but for two version fields.
    Bytes factory = FactoryFlash();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&factory[0x170FE0]), 4), "1.10");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&factory[0x1CBFE0]), 4), "1.01");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&factory[0x04AFFC]), 4), "1.00");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&factory[0x065FFC]), 4), "1.00");
    std::memcpy(&factory[0x170FE0], "1.20", 4);
    std::memcpy(&factory[0x1CBFE0], "1.02", 4);
    EXPECT_TRUE(factory == expected);

    // Applied over other contents, the plan keeps what it does not touch.
    const Bytes after = ExpectedFlashAfterUpdate(Bytes(Q9::kFlashSize, 0x00));
    EXPECT_EQ(after[0x171000], 0x00);
    EXPECT_EQ(after[0x1C6FFF], 0x00);
    EXPECT_TRUE(AllErased(after, 0x167450, 0x170000));
    EXPECT_EQ(std::memcmp(after.data() + 0x1C7000, expected.data() + 0x1C7000, Q9::kFlashSize - 0x1C7000), 0);
}

// ---------------------------------------------------------------------------
// The model, command by command.

TEST(VirtualQ9Model, IdentityRequestIsAnsweredForDeviceZeroAndAllCall)
{
    Q9 dev(Settings("flash=erased,identity=6E000800,version=1234"));
    const Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00, 0x08, 0x00, '1', '2', '3', '4', 0xF7};
    for (std::uint8_t device : {0x00, 0x7F}) {
        const auto r = Send(dev, {0xF0, 0x7E, device, 0x06, 0x01, 0xF7});
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].bytes, reply);
        EXPECT_FALSE(r[0].lost);
    }
    EXPECT_TRUE(Send(dev, {0xF0, 0x7E, 0x05, 0x06, 0x01, 0xF7}).empty());   // another device number
    EXPECT_TRUE(Send(dev, {0xF0, 0x7E, 0x00, 0x06, 0x01}).empty());         // unterminated
    EXPECT_TRUE(Send(dev, {0x90, 0x40, 0x7F}).empty());                      // not SysEx
    EXPECT_EQ(dev.Stats().ignored, 3u);
}

TEST(VirtualQ9Model, UpdateSessionOrderAndMode)
{
    Q9 dev(Settings("flash=erased"));
    const Bytes before = dev.Flash();
    EXPECT_EQ(StatusOf(Send(dev, Erase(0, 0x1000))), Q9::kStatusNotInUpdate);
    EXPECT_EQ(StatusOf(Send(dev, Write(0, {1, 2}))), Q9::kStatusNotInUpdate);
    EXPECT_EQ(StatusOf(Send(dev, Cmd(kCmdEndUpdate))), Q9::kStatusNotInUpdate);
    EXPECT_EQ(dev.Flash(), before);
    EXPECT_EQ(StatusOf(Send(dev, Cmd(kCmdBeginUpdate))), 0);
    EXPECT_TRUE(dev.InUpdate());
    EXPECT_EQ(StatusOf(Send(dev, Cmd(kCmdBeginUpdate, {0x00}))), Q9::kStatusBadLength);
    EXPECT_EQ(StatusOf(Send(dev, Cmd(kCmdEndUpdate))), 0);
    EXPECT_FALSE(dev.InUpdate());

    Q9 off(Settings("update-mode=off"));
    EXPECT_EQ(StatusOf(Send(off, Cmd(kCmdBeginUpdate))), 0x0B);
    EXPECT_FALSE(off.InUpdate());
}

TEST(VirtualQ9Model, EraseWriteAndReadBack)
{
    Q9 dev(Settings("flash=current,erase-ms=3,write-ms=2"));
    ASSERT_EQ(StatusOf(Send(dev, Cmd(kCmdBeginUpdate))), 0);
    auto erased = Send(dev, Erase(0x1C7000, 0x5000));
    ASSERT_EQ(StatusOf(erased), 0);
    EXPECT_EQ(erased[0].busyMs, 15u);   // five sectors
    EXPECT_TRUE(AllErased(dev.Flash(), 0x1C7000, 0x1CC000));
    const Bytes current = ExpectedFlashAfterUpdate();   // the neighbours are untouched
    EXPECT_EQ(std::memcmp(current.data() + 0x1C0000, dev.Flash().data() + 0x1C0000, 0x7000), 0);
    EXPECT_EQ(std::memcmp(current.data() + 0x1CC000, dev.Flash().data() + 0x1CC000, 0x4000), 0);

    const Bytes data = Pattern(4096, 7);
    auto written = Send(dev, Write(0x1C7000, data));
    ASSERT_EQ(StatusOf(written), 0);
    EXPECT_EQ(written[0].busyMs, 2u);
    EXPECT_EQ(StatusOf(Send(dev, Write(0x1C7000, data))), 0);   // identical data again: harmless
    const Bytes tail = Pattern(1, 9);
    ASSERT_EQ(StatusOf(Send(dev, Write(0x1C8000, tail))), 0);   // a 1-byte block

    // Reads: any size, split in 4096-byte replies, CRC over the data (zlib as oracle).
    const auto replies = Send(dev, Read(0x1C6FFE, 4099));
    ASSERT_EQ(replies.size(), 2u);
    Bytes back;
    for (const auto& r : replies) {
        bool crcOk = false;
        ASSERT_TRUE(DecodeRead(r.bytes, back, crcOk));
        EXPECT_TRUE(crcOk);
    }
    ASSERT_EQ(back.size(), 4099u);
    EXPECT_EQ(back[0], 0xFF);
    EXPECT_EQ(back[1], 0xFF);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 2));
    EXPECT_EQ(back[4098], tail[0]);

    // Reads work outside update mode too.
    ASSERT_EQ(StatusOf(Send(dev, Cmd(kCmdEndUpdate))), 0);
    const auto version = Send(dev, Read(0x170FE0, 4));
    Bytes field;
    bool crcOk = false;
    ASSERT_EQ(version.size(), 1u);
    ASSERT_TRUE(DecodeRead(version[0].bytes, field, crcOk));
    EXPECT_EQ(std::string(field.begin(), field.end()), "1.20");
    EXPECT_EQ(dev.Stats().blocksWritten, 3u);
    EXPECT_EQ(dev.Stats().sectorsErased, 5u);
}

TEST(VirtualQ9Model, EveryRefusalChangesNothing)
{
    Q9 dev(Settings("flash=erased"));
    ASSERT_EQ(StatusOf(Send(dev, Cmd(kCmdBeginUpdate))), 0);
    ASSERT_EQ(StatusOf(Send(dev, Write(0x2000, {0x00, 0x0F}))), 0);

    const Bytes good = Write(0x3000, Pattern(13, 3));
    Bytes badCrc = good;
    badCrc[badCrc.size() - 6] ^= 0x01;
    Bytes badPacking = Write(0x3000, Pattern(8, 3));   // groups of 7 and 1: the 1-byte group may use only bit 0x40
    badPacking[12 + 8] |= 0x01;
    Bytes badByte = good;
    badByte[14] |= 0x80;
    Bytes shortMsg = good;
    shortMsg.erase(shortMsg.end() - 2);
    Bytes countTooBig = good;
    countTooBig[10] = 0x01;
    countTooBig[11] = 0x20;   // 4097
    Bytes countZero = Cmd(kCmdWriteBlock, Cat(Cat(Five(0x3000), {0, 0}), Five(0xFFFFFFFF)));
    Bytes bigFive = Erase(0, 0x1000);
    bigFive[9] = 0x10;   // top byte of a five-byte value above 0x0F
    Bytes otherDevice = good;
    otherDevice[2] = 0x01;
    Bytes readNoTag = Read(0, 4);
    readNoTag[5] = 0x31;

    const struct {
        const char* what;
        Bytes message;
        int status;
    } cases[] = {
        {"bad CRC", badCrc, Q9::kStatusBadCrc},
        {"bad packing", badPacking, Q9::kStatusBadPacking},
        {"bit 7 set", badByte, Q9::kStatusBadByte},
        {"short", shortMsg, Q9::kStatusBadLength},
        {"count 4097", countTooBig, Q9::kStatusBadCount},
        {"count 0", countZero, Q9::kStatusBadCount},
        {"over a 0 bit", Write(0x2000, {0x01, 0x0F}), Q9::kStatusNotErased},
        {"write past the end", Write(0x3FFFFF, {1, 2}), Q9::kStatusOutOfRange},
        {"wrong model", Cmd(kCmdBeginUpdate, {}, 0x00), Q9::kStatusWrongModel},
        {"device number", otherDevice, Q9::kStatusBadHeader},
        {"erase past the end", Erase(0x3FF000, 0x2000), Q9::kStatusOutOfRange},
        {"erase size 0", Erase(0x1000, 0), Q9::kStatusBadCount},
        {"erase misaligned address", Erase(0x1800, 0x1000), Q9::kStatusMisaligned},
        {"erase misaligned size", Erase(0x1000, 0x800), Q9::kStatusMisaligned},
        {"erase length", Cmd(kCmdErase, Five(0)), Q9::kStatusBadLength},
        {"oversized value", bigFive, Q9::kStatusOutOfRange},
        {"read past the end", Read(0x3FFFFE, 4), Q9::kStatusOutOfRange},
        {"read size 0", Read(0, 0), Q9::kStatusBadCount},
        {"read without 0x30", readNoTag, Q9::kStatusBadHeader},
        {"unknown command", Cmd(0x07), Q9::kStatusUnknownCommand},
    };
    const Bytes before = dev.Flash();
    for (const auto& c : cases) {
        EXPECT_EQ(StatusOf(Send(dev, c.message)), c.status) << c.what;
        EXPECT_TRUE(dev.Flash() == before) << c.what;
        EXPECT_TRUE(dev.InUpdate()) << c.what;
    }
    EXPECT_EQ(dev.Stats().refusals, std::size(cases));
    EXPECT_EQ(StatusOf(Send(dev, good)), 0);   // the unaltered message is fine
}

TEST(VirtualQ9Model, RecordsWhatTheHostAnswers)
{
    Q9 dev(Settings("flash=erased"));
    EXPECT_TRUE(Send(dev, Cmd(kCmdStatus, {0x01})).empty());
    EXPECT_TRUE(Send(dev, {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00, 0x09, 0x00, '1', '0', '0', '0', 0xF7}).empty());
    ASSERT_EQ(dev.Log().size(), 2u);
    EXPECT_EQ(dev.Log()[0].kind, Q9::Kind::HostStatus);
    EXPECT_EQ(dev.Log()[0].status, 1);
    EXPECT_EQ(dev.Log()[1].kind, Q9::Kind::HostIdentity);
    EXPECT_EQ(dev.Log()[1].address, 0x0009006Eu);
    EXPECT_EQ(dev.Stats().commands, 0u);   // not counted by drop/refuse

    EXPECT_EQ(Q9::DeviceCommand(0x6E, 0x05), (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x05, 0xF7}));
    EXPECT_EQ(Q9::DeviceIdentityRequest(), (Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
}

TEST(VirtualQ9Model, FaultSettings)
{
    {   // drop=3: the third command acts, but its reply is lost
        Q9 dev(Settings("flash=erased,drop=3"));
        Send(dev, Cmd(kCmdBeginUpdate));
        EXPECT_FALSE(Send(dev, Erase(0, 0x1000))[0].lost);
        const auto r = Send(dev, Write(0, {0x12}));
        ASSERT_EQ(r.size(), 1u);
        EXPECT_TRUE(r[0].lost);
        EXPECT_EQ(dev.Flash()[0], 0x12);
        EXPECT_FALSE(Send(dev, Write(0, {0x12}))[0].lost);   // the resend is answered
        EXPECT_EQ(dev.Stats().dropped, 1u);
    }
    {   // refuse=2: every second command refused, without effect
        Q9 dev(Settings("flash=erased,refuse=2"));
        EXPECT_EQ(StatusOf(Send(dev, Cmd(kCmdBeginUpdate))), 0);
        EXPECT_EQ(StatusOf(Send(dev, Write(0, {0x12}))), Q9::kStatusRefused);
        EXPECT_EQ(dev.Flash()[0], 0xFF);
        EXPECT_EQ(StatusOf(Send(dev, Write(0, {0x12}))), 0);
        EXPECT_EQ(dev.Flash()[0], 0x12);
    }
    {   // corrupt-read=2: every second read-data reply has a wrong CRC
        Q9 dev(Settings("corrupt-read=2"));
        const auto r = Send(dev, Read(0, 3 * 4096));
        ASSERT_EQ(r.size(), 3u);
        Bytes data;
        bool ok[3] = {};
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(DecodeRead(r[i].bytes, data, ok[i]));
        EXPECT_TRUE(ok[0]);
        EXPECT_FALSE(ok[1]);
        EXPECT_TRUE(ok[2]);
        EXPECT_EQ(dev.Stats().corruptedReads, 1u);
    }
    {   // silent: commands act, nothing is answered
        Q9 dev(Settings("flash=erased,silent"));
        EXPECT_TRUE(Send(dev, {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7})[0].lost);
        EXPECT_TRUE(Send(dev, Cmd(kCmdBeginUpdate))[0].lost);
        EXPECT_TRUE(dev.InUpdate());
    }
}

TEST(VirtualQ9Model, FlashFile)
{
    const auto dir = std::filesystem::temp_directory_path() / ("q9vd-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "flash.bin").string();
    std::string error;
    {   // missing: created from factory, written back on request
        Q9 dev(Settings("flash=" + path));
        ASSERT_TRUE(dev.LoadError().empty()) << dev.LoadError();
        ASSERT_EQ(std::filesystem::file_size(path), Q9::kFlashSize);
        EXPECT_EQ(dev.Flash(), FactoryFlash());
        Send(dev, Cmd(kCmdBeginUpdate));
        ASSERT_EQ(StatusOf(Send(dev, Erase(0x170000, 0x1000))), 0);
        EXPECT_TRUE(dev.SaveFlash(error)) << error;
    }
    {   // present: read back
        Q9 dev(Settings("flash=" + path));
        EXPECT_TRUE(dev.LoadError().empty());
        EXPECT_EQ(dev.Flash()[0x170FE0], 0xFF);
        // held by this device: a second one is refused, naming the file
        EXPECT_EQ(MakeVirtualMidi("flash=" + path, error), nullptr);
        EXPECT_NE(error.find(path + " is in use"), std::string::npos) << error;
    }
    {   // another size: a clear error, the file is left alone
        std::filesystem::resize_file(path, 1000);
        EXPECT_EQ(MakeVirtualMidi("flash=" + path, error), nullptr);
        EXPECT_NE(error.find("1000 bytes"), std::string::npos) << error;
        EXPECT_EQ(std::filesystem::file_size(path), 1000u);
        EXPECT_EQ(MakeVirtualMidi("flash=" + dir.string(), error), nullptr);
        EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
        EXPECT_EQ(MakeVirtualMidi("flash=" + (dir / "no" / "such").string(), error), nullptr);
    }
    std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------------------
// The backend through the raw MIDI calls.

namespace {

// A host side with its own input buffers and a recording callback.
struct RawHost {
    explicit RawHost(VirtualMidi& m, DWORD bufferSize = 8192, int buffers = 1) : midi(m)
    {
        EXPECT_EQ(midi.OutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        EXPECT_EQ(midi.InOpen(&in, 0, &Callback, reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        storage.resize(buffers);
        headers.resize(buffers);
        for (int i = 0; i < buffers; ++i) {
            storage[i].resize(bufferSize);
            headers[i].lpData = storage[i].data();
            headers[i].dwBufferLength = bufferSize;
            EXPECT_EQ(midi.InPrepareHeader(in, &headers[i], sizeof(MIDIHDR)), MMSYSERR_NOERROR);
            EXPECT_EQ(midi.InAddBuffer(in, &headers[i], sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(midi.InStart(in), MMSYSERR_NOERROR);
    }
    ~RawHost()
    {
        midi.InReset(in);
        for (auto& h : headers) midi.InUnprepareHeader(in, &h, sizeof(MIDIHDR));
        midi.InClose(in);
        midi.OutClose(out);
    }
    static void Callback(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
    {
        auto* self = reinterpret_cast<RawHost*>(instance);
        if (msg != MIM_LONGDATA) return;
        auto* h = reinterpret_cast<MIDIHDR*>(p1);
        std::lock_guard lock(self->mutex);
        self->pieces.emplace_back(h->lpData, h->lpData + h->dwBytesRecorded);
        if (self->requeue && h->dwBytesRecorded > 0) self->midi.InAddBuffer(self->in, h, sizeof(MIDIHDR));
    }
    MMRESULT Send(Bytes m)
    {
        MIDIHDR h{};
        h.lpData = reinterpret_cast<char*>(m.data());
        h.dwBufferLength = static_cast<DWORD>(m.size());
        if (MMRESULT r = midi.OutPrepareHeader(out, &h, sizeof h); r != MMSYSERR_NOERROR) return r;
        if (MMRESULT r = midi.OutLongMsg(out, &h, sizeof h); r != MMSYSERR_NOERROR) return r;
        while ((std::atomic_ref<DWORD>(h.dwFlags).load() & MHDR_DONE) == 0) std::this_thread::yield();
        return midi.OutUnprepareHeader(out, &h, sizeof h);
    }
    std::vector<Bytes> Pieces()
    {
        std::lock_guard lock(mutex);
        return pieces;
    }
    VirtualMidi& midi;
    HMIDIOUT out = 0;
    HMIDIIN in = 0;
    std::vector<std::vector<char>> storage;
    std::vector<MIDIHDR> headers;
    std::mutex mutex;
    std::vector<Bytes> pieces;
    bool requeue = true;
};

}  // namespace

TEST(VirtualMidiBackend, DevicesAndOpening)
{
    VirtualMidi midi(Settings("flash=erased"));
    EXPECT_EQ(midi.InGetNumDevs(), 1u);
    EXPECT_EQ(midi.OutGetNumDevs(), 1u);
    MIDIINCAPSA inCaps;
    MIDIOUTCAPSA outCaps;
    ASSERT_EQ(midi.InGetDevCaps(0, &inCaps, sizeof inCaps), MMSYSERR_NOERROR);
    ASSERT_EQ(midi.OutGetDevCaps(0, &outCaps, sizeof outCaps), MMSYSERR_NOERROR);
    EXPECT_STREQ(inCaps.szPname, "ARKO Q9");
    EXPECT_STREQ(outCaps.szPname, "ARKO Q9");
    EXPECT_EQ(midi.InGetDevCaps(1, &inCaps, sizeof inCaps), MMSYSERR_BADDEVICEID);

    HMIDIOUT out = 0, out2 = 0;
    ASSERT_EQ(midi.OutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midi.OutOpen(&out2, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(midi.OutOpen(&out2, 1, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    MIDIHDR h{};
    char byte = 0;
    h.lpData = &byte;
    h.dwBufferLength = 1;
    EXPECT_EQ(midi.OutLongMsg(out, &h, sizeof h), MIDIERR_UNPREPARED);
    EXPECT_EQ(midi.OutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(midi.OutClose(out), MMSYSERR_INVALHANDLE);

    HMIDIIN in = 0, in2 = 0;
    ASSERT_EQ(midi.InOpen(&in, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midi.InOpen(&in2, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    std::vector<char> buffer(16);
    MIDIHDR ih{};
    ih.lpData = buffer.data();
    ih.dwBufferLength = 16;
    EXPECT_EQ(midi.InAddBuffer(in, &ih, sizeof ih), MIDIERR_UNPREPARED);
    ASSERT_EQ(midi.InPrepareHeader(in, &ih, sizeof ih), MMSYSERR_NOERROR);
    ASSERT_EQ(midi.InAddBuffer(in, &ih, sizeof ih), MMSYSERR_NOERROR);
    EXPECT_EQ(midi.InUnprepareHeader(in, &ih, sizeof ih), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midi.InClose(in), MIDIERR_STILLPLAYING);
    ASSERT_EQ(midi.InReset(in), MMSYSERR_NOERROR);   // hands the buffer back empty and done
    EXPECT_EQ(ih.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
    EXPECT_EQ(ih.dwBytesRecorded, 0u);
    EXPECT_EQ(midi.InUnprepareHeader(in, &ih, sizeof ih), MMSYSERR_NOERROR);
    EXPECT_EQ(midi.InClose(in), MMSYSERR_NOERROR);
}

TEST(VirtualMidiBackend, RepliesFillBuffersAndSplitLongOnes)
{
    VirtualMidi midi(Settings("flash=current"));
    RawHost host(midi, 16, 2);
    ASSERT_EQ(host.Send({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}), MMSYSERR_NOERROR);
    ASSERT_EQ(host.Send(Read(0x170FE0, 8)), MMSYSERR_NOERROR);   // 8 + 2 packed bytes: a 27-byte reply
    ASSERT_TRUE(midi.WaitIdle(10000));
    const auto pieces = host.Pieces();
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].size(), 15u);
    EXPECT_EQ(pieces[1].size(), 16u);
    EXPECT_EQ(pieces[2].size(), 11u);
    EXPECT_EQ(pieces[2].back(), 0xF7);
    Bytes data;
    bool crcOk = false;
    ASSERT_TRUE(DecodeRead(Cat(pieces[1], pieces[2]), data, crcOk));
    EXPECT_TRUE(crcOk);
    EXPECT_EQ(std::string(data.begin(), data.begin() + 4), "1.20");
    EXPECT_EQ(midi.HostMessages().size(), 2u);
}

TEST(VirtualMidiBackend, ByteStreamAndConcurrentSenders)
{
    VirtualMidi midi(Settings("flash=erased,link=4000000"));
    RawHost host(midi);
    // Two messages in one buffer, stray bytes around them, one message over two buffers.
    Bytes both = Cat(Cat({0x90, 0x40}, Cmd(kCmdBeginUpdate)), Cat({0xF8}, Erase(0, 0x1000)));
    ASSERT_EQ(host.Send(both), MMSYSERR_NOERROR);
    const Bytes write = Write(0, Pattern(4096, 1));
    ASSERT_EQ(host.Send(Bytes(write.begin(), write.begin() + 100)), MMSYSERR_NOERROR);
    ASSERT_EQ(host.Send(Bytes(write.begin() + 100, write.end())), MMSYSERR_NOERROR);

    // Two threads send at once: every message is handled whole.
    auto sender = [&](std::uint32_t base) {
        for (std::uint32_t i = 0; i < 40; ++i) host.Send(Read(base + i, 4));
    };
    std::thread a(sender, 0x1000), b(sender, 0x2000);
    a.join();
    b.join();
    ASSERT_TRUE(midi.WaitIdle(10000));
    const auto log = midi.LogCopy();
    ASSERT_EQ(log.size(), 83u);
    EXPECT_EQ(log[0].kind, Q9::Kind::BeginUpdate);
    EXPECT_EQ(log[1].kind, Q9::Kind::Erase);
    EXPECT_EQ(log[2].kind, Q9::Kind::WriteBlock);
    EXPECT_EQ(log[2].status, 0);
    for (const auto& e : log) {
        EXPECT_NE(e.kind, Q9::Kind::Ignored);
        EXPECT_TRUE(e.answered);
    }
    EXPECT_EQ(host.Pieces().size(), 83u);
}

TEST(VirtualMidiBackend, SlowLinkLateRepliesAndStoppedInput)
{
    {   // 1 byte per second: the send is not done at once; unpreparing lets the header go.
        VirtualMidi midi(Settings("link=1"));
        HMIDIOUT out = 0;
        ASSERT_EQ(midi.OutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        Bytes m{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
        MIDIHDR h{};
        h.lpData = reinterpret_cast<char*>(m.data());
        h.dwBufferLength = 6;
        ASSERT_EQ(midi.OutPrepareHeader(out, &h, sizeof h), MMSYSERR_NOERROR);
        ASSERT_EQ(midi.OutLongMsg(out, &h, sizeof h), MMSYSERR_NOERROR);
        EXPECT_EQ(std::atomic_ref<DWORD>(h.dwFlags).load() & MHDR_DONE, 0u);
        EXPECT_EQ(midi.OutLongMsg(out, &h, sizeof h), MIDIERR_STILLPLAYING);
        EXPECT_EQ(midi.OutUnprepareHeader(out, &h, sizeof h), MIDIERR_STILLPLAYING);
        EXPECT_NE(std::atomic_ref<DWORD>(h.dwFlags).load() & MHDR_DONE, 0u);
        EXPECT_EQ(midi.OutUnprepareHeader(out, &h, sizeof h), MMSYSERR_NOERROR);
        midi.OutClose(out);
    }
    {   // a reset ends every send in flight at once: what the link has not carried never arrives
        VirtualMidi midi(Settings("link=1"));
        HMIDIOUT out = 0;
        ASSERT_EQ(midi.OutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        Bytes m{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
        MIDIHDR h[2] = {};
        for (MIDIHDR& header : h) {
            header.lpData = reinterpret_cast<char*>(m.data());
            header.dwBufferLength = 6;
            ASSERT_EQ(midi.OutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
            ASSERT_EQ(midi.OutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(midi.OutReset(out), MMSYSERR_NOERROR);
        for (MIDIHDR& header : h) {
            EXPECT_EQ(std::atomic_ref<DWORD>(header.dwFlags).load() & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
            EXPECT_EQ(midi.OutUnprepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
        }
        EXPECT_TRUE(midi.WaitIdle(10000));
        EXPECT_TRUE(midi.LogCopy().empty());
        EXPECT_EQ(midi.HostMessages().size(), 2u);
        midi.OutClose(out);
    }
    {   // late: the reply is still on its way while the command is long done
        VirtualMidi midi(Settings("late=600000"));
        RawHost host(midi);
        ASSERT_EQ(host.Send({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}), MMSYSERR_NOERROR);
        EXPECT_FALSE(midi.WaitIdle(50));
        EXPECT_TRUE(host.Pieces().empty());
        EXPECT_EQ(midi.LogCopy().size(), 1u);
    }
    {   // erase-ms: the erase reply waits for the flash, the begin-update reply did not
        VirtualMidi midi(Settings("flash=erased,erase-ms=600000"));
        RawHost host(midi);
        ASSERT_EQ(host.Send(Cmd(kCmdBeginUpdate)), MMSYSERR_NOERROR);
        ASSERT_EQ(host.Send(Erase(0, 0x1000)), MMSYSERR_NOERROR);
        for (int i = 0; i < 10000 && host.Pieces().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(midi.WaitIdle(50));
        EXPECT_EQ(host.Pieces().size(), 1u);
        EXPECT_EQ(midi.LogCopy().size(), 2u);
    }
    {   // replies that find the input stopped are discarded
        VirtualMidi midi(Settings(""));
        RawHost host(midi);
        ASSERT_EQ(midi.InStop(host.in), MMSYSERR_NOERROR);
        ASSERT_EQ(host.Send({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}), MMSYSERR_NOERROR);
        ASSERT_TRUE(midi.WaitIdle(10000));
        EXPECT_TRUE(host.Pieces().empty());
        EXPECT_EQ(midi.DiscardedReplies(), 1u);
    }
}

// Each fault of the link as the host sees it: what its sends return, which
// replies reach it in which order, what the device logged and did.  Sends
// and log as letters: B begin-update, W write 0x12 at 0, R read, I identity
// request, x not a whole message.  Replies: S status 0, I identity, D data.
TEST(VirtualMidiBackend, LinkFaults)
{
    struct Row {
        const char* settings;
        const char* sends;
        const char* results;   // o sent, e failed
        const char* replies;
        const char* log;
        std::uint8_t flash0;
    };
    const Row rows[] = {
        {"", "BWR", "ooo", "SSD", "BWR", 0x12},
        {"dup=2", "BWR", "ooo", "SSSD", "BWR", 0x12},
        {"dup=@3", "BWR", "ooo", "SSDD", "BWR", 0x12},
        {"reorder=2,reorder-ms=600000", "BWR", "ooo", "SDS", "BWR", 0x12},
        {"reorder=@1/2,reorder-ms=600000", "BWI", "ooo", "SIS", "BWI", 0x12},   // the identity reply overtakes
        {"reorder=@1,reorder-ms=1", "B", "o", "S", "B", 0xFF},                  // nothing behind: sent in the end
        {"cut=2", "BWI", "ooo", "SI", "BxI", 0xFF},
        {"cut=@1", "IBW", "ooo", "SS", "xBW", 0x12},   // host messages count identity requests too
        {"ghost=@2", "BWI", "oeo", "SSI", "BWI", 0x12},
        {"ghost=1,dup=1", "BW", "ee", "SSSS", "BW", 0x12},
        {"stall=2,stall-ms=20", "BWI", "ooo", "SSI", "BWI", 0x12},
    };
    const std::map<char, Bytes> messages = {{'B', Cmd(kCmdBeginUpdate)}, {'W', Write(0, {0x12})},
                                            {'R', Read(0, 4)}, {'I', {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}}};
    const std::map<Q9::Kind, char> kinds = {{Q9::Kind::BeginUpdate, 'B'}, {Q9::Kind::WriteBlock, 'W'},
                                            {Q9::Kind::Read, 'R'}, {Q9::Kind::IdentityRequest, 'I'},
                                            {Q9::Kind::Ignored, 'x'}};
    for (const Row& row : rows) {
        VirtualMidi midi(Settings(std::string("flash=erased,") + row.settings));
        RawHost host(midi);
        std::string results;
        for (const char* m = row.sends; *m != '\0'; ++m)
            results += host.Send(messages.at(*m)) == MMSYSERR_NOERROR ? 'o' : 'e';
        ASSERT_TRUE(midi.WaitIdle(10000)) << row.settings;
        std::string replies;
        for (const Bytes& b : host.Pieces())
            replies += b[1] == 0x7E ? 'I' : b[4] == kCmdRead ? 'D' : StatusOf({Q9::Reply{b}}) == 0 ? 'S' : '?';
        std::string log;
        for (const Q9::LogEntry& e : midi.LogCopy()) log += kinds.at(e.kind);
        EXPECT_EQ(results, row.results) << row.settings;
        EXPECT_EQ(replies, row.replies) << row.settings;
        EXPECT_EQ(log, row.log) << row.settings;
        EXPECT_EQ(midi.FlashCopy()[0], row.flash0) << row.settings;
    }
}

TEST(VirtualMidiBackend, FlashFileWrittenBackOnClose)
{
    const auto path = std::filesystem::temp_directory_path() / ("q9vd-close-" + std::to_string(::getpid()) + ".bin");
    std::filesystem::remove(path);
    std::string error;
    {
        auto midi = MakeVirtualMidi("flash=" + path.string(), error);
        ASSERT_NE(midi, nullptr) << error;
        RawHost host(*midi);
        host.Send(Cmd(kCmdBeginUpdate));
        host.Send(Erase(0x1C7000, 0x5000));
        ASSERT_TRUE(midi->WaitIdle(10000));
        midi->OutClose(host.out);   // closing the output writes the file
        host.out = 0;
        std::ifstream in(path, std::ios::binary);
        in.seekg(0x1CBFE0);
        char field[4] = {};
        in.read(field, 4);
        EXPECT_EQ(std::string(field, 4), "\xFF\xFF\xFF\xFF");
    }
    EXPECT_EQ(std::filesystem::file_size(path), VirtualQ9::kFlashSize);
    std::filesystem::remove(path);
}

// ---------------------------------------------------------------------------
// Through the real ports, protocol code and reply timer.

namespace {

class ThroughProtocol : public ::testing::Test {
protected:
    void Open(const std::string& settings)
    {
        ResetProtocolState();
        std::string error;
        auto made = MakeVirtualMidi(settings, error);
        ASSERT_NE(made, nullptr) << error;
        midi = made.get();
        system.Add(std::move(made));   // as the front ends do
        previous = InstallMidi(&system);
        char name[platform::kDeviceNameCapacity] = {};
        CMidiInPort::GetDeviceName(0, name);
        EXPECT_STREQ(name, "ARKO Q9");
        ASSERT_EQ(endpoint.midiOut.Open(0), 1);
        endpoint.midiIn.deviceId = 0;
        ASSERT_EQ(endpoint.midiIn.Start(), 1);
        ASSERT_NE(timer.Start(1, &OnReplyTimer, reinterpret_cast<DWORD_PTR>(&endpoint)), 0u);
    }
    void TearDown() override
    {
        timer.Stop();
        endpoint.midiIn.Close();
        endpoint.midiOut.Close();
        if (midi) InstallMidi(previous);
    }
    // Sends one command and waits for the recorded reply: the status, or -1 on a time-out.
    int Transact(const Bytes& m, std::uint32_t timeoutMs = 10000)
    {
        if (SendSysEx(endpoint.midiOut, m.data(), static_cast<std::uint32_t>(m.size())) != 0) return -2;
        return endpoint.event.Wait(timeoutMs) ? endpoint.status.load() : -1;
    }
    // Waits (bounded) until the device has logged an entry of this kind; returns it.
    bool WaitForLog(Q9::Kind kind, std::size_t nth, Q9::LogEntry& found)
    {
        for (int i = 0; i < 10000; ++i) {
            std::size_t seen = 0;
            for (const auto& e : midi->LogCopy())
                if (e.kind == kind && seen++ == nth) {
                    found = e;
                    return true;
                }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    MidiSystem system;
    VirtualMidi* midi = nullptr;
    MidiApi* previous = nullptr;
    ProtocolEndpoint endpoint;
    CDxMTimer timer;
};

}  // namespace

TEST_F(ThroughProtocol, IdentityAndVersionFields)
{
    Open("");
    ASSERT_EQ(SendIdentityRequest(endpoint.midiOut), 0);
    ASSERT_TRUE(endpoint.event.Wait(10000));
    EXPECT_EQ(endpoint.status.load(), 0);
    EXPECT_EQ(endpoint.identity.Bytes(), (std::array<std::uint8_t, 4>{0x6E, 0x00, 0x09, 0x00}));
    deviceIdentity.Set(endpoint.identity.Bytes().data());

    const std::pair<std::uint32_t, const char*> fields[] = {
        {0x04AFFC, "1.00"}, {0x065FFC, "1.00"}, {0x170FE0, "1.10"}, {0x1CBFE0, "1.01"}};
    for (const auto& [address, text] : fields) {
        std::uint8_t field[4] = {};
        ASSERT_EQ(ReadTransaction(endpoint, address, 4, field, 10000), 0) << std::hex << address;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 4), text);
    }
}

TEST_F(ThroughProtocol, EraseWriteAndReadBackARegion)
{
    Open("flash=factory,link=2000000,erase-ms=1,write-ms=1");
    deviceIdentity.Set(acceptedIdentities[0]);
    EXPECT_EQ(Transact(Erase(0x1C7000, 0x5000)), Q9::kStatusNotInUpdate);   // before begin-update
    ASSERT_EQ(Transact(Cmd(kCmdBeginUpdate)), 0);
    EXPECT_EQ(Transact(Erase(0x1C7800, 0x5000)), Q9::kStatusMisaligned);

    std::size_t size = 0;
    const std::uint8_t* image = FindImage(147, &size);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(SendErase(endpoint.midiOut, kModel, 0x1C7000, 0x5000), 0);
    ASSERT_TRUE(endpoint.event.Wait(10000));
    ASSERT_EQ(endpoint.status.load(), 0);
    for (std::uint32_t offset = 0; offset < size; offset += kMaxBlock) {
        ASSERT_EQ(SendWriteBlock(endpoint.midiOut, kModel, image + offset, 0x1C7000 + offset, kMaxBlock), 0);
        ASSERT_TRUE(endpoint.event.Wait(10000));
        ASSERT_EQ(endpoint.status.load(), 0) << offset;
    }

    // Read the region back: five read-data replies appended in the receive buffer.
    receiveCount = 0;
    ASSERT_EQ(SendReadRequest(endpoint.midiOut, kModel, 0x1C7000, static_cast<std::uint32_t>(size)), 0);
    for (int i = 0; i < 1000 && receiveCount.load() < static_cast<std::int32_t>(size); ++i) endpoint.event.Wait(10);
    EXPECT_EQ(endpoint.status.load(), 0);
    {
        std::lock_guard lock(receiveMutex);
        ASSERT_EQ(receiveCount.load(), static_cast<std::int32_t>(size));
        EXPECT_TRUE(std::equal(image, image + size, receiveBuffer));
    }
    std::uint8_t field[4] = {};
    ASSERT_EQ(ReadTransaction(endpoint, 0x1CBFE0, 4, field, 10000), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 4), "1.02");
    ASSERT_EQ(Transact(Cmd(kCmdEndUpdate)), 0);

    Bytes expected = FactoryFlash();
    std::copy(image, image + size, expected.begin() + 0x1C7000);
    EXPECT_TRUE(midi->FlashCopy() == expected);
}

TEST_F(ThroughProtocol, FaultsAsTheHostSeesThem)
{
    Open("flash=erased,drop=3,corrupt-read=1");
    deviceIdentity.Set(acceptedIdentities[0]);
    ASSERT_EQ(Transact(Cmd(kCmdBeginUpdate)), 0);
    ASSERT_EQ(Transact(Erase(0, 0x1000)), 0);
    const Bytes block = Write(0, Pattern(4096, 5));
    EXPECT_EQ(Transact(block, 100), -1);   // third command: reply lost (no time assertion: absence only)
    EXPECT_EQ(Transact(block), 0);         // sent again: identical data is harmless
    std::uint8_t field[4] = {};
    EXPECT_EQ(ReadTransaction(endpoint, 0, 4, field, 10000), -1);   // CRC corrupted
    EXPECT_EQ(endpoint.status.load(), 1);

    Q9 model(Settings("flash=erased"));
    Send(model, Cmd(kCmdBeginUpdate));
    Send(model, Write(0, Pattern(4096, 5)));
    EXPECT_TRUE(midi->FlashCopy() == model.Flash());
}

// The output port's send under stall= and ghost=: a stall longer than its
// limit fails the send as timed out; a ghost fails it as refused, and the
// device answers it all the same.
TEST_F(ThroughProtocol, SendFaultsAsTheHostSeesThem)
{
    Open("flash=erased,ghost=@1,stall=@2,stall-ms=600000");
    endpoint.midiOut.doneWaitLimitMs = 20;
    deviceIdentity.Set(acceptedIdentities[0]);
    EXPECT_EQ(Transact(Cmd(kCmdBeginUpdate)), -2);
    EXPECT_FALSE(endpoint.midiOut.LastSendTimedOut());
    ASSERT_TRUE(endpoint.event.Wait(10000));   // answered all the same
    EXPECT_EQ(endpoint.status.load(), 0);
    EXPECT_EQ(Transact(Erase(0, 0x1000)), -2);
    EXPECT_TRUE(endpoint.midiOut.LastSendTimedOut());
    const auto log = midi->LogCopy();
    ASSERT_EQ(log.size(), 1u);   // the stalled erase has not reached the device
    EXPECT_EQ(log[0].kind, Q9::Kind::BeginUpdate);
    EXPECT_TRUE(log[0].answered);
}

TEST_F(ThroughProtocol, UpdateModeOff)
{
    Open("update-mode=off");
    EXPECT_EQ(Transact(Cmd(kCmdBeginUpdate)), 11);
}

TEST_F(ThroughProtocol, DeviceMessagesAndTheHostsAnswers)
{
    Open("flash=erased");
    Q9::LogEntry e{};
    midi->SendFromDevice(Q9::DeviceCommand(kModel, 0x01));
    ASSERT_TRUE(WaitForLog(Q9::Kind::HostStatus, 0, e));
    EXPECT_EQ(e.status, 0);   // acknowledge
    midi->SendFromDevice(Q9::DeviceCommand(kModel, 0x03));   // ignored by the host...
    midi->SendFromDevice(Q9::DeviceCommand(kModel, 0x06));   // ...unknown: rejected
    ASSERT_TRUE(WaitForLog(Q9::Kind::HostStatus, 1, e));
    EXPECT_EQ(e.status, 1);
    midi->SendFromDevice(Q9::DeviceIdentityRequest());
    ASSERT_TRUE(WaitForLog(Q9::Kind::HostIdentity, 0, e));
    EXPECT_EQ(e.address, 0u);   // no device identified yet

    std::size_t answers = 0;
    for (const Bytes& m : midi->HostMessages()) answers += m.size() == 7 || m.size() == 15;
    EXPECT_EQ(answers, 3u);
    EXPECT_EQ(midi->HostMessages().back(),
              (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0, 0, 0, 0, '1', '0', '0', '0', 0xF7}));
}
