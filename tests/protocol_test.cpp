// The receive side (every message kind: its answer, the slot it writes and
// whether it wakes the waiter), the senders and the read transaction.
#include "tests/support/fake_midi.h"
#include "update/protocol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace platform;
using q9test::FakeMidi;
using q9test::ScopedMidi;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kAck = {0xF0, 0x52, 0x00, 0x6E, 0x00, 0x00, 0xF7};
const Bytes kReject = {0xF0, 0x52, 0x00, 0x6E, 0x00, 0x01, 0xF7};
const std::uint8_t kQ9[4] = {0x6E, 0x00, 0x09, 0x00};

Bytes ReadDataReply(const Bytes& data, std::uint8_t byte5 = 0x04, std::uint8_t byte6 = 0x30, std::uint32_t crcDelta = 0)
{
    const auto n = static_cast<std::uint32_t>(data.size());
    Bytes reply = {0xF0, 0x52, 0x00, 0x6E, 0x60, byte5, byte6, 0x00, 0x00, static_cast<std::uint8_t>(n & 0x7F),
                   static_cast<std::uint8_t>(n >> 7)};
    Bytes packed(PackedLength(n));
    Pack7(packed.data(), data.data(), n);
    reply.insert(reply.end(), packed.begin(), packed.end());
    std::uint8_t crc[5];
    Encode5(Crc32(data.data(), n) + crcDelta, crc);
    reply.insert(reply.end(), crc, crc + 5);
    reply.push_back(0xF7);
    return reply;
}

std::int32_t Received()
{
    std::lock_guard<std::mutex> lock(receiveMutex);
    return receiveCount.load();
}

Bytes ReceivedBytes()
{
    std::lock_guard<std::mutex> lock(receiveMutex);
    return Bytes(receiveBuffer, receiveBuffer + receiveCount.load());
}

class ProtocolTest : public ::testing::Test {
protected:
    ProtocolTest()
    {
        ResetProtocolState();
        midi.SetInDevices({"ARKO Q9"});
        midi.SetOutDevices({"ARKO Q9"});
        EXPECT_EQ(endpoint.midiOut.Open(0), 1);
        EXPECT_EQ(endpoint.midiIn.Start(), 1);
        midi.ClearCalls();
    }
    ~ProtocolTest() override { ResetProtocolState(); }

    // Delivers one message and runs the receive side once.
    void Receive(const Bytes& message)
    {
        ASSERT_TRUE(midi.Deliver(message));
        ParseReplies(endpoint);
        EXPECT_EQ(endpoint.midiIn.GetFirstMessage(), nullptr);
    }
    void Identify() { deviceIdentity.Set(kQ9); }

    FakeMidi midi;
    ScopedMidi scoped{midi};
    ProtocolEndpoint endpoint;
};

}  // namespace

// ---------------------------------------------------------------------------
// Status replies and device commands.

TEST_F(ProtocolTest, StatusReplyRecordsTheDeviceStatusAndWakesTheWaiter)
{
    for (std::uint8_t code : {0x00, 0x0B, 0x05, 0x7F}) {
        endpoint.status = 99;
        Receive({0xF0, 0x52, 0x00, 0x6E, 0x00, code, 0xF7});
        EXPECT_EQ(endpoint.status.load(), code);
        EXPECT_TRUE(endpoint.event.Wait(0));
    }
    EXPECT_TRUE(midi.Sent().empty());
}

TEST_F(ProtocolTest, DeviceNumberAndModelBytesAreNotExamined)
{
    Receive({0xF0, 0x52, 0x7F, 0x12, 0x00, 0x0B, 0xF7});
    EXPECT_EQ(endpoint.status.load(), 11);
    EXPECT_TRUE(endpoint.event.IsSet());
}

TEST_F(ProtocolTest, DamagedStatusRepliesAreDroppedSilently)
{
    endpoint.status = 7;
    Receive({0xF0, 0x52, 0x00, 0x6E, 0x00});               // no status byte
    Receive({0xF0, 0x52, 0x00, 0x6E, 0x00, 0xFF, 0xF7});   // not a data byte: never "closing"
    Receive({0xF0, 0x52, 0x00, 0x6E});                     // no command byte
    // However whole it looks, a message the driver reports damaged answers
    // nothing (and asks for nothing): it is only counted.
    Identify();
    for (const Bytes& m : {kAck, ReadDataReply({1, 2, 3, 4}), Bytes{0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7}, Bytes{}}) {
        ASSERT_TRUE(midi.ReturnBuffer(MIM_LONGERROR, m));
        ParseReplies(endpoint);
    }
    EXPECT_EQ(endpoint.damagedReplies.load(), 4u);
    EXPECT_EQ(endpoint.statusReplies.load() + endpoint.readReplies.load() + endpoint.okReplies.load(), 0u);
    EXPECT_EQ(Received(), 0);
    EXPECT_EQ(endpoint.status.load(), 7);
    EXPECT_FALSE(endpoint.event.IsSet());
    EXPECT_TRUE(midi.Sent().empty());
}

TEST_F(ProtocolTest, CompletionNoticeIsSuccess)
{
    endpoint.status = 3;
    Receive({0xF0, 0x52, 0x00, 0x6E, 0x02, 0xF7});
    EXPECT_EQ(endpoint.status.load(), 0);
    EXPECT_TRUE(endpoint.event.IsSet());
    EXPECT_TRUE(midi.Sent().empty());
}

TEST_F(ProtocolTest, DeviceCommandsAreAcknowledgedWithoutWakingTheWaiter)
{
    Identify();
    endpoint.status = 42;
    for (std::uint8_t command : {0x01, 0x04, 0x05}) Receive({0xF0, 0x52, 0x00, 0x6E, command, 0xF7});
    EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{kAck, kAck, kAck}));
    EXPECT_EQ(endpoint.status.load(), 42);
    EXPECT_FALSE(endpoint.event.IsSet());
}

TEST_F(ProtocolTest, BeforeIdentificationTheAcknowledgeCarriesModelZero)
{
    Receive({0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7});
    EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{{0xF0, 0x52, 0x00, 0x00, 0x00, 0x00, 0xF7}}));
}

TEST_F(ProtocolTest, CommandThreeIsIgnoredUnknownCommandsAreRejected)
{
    Identify();
    endpoint.status = 42;
    Receive({0xF0, 0x52, 0x00, 0x6E, 0x03, 0xF7});
    EXPECT_TRUE(midi.Sent().empty());
    for (std::uint8_t command : {0x06, 0x0A, 0x5F, 0x61, 0x7F}) Receive({0xF0, 0x52, 0x00, 0x6E, command, 0xF7});
    EXPECT_EQ(midi.Sent(), (std::vector<Bytes>(5, kReject)));
    EXPECT_EQ(endpoint.status.load(), 42);
    EXPECT_FALSE(endpoint.event.IsSet());
}

// ---------------------------------------------------------------------------
// Universal messages.

TEST_F(ProtocolTest, IdentityReplyIsRecordedEvenWhenNotAccepted)
{
    endpoint.status = 9;
    Receive({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00, 0x0A, 0x00, 1, 0, 0, 0, 0xF7});
    EXPECT_EQ(endpoint.status.load(), 0);
    EXPECT_EQ(endpoint.identity.Bytes(), (std::array<std::uint8_t, 4>{0x6E, 0x00, 0x0A, 0x00}));
    EXPECT_TRUE(endpoint.event.IsSet());
    EXPECT_FALSE(IsAcceptedIdentity(endpoint.identity.Bytes().data()));
    EXPECT_TRUE(midi.Sent().empty());
}

TEST_F(ProtocolTest, TruncatedIdentityReplyIsDropped)
{
    endpoint.status = 9;
    Receive({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00, 0x09});
    EXPECT_EQ(endpoint.status.load(), 9);
    EXPECT_FALSE(endpoint.event.IsSet());
}

TEST_F(ProtocolTest, IdentityRequestFromTheDeviceIsAnsweredWithTheHostReply)
{
    Receive({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7});
    hostIdentityReply.SetIdentity(kQ9);
    Receive({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    const std::vector<Bytes> expected = {
        {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7},
        {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00, 0x09, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7},
    };
    EXPECT_EQ(midi.Sent(), expected);
    EXPECT_FALSE(endpoint.event.IsSet());
}

TEST_F(ProtocolTest, OtherUniversalMessages)
{
    Identify();
    endpoint.status = 4;
    Receive({0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7});   // general information, other sub-ID: rejected
    EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{kReject}));
    midi.ClearSent();
    Receive({0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7});   // not general information: dropped
    Receive({0xF0, 0x7F, 0x00, 0x06, 0x02, 0xF7});   // real-time: dropped
    Receive({0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7});   // another maker: dropped
    Receive({0x90, 0x52, 0x00, 0x6E, 0x00, 0x00});   // not SysEx: dropped
    Receive({0xF0});
    EXPECT_TRUE(midi.Sent().empty());
    EXPECT_EQ(endpoint.status.load(), 4);
    EXPECT_FALSE(endpoint.event.IsSet());
}

TEST_F(ProtocolTest, TheLaterPiecesOfAnOverlongMessageAreDropped)
{
    Bytes big(CMidiInPort::kBufferSize + 100, 0x00);
    big[0] = 0xF0;
    big[1] = 0x7D;   // non-commercial id: the first piece is dropped too
    big[CMidiInPort::kBufferSize + 1] = 0x52;
    big[CMidiInPort::kBufferSize + 4] = 0x00;
    big.back() = 0xF7;
    endpoint.status = 6;
    Receive(big);
    EXPECT_EQ(endpoint.status.load(), 6);
    EXPECT_FALSE(endpoint.event.IsSet());
}

TEST_F(ProtocolTest, SeveralQueuedMessagesAreHandledInArrivalOrder)
{
    Identify();
    ASSERT_TRUE(midi.Deliver({0xF0, 0x52, 0x00, 0x6E, 0x00, 0x0B, 0xF7}));
    ASSERT_TRUE(midi.Deliver({0xF0, 0x52, 0x00, 0x6E, 0x04, 0xF7}));
    ASSERT_TRUE(midi.Deliver({0xF0, 0x52, 0x00, 0x6E, 0x00, 0x02, 0xF7}));
    ParseReplies(endpoint);
    EXPECT_EQ(endpoint.midiIn.GetFirstMessage(), nullptr);
    EXPECT_EQ(endpoint.status.load(), 2);
    EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{kAck}));
    // Two signals of an auto-reset event leave one.
    EXPECT_TRUE(endpoint.event.Wait(0));
    EXPECT_FALSE(endpoint.event.Wait(0));
}

TEST_F(ProtocolTest, TheTimerCallbackParsesItsEndpoint)
{
    ASSERT_TRUE(midi.Deliver({0xF0, 0x52, 0x00, 0x6E, 0x02, 0xF7}));
    OnReplyTimer(1, 0, 0, 0, 0);   // no endpoint: nothing
    EXPECT_NE(endpoint.midiIn.GetFirstMessage(), nullptr);
    OnReplyTimer(1, 0, reinterpret_cast<DWORD_PTR>(&endpoint), 0, 0);
    EXPECT_EQ(endpoint.midiIn.GetFirstMessage(), nullptr);
    EXPECT_TRUE(endpoint.event.IsSet());
}

// ---------------------------------------------------------------------------
// Read-data replies.

TEST_F(ProtocolTest, ValidReadDataIsAppendedAndIsSuccess)
{
    endpoint.status = 5;
    Receive(ReadDataReply({'1', '.', '2', '0'}));
    EXPECT_EQ(endpoint.status.load(), 0);
    EXPECT_TRUE(endpoint.event.Wait(0));
    Receive(ReadDataReply({0x80, 0xFF, 0x00}));
    EXPECT_EQ(Received(), 7);
    EXPECT_EQ(ReceivedBytes(), (Bytes{'1', '.', '2', '0', 0x80, 0xFF, 0x00}));
    EXPECT_TRUE(endpoint.event.IsSet());
}

TEST_F(ProtocolTest, ReadDataWithAWrongCrcOrMarkerFailsTheRead)
{
    for (const Bytes& reply : {ReadDataReply({1, 2, 3, 4}, 0x04, 0x30, 1), ReadDataReply({1, 2, 3, 4}, 0x04, 0x31),
                               ReadDataReply({1, 2, 3, 4}, 0x05, 0x30), ReadDataReply({1, 2, 3, 4}, 0x00, 0x30)}) {
        endpoint.status = 0;   // an earlier success must not survive
        Receive(reply);
        EXPECT_EQ(endpoint.status.load(), 1);
        EXPECT_TRUE(endpoint.event.Wait(0));
        EXPECT_EQ(Received(), 0);
    }
}

TEST_F(ProtocolTest, TruncatedReadDataFailsAtOnceWithoutReadingPastItsEnd)
{
    const Bytes full = ReadDataReply({9, 8, 7, 6, 5, 4, 3, 2, 1});
    // Every shorter prefix down to the command byte: the queue entry is
    // exactly that long, so a read beyond it is caught by AddressSanitizer.
    for (std::size_t length = full.size() - 2; length >= 5; --length) {
        SCOPED_TRACE(length);
        endpoint.status = 0;
        Receive(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)));
        EXPECT_EQ(endpoint.status.load(), 1);
        EXPECT_TRUE(endpoint.event.Wait(0));
        EXPECT_EQ(Received(), 0);
    }
    // Without its F7 (not examined) the reply is whole.
    Receive(Bytes(full.begin(), full.end() - 1));
    EXPECT_EQ(endpoint.status.load(), 0);
    EXPECT_EQ(Received(), 9);
}

TEST_F(ProtocolTest, ReadDataThatWouldOverflowTheReceiveBufferIsDropped)
{
    {
        std::lock_guard<std::mutex> lock(receiveMutex);
        receiveCount = static_cast<std::int32_t>(kReceiveBufferSize - 3);
    }
    Receive(ReadDataReply({1, 2, 3, 4}));
    EXPECT_EQ(endpoint.status.load(), 1);
    EXPECT_TRUE(endpoint.event.Wait(0));
    EXPECT_EQ(Received(), static_cast<std::int32_t>(kReceiveBufferSize - 3));
    // Exactly filling it is fine.
    Receive(ReadDataReply({1, 2, 3}));
    EXPECT_EQ(endpoint.status.load(), 0);
    EXPECT_EQ(Received(), static_cast<std::int32_t>(kReceiveBufferSize));
}

// ---------------------------------------------------------------------------
// Senders.

TEST_F(ProtocolTest, SendersComposeTheirMessages)
{
    EXPECT_EQ(SendIdentityRequest(endpoint.midiOut), 0);
    EXPECT_EQ(SendBeginUpdate(endpoint.midiOut, 0x6E), 0);
    EXPECT_EQ(SendEndUpdate(endpoint.midiOut, 0x6E), 0);
    EXPECT_EQ(SendErase(endpoint.midiOut, 0x6E, 0x125000, 0x33000), 0);
    EXPECT_EQ(SendReadRequest(endpoint.midiOut, 0x6E, 0x4AFFC, 4), 0);
    Identify();
    EXPECT_EQ(SendStatusReply(endpoint.midiOut, 1), 0);
    const std::vector<Bytes> expected = {
        {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7},
        {0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7},
        {0xF0, 0x52, 0x00, 0x6E, 0x04, 0xF7},
        {0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x20, 0x49, 0x00, 0x00, 0x00, 0x60, 0x0C, 0x00, 0x00, 0xF7},
        {0xF0, 0x52, 0x00, 0x6E, 0x60, 0x30, 0x7C, 0x5F, 0x12, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xF7},
        kReject,
    };
    EXPECT_EQ(midi.Sent(), expected);
}

TEST_F(ProtocolTest, SendWriteBlockSendsTheComposedBlock)
{
    Bytes data(4096);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    EXPECT_EQ(SendWriteBlock(endpoint.midiOut, 0x6E, data.data(), 0x126000, 4096), 0);
    ASSERT_EQ(midi.Sent().size(), 1u);
    Bytes expected(kMaxMessage);
    ASSERT_EQ(ComposeWriteBlock(expected.data(), 0x6E, data.data(), 0x126000, 4096), kMaxMessage);
    EXPECT_EQ(midi.Sent()[0], expected);
    // More than the command buffer holds is refused without a send.
    Bytes tooBig(kMaxBlock + 1);
    EXPECT_EQ(SendWriteBlock(endpoint.midiOut, 0x6E, tooBig.data(), 0, kMaxBlock + 1), -1);
    EXPECT_EQ(midi.Sent().size(), 1u);
}

TEST_F(ProtocolTest, SendSysExTurnsThePortResultIntoZeroOrMinusOne)
{
    const Bytes message = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
    midi.Script(FakeMidi::Op::OutLongMsg, MMSYSERR_ERROR);
    EXPECT_EQ(SendSysEx(endpoint.midiOut, message.data(), 6), -1);
    EXPECT_EQ(SendSysEx(endpoint.midiOut, message.data(), 6), 0);
    endpoint.midiOut.Close();
    EXPECT_EQ(SendSysEx(endpoint.midiOut, message.data(), 6), -1);
    EXPECT_EQ(SendIdentityRequest(endpoint.midiOut), -1);
}

TEST(ProtocolState, SharedStateStartsAndResetsToItsStartValues)
{
    ResetProtocolState();
    EXPECT_EQ(deviceIdentity.Bytes(), (std::array<std::uint8_t, 4>{}));
    const std::uint8_t id[4] = {1, 2, 3, 4};
    deviceIdentity.Set(id);
    EXPECT_EQ(deviceIdentity[0], 1);
    EXPECT_EQ(deviceIdentity[3], 4);
    hostIdentityReply.SetIdentity(id);
    EXPECT_EQ(hostIdentityReply.Snapshot()[9], 4);
    ResetProtocolState();
    EXPECT_EQ(deviceIdentity[0], 0);
    EXPECT_EQ(hostIdentityReply.Snapshot()[6], 0);
    EXPECT_EQ(receiveCount.load(), 0);

    const std::uint8_t q9a[4] = {0x6E, 0x00, 0x09, 0x00};
    const std::uint8_t q9b[4] = {0x6E, 0x00, 0x08, 0x00};
    const std::uint8_t other[4] = {0x6E, 0x00, 0x0A, 0x00};
    const std::uint8_t swapped[4] = {0x00, 0x6E, 0x00, 0x09};
    EXPECT_TRUE(IsAcceptedIdentity(q9a));
    EXPECT_TRUE(IsAcceptedIdentity(q9b));
    EXPECT_FALSE(IsAcceptedIdentity(other));
    EXPECT_FALSE(IsAcceptedIdentity(swapped));
}

// ---------------------------------------------------------------------------
// Read transactions, with a parser thread standing in for the 1 ms timer.

namespace {

class ReadTransactionTest : public ProtocolTest {
protected:
    ReadTransactionTest()
    {
        parser = std::thread([this] {
            while (!stop.load()) {
                ParseReplies(endpoint);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    ~ReadTransactionTest() override
    {
        stop = true;
        parser.join();
        midi.OnSend(nullptr);
    }
    // The device answers every read request with `replies`.
    void AnswerReadsWith(std::vector<Bytes> replies)
    {
        midi.OnSend([this, replies](const Bytes& sent) {
            if (sent.size() == 17 && sent[4] == 0x60)
                for (const Bytes& reply : replies) midi.Deliver(reply);
        });
    }

    std::atomic<bool> stop{false};
    std::thread parser;
};

}  // namespace

TEST_F(ReadTransactionTest, ReturnsTheFirstFourBytesReceived)
{
    Identify();
    AnswerReadsWith({ReadDataReply({'1', '.', '0', '2'})});
    std::uint8_t out[4] = {};
    ASSERT_EQ(ReadTransaction(endpoint, 0x4AFFC, 4, out, 5000), 0);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{'1', '.', '0', '2'}));
    EXPECT_EQ(midi.Sent().at(0),
              (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x30, 0x7C, 0x5F, 0x12, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xF7}));
}

TEST_F(ReadTransactionTest, EachTransactionStartsFromAnEmptyReceiveBuffer)
{
    AnswerReadsWith({ReadDataReply({1, 2, 3, 4})});
    std::uint8_t out[4] = {};
    ASSERT_EQ(ReadTransaction(endpoint, 0, 4, out, 5000), 0);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 3, 4}));
    AnswerReadsWith({ReadDataReply({5, 6, 7, 8})});
    ASSERT_EQ(ReadTransaction(endpoint, 0, 4, out, 5000), 0);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{5, 6, 7, 8}));
    EXPECT_EQ(Received(), 4);
}

TEST_F(ReadTransactionTest, FewerThanFourBytesIsAFailedRead)
{
    AnswerReadsWith({ReadDataReply({1, 2})});
    std::uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(ReadTransaction(endpoint, 0, 4, out, 5000), -1);
    EXPECT_EQ(endpoint.status.load(), 1);
    EXPECT_EQ(out[0], 0xAA);
}

TEST_F(ReadTransactionTest, BadRepliesTimeOutsAndClosingFail)
{
    std::uint8_t out[4] = {};
    AnswerReadsWith({ReadDataReply({1, 2, 3, 4}, 0x04, 0x30, 5)});
    EXPECT_EQ(ReadTransaction(endpoint, 0, 4, out, 5000), -1);
    EXPECT_EQ(endpoint.status.load(), 1);

    AnswerReadsWith({});
    EXPECT_EQ(ReadTransaction(endpoint, 0, 4, out, 20), -1);

    // The dialog closing: status 255 stays for the worker to see.
    endpoint.status = 255;
    endpoint.event.Set();
    EXPECT_EQ(ReadTransaction(endpoint, 0, 4, out, 5000), -1);
    EXPECT_EQ(endpoint.status.load(), kStatusClosing);
}

TEST_F(ReadTransactionTest, WorkerAndReceiveSideRunSideBySide)
{
    // Reads on this thread while the parser thread answers the device's own
    // requests and identity requests, which read the shared state too.
    AnswerReadsWith({ReadDataReply({4, 3, 2, 1})});
    std::thread device([this] {
        for (int i = 0; i < 200; ++i) {
            midi.Deliver({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7});
            midi.Deliver({0xF0, 0x52, 0x00, 0x6E, 0x05, 0xF7});
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 50; ++i) {
        hostIdentityReply.SetIdentity(kQ9);
        deviceIdentity.Set(kQ9);
        std::uint8_t out[4] = {};
        ASSERT_EQ(ReadTransaction(endpoint, 0x100, 4, out, 5000), 0);
        EXPECT_EQ(Bytes(out, out + 4), (Bytes{4, 3, 2, 1}));
    }
    device.join();
}

// ---------------------------------------------------------------------------
// A command and its reply.

TEST_F(ProtocolTest, ALeftoverReplySignalIsClearedBeforeTheNextCommand)
{
    endpoint.event.Set();   // a reply that came after its wait had run out
    ClearStaleReply(endpoint);
    EXPECT_FALSE(endpoint.event.IsSet());
    EXPECT_FALSE(AwaitReply(endpoint, 0, 1));

    // The closing signal is kept, so the worker still wakes at once.
    endpoint.status.store(kStatusClosing);
    endpoint.event.Set();
    ClearStaleReply(endpoint);
    EXPECT_TRUE(endpoint.event.IsSet());
}

TEST_F(ProtocolTest, ACommandThatWasNotSentGetsNoReply)
{
    endpoint.event.Set();
    EXPECT_FALSE(AwaitReply(endpoint, -1, 60000));   // at once, the signal left alone
    EXPECT_TRUE(endpoint.event.IsSet());
    EXPECT_TRUE(AwaitReply(endpoint, 0, 60000));

    endpoint.status.store(kStatusClosing);
    endpoint.event.Set();
    EXPECT_TRUE(AwaitReply(endpoint, -1, 60000));   // closing: the worker must see it
}
