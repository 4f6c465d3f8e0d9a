// The input side of the real MIDI backends, without any system API: SysEx
// messages gathered from a raw byte stream into posted buffers, the input
// contract around those buffers, and the device names.
#include "platform/sysex_assembler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace platform;

namespace {

using Bytes = std::vector<BYTE>;

// A buffer as a port owns it.
struct Buffer {
    explicit Buffer(DWORD capacity) : data(capacity)
    {
        header.lpData = data.data();
        header.dwBufferLength = capacity;
    }
    Bytes Recorded() const
    {
        return Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(header.dwBytesRecorded));
    }
    std::vector<char> data;
    MIDIHDR header;
};

Bytes SysEx(std::size_t dataBytes, BYTE seed = 1)
{
    Bytes message{0xF0};
    for (std::size_t i = 0; i < dataBytes; ++i) {
        message.push_back(static_cast<BYTE>((seed + i * 7) & 0x7F));
    }
    message.push_back(0xF7);
    return message;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Feeds the whole stream through the assembler, posting `buffers` fresh
// buffers of `capacity` up front and one more each time one completes (as a
// port that hands each buffer straight back does), and returns what every
// completed buffer held, in order.
std::vector<Bytes> Assemble(const Bytes& stream, DWORD capacity, const std::vector<std::size_t>& cuts = {})
{
    SysExAssembler assembler;
    std::deque<Buffer> pool;
    pool.emplace_back(capacity);
    assembler.Post(&pool.back().header);
    std::vector<Bytes> out;
    std::size_t begin = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(stream.size());
    for (const std::size_t end : ends) {
        std::size_t at = begin;
        while (at < end) {
            MIDIHDR* done = nullptr;
            at += assembler.Feed(stream.data() + at, end - at, done);
            if (done != nullptr) {
                out.emplace_back(done->lpData, done->lpData + done->dwBytesRecorded);
                pool.emplace_back(capacity);
                assembler.Post(&pool.back().header);
            }
        }
        begin = end;
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// SysExAssembler

TEST(SysExAssembler, CompleteMessageFillsOneBufferWithItsCount)
{
    const Bytes message = SysEx(10);
    SysExAssembler assembler;
    Buffer buffer(64);
    assembler.Post(&buffer.header);
    MIDIHDR* done = nullptr;
    EXPECT_EQ(assembler.Feed(message.data(), message.size(), done), message.size());
    ASSERT_EQ(done, &buffer.header);
    EXPECT_EQ(buffer.Recorded(), message);
    EXPECT_EQ(assembler.PostedCount(), 0u);
}

TEST(SysExAssembler, SkipsRealtimeBytesAndEverythingOutsideSysEx)
{
    const Bytes identity = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00, 0x09, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
    // Note on with running status, a control change, clock and active sensing
    // around and inside the message, song position, tune request, a stray F7.
    Bytes stream = {0x90, 0x3C, 0x40, 0x3E, 0x40, 0x3C, 0x00, 0xB0, 0x07, 0x7F, 0xF8, 0xF7, 0xF2, 0x10, 0x20, 0xF6};
    for (std::size_t i = 0; i < identity.size(); ++i) {
        stream.push_back(identity[i]);
        if (i % 3 == 1) {
            stream.push_back(0xF8);
        }
        if (i == 5) {
            stream.push_back(0xFE);
            stream.push_back(0xFF);
        }
    }
    stream.insert(stream.end(), {0xFA, 0x80, 0x3C, 0x00, 0x3E});
    const auto out = Assemble(stream, 8192);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], identity);
}

TEST(SysExAssembler, MessageLongerThanBufferContinuesInTheNext)
{
    const Bytes message = SysEx(18);   // 20 bytes
    const auto out = Assemble(message, 8);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], Bytes(message.begin(), message.begin() + 8));
    EXPECT_EQ(out[1], Bytes(message.begin() + 8, message.begin() + 16));
    EXPECT_EQ(out[2], Bytes(message.begin() + 16, message.end()));
    EXPECT_EQ(out[0].front(), 0xF0);
    EXPECT_NE(out[1].front(), 0xF0);
    EXPECT_EQ(out[2].back(), 0xF7);

    // A message that fills its buffer exactly is one buffer; the next
    // message starts a new one.
    const Bytes exact = SysEx(6);   // 8 bytes
    const auto two = Assemble(Concat({exact, SysEx(2)}), 8);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0], exact);
    EXPECT_EQ(two[1], SysEx(2));

    // The largest reply through the port's 8,192-byte buffer.
    const Bytes large = SysEx(9000);
    const auto parts = Assemble(large, 8192);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].size(), 8192u);
    EXPECT_EQ(Concat({parts[0], parts[1]}), large);
}

TEST(SysExAssembler, SeveralMessagesInOneReadComeOutInOrder)
{
    const Bytes a = SysEx(5, 1);
    const Bytes b = SysEx(3, 2);
    const Bytes c = SysEx(7, 3);
    const auto out = Assemble(Concat({a, b, c}), 8192);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], a);
    EXPECT_EQ(out[1], b);
    EXPECT_EQ(out[2], c);
}

TEST(SysExAssembler, StatusByteInsideSysExEndsTheMessageEarly)
{
    const Bytes cut = {0xF0, 0x52, 0x00, 0x6E};
    // Cut by a note on, then by a new F0: each piece comes back as it is.
    const Bytes stream = Concat({cut, {0x90, 0x3C, 0x40}, cut, SysEx(4)});
    const auto out = Assemble(stream, 8192);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], cut);
    EXPECT_EQ(out[1], cut);
    EXPECT_EQ(out[2], SysEx(4));
}

TEST(SysExAssembler, MessagesWithoutABufferAreDroppedWhole)
{
    SysExAssembler assembler;
    Buffer buffer(64);
    const Bytes first = SysEx(10, 1);
    const Bytes second = SysEx(10, 2);
    MIDIHDR* done = nullptr;

    // No buffer: the first half of `first` goes; a buffer posted in the
    // middle does not take the rest of it.
    EXPECT_EQ(assembler.Feed(first.data(), 5, done), 5u);
    EXPECT_EQ(done, nullptr);
    assembler.Post(&buffer.header);
    EXPECT_EQ(assembler.Feed(first.data() + 5, first.size() - 5, done), first.size() - 5);
    EXPECT_EQ(done, nullptr);
    EXPECT_EQ(buffer.header.dwBytesRecorded, 0u);
    EXPECT_EQ(assembler.DroppedBytes(), first.size());

    // The next message gets the buffer.
    EXPECT_EQ(assembler.Feed(second.data(), second.size(), done), second.size());
    ASSERT_EQ(done, &buffer.header);
    EXPECT_EQ(buffer.Recorded(), second);

    // A split message whose next buffer never comes loses its tail only.
    Buffer small(4);
    assembler.Post(&small.header);
    const Bytes stream = Concat({SysEx(6, 3), SysEx(1, 4)});
    std::size_t used = assembler.Feed(stream.data(), stream.size(), done);
    ASSERT_EQ(done, &small.header);
    EXPECT_EQ(small.Recorded(), Bytes(stream.begin(), stream.begin() + 4));
    used += assembler.Feed(stream.data() + used, stream.size() - used, done);
    EXPECT_EQ(used, stream.size());
    EXPECT_EQ(done, nullptr);
    EXPECT_EQ(assembler.DroppedBytes(), first.size() + 4 + 3);
}

TEST(SysExAssembler, ResultDoesNotDependOnHowTheStreamIsCut)
{
    std::mt19937 random(6);
    Bytes stream;
    for (int i = 0; i < 60; ++i) {
        switch (random() % 4) {
        case 0:
            stream.insert(stream.end(), {0x90, 0x40, 0x7F, 0x41, 0x00});
            break;
        case 1:
            stream.push_back(static_cast<BYTE>(0xF8 + random() % 8));
            break;
        default: {
            Bytes message = SysEx(random() % 300, static_cast<BYTE>(i));
            message.insert(message.begin() + static_cast<std::ptrdiff_t>(random() % message.size()), 0xF8);
            stream.insert(stream.end(), message.begin(), message.end());
        }
        }
    }
    const auto whole = Assemble(stream, 128);
    for (int round = 0; round < 20; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = random() % 50; at < stream.size(); at += 1 + random() % 50) {
            cuts.push_back(at);
        }
        EXPECT_EQ(Assemble(stream, 128, cuts), whole) << "round " << round;
    }
    // Byte by byte, too.
    std::vector<std::size_t> every(stream.size());
    for (std::size_t i = 0; i < every.size(); ++i) {
        every[i] = i;
    }
    EXPECT_EQ(Assemble(stream, 128, every), whole);
}

TEST(SysExAssembler, TakePartialAndTakeFront)
{
    SysExAssembler assembler;
    Buffer a(64);
    Buffer b(64);
    assembler.Post(&a.header);
    assembler.Post(&b.header);
    EXPECT_EQ(assembler.TakePartial(), nullptr);   // nothing recorded yet
    const Bytes half = {0xF0, 0x52, 0x00};
    MIDIHDR* done = nullptr;
    assembler.Feed(half.data(), half.size(), done);
    EXPECT_EQ(assembler.TakePartial(), &a.header);
    EXPECT_EQ(a.Recorded(), half);
    EXPECT_TRUE(assembler.Holds(&b.header));
    EXPECT_EQ(assembler.TakeFront(), &b.header);
    EXPECT_EQ(assembler.TakeFront(), nullptr);
}

// ---------------------------------------------------------------------------
// SysExInput

namespace {

// A port's side: records every callback, and hands each buffer back at once
// from inside the callback when `handBack` is set.
struct Port {
    static void Callback(HMIDIIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
    {
        auto* self = reinterpret_cast<Port*>(instance);
        auto* header = reinterpret_cast<MIDIHDR*>(p1);
        std::lock_guard<std::mutex> lock(self->mutex);
        EXPECT_EQ(handle, 7u);
        EXPECT_EQ(msg, MIM_LONGDATA);
        const DWORD flags = HeaderFlags(header);
        EXPECT_NE(flags & MHDR_DONE, 0u);
        EXPECT_EQ(flags & MHDR_INQUEUE, 0u);
        self->received.emplace_back(header->lpData, header->lpData + header->dwBytesRecorded);
        self->headers.push_back(header);
        if (self->handBack) {
            EXPECT_EQ(self->input->Prepare(header), MMSYSERR_NOERROR);
            EXPECT_EQ(self->input->AddBuffer(header), MMSYSERR_NOERROR);
        }
        self->changed.notify_all();
    }

    std::vector<Bytes> Received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

    SysExInput* input = nullptr;
    bool handBack = false;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> received;
    std::vector<MIDIHDR*> headers;
};

struct InputFixture : ::testing::Test {
    InputFixture() { port.input = &input; }
    Port port;
    SysExInput input{7, &Port::Callback, reinterpret_cast<DWORD_PTR>(&port)};
};

}  // namespace

using SysExInputTest = InputFixture;

TEST_F(SysExInputTest, HeadersAreCheckedAndMarkedAsTheClassicApiDoes)
{
    Buffer buffer(16);
    EXPECT_EQ(input.AddBuffer(&buffer.header), MIDIERR_UNPREPARED);
    EXPECT_EQ(input.AddBuffer(nullptr), MMSYSERR_INVALPARAM);
    Buffer empty(0);
    EXPECT_EQ(input.Prepare(&empty.header), MMSYSERR_NOERROR);
    EXPECT_EQ(input.AddBuffer(&empty.header), MMSYSERR_INVALPARAM);

    EXPECT_EQ(input.Prepare(&buffer.header), MMSYSERR_NOERROR);
    EXPECT_EQ(input.Prepare(&buffer.header), MMSYSERR_NOERROR);   // twice is harmless
    buffer.header.dwFlags |= MHDR_DONE;
    EXPECT_EQ(input.AddBuffer(&buffer.header), MMSYSERR_NOERROR);
    EXPECT_EQ(HeaderFlags(&buffer.header), MHDR_PREPARED | MHDR_INQUEUE);
    EXPECT_EQ(input.AddBuffer(&buffer.header), MIDIERR_STILLPLAYING);
    EXPECT_EQ(input.Unprepare(&buffer.header), MIDIERR_STILLPLAYING);
    EXPECT_EQ(input.PostedCount(), 1u);

    EXPECT_EQ(input.Reset(), MMSYSERR_NOERROR);
    EXPECT_EQ(input.Unprepare(&buffer.header), MMSYSERR_NOERROR);
    EXPECT_EQ(HeaderFlags(&buffer.header), MHDR_DONE);
}

TEST_F(SysExInputTest, RecordsOnlyWhileStarted)
{
    Buffer buffer(64);
    port.handBack = true;
    input.Prepare(&buffer.header);
    input.AddBuffer(&buffer.header);
    const Bytes before = SysEx(3, 1);
    const Bytes during = SysEx(3, 2);
    input.Feed(before.data(), before.size());
    EXPECT_TRUE(port.Received().empty());

    input.Start();
    // The tail of a message cut off by the start is not taken for a message.
    const Bytes tail = {0x11, 0x22, 0xF7};
    input.Feed(tail.data(), tail.size());
    input.Feed(during.data(), during.size());
    ASSERT_EQ(port.Received().size(), 1u);
    EXPECT_EQ(port.Received()[0], during);

    input.Stop();
    input.Feed(before.data(), before.size());
    EXPECT_EQ(port.Received().size(), 1u);
    EXPECT_EQ(input.PostedCount(), 1u);   // the empty buffer stays posted over a stop
}

TEST_F(SysExInputTest, BufferHandedBackFromTheCallbackTakesTheRestOfALongMessage)
{
    // As the port does: one buffer, posted again from inside the callback.
    Buffer buffer(8192);
    port.handBack = true;
    input.Prepare(&buffer.header);
    input.AddBuffer(&buffer.header);
    input.Start();
    const Bytes large = SysEx(10000);
    const Bytes next = SysEx(20, 9);
    const Bytes stream = Concat({large, next});
    input.Feed(stream.data(), stream.size());
    const auto received = port.Received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].size(), 8192u);
    EXPECT_EQ(Concat({received[0], received[1]}), large);
    EXPECT_EQ(received[2], next);
    EXPECT_EQ(input.DroppedBytes(), 0u);
}

TEST_F(SysExInputTest, StopHandsBackAPartBufferAndResetEveryBuffer)
{
    Buffer a(64);
    Buffer b(64);
    input.Prepare(&a.header);
    input.Prepare(&b.header);
    input.AddBuffer(&a.header);
    input.AddBuffer(&b.header);
    input.Start();
    const Bytes half = {0xF0, 0x52, 0x00, 0x6E};
    input.Feed(half.data(), half.size());
    EXPECT_TRUE(port.Received().empty());

    input.Stop();
    ASSERT_EQ(port.Received().size(), 1u);
    EXPECT_EQ(port.Received()[0], half);
    EXPECT_EQ(port.headers[0], &a.header);

    input.Start();
    input.Feed(half.data(), 2);
    input.Reset();   // on this thread: b with two bytes
    ASSERT_EQ(port.Received().size(), 2u);
    EXPECT_EQ(port.Received()[1], Bytes(half.begin(), half.begin() + 2));
    EXPECT_EQ(input.PostedCount(), 0u);

    // A reset with empty buffers hands them back empty.
    input.AddBuffer(&a.header);
    input.Reset();
    ASSERT_EQ(port.Received().size(), 3u);
    EXPECT_TRUE(port.Received()[2].empty());
    EXPECT_NE(HeaderFlags(&a.header) & MHDR_DONE, 0u);
}

TEST_F(SysExInputTest, AfterShutdownNoCallbackAndNoHeaderUse)
{
    Buffer buffer(64);
    input.Prepare(&buffer.header);
    input.AddBuffer(&buffer.header);
    input.Start();
    input.Shutdown();
    EXPECT_EQ(HeaderFlags(&buffer.header), MHDR_PREPARED);
    const Bytes message = SysEx(4);
    input.Feed(message.data(), message.size());
    EXPECT_EQ(input.Reset(), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(input.AddBuffer(&buffer.header), MMSYSERR_INVALHANDLE);
    EXPECT_TRUE(port.Received().empty());
    EXPECT_EQ(buffer.header.dwBytesRecorded, 0u);
}

TEST_F(SysExInputTest, ReadingThreadAgainstResetAndShutdown)
{
    // A reading thread feeds messages while the port hands its buffer back
    // from the callback; the owner's thread then resets and shuts down.
    Buffer buffer(32);
    port.handBack = true;
    input.Prepare(&buffer.header);
    input.AddBuffer(&buffer.header);
    input.Start();
    constexpr int kMessages = 400;
    std::atomic<bool> fed{false};
    std::atomic<bool> stopFeeding{false};
    std::thread reader([&] {
        for (int i = 0; i < kMessages; ++i) {
            const Bytes message = SysEx(static_cast<std::size_t>(i % 50), static_cast<BYTE>(i));
            input.Feed(message.data(), message.size());
        }
        fed.store(true);
        // Keeps feeding while the owner resets and shuts down.
        const Bytes more = SysEx(40);
        while (!stopFeeding.load()) {
            input.Feed(more.data(), more.size());
        }
    });
    while (!fed.load()) {
        std::this_thread::yield();
    }
    {
        std::lock_guard<std::mutex> lock(port.mutex);
        port.handBack = false;
    }
    input.Reset();
    input.Shutdown();
    const std::size_t count = port.Received().size();
    stopFeeding.store(true);
    reader.join();
    EXPECT_EQ(port.Received().size(), count);   // nothing after the shutdown

    // Every message of the first run arrived whole and in order (each one
    // in 32-byte pieces).
    Bytes expected;
    for (int i = 0; i < kMessages; ++i) {
        const Bytes message = SysEx(static_cast<std::size_t>(i % 50), static_cast<BYTE>(i));
        expected.insert(expected.end(), message.begin(), message.end());
    }
    Bytes got;
    for (const Bytes& piece : port.Received()) {
        got.insert(got.end(), piece.begin(), piece.end());
    }
    ASSERT_GE(got.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));
}

// ---------------------------------------------------------------------------
// Names

TEST(DeviceNames, CutTo31CharactersWithoutSplittingOne)
{
    EXPECT_EQ(CutDeviceName("ARKO Q9"), "ARKO Q9");
    const std::string exact(31, 'x');
    EXPECT_EQ(CutDeviceName(exact), exact);
    EXPECT_EQ(CutDeviceName(exact + "yz"), exact);
    // 30 ASCII characters, then 3-byte characters: the 31st is kept whole.
    const std::string a = "\xE3\x82\xA2";
    EXPECT_EQ(CutDeviceName(std::string(30, 'a') + a + "b"), std::string(30, 'a') + a);
    // The Japanese form of "USB Audio Device" (14 characters, 32 bytes) stays whole.
    const std::string japanese =
        "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
        "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9";
    EXPECT_EQ(CutDeviceName(japanese), japanese);
    // 31 four-byte characters fill 124 bytes and fit.
    std::string wide;
    for (int i = 0; i < 33; ++i) wide += "\xF0\x9F\x8E\xB9";
    EXPECT_EQ(CutDeviceName(wide), wide.substr(0, 31 * 4));

    char pname[kMaxPnameLen];
    std::memset(pname, 'z', sizeof pname);
    CopyDeviceName(exact + "more", pname);
    EXPECT_EQ(std::string(pname), exact);
    CopyDeviceName("", pname);
    EXPECT_EQ(pname[0], '\0');
}

TEST(DeviceNames, RawMidiEntriesUseTheCardNameUnlessTheCardHasSeveral)
{
    EXPECT_EQ(RawMidiDeviceName("ARKO Q9", "ARKO Q9 MIDI 1", 1), "ARKO Q9");
    EXPECT_EQ(RawMidiDeviceName("USB Audio Device", "USB Audio Device MIDI 1", 1), "USB Audio Device");
    EXPECT_EQ(RawMidiDeviceName("UM-ONE", "UM-ONE MIDI 1", 2), "UM-ONE MIDI 1");
    EXPECT_EQ(RawMidiDeviceName("Card", "", 2), "Card");
    EXPECT_EQ(RawMidiDeviceName("", "Sub", 1), "Sub");
    EXPECT_EQ(RawMidiDeviceName("A card with a name much longer than thirty-one", "", 1),
              "A card with a name much longer ");
}

TEST(DeviceNames, JackPortsAreNamedByClientWhenItHasOnePort)
{
    const std::vector<std::string> ports = {
        "ARKO Q9:midi_in",
        "a2j:Midi Through [14] (playback): Midi Through Port-0",
        "a2j:UM-ONE [20] (playback): UM-ONE MIDI 1",
        "system:midi_playback_1",
        "noclient",
    };
    const std::vector<std::string> expected = {
        "ARKO Q9",
        "a2j:Midi Through [14] (playback",
        "a2j:UM-ONE [20] (playback): UM-",
        "system",
        "noclient",
    };
    EXPECT_EQ(JackDeviceNames(ports), expected);
    EXPECT_TRUE(JackDeviceNames({}).empty());
}

TEST(DeviceNames, SameNamesAreNumberedFromTheSecondInListOrder)
{
    std::vector<std::string> names = {"ARKO Q9", "UM-ONE", "ARKO Q9", "ARKO Q9",
                                      "A card with a name of 31 chars.", "A card with a name of 31 chars."};
    NumberSameNames(names);
    const std::vector<std::string> expected = {"ARKO Q9",     "UM-ONE", "ARKO Q9 (2)", "ARKO Q9 (3)",
                                               "A card with a name of 31 chars.", "A card with a name of 31 ch (2)"};
    EXPECT_EQ(names, expected);
}
