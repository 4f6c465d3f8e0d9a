// The firmware update against the virtual ARKO Q9, through the real ports,
// protocol and reply timer, with shortened waits: what reaches the flash,
// what the dialog shows, and every way the update can fail.
#include "platform/resources.h"
#include "resources/string_table.h"
#include "tests/support/scripted_link.h"
#include "update/image_plan.h"
#include "update/protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using q9test::Bytes;
using q9test::DialogRig;
using q9test::ScriptedLink;
using Action = ScriptedLink::Action;
using Decision = ScriptedLink::Decision;

namespace {

constexpr const char* kIdle = "1000:1 1001:1 1007:1 1:1 1004:1";
constexpr const char* kUpdated = "1000:1 1001:1 1007:0 1:0 1004:1";
constexpr const char* kRunning = "1000:0 1001:0 1007:0 1:0 1004:0";

std::vector<std::string> BoxTexts(const RecordingWindow& window)
{
    std::vector<std::string> texts;
    for (const RecordingWindow::Box& box : window.Boxes()) {
        EXPECT_EQ(box.caption, "Error");
        EXPECT_EQ(box.type, MB_OK | MB_ICONHAND);
        texts.push_back(box.text.substr(0, box.text.find('\n')));   // the failure message; its guidance follows
    }
    return texts;
}

std::vector<Bytes> Commands(const std::vector<Bytes>& sent, std::uint8_t command)
{
    std::vector<Bytes> found;
    for (const Bytes& m : sent) {
        if (ScriptedLink::IsCommand(m, command)) found.push_back(m);
    }
    return found;
}

std::size_t CountAt(const std::vector<Bytes>& sent, std::uint8_t command, std::uint32_t address)
{
    std::size_t n = 0;
    for (const Bytes& m : sent) {
        if (ScriptedLink::IsCommand(m, command) && ScriptedLink::Address(m) == address) ++n;
    }
    return n;
}

bool IsAt(const Bytes& m, std::uint8_t command, std::uint32_t address)
{
    return ScriptedLink::IsCommand(m, command) && ScriptedLink::Address(m) == address;
}

// Answers the chosen command with a refusal the first `times` times it is
// sent, then passes it on.
ScriptedLink::Policy RefuseTimes(std::uint8_t command, std::uint32_t address, int times)
{
    auto count = std::make_shared<int>(0);
    return [=](const Bytes& m) {
        if (IsAt(m, command, address) && (*count)++ < times) return Decision{Action::Answer, ScriptedLink::StatusReply(0x05)};
        return Decision{};
    };
}

// Loses every message `match` picks.
ScriptedLink::Policy DropWhen(std::function<bool(const Bytes&)> match)
{
    return [match](const Bytes& m) { return match(m) ? Decision{Action::Drop, {}} : Decision{}; };
}

class HiddenImage {
public:
    explicit HiddenImage(std::uint32_t id) : id(id) { platform::HideResourceForTest(kImageResourceType, id, true); }
    ~HiddenImage() { platform::HideResourceForTest(kImageResourceType, id, false); }

private:
    std::uint32_t id;
};

// The status line's last progress text; an update that failed after
// changing the flash then keeps its message and says that it must be run again.
std::string LastProgressText(const RecordingWindow& window)
{
    const std::vector<std::string> history = window.TextHistory(IDC_STATUS);
    EXPECT_GE(history.size(), 2u);
    if (history.size() < 2) return {};
    EXPECT_TRUE(history.back().ends_with(" The device needs the update run again.")) << history.back();
    return history[history.size() - 2];
}

}  // namespace

// A whole update of a device with erased flash, then a second one, which
// finds the boot region current; its end-update reply is lost.
TEST(UpdateProcedure, WritesThePlanThenSkipsACurrentBootRegion)
{
    // Nothing is lost in the first run: waits long enough for a slow machine.
    ProtocolTimings generous = q9test::FastTimings();
    generous.identityMs = generous.beginUpdateMs = generous.bootStampMs = generous.eraseMs = generous.endUpdateMs = 10000;
    generous.writeBlockMs = 5000;
    // Waits follow the device's pace down to replyMinWaitMs: a machine that
    // stalls for longer (under ThreadSanitizer, say) must not end one.
    generous.replyMinWaitMs = 5000;
    DialogRig rig("flash=erased", generous);
    // A pattern where the plan never writes, to see that it stays.
    std::vector<std::uint8_t> before(VirtualQ9::kFlashSize, 0xFF);
    std::fill(before.begin() + 0x171000, before.begin() + 0x1C7000, std::uint8_t{0x5A});
    ASSERT_TRUE(rig.Device().Device().SetFlash(before));

    rig.RunUpdate();

    RecordingWindow& window = rig.Window();
    EXPECT_TRUE(window.Boxes().empty());
    EXPECT_EQ(window.Text(IDC_STATUS), "Version update completed.");
    EXPECT_EQ(window.Text(IDC_COUNTER), "12/12");
    EXPECT_EQ(window.ControlStates(), kUpdated);
    EXPECT_FALSE(rig.Dialog().IsBusy());
    EXPECT_EQ(window.ProgressHigh(), 0x1000);   // image 139, the last row
    EXPECT_EQ(window.ProgressPos(), 0x1000);

    const std::vector<std::uint8_t> flash = rig.Device().FlashCopy();
    EXPECT_TRUE(flash == ExpectedFlashAfterUpdate(before));
    EXPECT_TRUE(std::all_of(flash.begin() + 0x171000, flash.begin() + 0x1C7000, [](std::uint8_t b) { return b == 0x5A; }));

    std::vector<std::string> counter = {"0/12"};
    for (int row = 1; row <= 12; ++row) counter.push_back(std::to_string(row) + "/12");
    EXPECT_EQ(window.TextHistory(IDC_COUNTER), counter);
    // The title tells the whole update's percentage while it runs, rising
    // to 100, and is itself again at the end.
    std::vector<int> percents;
    for (const RecordingWindow::Call& call : window.Calls()) {
        const std::string suffix = "% \xE2\x80\x94 ARKO Q9 System v1.20 Updater";
        if (call.name == "SetWindowTitle" && call.text.ends_with(suffix))
            percents.push_back(std::stoi(call.text.substr(0, call.text.size() - suffix.size())));
    }
    ASSERT_GT(percents.size(), 10u);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(window.Title(), "ARKO Q9 System v1.20 Updater");

    const std::vector<Bytes> sent = rig.Link().Sent();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[0], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
    EXPECT_EQ(sent[1], (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7}));
    EXPECT_EQ(sent[2], (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x30, 0x7C, 0x5F, 0x12, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xF7}));
    EXPECT_EQ(sent.back(), (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x04, 0xF7}));
    // Row by row, as the plan says: one erase per erase row, an image in
    // 4096-byte blocks with a short last one (image 129: 1104 bytes).  The
    // stamp (row 12) follows a read of a few bytes of every block written,
    // which also settles every reply before it, and is itself read back.
    std::size_t i = 3;
    for (const ImagePlanStep& step : kImagePlan) {
        if (step.kind == PLAN_ERASE) {
            ASSERT_TRUE(IsAt(sent.at(i), kCmdErase, step.address));
            EXPECT_EQ(ScriptedLink::EraseSize(sent[i++]), step.length);
            continue;
        }
        const bool stamp = &step == &kImagePlan.back();
        if (stamp) {
            // A few bytes of every block written are read back first.
            std::size_t samples = 0;
            for (; ScriptedLink::IsCommand(sent.at(i), kCmdRead); ++i) ++samples;
            EXPECT_GE(samples, 27u + 75 + 258 + 5 + 564 - 10);
        }
        std::size_t size = step.length;
        if (size == 0) {
            ASSERT_NE(FindImage(step.imageId, &size), nullptr);
        }
        for (std::uint32_t offset = 0; offset < size; offset += 4096) {
            ASSERT_TRUE(IsAt(sent.at(i), kCmdWriteBlock, step.address + offset));
            EXPECT_EQ(ScriptedLink::WriteCount(sent[i++]), std::min<std::size_t>(4096, size - offset));
            if (stamp) {
                ASSERT_TRUE(IsAt(sent.at(i++), kCmdRead, step.address + offset));
            }
        }
    }
    EXPECT_EQ(i + 1, sent.size());
    EXPECT_EQ(CountAt(sent, kCmdWriteBlock, 0x066000 + 257 * 4096), 1u);
    const std::vector<Bytes> writes = Commands(sent, kCmdWriteBlock);
    EXPECT_EQ(writes.size(), 27u + 75 + 258 + 5 + 564 + 1);
    EXPECT_EQ(Bytes(writes[0].begin(), writes[0].begin() + 12),
              (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x02, 0x00, 0x60, 0x12, 0x00, 0x00, 0x00, 0x20}));

    // Second run: the boot region is current now, so rows 4 and 5 send
    // nothing while the counter still passes them.  The end-update reply is
    // lost.
    rig.Dialog().OnRescanDevice();
    EXPECT_EQ(window.ControlStates(), kIdle);
    window.ClearCalls();
    const std::size_t mark = rig.Link().SentCount();
    rig.Link().SetPolicy(DropWhen([](const Bytes& m) { return ScriptedLink::IsCommand(m, kCmdEndUpdate); }));
    generous.endUpdateMs = 200;
    SetTimings(generous);   // the rig puts the earlier timings back
    rig.RunUpdate();

    EXPECT_EQ(BoxTexts(window), std::vector<std::string>{"Transfer error occurred."});
    EXPECT_EQ(window.ControlStates(), kIdle);
    EXPECT_FALSE(rig.Dialog().IsBusy());
    EXPECT_EQ(window.TextHistory(IDC_COUNTER), counter);
    EXPECT_EQ(window.Title(), "ARKO Q9 System v1.20 Updater");   // after a failure too
    const std::vector<Bytes> all = rig.Link().Sent();
    const std::vector<Bytes> second(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
    EXPECT_EQ(CountAt(second, kCmdErase, 0), 0u);
    EXPECT_EQ(CountAt(second, kCmdErase, 0x04B000), 1u);
    for (const Bytes& m : Commands(second, kCmdWriteBlock)) EXPECT_GE(ScriptedLink::Address(m), 0x04B000u);
    EXPECT_EQ(Commands(second, kCmdWriteBlock).size(), writes.size() - 75);
    EXPECT_EQ(second.back(), (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x04, 0xF7}));
    EXPECT_TRUE(rig.Device().FlashCopy() == ExpectedFlashAfterUpdate(before));
}

// ---------------------------------------------------------------------------
// Failures up to the first erase: each ends with its message and the dialog idle.

struct EarlyFailure {
    const char* name;
    const char* settings;
    std::function<Decision(const Bytes&)> policy;   // may be empty
    const char* message;
};
// Printed by name only, so test listings stay one short line each.
void PrintTo(const EarlyFailure& c, std::ostream* os) { *os << c.name; }

class UpdateEarlyFailure : public ::testing::TestWithParam<EarlyFailure> {};

TEST_P(UpdateEarlyFailure, ShowsItsMessageAndReturnsToIdle)
{
    const EarlyFailure& c = GetParam();
    DialogRig rig(c.settings);
    if (c.policy) rig.Link().SetPolicy(c.policy);
    rig.Dialog().OnExecute();
    // The worker clears busy on its own thread while this one watches it.
    EXPECT_TRUE(rig.Window().WaitUntil([&] { return !rig.Dialog().IsBusy(); }));
    rig.Dialog().WaitForWorker();

    EXPECT_EQ(BoxTexts(rig.Window()), std::vector<std::string>{c.message});
    EXPECT_EQ(rig.Window().ControlStates(), kIdle);
    EXPECT_FALSE(rig.Dialog().IsBusy());
    // Nothing was erased or written.
    const std::vector<Bytes> sent = rig.Link().Sent();
    EXPECT_TRUE(Commands(sent, kCmdErase).empty());
    EXPECT_TRUE(Commands(sent, kCmdWriteBlock).empty());
}

const auto kAnswer = [](std::function<bool(const Bytes&)> match, std::uint8_t status) {
    return [match, status](const Bytes& m) {
        return match(m) ? Decision{Action::Answer, ScriptedLink::StatusReply(status)} : Decision{};
    };
};
const auto kIsIdentity = [](const Bytes& m) { return ScriptedLink::IsIdentityRequest(m); };
const auto kIsBegin = [](const Bytes& m) { return ScriptedLink::IsCommand(m, kCmdBeginUpdate); };
const auto kIsRead = [](const Bytes& m) { return ScriptedLink::IsCommand(m, kCmdRead); };

INSTANTIATE_TEST_SUITE_P(
    Table, UpdateEarlyFailure,
    ::testing::Values(
        EarlyFailure{"IdentityNotSent", "",
                     [](const Bytes& m) { return kIsIdentity(m) ? Decision{Action::FailSend, {}} : Decision{}; },
                     "Can't open MIDI Out device."},
        EarlyFailure{"NoIdentityReply", "silent", {}, "Time out error(1)"},
        EarlyFailure{"IdentityNotAccepted", "identity=6E000A00", {}, "Illegal device connected."},
        EarlyFailure{"IdentityAnsweredWithRefusal", "", kAnswer(kIsIdentity, 0x05), "Illegal device connected."},
        EarlyFailure{"NoBeginUpdateReply", "", DropWhen(kIsBegin), "Time out error(1)"},
        EarlyFailure{"NotInUpdateMode", "update-mode=off", {}, "Please use the firmware update mode."},
        EarlyFailure{"BeginUpdateRefused", "", kAnswer(kIsBegin, 0x05), "Transfer error occurred."},
        // A damaged status byte (0xFF reads like "closing") is no answer: the
        // dialog must not end quietly and stay disabled.
        EarlyFailure{"BeginUpdateAnsweredWithDamagedStatus", "", kAnswer(kIsBegin, 0xFF), "Time out error(1)"},
        EarlyFailure{"BootStampReadLost", "", DropWhen(kIsRead), "Can't read the boot version from the device. Nothing has been written."},
        EarlyFailure{"BootStampReadRefused", "", kAnswer(kIsRead, 0x05), "Can't read the boot version from the device. Nothing has been written."},
        EarlyFailure{"BootStampReadCorrupt", "corrupt-read=1", {}, "Can't read the boot version from the device. Nothing has been written."}),
    [](const ::testing::TestParamInfo<EarlyFailure>& info) { return std::string(info.param.name); });

TEST(UpdateProcedure, RejectedIdentityIsKeptAndNothingFollows)
{
    DialogRig rig("identity=6E000A00");
    rig.RunUpdate();
    EXPECT_EQ(deviceIdentity.Bytes(), (std::array<std::uint8_t, 4>{0x6E, 0x00, 0x0A, 0x00}));
    EXPECT_EQ(rig.Link().Sent(), std::vector<Bytes>{Bytes({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7})});
    // The host identity reply still carries no device.
    EXPECT_EQ(hostIdentityReply.Snapshot()[6], 0x00);
}

// Each worker's identity wait takes only a whole identity reply to its own
// request, maker byte included: the identity an earlier run left in the
// reply slot does not stand in for one when a status reply wakes the wait.
TEST(Identification, TakesOnlyThisRunsIdentityReplyFromTheDevicesMaker)
{
    const Bytes otherMaker = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x41, 0x6E, 0x00, 0x09, 0x00, '1', '0', '0', '0', 0xF7};
    struct Case {
        const char* name;
        void (CPelUpdatorDlg::*start)();
        Bytes answer;   // in the device's place, to the identity request
        const char* message;
    };
    const Case cases[] = {
        {"update, status reply", &CPelUpdatorDlg::OnExecute, ScriptedLink::StatusReply(0), "Time out error(1)"},
        {"update, other maker", &CPelUpdatorDlg::OnExecute, otherMaker, "Illegal device connected."},
        {"version check, status reply", &CPelUpdatorDlg::OnVersionCheck, ScriptedLink::StatusReply(0), "Time out error(1)"},
        {"version check, other maker", &CPelUpdatorDlg::OnVersionCheck, otherMaker, "Illegal device connected."},
        {"verify, status reply", &CPelUpdatorDlg::OnVerify, ScriptedLink::StatusReply(0), "Time out error(1)"},
        {"verify, other maker", &CPelUpdatorDlg::OnVerify, otherMaker, "Illegal device connected."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DialogRig rig("");
        rig.RunVersionCheck();   // the device's identity stays in the reply slot
        const std::size_t sent = rig.Link().SentCount();
        rig.Link().SetPolicy([&c](const Bytes& m) {
            return ScriptedLink::IsIdentityRequest(m) ? Decision{Action::Answer, c.answer} : Decision{};
        });
        rig.Window().ClearCalls();
        (rig.Dialog().*c.start)();
        rig.Dialog().WaitForWorker();
        rig.Window().RunPosted();
        EXPECT_EQ(BoxTexts(rig.Window()), std::vector<std::string>{c.message});
        EXPECT_EQ(rig.Link().SentCount(), sent + 1);   // the identity request, nothing after it
        EXPECT_EQ(rig.Window().ControlStates(), kIdle);
    }
}

TEST(UpdateProcedure, SecondModelIsAcceptedAndUpdateModeRefusalStopsEverything)
{
    DialogRig rig("identity=6E000800,update-mode=off");
    rig.RunUpdate();
    EXPECT_EQ(BoxTexts(rig.Window()), std::vector<std::string>{"Please use the firmware update mode."});
    const std::vector<Bytes> sent = rig.Link().Sent();
    ASSERT_EQ(sent.size(), 2u);   // identity request and begin-update, nothing further
    EXPECT_EQ(sent[1], (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7}));
    const auto reply = hostIdentityReply.Snapshot();
    EXPECT_EQ((std::array<std::uint8_t, 4>{reply[6], reply[7], reply[8], reply[9]}),
              (std::array<std::uint8_t, 4>{0x6E, 0x00, 0x08, 0x00}));
    EXPECT_EQ(rig.Window().Text(IDC_STATUS), "Please use the firmware update mode.");   // kept after the box
    EXPECT_EQ(rig.Window().Text(IDC_COUNTER), "0/12");
}

// ---------------------------------------------------------------------------
// Erase retries.

TEST(UpdateProcedure, EraseRefusedSixTimesThenAcknowledgedGoesOn)
{
    DialogRig rig("");
    auto refuse = RefuseTimes(kCmdErase, 0x170000, 6);
    rig.Link().SetPolicy([refuse](const Bytes& m) {
        if (IsAt(m, kCmdErase, 0x04B000)) return Decision{Action::Drop, {}};   // stop at row 2
        return refuse(m);
    });
    rig.RunUpdate();

    const std::vector<Bytes> sent = rig.Link().Sent();
    EXPECT_EQ(CountAt(sent, kCmdErase, 0x170000), 7u);
    // An unanswered erase is read back and sent again; the 7th time-out ends the update.
    EXPECT_EQ(CountAt(sent, kCmdErase, 0x04B000), 7u);
    EXPECT_EQ(BoxTexts(rig.Window()), std::vector<std::string>{"Time out error(3)"});
    EXPECT_EQ(rig.Window().ControlStates(), kIdle);
    EXPECT_EQ(rig.Window().Text(IDC_COUNTER), "2/12");
    EXPECT_EQ(LastProgressText(rig.Window()), "Erasing Flash memory.");
    EXPECT_EQ(rig.Window().ProgressHigh(), 10);
    EXPECT_EQ(rig.Window().ProgressPos(), 1);
}

TEST(UpdateProcedure, SeventhEraseRefusalEndsTheUpdate)
{
    DialogRig rig("");
    rig.Link().SetPolicy(RefuseTimes(kCmdErase, 0x170000, 1000));
    rig.RunUpdate();

    const std::vector<Bytes> sent = rig.Link().Sent();
    EXPECT_EQ(CountAt(sent, kCmdErase, 0x170000), 7u);
    EXPECT_TRUE(ScriptedLink::IsCommand(sent.back(), kCmdErase));
    EXPECT_EQ(BoxTexts(rig.Window()), std::vector<std::string>{"Transfer error occurred."});
    EXPECT_EQ(rig.Window().ControlStates(), kIdle);
    EXPECT_FALSE(rig.Dialog().IsBusy());
}

// ---------------------------------------------------------------------------
// Block retries: time-outs and refusals share one count of failures in a
// row, which an acknowledged block sets back.

TEST(UpdateProcedure, ThirtyOneLostRepliesThenAnAcknowledgementSucceed)
{
    DialogRig rig("flash=erased");   // the boot region is not current: row 4 erases
    auto lost = std::make_shared<int>(0);
    auto refusedSecond = RefuseTimes(kCmdWriteBlock, 0x04C000, 31);
    rig.Link().SetPolicy([=](const Bytes& m) {
        if (IsAt(m, kCmdWriteBlock, 0x04B000) && (*lost)++ < 31) return Decision{Action::Drop, {}};
        if (IsAt(m, kCmdErase, 0x000000)) return Decision{Action::Answer, ScriptedLink::StatusReply(0x05)};
        return refusedSecond(m);
    });
    rig.RunUpdate();

    const std::vector<Bytes> sent = rig.Link().Sent();
    EXPECT_EQ(CountAt(sent, kCmdWriteBlock, 0x04B000), 32u);
    EXPECT_EQ(CountAt(sent, kCmdWriteBlock, 0x04C000), 32u);   // the count started again at 0
    // Row 3 was written whole; row 4's erase was then refused seven times.
    EXPECT_EQ(CountAt(sent, kCmdErase, 0x000000), 7u);
    EXPECT_EQ(BoxTexts(rig.Window()), std::vector<std::string>{"Transfer error occurred."});
    EXPECT_EQ(rig.Window().ControlStates(), kIdle);
    const std::vector<std::uint8_t> flash = rig.Device().FlashCopy();
    std::size_t size = 0;
    const std::uint8_t* image = FindImage(133, &size);
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(std::equal(image, image + size, flash.begin() + 0x04B000));
}

// A block whose send failed never left: it is sent again, and a reply signal
// that happens to be waiting then (a late reply to an earlier command) does
// not count as its acknowledgement.
TEST(UpdateProcedure, ABlockWhoseSendFailedIsSentAgainWhateverSignalIsWaiting)
{
    DialogRig rig("flash=erased");
    CPelUpdatorDlg* dialog = &rig.Dialog();
    auto failed = std::make_shared<bool>(false);
    rig.Link().SetPolicy([=](const Bytes& m) {
        if (IsAt(m, kCmdWriteBlock, 0x04C000) && !*failed) {
            *failed = true;
            dialog->status.store(0);   // as a late reply to the block before would leave it
            dialog->event.Set();
            return Decision{Action::FailSend, {}};
        }
        // Stop after row 3: the boot region's erase is refused.
        if (IsAt(m, kCmdErase, 0x000000)) return Decision{Action::Answer, ScriptedLink::StatusReply(0x05)};
        return Decision{};
    });
    rig.RunUpdate();

    EXPECT_EQ(CountAt(rig.Link().Sent(), kCmdWriteBlock, 0x04C000), 2u);
    const std::vector<std::uint8_t> flash = rig.Device().FlashCopy();
    std::size_t size = 0;
    const std::uint8_t* image = FindImage(133, &size);
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(std::equal(image, image + size, flash.begin() + 0x04B000));
}

// A block sent twice can be answered twice.  The second reply must not stand
// for the next block's: here the next block's first copy is lost, and it
// is still written.
TEST(UpdateProcedure, ASecondReplyToABlockSentTwiceDoesNotAnswerTheNextBlock)
{
    DialogRig rig("flash=erased");
    ScriptedLink* link = &rig.Link();
    auto copies = std::make_shared<int>(0);
    auto nextLost = std::make_shared<bool>(false);
    link->SetPolicy([=](const Bytes& m) {
        if (IsAt(m, kCmdWriteBlock, 0x04C000) && (*copies)++ == 0) return Decision{Action::Drop, {}};
        if (IsAt(m, kCmdWriteBlock, 0x04C000)) {
            // The first copy's reply, late, comes just before the second's.
            link->Device().SendFromDevice(ScriptedLink::StatusReply(0x00));
            return Decision{};
        }
        if (IsAt(m, kCmdWriteBlock, 0x04D000) && !*nextLost) {
            *nextLost = true;
            return Decision{Action::Drop, {}};
        }
        if (IsAt(m, kCmdErase, 0x000000)) return Decision{Action::Answer, ScriptedLink::StatusReply(0x05)};
        return Decision{};
    });
    rig.RunUpdate();

    const std::vector<Bytes> sent = rig.Link().Sent();
    EXPECT_EQ(CountAt(sent, kCmdWriteBlock, 0x04C000), 2u);
    EXPECT_EQ(CountAt(sent, kCmdWriteBlock, 0x04D000), 2u);
    const std::vector<std::uint8_t> flash = rig.Device().FlashCopy();
    std::size_t size = 0;
    const std::uint8_t* image = FindImage(133, &size);
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(std::equal(image, image + size, flash.begin() + 0x04B000));
}

TEST(UpdateProcedure, ThirtySecondFailureEndsWithTheMessageOfItsKind)
{
    {
        // 31 refusals, then a lost reply.
        DialogRig rig("");
        auto refuse = RefuseTimes(kCmdWriteBlock, 0x04B000, 31);
        auto count = std::make_shared<int>(0);
        rig.Link().SetPolicy([=](const Bytes& m) {
            if (IsAt(m, kCmdWriteBlock, 0x04B000) && ++*count == 32) return Decision{Action::Drop, {}};
            return refuse(m);
        });
        rig.RunUpdate();
        EXPECT_EQ(CountAt(rig.Link().Sent(), kCmdWriteBlock, 0x04B000), 32u);
        EXPECT_TRUE(ScriptedLink::IsCommand(rig.Link().Sent().back(), kCmdWriteBlock));
        EXPECT_EQ(BoxTexts(rig.Window()), std::vector<std::string>{"Time out error(2)"});
        EXPECT_EQ(rig.Window().ControlStates(), kIdle);
        EXPECT_EQ(LastProgressText(rig.Window()), "Data transmit  0 / 110592 ");
        EXPECT_EQ(rig.Window().ProgressHigh(), 110592);
    }
    {
        // A refusal every time: the 32nd ends it.
        DialogRig rig("");
        rig.Link().SetPolicy(RefuseTimes(kCmdWriteBlock, 0x04C000, 1000));
        rig.RunUpdate();
        EXPECT_EQ(CountAt(rig.Link().Sent(), kCmdWriteBlock, 0x04B000), 1u);
        EXPECT_EQ(CountAt(rig.Link().Sent(), kCmdWriteBlock, 0x04C000), 32u);
        EXPECT_EQ(BoxTexts(rig.Window()), std::vector<std::string>{"Transfer error occurred."});
        EXPECT_EQ(rig.Window().ControlStates(), kIdle);
        EXPECT_EQ(LastProgressText(rig.Window()), "Data transmit  4096 / 110592 ");
        EXPECT_EQ(rig.Window().ProgressPos(), 4096);
        EXPECT_EQ(rig.Window().Text(IDC_COUNTER), "3/12");
    }
}

// ---------------------------------------------------------------------------
// A missing image ends the update with a message instead of a crash.

TEST(UpdateProcedure, MissingImageEndsTheUpdateWithAMessage)
{
    {
        HiddenImage hidden(133);
        DialogRig rig("");
        rig.RunUpdate();
        EXPECT_EQ(BoxTexts(rig.Window()),
                  std::vector<std::string>{"A firmware image is missing from this updater. The update has stopped."});
        EXPECT_EQ(rig.Window().ControlStates(), kIdle);
        EXPECT_EQ(rig.Window().Text(IDC_COUNTER), "3/12");
        EXPECT_TRUE(Commands(rig.Link().Sent(), kCmdWriteBlock).empty());
        EXPECT_EQ(Commands(rig.Link().Sent(), kCmdErase).size(), 2u);
    }
    {
        // The boot image is needed for the boot-stamp check already.
        HiddenImage hidden(142);
        DialogRig rig("");
        rig.RunUpdate();
        EXPECT_EQ(BoxTexts(rig.Window()),
                  std::vector<std::string>{"A firmware image is missing from this updater. The update has stopped."});
        EXPECT_EQ(rig.Window().ControlStates(), kIdle);
        EXPECT_TRUE(Commands(rig.Link().Sent(), kCmdErase).empty());
    }
}

// ---------------------------------------------------------------------------
// Closing the dialog while the worker waits: the worker ends at once, with no
// message and without touching the controls.

struct CloseCase {
    const char* name;
    const char* settings;
    std::function<bool(const Bytes&)> lost;   // the message whose reply never comes
};
void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

class UpdateClosing : public ::testing::TestWithParam<CloseCase> {};

TEST_P(UpdateClosing, EndsTheWorkerQuietly)
{
    const CloseCase& c = GetParam();
    // Long waits: only closing can end them within the test's time.
    ProtocolTimings slow = q9test::FastTimings();
    slow.identityMs = slow.beginUpdateMs = slow.bootStampMs = slow.eraseMs = slow.writeBlockMs = 60000;
    DialogRig rig(c.settings, slow);
    rig.Link().SetPolicy(DropWhen(c.lost));

    rig.Dialog().OnExecute();
    ASSERT_TRUE(rig.Link().WaitForSent([&](const std::vector<Bytes>& sent) {
        return std::any_of(sent.begin(), sent.end(), [&](const Bytes& m) { return c.lost(m); });
    }));
    rig.Window().ClearCalls();
    rig.Dialog().OnDestroy();
    rig.Dialog().WaitForWorker();

    EXPECT_TRUE(rig.Window().Boxes().empty());
    for (const RecordingWindow::Call& call : rig.Window().Calls()) {
        EXPECT_NE(call.name, "EnableControl") << call.id;
        EXPECT_NE(call.name, "MessageBox") << call.text;
    }
    EXPECT_EQ(rig.Window().ControlStates(), kRunning);
    EXPECT_TRUE(rig.Dialog().IsBusy());
}

INSTANTIATE_TEST_SUITE_P(
    Waits, UpdateClosing,
    ::testing::Values(CloseCase{"Identity", "", kIsIdentity}, CloseCase{"BeginUpdate", "", kIsBegin},
                      CloseCase{"BootStamp", "", kIsRead},
                      CloseCase{"Erase", "", [](const Bytes& m) { return IsAt(m, kCmdErase, 0x04B000); }},
                      CloseCase{"WriteBlock", "", [](const Bytes& m) { return IsAt(m, kCmdWriteBlock, 0x04C000); }}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.name); });

TEST(UpdateProcedure, DestroyingTheDialogDuringAWaitEndsTheWorkerFirst)
{
    ProtocolTimings slow = q9test::FastTimings();
    slow.eraseMs = 60000;
    DialogRig rig("", slow);
    rig.Link().SetPolicy(DropWhen([](const Bytes& m) { return IsAt(m, kCmdErase, 0x170000); }));
    rig.Dialog().OnExecute();
    ASSERT_TRUE(rig.Link().WaitForSent([](const std::vector<Bytes>& sent) {
        return std::any_of(sent.begin(), sent.end(), [](const Bytes& m) { return IsAt(m, kCmdErase, 0x170000); });
    }));
    rig.DestroyDialog();   // the destructor closes, wakes and waits for the worker
    EXPECT_TRUE(rig.Window().Boxes().empty());
}

// Stop and closing while the driver holds a message until the device is
// reset, with a send limit far beyond the test's: neither waits for the
// send; the worker ends and closes the output itself.
TEST(UpdateProcedure, StopAndClosingWaitForNoSend)
{
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "Stop" : "closing");
        DialogRig rig("");
        rig.Dialog().midiOut.doneWaitLimitMs = 3600000;
        rig.Link().SetPolicy([](const Bytes& m) {
            return IsAt(m, kCmdErase, 0x04B000) ? Decision{Action::Hold, {}} : Decision{};
        });
        rig.Dialog().OnExecute();
        ASSERT_TRUE(rig.Link().WaitForSent([](const std::vector<Bytes>& sent) {
            return std::any_of(sent.begin(), sent.end(), [](const Bytes& m) { return IsAt(m, kCmdErase, 0x04B000); });
        }));
        if (stop) {
            rig.Dialog().StopUpdate();
        } else {
            rig.Dialog().OnDestroy();
        }
        rig.Dialog().WaitForWorker();
        EXPECT_EQ(rig.Dialog().midiOut.handle.load(), 0u);
        EXPECT_TRUE(rig.Window().Boxes().empty());
    }
}

// Stop (the answer to the question before closing) ends the update like
// closing does, without a box, and keeps the dialog: ready, saying that the
// device needs the update again, which the next Execute then completes.
TEST(UpdateProcedure, StopEndsTheUpdateQuietlyAndTheNextOneCompletes)
{
    DialogRig rig("write-ms=2");
    RecordingWindow& window = rig.Window();
    rig.Dialog().OnExecute();
    ASSERT_TRUE(window.WaitUntil([&] { return window.Text(IDC_STATUS).starts_with("Data transmit"); }));
    EXPECT_EQ(rig.Dialog().CloseQuestion(), IDS_STOP_QUESTION);
    rig.Dialog().StopUpdate();
    rig.Dialog().WaitForWorker();
    EXPECT_TRUE(rig.Dialog().IsBusy());   // until the posted end has run on the user-interface thread
    window.RunPosted();
    EXPECT_FALSE(rig.Dialog().IsBusy());
    EXPECT_EQ(rig.Dialog().CloseQuestion(), 0u);
    EXPECT_TRUE(window.Boxes().empty());
    EXPECT_EQ(window.ControlStates(), kIdle);
    EXPECT_EQ(window.Text(IDC_STATUS), "The device needs the update run again.");
    EXPECT_TRUE(rig.Dialog().DeviceNeedsUpdate());
    EXPECT_FALSE(rig.Device().FlashCopy() == ExpectedFlashAfterUpdate());

    window.ClearCalls();
    rig.RunUpdate();
    EXPECT_TRUE(window.Boxes().empty());
    EXPECT_EQ(window.Text(IDC_STATUS), "Version update completed.");
    EXPECT_FALSE(rig.Dialog().DeviceNeedsUpdate());
    EXPECT_TRUE(rig.Device().FlashCopy() == ExpectedFlashAfterUpdate());

    // Its end closed any stop question; a Stop given after the end does nothing.
    const std::vector<RecordingWindow::Call> calls = window.Calls();
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const auto& c) { return c.name == "DismissQuestion"; }));
    rig.Dialog().StopUpdate();
    window.RunPosted();
    EXPECT_EQ(window.Text(IDC_STATUS), "Version update completed.");
    EXPECT_EQ(window.ControlStates(), kUpdated);
    EXPECT_FALSE(rig.Dialog().DeviceNeedsUpdate());
}

// ---------------------------------------------------------------------------
// Replies the input driver hands over empty, or reports damaged
// (MIM_LONGERROR), in the middle of the update, more of them than the input
// port has buffers: the input keeps listening, the damaged ones count for
// nothing, the blocks are sent again, and the update completes exactly.

constexpr std::size_t kOddReplies = CMidiInPort::kBufferCount + 1;

struct OddReply {
    const char* name;
    Decision decision;             // for kOddReplies blocks sent from the 100th on
    std::uint32_t longErrors;      // the input port's count afterwards
};
void PrintTo(const OddReply& c, std::ostream* os) { *os << c.name; }

class UpdateOddReply : public ::testing::TestWithParam<OddReply> {};

TEST_P(UpdateOddReply, CompletesExactly)
{
    const OddReply& c = GetParam();
    DialogRig rig("");
    // The first write of each of kOddReplies blocks in a row from the 100th
    // on (their resends are answered, or a block would fail for good).
    auto blocks = std::make_shared<int>(0);
    auto odd = std::make_shared<std::vector<std::uint32_t>>();
    rig.Link().SetPolicy([=](const Bytes& m) {
        if (!ScriptedLink::IsCommand(m, kCmdWriteBlock)) return Decision{};
        const std::uint32_t at = ScriptedLink::Address(m);
        if (++*blocks < 100 || odd->size() == kOddReplies ||
            std::find(odd->begin(), odd->end(), at) != odd->end())
            return Decision{};
        odd->push_back(at);
        return c.decision;
    });
    rig.RunUpdate();

    EXPECT_TRUE(BoxTexts(rig.Window()).empty()) << ::testing::PrintToString(BoxTexts(rig.Window()));
    EXPECT_EQ(rig.Window().Text(IDC_STATUS), "Version update completed.");
    EXPECT_TRUE(rig.Device().FlashCopy() == ExpectedFlashAfterUpdate());
    ASSERT_EQ(odd->size(), kOddReplies);
    EXPECT_GE(CountAt(rig.Link().Sent(), kCmdWriteBlock, odd->front()), 2u);
    EXPECT_EQ(rig.Dialog().midiIn.LongErrors(), c.longErrors);
}

INSTANTIATE_TEST_SUITE_P(
    Input, UpdateOddReply,
    ::testing::Values(OddReply{"EmptyBuffers", Decision{Action::Answer, {}}, 0},
                      // Acknowledgements cut short by the next status byte.
                      OddReply{"DamagedAcknowledgements",
                               Decision{Action::AnswerDamaged, {0xF0, kManufacturer, 0x00, 0x6E, kCmdStatus, 0x00}},
                               static_cast<std::uint32_t>(kOddReplies)}),
    [](const ::testing::TestParamInfo<OddReply>& info) { return std::string(info.param.name); });
