// Several backends listed together as one MIDI service.
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "platform/midi_system.h"
#include "platform/sync_output_callbacks.h"
#include "tests/support/fake_midi.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace platform;
using q9test::FakeMidi;
using q9test::ScopedMidi;
using Op = FakeMidi::Op;

namespace {

class MidiSystemTest : public ::testing::Test {
protected:
    MidiSystemTest()
    {
        auto a = std::make_unique<FakeMidi>();
        auto b = std::make_unique<FakeMidi>();
        first = a.get();
        second = b.get();
        first->SetInDevices({"ALSA In 0", "ALSA In 1"});
        first->SetOutDevices({"ALSA Out 0"});
        second->SetInDevices({"ARKO Q9"});
        second->SetOutDevices({"ARKO Q9", "USB Audio Device"});
        system.Add(std::move(a));
        system.Add(std::move(b));
    }

    std::string InName(UINT id)
    {
        char name[platform::kDeviceNameCapacity];
        CMidiInPort::GetDeviceName(id, name);
        return name;
    }
    std::string OutName(UINT id)
    {
        char name[platform::kDeviceNameCapacity];
        CMidiOutPort::GetDeviceName(id, name);
        return name;
    }

    MidiSystem system;
    FakeMidi* first = nullptr;
    FakeMidi* second = nullptr;
};

struct Recorded {
    std::mutex mutex;
    std::vector<std::pair<HMIDIIN, UINT>> calls;
};

void Record(HMIDIIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR)
{
    auto* recorded = reinterpret_cast<Recorded*>(instance);
    std::lock_guard<std::mutex> lock(recorded->mutex);
    recorded->calls.emplace_back(handle, msg);
}

}  // namespace

TEST_F(MidiSystemTest, IdsArePositionsInTheCombinedList)
{
    ScopedMidi scoped(system);
    EXPECT_EQ(system.BackendCount(), 2u);
    ASSERT_EQ(CMidiInPort::GetDeviceCount(), 3u);
    EXPECT_EQ(InName(0), "ALSA In 0");
    EXPECT_EQ(InName(1), "ALSA In 1");
    EXPECT_EQ(InName(2), "ARKO Q9");
    EXPECT_EQ(InName(3), "");
    ASSERT_EQ(CMidiOutPort::GetDeviceCount(), 3u);
    EXPECT_EQ(OutName(0), "ALSA Out 0");
    EXPECT_EQ(OutName(1), "ARKO Q9");
    EXPECT_EQ(OutName(2), "USB Audio Device");
    // The backend was asked with its own id.
    EXPECT_EQ(second->Calls().back().id, 1u);
}

TEST_F(MidiSystemTest, IdsKeepTheirDeviceUntilTheNextCount)
{
    ASSERT_EQ(system.OutGetNumDevs(), 3u);
    first->SetOutDevices({"ALSA Out 0", "ALSA Out 1"});   // the first backend grows
    HMIDIOUT handle = 0;
    ASSERT_EQ(system.OutOpen(&handle, 1, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_TRUE(second->OutputOpen());                    // still the ARKO Q9
    EXPECT_FALSE(first->OutputOpen());
    EXPECT_EQ(system.OutClose(handle), MMSYSERR_NOERROR);

    ASSERT_EQ(system.OutGetNumDevs(), 4u);                // a new listing moves it
    ASSERT_EQ(system.OutOpen(&handle, 1, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_TRUE(first->OutputOpen());
    EXPECT_EQ(system.OutClose(handle), MMSYSERR_NOERROR);
    EXPECT_EQ(system.OutOpen(&handle, 4, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
}

TEST_F(MidiSystemTest, OpenBeforeAnyCountTakesAListing)
{
    HMIDIOUT handle = 0;
    ASSERT_EQ(system.OutOpen(&handle, 2, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    const auto calls = second->Calls();
    EXPECT_EQ(calls.back().name, "midiOutOpen");
    EXPECT_EQ(calls.back().id, 1u);
    EXPECT_EQ(system.OutClose(handle), MMSYSERR_NOERROR);
}

TEST_F(MidiSystemTest, HandlesAreTheSystemsOwnAndUnknownOnesAreRefused)
{
    HMIDIOUT a = 0;
    HMIDIOUT b = 0;
    ASSERT_EQ(system.OutOpen(&a, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(system.OutOpen(&b, 1, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_NE(a, b);
    EXPECT_NE(a, 0u);
    MIDIHDR header{};
    char data[] = {'\xF0', '\xF7'};
    header.lpData = data;
    header.dwBufferLength = 2;
    EXPECT_EQ(system.OutPrepareHeader(b, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(system.OutLongMsg(b, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(system.OutUnprepareHeader(b, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(second->Sent().size(), 1u);
    EXPECT_TRUE(first->Sent().empty());
    EXPECT_EQ(second->Calls().back().handle, second->LastOutHandle());

    EXPECT_EQ(system.OutClose(a), MMSYSERR_NOERROR);
    EXPECT_EQ(system.OutClose(a), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(system.OutLongMsg(12345, &header, sizeof(header)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(system.InStart(12345), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(system.InOpen(nullptr, 0, nullptr, 0, 0), MMSYSERR_INVALPARAM);
}

TEST_F(MidiSystemTest, AFailedBackendOpenGivesNoHandle)
{
    second->Script(Op::InOpen, MMSYSERR_ALLOCATED);
    HMIDIIN handle = 0;
    EXPECT_EQ(system.InOpen(&handle, 2, &Record, 0, CALLBACK_FUNCTION), MMSYSERR_ALLOCATED);
    EXPECT_EQ(handle, 0u);
}

TEST_F(MidiSystemTest, TheCallbackSeesTheCombinedHandleAndInstance)
{
    Recorded recorded;
    HMIDIIN handle = 0;
    ASSERT_EQ(system.InOpen(&handle, 2, &Record, reinterpret_cast<DWORD_PTR>(&recorded), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    EXPECT_EQ(second->Calls().back().id, 0u);
    EXPECT_EQ(system.InClose(handle), MMSYSERR_NOERROR);
    std::lock_guard<std::mutex> lock(recorded.mutex);
    ASSERT_EQ(recorded.calls.size(), 2u);
    EXPECT_EQ(recorded.calls[0], std::make_pair(handle, MIM_OPEN));
    EXPECT_EQ(recorded.calls[1], std::make_pair(handle, MIM_CLOSE));
}

TEST_F(MidiSystemTest, PortsRunThroughTheSystem)
{
    ScopedMidi scoped(system);
    CMidiInPort in;
    in.deviceId = 2;
    ASSERT_EQ(in.Start(), 1);
    EXPECT_TRUE(second->InputStarted());
    // The callback hands the buffer back through the system while the driver delivers.
    ASSERT_TRUE(second->Deliver({0xF0, 0x52, 0x00, 0x6E, 0x00, 0x00, 0xF7}));
    ASSERT_TRUE(second->Deliver({0xF0, 0x01, 0xF7}));
    std::uint32_t count = 0;
    ASSERT_NE(in.GetFirstMessage(count), nullptr);
    EXPECT_EQ(count, 7u);
    in.RemoveFirstMessage();
    ASSERT_NE(in.GetFirstMessage(count), nullptr);
    EXPECT_EQ(count, 3u);
    in.RemoveFirstMessage();
    in.Close();
    EXPECT_FALSE(second->InputOpen());
    EXPECT_EQ(first->Calls().size(), 1u);   // only its device count
}

TEST_F(MidiSystemTest, ABlockedBackendCallDoesNotBlockTheSystem)
{
    // The second backend's long message blocks until released; meanwhile
    // the system serves other calls.
    std::mutex mutex;
    std::condition_variable cond;
    bool entered = false;
    bool released = false;
    second->OnSend([&](const std::vector<std::uint8_t>&) {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        cond.notify_all();
        cond.wait(lock, [&] { return released; });
    });
    HMIDIOUT blocked = 0;
    ASSERT_EQ(system.OutOpen(&blocked, 1, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    std::thread sender([&] {
        char data[] = {'\xF0', '\xF7'};
        MIDIHDR header{};
        header.lpData = data;
        header.dwBufferLength = 2;
        EXPECT_EQ(system.OutPrepareHeader(blocked, &header, sizeof(header)), MMSYSERR_NOERROR);
        EXPECT_EQ(system.OutLongMsg(blocked, &header, sizeof(header)), MMSYSERR_NOERROR);
        EXPECT_EQ(system.OutUnprepareHeader(blocked, &header, sizeof(header)), MMSYSERR_NOERROR);
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait(lock, [&] { return entered; });
    }
    EXPECT_EQ(system.OutGetNumDevs(), 3u);
    HMIDIOUT other = 0;
    EXPECT_EQ(system.OutOpen(&other, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(system.OutClose(other), MMSYSERR_NOERROR);
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    cond.notify_all();
    sender.join();
    second->OnSend(nullptr);
}

TEST(MidiSystemAlone, AnEmptySystemAndTheDefaultServiceHaveNoDevices)
{
    MidiSystem empty;
    EXPECT_EQ(empty.InGetNumDevs(), 0u);
    EXPECT_EQ(empty.OutGetNumDevs(), 0u);
    HMIDIOUT handle = 0;
    EXPECT_EQ(empty.OutOpen(&handle, 0, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(Midi().InGetNumDevs(), 0u);

    // Installing returns the previous service, which can be put back.
    MidiApi* previous = InstallMidi(&empty);
    EXPECT_EQ(&Midi(), &empty);
    EXPECT_EQ(InstallMidi(previous), &empty);
    EXPECT_EQ(&Midi(), previous);
}

TEST(MidiSystemAlone, DestructionClosesWhatWasLeftOpen)
{
    auto fake = std::make_unique<FakeMidi>();
    FakeMidi* backend = fake.get();
    backend->SetInDevices({"In"});
    backend->SetOutDevices({"Out"});
    Recorded recorded;
    {
        MidiSystem system;
        system.Add(std::move(fake));
        HMIDIIN in = 0;
        HMIDIOUT out = 0;
        ASSERT_EQ(system.InOpen(&in, 0, &Record, reinterpret_cast<DWORD_PTR>(&recorded), CALLBACK_FUNCTION), 0u);
        ASSERT_EQ(system.OutOpen(&out, 0, 0, 0, CALLBACK_NULL), 0u);
        EXPECT_TRUE(backend->InputOpen());
        EXPECT_TRUE(backend->OutputOpen());
    }
    // The system closed the input before its backend went.
    std::lock_guard<std::mutex> lock(recorded.mutex);
    ASSERT_EQ(recorded.calls.size(), 2u);
    EXPECT_EQ(recorded.calls.back().second, MIM_CLOSE);
}

// A backend that is finished with a long message when OutLongMsg returns
// gets the output callback from SyncOutputCallbacks.
namespace {

struct OutRecord {
    std::vector<std::pair<UINT, DWORD_PTR>> calls;   // message, parameter 1
};

void RecordOut(HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
{
    reinterpret_cast<OutRecord*>(instance)->calls.emplace_back(msg, param1);
}

}  // namespace

TEST(SyncOutputCallbacks, OpenDoneAndCloseReachTheCallbackOnlyForFinishedSends)
{
    auto owned = std::make_unique<FakeMidi>();
    FakeMidi* inner = owned.get();
    inner->SetOutDevices({"ARKO Q9"});
    SyncOutputCallbacks sync(std::move(owned));
    OutRecord record;
    const auto callback = reinterpret_cast<DWORD_PTR>(&RecordOut);
    const auto instance = reinterpret_cast<DWORD_PTR>(&record);

    HMIDIOUT out = 0;
    EXPECT_EQ(sync.OutOpen(&out, 0, 0, instance, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(sync.OutOpen(&out, 0, callback, instance, 0x77), MMSYSERR_INVALPARAM);
    ASSERT_EQ(sync.OutOpen(&out, 0, callback, instance, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    const FakeMidi::Call opened = inner->Calls().back();
    EXPECT_EQ(opened.flags, CALLBACK_NULL) << "the backend itself is opened without a callback";
    EXPECT_EQ(opened.callback, 0u);

    std::uint8_t bytes[] = {0xF0, 0x01, 0xF7};
    MIDIHDR header{};
    header.lpData = reinterpret_cast<char*>(bytes);
    header.dwBufferLength = sizeof(bytes);
    const auto param = reinterpret_cast<DWORD_PTR>(&header);
    ASSERT_EQ(sync.OutPrepareHeader(out, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(sync.OutLongMsg(out, &header, sizeof(header)), MMSYSERR_NOERROR);   // done: MOM_DONE
    inner->Script(Op::OutLongMsg, MMSYSERR_ERROR);
    EXPECT_EQ(sync.OutLongMsg(out, &header, sizeof(header)), MMSYSERR_ERROR);     // refused: nothing
    inner->SetDoneMode(FakeMidi::DoneMode::Never);
    header.dwFlags &= ~MHDR_DONE;
    EXPECT_EQ(sync.OutLongMsg(out, &header, sizeof(header)), MMSYSERR_NOERROR);   // not done: nothing
    EXPECT_EQ(sync.OutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(sync.OutLongMsg(out, &header, sizeof(header)), MMSYSERR_INVALHANDLE);

    const std::vector<std::pair<UINT, DWORD_PTR>> expected = {{MOM_OPEN, 0}, {MOM_DONE, param}, {MOM_CLOSE, 0}};
    EXPECT_EQ(record.calls, expected);

    // Opened without a callback, nothing is called.
    record.calls.clear();
    ASSERT_EQ(sync.OutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    inner->SetDoneMode(FakeMidi::DoneMode::Immediately);
    EXPECT_EQ(sync.OutLongMsg(out, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(sync.OutClose(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(record.calls.empty());
}
