// The dialog's own logic, with a recording window and a scripted MIDI
// service: port lists and their preselection, opening the ports, the busy
// guard, the enabling rules, the title, and an orderly end.
#include "app/pel_updator_dlg.h"
#include "resources/string_table.h"
#include "tests/support/fake_midi.h"
#include "tests/support/recording_window.h"

#include <gtest/gtest.h>

using q9test::FakeMidi;
using q9test::ScopedMidi;

namespace {

constexpr const char* kIdle = "1000:1 1001:1 1007:1 1:1 1004:1";
constexpr const char* kUpdated = "1000:1 1001:1 1007:0 1:0 1004:1";
const std::string kJapanese = kPreferredPortNames[0];

std::vector<std::pair<int, bool>> Enables(const RecordingWindow& window)
{
    std::vector<std::pair<int, bool>> enables;
    for (const RecordingWindow::Call& call : window.Calls()) {
        if (call.name == "EnableControl") enables.emplace_back(call.id, call.value != 0);
    }
    return enables;
}

std::vector<std::string> ErrorTexts(const RecordingWindow& window)
{
    std::vector<std::string> texts;
    for (const RecordingWindow::Box& box : window.Boxes()) {
        EXPECT_EQ(box.caption, "Error");
        EXPECT_EQ(box.type, 0x10u);
        texts.push_back(box.text.substr(0, box.text.find('\n')));   // the failure message; its guidance follows
    }
    return texts;
}

}  // namespace

TEST(Preselection, LastExactMatchOfAnyCandidateWins)
{
    struct Case {
        std::vector<std::string> names;
        int instance;
        int selected;
    };
    const Case cases[] = {
        {{"USB Audio Device", "USB Audio Device"}, 1, 1},
        {{"ARKO Q9", "Other", "Other", "USB Audio Device"}, 1, 3},   // whatever the order of the candidates
        {{"USB Audio Device", "ARKO Q9", "Other"}, 1, 1},
        {{"Other", kJapanese, "Midi Through"}, 1, 1},
        {{}, 1, -1},
        {{"usb audio device", "ARKO q9", "USB Audio Device 2", "ARKO Q9 ", " ARKO Q9", "ARKO Q"}, 1, -1},
        // Other instances look for their number.
        {{"USB Audio Device (2)", "USB Audio Device"}, 2, 0},
        {{"ARKO Q9 (2)", "ARKO Q9(3)"}, 3, -1},
        {{"ARKO Q9 (20)", "ARKO Q9 (2)"}, 20, 0},
        {{kJapanese + " (4)"}, 4, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PreselectPort(c.names, c.instance), c.selected) << ::testing::PrintToString(c.names) << " " << c.instance;
    }
}

class DialogLogic : public ::testing::Test {
protected:
    void SetUp() override
    {
        midi.SetOutDevices({"ARKO Q9", "Midi Through", "Other", "USB Audio Device"});
        midi.SetInDevices({"USB Audio Device", "USB Audio Device", "usb audio device"});
    }

    FakeMidi midi;
    ScopedMidi scoped{midi};
    RecordingWindow window;
};

TEST_F(DialogLogic, InitialisationFillsAndPreselectsTheListsAndSetsTheTitle)
{
    CPelUpdatorDlg dialog(window, 1);
    EXPECT_FALSE(dialog.IsBusy());
    EXPECT_EQ(dialog.status.load(), 0);
    EXPECT_FALSE(dialog.event.IsSet());
    EXPECT_TRUE(dialog.OnInitDialog());

    EXPECT_EQ(window.ListItems(IDC_MIDI_OUT), (std::vector<std::string>{"ARKO Q9", "Midi Through", "Other", "USB Audio Device"}));
    EXPECT_EQ(window.ListItems(IDC_MIDI_IN), (std::vector<std::string>{"USB Audio Device", "USB Audio Device", "usb audio device"}));
    EXPECT_EQ(window.ListSelection(IDC_MIDI_OUT), 3);
    EXPECT_EQ(window.ListSelection(IDC_MIDI_IN), 1);
    EXPECT_EQ(window.Title(), "ARKO Q9 System v1.20 Updater");
    EXPECT_EQ(window.ProgressLow(), 0);
    EXPECT_EQ(window.ProgressHigh(), 100);
    EXPECT_NE(dialog.timer.timerId, 0u);
    // Opening nothing yet.
    EXPECT_EQ(midi.Count(FakeMidi::Op::OutOpen), 0);
    EXPECT_EQ(midi.Count(FakeMidi::Op::InOpen), 0);
}

// The Japanese name is 14 characters but 32 bytes of UTF-8: it must reach the
// list whole through the ports to be preselected.
TEST_F(DialogLogic, JapaneseDeviceNameArrivesWholeAndIsPreselected)
{
    midi.SetOutDevices({"Other", kJapanese, "Midi Through"});
    midi.SetInDevices({kJapanese, "Other"});
    CPelUpdatorDlg dialog(window, 1);
    dialog.OnInitDialog();
    EXPECT_EQ(window.ListItems(IDC_MIDI_OUT)[1], kJapanese);
    EXPECT_EQ(window.ListSelection(IDC_MIDI_OUT), 1);
    EXPECT_EQ(window.ListSelection(IDC_MIDI_IN), 0);
}

TEST_F(DialogLogic, SecondInstanceSelectsItsOwnDevices)
{
    midi.SetOutDevices({"USB Audio Device", "USB Audio Device (2)"});
    midi.SetInDevices({"ARKO Q9"});
    window.portsPickedByHand = true;
    CPelUpdatorDlg dialog(window, 2);
    dialog.OnInitDialog();
    EXPECT_EQ(window.ListSelection(IDC_MIDI_OUT), 1);
    EXPECT_EQ(window.ListSelection(IDC_MIDI_IN), -1);
    EXPECT_EQ(window.Title(), "ARKO Q9 System v1.20 Updater (2)");
    // The name it looked for, which its built-in device also gets.
    EXPECT_EQ(OwnDeviceName(2), "ARKO Q9 (2)");
    EXPECT_EQ(window.Text(IDC_STATUS), "No port is named \"ARKO Q9 (2)\". Pick the device's ports in the lists.");
    midi.SetInDevices({"ARKO Q9 (2)"});
    dialog.OnRescanDevice();
    EXPECT_EQ(window.Text(IDC_STATUS), "");
}

TEST_F(DialogLogic, EnablingRules)
{
    CPelUpdatorDlg dialog(window, 1);
    dialog.busy.store(1);
    for (int id : {IDC_MIDI_IN, IDC_MIDI_OUT, IDOK, IDC_RESCAN, IDC_VERSION_CHECK}) window.EnableControl(id, false);
    window.ClearCalls();

    dialog.EnableControls();
    EXPECT_EQ(Enables(window), (std::vector<std::pair<int, bool>>{
                                   {IDC_MIDI_IN, true}, {IDC_MIDI_OUT, true}, {IDC_VERSION_CHECK, true}, {IDOK, true}, {IDC_RESCAN, true}}));
    EXPECT_FALSE(dialog.IsBusy());

    window.ClearCalls();
    dialog.EnableRunButtons(false);
    EXPECT_EQ(Enables(window), (std::vector<std::pair<int, bool>>{{IDOK, false}, {IDC_VERSION_CHECK, false}}));
    EXPECT_EQ(window.ControlStates(), kUpdated);

    // Rescan: lists rebuilt, run buttons back, busy and the ports untouched.
    dialog.busy.store(1);
    midi.SetOutDevices({"Other", "ARKO Q9"});
    dialog.OnRescanDevice();
    EXPECT_EQ(window.ControlStates(), kIdle);
    EXPECT_TRUE(dialog.IsBusy());
    EXPECT_EQ(window.ListItems(IDC_MIDI_OUT), (std::vector<std::string>{"Other", "ARKO Q9"}));
    EXPECT_EQ(window.ListSelection(IDC_MIDI_OUT), 1);
    EXPECT_EQ(midi.Count(FakeMidi::Op::OutOpen), 0);
    dialog.busy.store(0);
}

TEST_F(DialogLogic, StartingWhileBusyIsRefused)
{
    CPelUpdatorDlg dialog(window, 1);
    dialog.OnInitDialog();
    dialog.busy.store(1);
    dialog.OnExecute();
    dialog.OnVersionCheck();
    EXPECT_EQ(ErrorTexts(window), (std::vector<std::string>{"In Progress.", "In Progress."}));
    EXPECT_EQ(midi.Count(FakeMidi::Op::OutOpen), 0);
    EXPECT_EQ(midi.Count(FakeMidi::Op::InOpen), 0);
    EXPECT_EQ(window.ControlStates(), kIdle);
    dialog.busy.store(0);
}

TEST_F(DialogLogic, OutputPortThatDoesNotOpenLeavesTheDialogReady)
{
    midi.SetOutDevices({"Other"});   // nothing preselected: -1 goes to the port unchanged
    CPelUpdatorDlg dialog(window, 1);
    dialog.OnInitDialog();
    dialog.OnExecute();
    EXPECT_EQ(ErrorTexts(window), std::vector<std::string>{"Can't open MIDI Out device."});
    bool sawOpen = false;
    for (const FakeMidi::Call& call : midi.Calls()) {
        if (call.op == FakeMidi::Op::OutOpen) {
            sawOpen = true;
            EXPECT_EQ(call.id, 0xFFFFFFFFu);
        }
    }
    EXPECT_TRUE(sawOpen);
    EXPECT_EQ(midi.Count(FakeMidi::Op::InOpen), 0);
    EXPECT_FALSE(dialog.IsBusy());
    EXPECT_EQ(window.ControlStates(), kIdle);
}

TEST_F(DialogLogic, InputPortThatDoesNotStartLeavesTheOutputOpen)
{
    midi.ScriptAlways(FakeMidi::Op::InOpen, platform::MMSYSERR_ALLOCATED);
    CPelUpdatorDlg dialog(window, 1);
    dialog.OnInitDialog();
    dialog.OnVersionCheck();
    EXPECT_EQ(ErrorTexts(window), std::vector<std::string>{"Can't open MIDI In device."});
    EXPECT_TRUE(midi.OutputOpen());
    EXPECT_FALSE(dialog.IsBusy());
    EXPECT_EQ(window.ControlStates(), kIdle);
    for (const FakeMidi::Call& call : midi.Calls()) {
        if (call.op == FakeMidi::Op::InOpen) {
            EXPECT_EQ(call.id, 1u);   // the preselected input
        }
    }
}

TEST_F(DialogLogic, DestroyStopsTheTimerClosesThePortsAndWakesTheWorker)
{
    CPelUpdatorDlg dialog(window, 1);
    dialog.OnInitDialog();
    ASSERT_EQ(dialog.OpenPorts(), 0);
    EXPECT_TRUE(midi.OutputOpen());
    EXPECT_TRUE(midi.InputOpen());

    dialog.OnDestroy();
    EXPECT_EQ(dialog.status.load(), 255);
    EXPECT_TRUE(dialog.event.IsSet());
    EXPECT_FALSE(midi.OutputOpen());
    EXPECT_FALSE(midi.InputOpen());
    EXPECT_EQ(dialog.timer.timerId, 0u);

    // Once only.
    EXPECT_TRUE(dialog.event.Wait(0));
    dialog.OnDestroy();
    EXPECT_FALSE(dialog.event.IsSet());
    EXPECT_TRUE(window.Boxes().empty());
}

TEST(CloseQuestion, OnlyAnUpdateThatHasChangedTheFlashAsksAndTheBootRowsSaySo)
{
    struct Case {
        DialogWork work;
        bool flashTouched;
        int planRow;
        std::uint32_t question;
    };
    const Case cases[] = {
        {DialogWork::None, true, 3, 0},
        {DialogWork::VersionCheck, true, 0, 0},
        {DialogWork::Verify, true, 5, 0},
        {DialogWork::Update, false, 0, 0},                       // identifying, beginning: nothing changed yet
        {DialogWork::Update, true, 1, IDS_STOP_QUESTION},
        {DialogWork::Update, true, 3, IDS_STOP_QUESTION},
        {DialogWork::Update, true, 4, IDS_STOP_QUESTION_BOOT},   // the boot region erased ...
        {DialogWork::Update, true, 5, IDS_STOP_QUESTION_BOOT},   // ... and written
        {DialogWork::Update, true, 6, IDS_STOP_QUESTION},
        {DialogWork::Update, true, 12, IDS_STOP_QUESTION},
        {DialogWork::Update, true, 0, IDS_STOP_QUESTION},        // ending the update
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CloseQuestionFor(c.work, c.flashTouched, c.planRow), c.question)
            << static_cast<int>(c.work) << " " << c.flashTouched << " row " << c.planRow;
    }
    EXPECT_NE(LoadStringById(IDS_STOP_QUESTION_BOOT).find("unable to start"), std::string::npos);
}

// The whole update's progress over rows read back and an erase inside a
// write row: the percentage never goes back, and the time left is told only
// once enough has been measured.
TEST(OverallProgress, RisesMonotonicallyAndTellsTimeLeftOnceMeasured)
{
    struct Step {
        int row;
        std::int32_t pos, range;
        int atSeconds;
        int percent, secondsLeft;
    };
    constexpr Step kSteps[] = {
        {1, 1, 10, 0, 0, -1},           // the erase row (work 100) sent
        {1, 10, 10, 1, 4, -1},          // ... and done
        {2, 2000, 4000, 2, 28, -1},     // half of row 2; too early for a pace
        {2, 10, 10, 4, 28, 10},         // an erase of one of row 2's sectors
        {3, 0, 4000, 5, 52, 5},
        {2, 0, 4000, 6, 52, 5},         // row 2 read back again
        {3, 4000, 4000, 8, 100, -1},
    };
    OverallProgress progress;
    EXPECT_EQ(progress.Percent(), -1);
    const auto start = OverallProgress::Clock::time_point{} + std::chrono::hours(1);
    progress.Begin({{100, 0}, {1000, 4000}, {1000, 4000}}, start);
    for (const Step& step : kSteps) {
        progress.Advance(step.row, step.pos, step.range);
        EXPECT_EQ(progress.Percent(), step.percent) << "at " << step.atSeconds << " s";
        EXPECT_EQ(progress.SecondsLeft(start + std::chrono::seconds(step.atSeconds)), step.secondsLeft)
            << "at " << step.atSeconds << " s";
    }
    progress.End();
    EXPECT_EQ(progress.Percent(), -1);
}
