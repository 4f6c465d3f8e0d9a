// The winmm backend's translation (names, callbacks, the system copies of
// the headers) against a winmm driver played by the recording fake: the
// real ports run on top, as they do on Windows.
#include "platform/windows/winmm_midi.h"

#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "resources/string_table.h"
#include "tests/support/fake_midi.h"
#include "tests/support/scripted_link.h"
#include "tests/support/winmm_standin.h"
#include "virtual_device/virtual_q9.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace platform;
using q9test::FakeMidi;
using q9test::ScopedMidi;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A winmm driver: the fake works on headers of the layer's layout, so the
// driver keeps one of those per system header and copies what the fake
// reports into the system header before calling back, as winmm does.
struct Driver {
    FakeMidi fake;
    std::mutex mutex;
    std::map<WinmmHeader*, std::unique_ptr<MIDIHDR>> mirrors;
    std::map<const MIDIHDR*, WinmmHeader*> owners;
    struct Client {
        WinmmProc callback;
        DWORD_PTR instance;
    };
    std::map<std::uintptr_t, Client> outClients;
    std::vector<std::unique_ptr<Client>> inClients;
    std::atomic<int> doneMessages{0};

    MIDIHDR* Mirror(WinmmHeader* h)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto& m = mirrors[h];
        if (!m) {
            m = std::make_unique<MIDIHDR>();
            owners[m.get()] = h;
        }
        m->lpData = h->lpData;
        m->dwBufferLength = h->dwBufferLength;
        return m.get();
    }
    WinmmHeader* Owner(const MIDIHDR* m)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return owners.at(m);
    }
    static void Back(const MIDIHDR* m, WinmmHeader* h)
    {
        h->dwBytesRecorded = m->dwBytesRecorded;
        h->dwFlags = std::atomic_ref<DWORD>(const_cast<MIDIHDR*>(m)->dwFlags).load();
    }
};
Driver* driver = nullptr;

// The fake finished an output header (at once, or on a reset): the system
// copy gets what the fake reported, then the caller hears MOM_DONE.
void FakeOutCallback(HMIDIOUT handle, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR)
{
    if (msg != MOM_DONE) return;
    const auto* m = reinterpret_cast<const MIDIHDR*>(p1);
    WinmmHeader* h = driver->Owner(m);
    Driver::Back(m, h);
    ++driver->doneMessages;
    Driver::Client client{};
    {
        std::lock_guard<std::mutex> lock(driver->mutex);
        client = driver->outClients.at(handle);
    }
    client.callback(handle, MOM_DONE, client.instance, reinterpret_cast<DWORD_PTR>(h), 0);
}

void FakeInCallback(HMIDIIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
{
    const auto* client = reinterpret_cast<const Driver::Client*>(instance);
    if (msg == MIM_LONGDATA || msg == MIM_LONGERROR) {
        WinmmHeader* h = driver->Owner(reinterpret_cast<MIDIHDR*>(p1));
        Driver::Back(reinterpret_cast<MIDIHDR*>(p1), h);
        p1 = reinterpret_cast<DWORD_PTR>(h);
    }
    client->callback(handle, msg, client->instance, p1, p2);
}

MMRESULT Caps(MMRESULT result, const char* name, WinmmCaps* caps)
{
    // The fake's names are ASCII here: widened unit by unit.
    for (std::size_t i = 0; i < 31 && name[i] != 0; ++i) caps->name[i] = static_cast<unsigned char>(name[i]);
    return result;
}

const WinmmCalls kFakeCalls = {
    [] { return driver->fake.InGetNumDevs(); },
    [](UINT id, WinmmCaps* caps) {
        MIDIINCAPSA a;
        return Caps(driver->fake.InGetDevCaps(id, &a, sizeof a), a.szPname, caps);
    },
    [](std::uintptr_t* handle, UINT id, WinmmProc callback, DWORD_PTR instance, DWORD flags) {
        driver->inClients.push_back(std::make_unique<Driver::Client>(Driver::Client{callback, instance}));
        return driver->fake.InOpen(handle, id, &FakeInCallback, reinterpret_cast<DWORD_PTR>(driver->inClients.back().get()),
                                   flags);
    },
    [](std::uintptr_t h) { return driver->fake.InReset(h); },
    [](std::uintptr_t h, WinmmHeader* hdr, UINT) {
        const MMRESULT r = driver->fake.InPrepareHeader(h, driver->Mirror(hdr), sizeof(MIDIHDR));
        Driver::Back(driver->Mirror(hdr), hdr);
        return r;
    },
    [](std::uintptr_t h, WinmmHeader* hdr, UINT) {
        return driver->fake.InAddBuffer(h, driver->Mirror(hdr), sizeof(MIDIHDR));
    },
    [](std::uintptr_t h) { return driver->fake.InStart(h); },
    [](std::uintptr_t h) { return driver->fake.InStop(h); },
    [](std::uintptr_t h, WinmmHeader* hdr, UINT) {
        const MMRESULT r = driver->fake.InUnprepareHeader(h, driver->Mirror(hdr), sizeof(MIDIHDR));
        Driver::Back(driver->Mirror(hdr), hdr);
        return r;
    },
    [](std::uintptr_t h) { return driver->fake.InClose(h); },
    [] { return driver->fake.OutGetNumDevs(); },
    [](UINT id, WinmmCaps* caps) {
        MIDIOUTCAPSA a;
        return Caps(driver->fake.OutGetDevCaps(id, &a, sizeof a), a.szPname, caps);
    },
    [](std::uintptr_t* handle, UINT id, WinmmProc callback, DWORD_PTR instance, DWORD flags) {
        // The fake's MOM_OPEN comes before the client is known: ignored.
        const MMRESULT r = driver->fake.OutOpen(handle, id, reinterpret_cast<DWORD_PTR>(&FakeOutCallback), 0, flags);
        if (r == MMSYSERR_NOERROR) {
            {
                std::lock_guard<std::mutex> lock(driver->mutex);
                driver->outClients[*handle] = {callback, instance};
            }
            callback(*handle, MOM_OPEN, instance, 0, 0);
        }
        return r;
    },
    [](std::uintptr_t h) {
        const MMRESULT r = driver->fake.OutClose(h);
        if (r == MMSYSERR_NOERROR) driver->outClients[h].callback(h, MOM_CLOSE, driver->outClients[h].instance, 0, 0);
        return r;
    },
    [](std::uintptr_t h, WinmmHeader* hdr, UINT) {
        const MMRESULT r = driver->fake.OutPrepareHeader(h, driver->Mirror(hdr), sizeof(MIDIHDR));
        Driver::Back(driver->Mirror(hdr), hdr);
        return r;
    },
    [](std::uintptr_t h, WinmmHeader* hdr, UINT) {
        return driver->fake.OutLongMsg(h, driver->Mirror(hdr), sizeof(MIDIHDR));
    },
    [](std::uintptr_t h, WinmmHeader* hdr, UINT) {
        const MMRESULT r = driver->fake.OutUnprepareHeader(h, driver->Mirror(hdr), sizeof(MIDIHDR));
        Driver::Back(driver->Mirror(hdr), hdr);
        return r;
    },
    [](std::uintptr_t h) { return driver->fake.OutReset(h); },
};

class WinmmMidiTest : public ::testing::Test {
protected:
    WinmmMidiTest()
    {
        driver = &d;
        d.fake.SetInDevices({"USB Audio Device", "ARKO Q9"});
        d.fake.SetOutDevices({"ARKO Q9"});
    }
    ~WinmmMidiTest() override { driver = nullptr; }
    Driver d;
    WinmmMidi backend{kFakeCalls};
    ScopedMidi installed{backend};
};

TEST(WinmmNames, Utf16NamesBecomeUtf8CutTo31Characters)
{
    struct Case {
        std::u16string name;
        std::string utf8;
    } cases[] = {
        {u"ARKO Q9", "ARKO Q9"},
        {u"USB \u30AA\u30FC\u30C7\u30A3\u30AA\u30C7\u30D0\u30A4\u30B9", "USB \u30AA\u30FC\u30C7\u30A3\u30AA\u30C7\u30D0\u30A4\u30B9"},
        {u"0123456789012345678901234567890123456789", "0123456789012345678901234567890"},
        {u"a\xD800z", "a\xEF\xBF\xBDz"},                 // a lone surrogate
        {u"\xD83C\xDFB9", "\xF0\x9F\x8E\xB9"},           // a pair: one character
        {u"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf16DeviceName(c.name.c_str(), c.name.size() + 1), c.utf8);
    }
}

TEST_F(WinmmMidiTest, TheRealPortsRunAnUpdateExchangeThroughTheSystemCopiesOfTheirHeaders)
{
    ASSERT_EQ(CMidiInPort::GetDeviceCount(), 2u);
    char name[kDeviceNameCapacity];
    CMidiInPort::GetDeviceName(1, name);
    EXPECT_STREQ(name, "ARKO Q9");
    CMidiOutPort::GetDeviceName(0, name);
    EXPECT_STREQ(name, "ARKO Q9");

    CMidiOutPort out;
    ASSERT_EQ(out.Open(0), 1);
    CMidiInPort in;
    in.deviceId = 1;
    ASSERT_EQ(in.Start(), 1);
    // Both opened with the backend's own callback function.
    for (const FakeMidi::Call& call : d.fake.Calls()) {
        if (call.name == "midiInOpen") {
            EXPECT_EQ(call.flags, CALLBACK_FUNCTION);
        }
    }

    // Output: the done bit comes back through MOM_DONE into the port's own
    // header; the caller's is only read.
    Bytes request = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
    for (int i = 0; i < 3; ++i) {
        MIDIHDR header{};
        header.lpData = reinterpret_cast<char*>(request.data());
        header.dwBufferLength = static_cast<DWORD>(request.size());
        ASSERT_EQ(out.SendLongMessage(&header), 1);
        EXPECT_EQ(header.dwFlags, 0u);
    }
    EXPECT_EQ(d.doneMessages.load(), 3);
    EXPECT_EQ(d.fake.Sent(), std::vector<Bytes>(3, request));

    // Input: several buffers' worth arrive, each recorded length and done
    // bit copied back before the port's callback sees its header.
    Bytes reply(3000, 0x22);
    reply.front() = 0xF0;
    reply.back() = 0xF7;
    ASSERT_TRUE(d.fake.Deliver(reply));
    Bytes received;
    std::uint32_t count = 0;
    while (const std::uint8_t* bytes = in.GetFirstMessage(count)) {
        received.insert(received.end(), bytes, bytes + count);
        in.RemoveFirstMessage();
    }
    EXPECT_EQ(received, reply);

    // Closing resets the input before unpreparing and closing it; nothing
    // stays open or prepared.
    d.fake.ClearCalls();
    in.Close();
    EXPECT_EQ(out.Close(), 1);
    const auto names = d.fake.CallNames();
    const auto at = [&](const char* n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
    EXPECT_LT(at("midiInReset"), at("midiInUnprepareHeader"));
    EXPECT_LT(at("midiInUnprepareHeader"), at("midiInClose"));
    EXPECT_LT(at("midiInClose"), static_cast<long>(names.size()));
    EXPECT_EQ(backend.OpenDevices(), 0u);
    EXPECT_FALSE(d.fake.InputOpen());
    EXPECT_FALSE(d.fake.OutputOpen());
}

TEST_F(WinmmMidiTest, RefusalsPassThroughAndUnknownHandlesAreRefusedBeforeTheSystem)
{
    HMIDIIN in = 0;
    EXPECT_EQ(backend.InOpen(&in, 7, nullptr, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(in, 0u);
    EXPECT_EQ(backend.InOpen(&in, 0, nullptr, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(backend.InOpen(&in, 0, nullptr, 0, 0x00010000 /* a window */), MMSYSERR_INVALPARAM);
    MIDIHDR header{};
    EXPECT_EQ(backend.InAddBuffer(12345, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(backend.OutLongMsg(12345, &header, sizeof header), MMSYSERR_INVALHANDLE);
    MIDIINCAPSA caps;
    EXPECT_EQ(backend.InGetDevCaps(0, &caps, 4), MMSYSERR_INVALPARAM);

    // A buffer still with the driver: unprepare and close refuse, and the
    // system copy stays until the reset returns it.
    ASSERT_EQ(backend.InOpen(&in, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    char bytes[64];
    header.lpData = bytes;
    header.dwBufferLength = sizeof bytes;
    ASSERT_EQ(backend.InPrepareHeader(in, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags & MHDR_PREPARED, MHDR_PREPARED);
    ASSERT_EQ(backend.InAddBuffer(in, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(backend.InUnprepareHeader(in, &header, sizeof header), MIDIERR_STILLPLAYING);
    EXPECT_EQ(backend.InClose(in), MIDIERR_STILLPLAYING);
    ASSERT_EQ(backend.InReset(in), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags & MHDR_DONE, MHDR_DONE);
    EXPECT_EQ(backend.InUnprepareHeader(in, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags & MHDR_PREPARED, 0u);
    EXPECT_EQ(backend.InClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(backend.InClose(in), MMSYSERR_INVALHANDLE);

    // The same for a long message the driver holds: the output's reset
    // returns it done.
    EXPECT_EQ(backend.OutReset(12345), MMSYSERR_INVALHANDLE);
    HMIDIOUT out = 0;
    ASSERT_EQ(backend.OutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    d.fake.SetDoneMode(FakeMidi::DoneMode::Never);
    MIDIHDR message{};
    message.lpData = bytes;
    message.dwBufferLength = 2;
    ASSERT_EQ(backend.OutPrepareHeader(out, &message, sizeof message), MMSYSERR_NOERROR);
    ASSERT_EQ(backend.OutLongMsg(out, &message, sizeof message), MMSYSERR_NOERROR);
    EXPECT_EQ(backend.OutUnprepareHeader(out, &message, sizeof message), MIDIERR_STILLPLAYING);
    ASSERT_EQ(backend.OutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(message.dwFlags & MHDR_DONE, MHDR_DONE);
    EXPECT_EQ(backend.OutUnprepareHeader(out, &message, sizeof message), MMSYSERR_NOERROR);
    EXPECT_EQ(backend.OutClose(out), MMSYSERR_NOERROR);
}

}  // namespace

// ---------------------------------------------------------------------------
// Whole updates through the winmm backend, over drivers as they are found in
// the field (see WinmmStandIn).  Each ends with the flash of a clean update
// or with its message, never a success over anything else; and once the
// ports are closed the driver holds no header, no buffer and no device.

namespace {

using q9test::DriverQuirk;
using q9test::WinmmStandIn;

// Waits for replies well above what a loaded machine under a sanitizer
// needs, so that only the driver's quirks put the link in doubt.  The send
// limit stays short: each held send costs that long.
constexpr std::uint32_t kSendLimitMs = 60;

ProtocolTimings DriverTimings()
{
    ProtocolTimings t = q9test::FastTimings();
    t.writeBlockMs = 200;
    t.endUpdateMs = 2000;
    t.replyMaxMs = 2000;
    t.stallMaxMs = 10000;
    return t;
}

struct DriverCase {
    const char* name;
    DriverQuirk quirk;
    std::uint32_t expectedError;   // 0: the update completes
};

class WinmmDrivers : public ::testing::TestWithParam<DriverCase> {};

}  // namespace

TEST_P(WinmmDrivers, AWholeUpdateEndsExactOrWithItsMessageAndLeavesNothingAtTheDriver)
{
    const DriverCase& c = GetParam();
    std::unique_ptr<WinmmStandIn> driver;
    {
        q9test::DialogRig rig("flash=factory", DriverTimings(), 1, [&](q9test::ScriptedLink& link) {
            driver = std::make_unique<WinmmStandIn>(link, c.quirk);
            return std::make_unique<WinmmMidi>(WinmmStandIn::Calls());
        });
        rig.Dialog().midiOut.doneWaitLimitMs = kSendLimitMs;
        rig.RunUpdate();
        const RecordingWindow& window = rig.Window();
        if (c.expectedError == 0) {
            EXPECT_EQ(window.Text(IDC_STATUS), LoadStringById(IDS_COMPLETED));
            EXPECT_TRUE(window.Boxes().empty()) << window.Boxes().front().text;
            EXPECT_EQ(rig.Device().FlashCopy(), ExpectedFlashAfterUpdate(FactoryFlash()));
        } else {
            ASSERT_FALSE(window.Boxes().empty());
            EXPECT_EQ(window.Boxes().front().text.rfind(LoadStringById(c.expectedError), 0), 0u)
                << window.Boxes().front().text;
        }
    }
    const WinmmStandIn::Counts counts = driver->Snapshot();
    EXPECT_EQ(counts.openHandles, 0);
    EXPECT_EQ(counts.preparedHeaders, 0);
    EXPECT_EQ(counts.headersHeld, 0);
    if (c.quirk.kind == DriverQuirk::HoldsPastLimit || c.quirk.kind == DriverQuirk::HoldsUntilReset) {
        EXPECT_GT(counts.held, 0);
        EXPECT_GT(counts.resets, 0) << "a send given up was not reclaimed";
    }
    if (c.quirk.kind == DriverQuirk::DamagesInput) {
        EXPECT_GT(counts.damaged, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Quirks, WinmmDrivers,
    ::testing::Values(DriverCase{"Prompt", {}, 0},
                      DriverCase{"HoldsPastTheLimit", {DriverQuirk::HoldsPastLimit, 89, 4 * kSendLimitMs}, 0},
                      DriverCase{"HoldsUntilReset", {DriverQuirk::HoldsUntilReset, 97}, 0},
                      DriverCase{"EmptyAndDamagedInput", {DriverQuirk::DamagesInput, 7}, 0},
                      DriverCase{"UnpluggedMidUpdate", {DriverQuirk::Unplugs, 60}, IDS_DEVICE_DISCONNECTED}),
    [](const ::testing::TestParamInfo<DriverCase>& info) { return std::string(info.param.name); });

// Stop while the driver sits on a send (and would until the port is reset):
// the dialog's thread gets control back without waiting for the send, and
// the update ends saying the device needs it run again.
TEST(WinmmStop, StopDuringASendTheDriverHoldsDoesNotWaitForIt)
{
    std::unique_ptr<WinmmStandIn> driver;
    q9test::DialogRig rig("flash=factory", DriverTimings(), 1, [&](q9test::ScriptedLink& link) {
        driver = std::make_unique<WinmmStandIn>(link, DriverQuirk{DriverQuirk::HoldsUntilReset, 30});
        return std::make_unique<WinmmMidi>(WinmmStandIn::Calls());
    });
    // Far beyond any test's time: a Stop that waited for the send would hang here.
    rig.Dialog().midiOut.doneWaitLimitMs = 3600000;
    rig.Dialog().OnExecute();
    for (int i = 0; i < 20000 && driver->Snapshot().held == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(driver->Snapshot().held, 1);
    rig.Dialog().StopUpdate();   // the question's Stop
    EXPECT_GT(driver->Snapshot().resets, 0);
    rig.Dialog().WaitForWorker();
    rig.Window().RunPosted();
    EXPECT_EQ(rig.Window().Text(IDC_STATUS), LoadStringById(IDS_RUN_UPDATE_AGAIN));
}
