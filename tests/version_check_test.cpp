// The version check against the virtual ARKO Q9 through the real ports,
// protocol and timer, and the report's text on its own.
#include "platform/resources.h"
#include "tests/support/scripted_link.h"
#include "update/image_plan.h"
#include "update/protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using q9test::Bytes;
using q9test::DialogRig;
using q9test::ScriptedLink;
using Action = ScriptedLink::Action;
using Decision = ScriptedLink::Decision;

namespace {

constexpr const char* kIdle = "1000:1 1001:1 1007:1 1:1 1004:1";
constexpr const char* kRunning = "1000:0 1001:0 1007:0 1:0 1004:0";
constexpr std::uint32_t kSystemAddress = 0x170FE0;
constexpr std::uint32_t kPresetAddress = 0x065FFC;
constexpr std::uint32_t kBootAddress = 0x04AFFC;
constexpr std::uint32_t kSubmcuAddress = 0x1CBFE0;

std::string Sanitized(const char (&bytes)[5])
{
    char text[5];
    std::memcpy(text, bytes, 5);
    EXPECT_EQ(SanitizeVersionText(text), 0);
    return std::string(text, 4) + (text[4] == '\0' ? "" : "<unterminated>");
}

// The one report box the check showed, or "" when it showed none.
std::string ReportText(const RecordingWindow& window)
{
    std::string text;
    for (const RecordingWindow::Box& box : window.Boxes()) {
        if (box.caption != "Version Information") continue;
        EXPECT_EQ(box.type, MB_OK | MB_ICONINFORMATION);
        EXPECT_TRUE(text.empty()) << "two reports";
        text = box.text;
    }
    return text;
}

std::vector<std::string> ErrorTexts(const RecordingWindow& window)
{
    std::vector<std::string> texts;
    for (const RecordingWindow::Box& box : window.Boxes()) {
        if (box.caption == "Error") texts.push_back(box.text.substr(0, box.text.find('\n')));   // its guidance follows
    }
    return texts;
}

// Refuses the read request for `address`.
ScriptedLink::Policy RefuseReadAt(std::uint32_t address)
{
    return [address](const Bytes& m) {
        if (ScriptedLink::IsCommand(m, kCmdRead) && ScriptedLink::Address(m) == address)
            return Decision{Action::Answer, ScriptedLink::StatusReply(0x05)};
        return Decision{};
    };
}

void PutField(std::vector<std::uint8_t>& flash, std::uint32_t address, const char* bytes)
{
    std::memcpy(flash.data() + address, bytes, 4);
}

class HiddenImage {
public:
    explicit HiddenImage(std::uint32_t id) : id(id) { platform::HideResourceForTest(kImageResourceType, id, true); }
    ~HiddenImage() { platform::HideResourceForTest(kImageResourceType, id, false); }

private:
    std::uint32_t id;
};

}  // namespace

// ---------------------------------------------------------------------------
// The report's text and the sanitizing of device texts.

// The device cases below cover equal, erased, missing and not read; letter
// case and a report with nothing known only here.
TEST(VersionReportText, LetterCaseCountsAndEmptyDeviceTextsAreNotRead)
{
    VersionReport c;
    c.device = {"1.0a", "1.0B", "x.yz", "V1.2"};   // submcu, boot, preset, system
    c.image = {"1.0A", "1.0B", "X.YZ", "v1.2"};
    EXPECT_EQ(FormatVersionReport(c), "SYSTEM:\t\tV1.2 -> v1.2\nPRESET:\t\tx.yz -> X.YZ\nBOOT:\t\t1.0B\nSUBMCU:\t\t1.0a -> 1.0A");
    EXPECT_EQ(FormatVersionReport(VersionReport{}),
              "SYSTEM:\t\t(not read) -> \nPRESET:\t\t(not read)\nBOOT:\t\t(not read)\nSUBMCU:\t\t(not read)");
}

TEST(SanitizeVersionText, ReplacesAnyTextWithANonPrintableByte)
{
    EXPECT_EQ(Sanitized({' ', '~', '~', ' ', 0}), " ~~ ");
    EXPECT_EQ(Sanitized({'1', 0, '2', '0', 0}), "*.**");    // never shortened
    EXPECT_EQ(Sanitized({'\x1F', '.', '2', '0', 0}), "*.**");
    EXPECT_EQ(Sanitized({'1', '.', '\x80', '0', 0}), "*.**");
}

// ---------------------------------------------------------------------------
// Against the device.

TEST(VersionCheck, FactoryDeviceShowsWhatAnUpdateWouldChange)
{
    DialogRig rig("flash=factory");
    rig.Dialog().OnVersionCheck();
    EXPECT_EQ(rig.Window().ControlStates(), kRunning);
    rig.Dialog().WaitForWorker();

    // The worker has closed the ports and handed over; the dialog is idle
    // only once the completion has run on the user-interface thread.
    EXPECT_EQ(rig.Dialog().midiOut.handle.load(), 0u);
    EXPECT_EQ(rig.Dialog().midiIn.started, 0);
    EXPECT_TRUE(rig.Dialog().IsBusy());
    EXPECT_EQ(rig.Window().ControlStates(), kRunning);
    EXPECT_TRUE(rig.Window().Boxes().empty());
    EXPECT_EQ(rig.Window().RunPosted(), 1);

    EXPECT_EQ(ReportText(rig.Window()), "SYSTEM:\t\t1.10 -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.01 -> 1.02");
    EXPECT_TRUE(ErrorTexts(rig.Window()).empty());
    EXPECT_EQ(rig.Window().ControlStates(), kIdle);
    EXPECT_FALSE(rig.Dialog().IsBusy());

    const std::vector<Bytes> sent = rig.Link().Sent();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_TRUE(ScriptedLink::IsIdentityRequest(sent[0]));
    const std::uint32_t order[] = {kSystemAddress, kPresetAddress, kBootAddress, kSubmcuAddress};
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(ScriptedLink::IsCommand(sent[i + 1], kCmdRead));
        EXPECT_EQ(ScriptedLink::Address(sent[i + 1]), order[i]);
        EXPECT_EQ(sent[i + 1].size(), 17u);
    }
    // Nothing on the device changed.
    EXPECT_TRUE(rig.Device().FlashCopy() == FactoryFlash());
}

TEST(VersionCheck, EqualAndErasedVersions)
{
    {
        DialogRig rig("flash=current");
        rig.RunVersionCheck();
        EXPECT_EQ(ReportText(rig.Window()), "SYSTEM:\t\t1.20 -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.02");
    }
    {
        DialogRig rig("flash=erased");
        rig.RunVersionCheck();
        EXPECT_EQ(ReportText(rig.Window()),
                  "SYSTEM:\t\t*.** (incomplete firmware) -> 1.20\nPRESET:\t\t*.** (incomplete firmware) -> 1.00\nBOOT:\t\t*.** (incomplete firmware) -> 1.00\nSUBMCU:\t\t*.** (incomplete firmware) -> 1.02");
    }
}

TEST(VersionCheck, OddDeviceTextsAreReplacedWhole)
{
    DialogRig rig("");
    std::vector<std::uint8_t> flash = FactoryFlash();
    PutField(flash, kSystemAddress, "1\0" "20");
    PutField(flash, kPresetAddress, "1.0\x7F");
    PutField(flash, kBootAddress, " ~~ ");
    PutField(flash, kSubmcuAddress, "1.0B");
    ASSERT_TRUE(rig.Device().Device().SetFlash(flash));
    rig.RunVersionCheck();
    EXPECT_EQ(ReportText(rig.Window()),
              "SYSTEM:\t\t*.** (incomplete firmware) -> 1.20\nPRESET:\t\t*.** (incomplete firmware) -> 1.00\nBOOT:\t\t ~~  -> 1.00\nSUBMCU:\t\t1.0B -> 1.02");
}

TEST(VersionCheck, MissingImageLeavesItsTextEmpty)
{
    {
        HiddenImage hidden(139);
        DialogRig rig("");
        rig.RunVersionCheck();
        EXPECT_EQ(ReportText(rig.Window()), "SYSTEM:\t\t1.10 -> \nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.01 -> 1.02");
    }
    {
        HiddenImage boot(142), submcu(147);
        DialogRig rig("flash=erased");
        rig.RunVersionCheck();
        EXPECT_EQ(ReportText(rig.Window()), "SYSTEM:\t\t*.** (incomplete firmware) -> 1.20\nPRESET:\t\t*.** (incomplete firmware) -> 1.00\nBOOT:\t\t*.** (incomplete firmware)\nSUBMCU:\t\t*.** (incomplete firmware)");
    }
}

// A field whose read fails in this check shows as not read, whatever an
// earlier check found there: PRESET in the report, the others in the texts
// the failed check leaves (it shows no report).
TEST(VersionCheck, FieldNotReadThisTimeShowsNoEarlierText)
{
    struct Case {
        std::uint32_t address;
        Action action;   // what becomes of its read in the second check
        VersionSet device;
        const char* report;
    };
    const Case cases[] = {
        {kPresetAddress, Action::Answer, {"1.01", "1.00", "", "1.15"},
         "SYSTEM:\t\t1.15 -> 1.20\nPRESET:\t\t(not read) -> 1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.01 -> 1.02"},
        {kPresetAddress, Action::Drop, {"1.01", "1.00", "", "1.15"},
         "SYSTEM:\t\t1.15 -> 1.20\nPRESET:\t\t(not read) -> 1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.01 -> 1.02"},
        {kBootAddress, Action::Answer, {"", "", "2.00", "1.15"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.address << " action " << static_cast<int>(c.action));
        DialogRig rig("");
        rig.RunVersionCheck();
        ASSERT_EQ(ReportText(rig.Window()), "SYSTEM:\t\t1.10 -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.01 -> 1.02");

        std::vector<std::uint8_t> flash = FactoryFlash();
        PutField(flash, kPresetAddress, "2.00");
        PutField(flash, kSystemAddress, "1.15");
        ASSERT_TRUE(rig.Device().Device().SetFlash(flash));
        rig.Link().SetPolicy([&c](const Bytes& m) {
            if (!ScriptedLink::IsCommand(m, kCmdRead) || ScriptedLink::Address(m) != c.address) return Decision{};
            return Decision{c.action, c.action == Action::Answer ? ScriptedLink::StatusReply(0x05) : Bytes{}};
        });
        rig.Window().ClearCalls();
        rig.RunVersionCheck();
        EXPECT_EQ(ReportText(rig.Window()), c.report);
        const VersionSet& device = rig.Dialog().versions.device;
        EXPECT_EQ(device.submcu, c.device.submcu);
        EXPECT_EQ(device.boot, c.device.boot);
        EXPECT_EQ(device.preset, c.device.preset);
        EXPECT_EQ(device.system, c.device.system);
        EXPECT_EQ(rig.Window().ControlStates(), kIdle);
    }
}

TEST(VersionCheck, FailedDeviceReadAfterIdentificationIsReported)
{
    struct Case {
        std::uint32_t address;
        const char* system;
        const char* preset;
        const char* boot;
    };
    // SYSTEM, BOOT and SUBMCU fail the check; texts read before stay stored.
    const Case cases[] = {
        {kSystemAddress, "", "", ""},
        {kBootAddress, "1.10", "1.00", ""},
        {kSubmcuAddress, "1.10", "1.00", "1.00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        DialogRig rig("");
        rig.Link().SetPolicy(RefuseReadAt(c.address));
        rig.Dialog().OnVersionCheck();
        rig.Dialog().WaitForWorker();
        // The message comes before the controls return.
        EXPECT_EQ(ErrorTexts(rig.Window()), std::vector<std::string>{"Can't read the version information from the device."});
        EXPECT_EQ(rig.Window().ControlStates(), kRunning);
        rig.Window().RunPosted();
        EXPECT_EQ(ReportText(rig.Window()), "");
        EXPECT_EQ(rig.Window().ControlStates(), kIdle);
        EXPECT_FALSE(rig.Dialog().IsBusy());
        EXPECT_EQ(rig.Dialog().versions.device.system, c.system);
        EXPECT_EQ(rig.Dialog().versions.device.preset, c.preset);
        EXPECT_EQ(rig.Dialog().versions.device.boot, c.boot);
        EXPECT_EQ(rig.Dialog().versions.device.submcu, "");
        EXPECT_EQ(rig.Dialog().midiIn.started, 0);
    }
}

TEST(VersionCheck, IdentificationFailures)
{
    struct Case {
        const char* settings;
        bool failSend;
        const char* message;
    };
    const Case cases[] = {
        {"silent", false, "Time out error(1)"},
        {"identity=6E000A00", false, "Illegal device connected."},
        {"", true, "Can't open MIDI Out device."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        DialogRig rig(c.settings);
        if (c.failSend) {
            rig.Link().SetPolicy([](const Bytes&) { return Decision{Action::FailSend, {}}; });
        }
        rig.Dialog().OnVersionCheck();
        rig.Dialog().WaitForWorker();
        EXPECT_EQ(ErrorTexts(rig.Window()), std::vector<std::string>{c.message});
        // Not idle before the worker's completion has run: the worker still
        // had the ports to close when it showed the box.
        EXPECT_TRUE(rig.Dialog().IsBusy());
        rig.Window().RunPosted();
        EXPECT_EQ(ReportText(rig.Window()), "");
        EXPECT_EQ(rig.Window().ControlStates(), kIdle);
        EXPECT_FALSE(rig.Dialog().IsBusy());
        EXPECT_EQ(rig.Dialog().midiOut.handle.load(), 0u);
        EXPECT_EQ(rig.Link().SentCount(), 1u);
    }
    // The rejected identity is the device's identity afterwards all the same.
    DialogRig rig("identity=6E000A00");
    rig.RunVersionCheck();
    EXPECT_EQ(deviceIdentity.Bytes(), (std::array<std::uint8_t, 4>{0x6E, 0x00, 0x0A, 0x00}));
}

TEST(VersionCheck, ClosingDuringAReadEndsQuietly)
{
    ProtocolTimings slow = q9test::FastTimings();
    slow.readMs = 60000;
    DialogRig rig("", slow);
    rig.Link().SetPolicy([](const Bytes& m) {
        return ScriptedLink::IsCommand(m, kCmdRead) && ScriptedLink::Address(m) == kBootAddress ? Decision{Action::Drop, {}}
                                                                                               : Decision{};
    });
    rig.Dialog().OnVersionCheck();
    ASSERT_TRUE(rig.Link().WaitForSent([](const std::vector<Bytes>& sent) { return sent.size() == 4; }));
    rig.Dialog().OnDestroy();
    rig.Dialog().WaitForWorker();
    EXPECT_TRUE(rig.Window().Boxes().empty());
    EXPECT_EQ(rig.Window().ControlStates(), kRunning);
    // The completion the worker posted never reaches the ended dialog.
    rig.Window().RunPosted();
    EXPECT_TRUE(rig.Window().Boxes().empty());
    EXPECT_EQ(rig.Window().ControlStates(), kRunning);
}

TEST(VersionCheck, CompletionArrivingAfterTheDialogIsGoneIsDropped)
{
    DialogRig rig("");
    rig.Dialog().OnVersionCheck();
    rig.Dialog().WaitForWorker();
    ASSERT_EQ(rig.Window().PostedCount(), 1u);
    rig.DestroyDialog(/*closeWindow=*/false);
    EXPECT_EQ(rig.Window().RunPosted(), 1);   // runs, and touches nothing of the destroyed dialog
    EXPECT_TRUE(rig.Window().Boxes().empty());
}
