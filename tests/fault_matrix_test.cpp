// Whole updates of a factory flash through a virtual device that loses,
// refuses, damages and delays its replies, alone and combined.  Waits are
// scaled down a hundred-fold (a 10 ms write-block wait stands for 1 s), and
// `late` is given below and above it.  Each run either completes with the
// flash of a clean update, or ends with an error box: never a success over
// any other flash.
#include "resources/string_table.h"
#include "tests/support/scripted_link.h"
#include "update/timings.h"
#include "virtual_device/virtual_q9.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

constexpr std::uint32_t kWriteWaitMs = 10;

ProtocolTimings MatrixTimings()
{
    ProtocolTimings t = q9test::FastTimings();
    t.identityMs = t.beginUpdateMs = t.bootStampMs = t.endUpdateMs = 3000;
    t.eraseMs = 600;
    t.readMs = 300;
    t.writeBlockMs = kWriteWaitMs;
    t.replyMaxMs = 5 * kWriteWaitMs;   // as 5 s stands to 1 s
    t.replyMinWaitMs = 5;              // as 100 ms, with room for a loaded machine
    t.stallMaxMs = 300;                // as 30 s
    return t;
}

// Verify through a device holding `flash` (with `faults`, none by default).
CPelUpdatorDlg::VerifyResult Verify(const std::vector<std::uint8_t>& flash, const std::string& faults = "")
{
    q9test::DialogRig rig("flash=erased" + faults, MatrixTimings());
    EXPECT_TRUE(rig.Device().Device().SetFlash(flash));
    rig.Dialog().OnVerify();
    rig.Dialog().WaitForWorker();
    rig.Window().RunPosted();
    return rig.Dialog().LastVerify();
}

struct Fault {
    const char* name;
    const char* settings;
    std::uint32_t sendLimitMs = 0;   // the output port's send limit, when shortened
};

class FaultMatrix : public ::testing::TestWithParam<Fault> {};

}  // namespace

TEST_P(FaultMatrix, EndsWithACleanFlashOrAnError)
{
    const Fault& fault = GetParam();
    q9test::DialogRig rig(std::string("flash=factory,") + fault.settings, MatrixTimings());
    if (fault.sendLimitMs != 0) rig.Dialog().midiOut.doneWaitLimitMs = fault.sendLimitMs;
    const auto start = std::chrono::steady_clock::now();
    rig.RunUpdate();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();

    const RecordingWindow& window = rig.Window();
    const bool completed = window.Text(IDC_STATUS) == LoadStringById(IDS_COMPLETED);
    const bool flashClean = rig.Device().FlashCopy() == ExpectedFlashAfterUpdate(FactoryFlash());
    std::printf("%s: %s in %lld ms, %zu messages\n", fault.settings,
                completed ? "completed" : (window.Boxes().empty() ? "ended" : window.Boxes().front().text.c_str()),
                static_cast<long long>(ms), rig.Link().SentCount());
    if (completed) {
        EXPECT_TRUE(window.Boxes().empty());
        EXPECT_TRUE(flashClean) << "success reported over a flash that differs from a clean update's";
        const CPelUpdatorDlg::VerifyResult verified = Verify(rig.Device().FlashCopy());
        EXPECT_TRUE(verified.completed);
        EXPECT_EQ(verified.differingBlocks, 0u);
    } else {
        EXPECT_FALSE(window.Boxes().empty()) << "the update ended without completing and without an error";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultMatrix,
    ::testing::Values(Fault{"Drop", "drop=9"}, Fault{"Refuse", "refuse=5"}, Fault{"CorruptRead", "corrupt-read=2,drop=13"},
                      Fault{"LateBelowWait", "late=5"}, Fault{"LateAboveWait", "late=15"},
                      Fault{"LateAndRefuse", "late=15,refuse=5"}, Fault{"LateAndDrop", "late=15,drop=7"},
                      Fault{"DropAndRefuse", "drop=5,refuse=7"},
                      // Now and then a reply held back 1.5 to 4 waits, and the block behind it refused.
                      Fault{"HeldBackThenRefused", "hold=61,hold-ms=26"}, Fault{"HeldLonger", "hold=37,hold-ms=40"},
                      // The read that resynchronises after a lost reply: refused, late, damaged, lost.
                      Fault{"ResyncReadRefused", "drop=13,refuse=14"},
                      Fault{"ResyncReadLate", "drop=10,hold=11,hold-ms=26"},
                      Fault{"ResyncReadDamaged", "drop=11,corrupt-read=3"},
                      Fault{"ResyncReadLost", "drop=2,refuse=3"},
                      // Replies that take exactly the write wait, and longer than any reply may take.
                      Fault{"LateExactlyTheWait", "late=10"}, Fault{"LateBeyondTheCeiling", "late=60"},
                      // Replies sent twice, overtaken, and with a lost one between; messages cut
                      // short; sends given up yet delivered; the device not reading for a while,
                      // within the stall limit (sends time out and are ridden out) and past it.
                      Fault{"Dup", "dup=7"}, Fault{"DupAndDrop", "dup=7,drop=11"},
                      Fault{"DupAndCut", "dup=13,cut=17"}, Fault{"Reorder", "reorder=11,reorder-ms=26"},
                      Fault{"Cut", "cut=9"}, Fault{"Ghost", "ghost=13"}, Fault{"GhostAndRefuse", "ghost=13,refuse=7"},
                      Fault{"StallRiddenOut", "stall=97,stall-ms=120", 40},
                      Fault{"StallPastTheLimit", "stall=@200,stall-ms=1500", 40}),
    [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

// One changed byte of a clean update's flash: verify names it.  The boot
// region, its stamp unchanged, is compared like the others.
TEST(Verify, NamesTheFirstDifferingAddressAndCountsTheBlocks)
{
    std::vector<std::uint8_t> flash = ExpectedFlashAfterUpdate(FactoryFlash());
    flash[0x066064] ^= 0x01;
    CPelUpdatorDlg::VerifyResult result = Verify(flash);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.differingBlocks, 1u);
    EXPECT_EQ(result.firstDifference, 0x066064u);

    flash[0x000100] ^= 0x80;   // row 5 is verified before row 7
    result = Verify(flash);
    EXPECT_EQ(result.differingBlocks, 2u);
    EXPECT_EQ(result.firstDifference, 0x000100u);
}

// Reads over a link that loses and refuses many replies are each matched to
// their own reply: every block is read, and none is reported as differing.
TEST(Verify, ALossyLinkReadsEveryBlockOnce)
{
    const std::vector<std::uint8_t> flash = ExpectedFlashAfterUpdate(FactoryFlash());
    const CPelUpdatorDlg::VerifyResult clean = Verify(flash);
    for (const char* faults : {",drop=13,refuse=7", ",drop=7,corrupt-read=5", ",drop=4"}) {
        const CPelUpdatorDlg::VerifyResult result = Verify(flash, faults);
        EXPECT_TRUE(result.completed) << faults;
        EXPECT_EQ(result.blocks, clean.blocks) << faults;
        EXPECT_EQ(result.differingBlocks, 0u) << faults;
    }
}

// A link too slow for the rest of the update is given up after two block
// sends that show it, before any more is written, with its own message.
TEST(SlowLink, IsGivenUpAfterTwoBlockSends)
{
    ProtocolTimings timings = MatrixTimings();
    timings.updateMaxS = 1;   // at 64 KiB/s the rest takes about a minute
    q9test::DialogRig rig("flash=factory,link=65536", timings);
    rig.RunUpdate();
    const RecordingWindow& window = rig.Window();
    ASSERT_EQ(window.Boxes().size(), 1u);
    EXPECT_NE(window.Boxes().front().text.find("The link to the device is too slow"), std::string::npos);
    EXPECT_NE(window.Text(IDC_STATUS), LoadStringById(IDS_COMPLETED));
    std::size_t writes = 0;
    for (const VirtualQ9::LogEntry& entry : rig.Device().LogCopy()) writes += entry.kind == VirtualQ9::Kind::WriteBlock;
    EXPECT_EQ(writes, 2u);
}

// Each failure's box: the message of the design on its first line, the next
// step after it, and the needs-update note exactly when the flash was
// changed; the status line keeps the message (and that note) after the box.
TEST(FailureGuidance, NamesCauseStateAndNextStep)
{
    struct Case {
        const char* settings;
        std::uint32_t message;   // its text up to the first '%' begins the box
        std::uint32_t guidance;
        bool flashChanged;
    };
    const Case cases[] = {
        {"silent", IDS_TIMEOUT1, IDS_GUIDE_NO_ANSWER, false},
        {"update-mode=off", IDS_UPDATE_MODE, IDS_GUIDE_UPDATE_MODE, false},
        {"identity=6E000A00", IDS_ILLEGAL_DEVICE, IDS_GUIDE_OTHER_DEVICE, false},
        {"drop=2", IDS_LINK_LOSING, IDS_GUIDE_LINK, true},
        {"link=65536", IDS_LINK_TOO_SLOW, IDS_GUIDE_LINK, true},
    };
    const std::string runAgain = LoadStringById(IDS_RUN_UPDATE_AGAIN);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        ProtocolTimings timings = MatrixTimings();
        timings.identityMs = q9test::FastTimings().identityMs;
        // At 64 KiB/s the rest takes about a minute (the others keep the
        // usual limit: a slow build is not a slow link).
        if (c.message == IDS_LINK_TOO_SLOW) timings.updateMaxS = 1;
        q9test::DialogRig rig(std::string("flash=factory,") + c.settings, timings);
        rig.RunUpdate();
        const RecordingWindow& window = rig.Window();
        ASSERT_EQ(window.Boxes().size(), 1u);
        const std::string box = window.Boxes().front().text;
        const std::string message = LoadStringById(c.message);
        const std::string cause = message.substr(0, message.find('%'));
        EXPECT_EQ(box.rfind(cause, 0), 0u) << box;
        EXPECT_NE(box.find("\n" + LoadStringById(c.guidance)), std::string::npos) << box;
        EXPECT_EQ(box.find(runAgain) != std::string::npos, c.flashChanged) << box;
        EXPECT_EQ(rig.Dialog().DeviceNeedsUpdate(), c.flashChanged);
        const std::string status = window.Text(IDC_STATUS);
        EXPECT_EQ(status.rfind(box.substr(0, box.find('\n')), 0), 0u) << status;
        EXPECT_EQ(status.find(runAgain) != std::string::npos, c.flashChanged) << status;
        // The line under the buttons keeps the next step once the box is closed.
        EXPECT_EQ(box.substr(box.find('\n') + 1), window.Text(IDC_NEXT_STEP));
    }
}
