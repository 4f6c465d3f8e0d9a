// The Qt main dialog driven like a user would: preselection, the error
// boxes, an update and a version check against the virtual ARKO Q9, the
// Enter and Escape keys, closing while a worker waits, the about item, and
// the forwarding of calls from worker threads.
#include "app/pel_updator_dlg.h"
#include "app/qt/about_dlg.h"
#include "app/qt/main_dialog.h"
#include "platform/midi_system.h"
#include "resources/string_table.h"
#include "tests/qt/qt_test_support.h"
#include "tests/support/fake_midi.h"
#include "update/image_plan.h"
#include "virtual_device/virtual_midi.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <memory>
#include <thread>

using q9qttest::BoxRecorder;
using q9qttest::Pump;
using q9qttest::PumpUntil;
using q9test::FakeMidi;
using q9test::ScopedMidi;

namespace {

QComboBox* Combo(MainDialog& d, int id) { return qobject_cast<QComboBox*>(d.Control(id)); }
QPushButton* Button(MainDialog& d, int id) { return qobject_cast<QPushButton*>(d.Control(id)); }
QProgressBar* Bar(MainDialog& d) { return qobject_cast<QProgressBar*>(d.Control(IDC_PROGRESS)); }
std::string Text(MainDialog& d, int id) { return qobject_cast<QLineEdit*>(d.Control(id))->text().toStdString(); }
bool Enabled(MainDialog& d, int id) { return d.Control(id)->isEnabled(); }

std::vector<std::string> Items(QComboBox* combo)
{
    std::vector<std::string> items;
    for (int i = 0; i < combo->count(); ++i) items.push_back(combo->itemText(i).toStdString());
    return items;
}

// The virtual ARKO Q9 as the only MIDI service.
struct VirtualSystem {
    explicit VirtualSystem(const std::string& settings = "")
    {
        std::string error;
        std::unique_ptr<VirtualMidi> made = MakeVirtualMidi(settings, error);
        EXPECT_TRUE(made) << error;
        device = made.get();
        system.Add(std::move(made));
    }
    platform::MidiSystem system;
    VirtualMidi* device = nullptr;
};

// Everything a running dialog holds, in the order it must be built and torn down.
class DialogTest : public ::testing::Test {
protected:
    ScopedTimings timings{q9qttest::ShortTimings()};
};

std::string VersionAt(const std::vector<std::uint8_t>& flash, std::uint32_t address)
{
    return std::string(reinterpret_cast<const char*>(flash.data() + address), 4);
}

std::string ImageVersion(std::uint32_t imageId, std::uint32_t offset)
{
    std::size_t size = 0;
    const std::uint8_t* image = FindImage(imageId, &size);
    EXPECT_NE(image, nullptr);
    if (image == nullptr || size < offset + 4) return {};
    return std::string(reinterpret_cast<const char*>(image + offset), 4);
}

}  // namespace

// ---------------------------------------------------------------------------
// Preselection, as the lists show it.

TEST_F(DialogTest, PreselectionLastExactMatchWins)
{
    FakeMidi midi;
    // "ARKO Q9" first, "USB Audio Device" later: the later one wins,
    // whatever the order of the preferred names.
    midi.SetOutDevices({"ARKO Q9", "Other", "usb audio device", "USB Audio Device"});
    // Two equal names: the second is chosen.
    midi.SetInDevices({"USB Audio Device", "Synth", "USB Audio Device"});
    ScopedMidi scoped(midi);
    MainDialog dialog(1);
    dialog.OnInitDialog();
    Pump();
    EXPECT_EQ(Items(Combo(dialog, IDC_MIDI_OUT)),
              (std::vector<std::string>{"ARKO Q9", "Other", "usb audio device", "USB Audio Device"}));
    EXPECT_EQ(Combo(dialog, IDC_MIDI_OUT)->currentIndex(), 3);
    EXPECT_EQ(Combo(dialog, IDC_MIDI_IN)->currentIndex(), 2);
    EXPECT_EQ(dialog.GetListSelection(IDC_MIDI_OUT), 3);
    EXPECT_EQ(dialog.GetListSelection(IDC_MIDI_IN), 2);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("ARKO Q9 System v1.20 Updater"));
}

TEST_F(DialogTest, PreselectionNoMatchLeavesNoSelection)
{
    FakeMidi midi;
    // Case differences and further characters do not match.
    midi.SetOutDevices({"usb audio device", "USB Audio Device2", "ARKO Q9 ", "arko q9"});
    midi.SetInDevices({"USB Audio", "ARKO"});
    ScopedMidi scoped(midi);
    MainDialog dialog(1);
    dialog.OnInitDialog();
    Pump();
    EXPECT_EQ(Combo(dialog, IDC_MIDI_OUT)->count(), 4);
    EXPECT_EQ(Combo(dialog, IDC_MIDI_OUT)->currentIndex(), -1);
    EXPECT_TRUE(Combo(dialog, IDC_MIDI_OUT)->currentText().isEmpty());
    EXPECT_EQ(Combo(dialog, IDC_MIDI_IN)->currentIndex(), -1);
    EXPECT_EQ(dialog.GetListSelection(IDC_MIDI_OUT), -1);
    EXPECT_EQ(dialog.GetListSelection(IDC_MIDI_IN), -1);
}

TEST_F(DialogTest, UserChoiceIsUsedAndRescanRebuildsTheLists)
{
    FakeMidi midi;
    midi.SetOutDevices({"USB Audio Device", "Other"});
    midi.SetInDevices({"USB Audio Device", "Other"});
    midi.ScriptAlways(FakeMidi::Op::OutOpen, platform::MMSYSERR_ALLOCATED);
    ScopedMidi scoped(midi);
    MainDialog dialog(1);
    BoxRecorder boxes;
    boxes.Attach(dialog);
    dialog.OnInitDialog();
    Pump();
    Combo(dialog, IDC_MIDI_OUT)->setCurrentIndex(1);   // the user picks "Other"
    EXPECT_EQ(dialog.GetListSelection(IDC_MIDI_OUT), 1);
    Button(dialog, IDOK)->click();
    int openedId = -2;
    for (const auto& call : midi.Calls()) {
        if (call.op == FakeMidi::Op::OutOpen) openedId = static_cast<int>(call.id);
    }
    EXPECT_EQ(openedId, 1);

    midi.SetOutDevices({"A", "B", "USB Audio Device"});
    Button(dialog, IDC_RESCAN)->click();
    Pump();
    EXPECT_EQ(Items(Combo(dialog, IDC_MIDI_OUT)), (std::vector<std::string>{"A", "B", "USB Audio Device"}));
    EXPECT_EQ(Combo(dialog, IDC_MIDI_OUT)->currentIndex(), 2);   // the choice is made anew
    EXPECT_EQ(dialog.GetListSelection(IDC_MIDI_OUT), 2);
}

// ---------------------------------------------------------------------------
// Error boxes of the dialog itself.

TEST_F(DialogTest, PortErrorBoxes)
{
    FakeMidi midi;   // no devices: -1 goes to the output port, which refuses it
    ScopedMidi scoped(midi);
    MainDialog dialog(1);
    BoxRecorder boxes;
    boxes.Attach(dialog);
    dialog.OnInitDialog();
    Pump();
    Button(dialog, IDOK)->click();
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, "Can't open MIDI Out device. Connect the ARKO Q9, then press Rescan Device.");
    EXPECT_EQ(boxes.Boxes()[0].caption, "Error");
    EXPECT_EQ(boxes.Boxes()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(boxes.Boxes()[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    bool sawMinusOne = false;
    for (const auto& call : midi.Calls()) {
        if (call.op == FakeMidi::Op::OutOpen && call.id == static_cast<platform::UINT>(-1)) sawMinusOne = true;
    }
    EXPECT_TRUE(sawMinusOne);

    midi.SetOutDevices({"ARKO Q9"});
    midi.SetInDevices({"ARKO Q9"});
    midi.ScriptAlways(FakeMidi::Op::InOpen, platform::MMSYSERR_ALLOCATED);
    Button(dialog, IDC_RESCAN)->click();
    Button(dialog, IDC_VERSION_CHECK)->click();
    ASSERT_EQ(boxes.Boxes().size(), 2u);
    EXPECT_EQ(boxes.Boxes()[1].text, "Can't open MIDI In device.\n" + LoadStringById(IDS_GUIDE_CANT_OPEN));
    EXPECT_EQ(boxes.Boxes()[1].caption, "Error");
    EXPECT_EQ(boxes.Boxes()[1].icon, QMessageBox::Critical);
    Pump();
    // Still ready: nothing was started.
    EXPECT_FALSE(dialog.Logic().IsBusy());
    for (int id : {IDOK, IDC_VERSION_CHECK, IDC_RESCAN, IDC_MIDI_IN, IDC_MIDI_OUT}) EXPECT_TRUE(Enabled(dialog, id)) << id;
}

TEST_F(DialogTest, EnterKeyAndIdokStartAnUpdateAndNeverClose)
{
    FakeMidi midi;
    ScopedMidi scoped(midi);
    MainDialog dialog(1);
    BoxRecorder boxes;
    boxes.Attach(dialog);
    dialog.OnInitDialog();
    dialog.show();
    Pump();
    QTest::keyClick(Combo(dialog, IDC_MIDI_IN), Qt::Key_Return);   // focus in a list: the default button
    QTest::keyClick(&dialog, Qt::Key_Enter);
    dialog.accept();                                               // the IDOK command itself
    ASSERT_EQ(boxes.Boxes().size(), 3u);
    for (const auto& box : boxes.Boxes()) {
        EXPECT_EQ(box.text, "Can't open MIDI Out device. Connect the ARKO Q9, then press Rescan Device.");
    }
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.IsClosing());
}

// ---------------------------------------------------------------------------
// Against the virtual ARKO Q9.

TEST_F(DialogTest, UpdateClickedThroughThenRescan)
{
    VirtualSystem virtualDevice;
    ScopedMidi scoped(virtualDevice.system);
    MainDialog dialog(1);
    BoxRecorder boxes;
    boxes.Attach(dialog);
    dialog.OnInitDialog();
    dialog.show();
    Pump();
    EXPECT_EQ(Combo(dialog, IDC_MIDI_OUT)->currentText(), QStringLiteral("ARKO Q9"));
    EXPECT_EQ(Combo(dialog, IDC_MIDI_IN)->currentText(), QStringLiteral("ARKO Q9"));
    EXPECT_EQ(Bar(dialog)->minimum(), 0);
    EXPECT_EQ(Bar(dialog)->maximum(), 100);

    // The title and the status line tell the whole update's percentage while it runs.
    QStringList titles;
    QStringList statusLines;
    QObject::connect(&dialog, &QWidget::windowTitleChanged, [&](const QString& title) { titles << title; });
    QObject::connect(qobject_cast<QLineEdit*>(dialog.Control(IDC_STATUS)), &QLineEdit::textChanged,
                     [&](const QString& text) { statusLines << text; });
    QTest::mouseClick(Button(dialog, IDOK), Qt::LeftButton);
    ASSERT_TRUE(dialog.Logic().IsBusy());
    Pump();
    for (int id : {IDOK, IDC_VERSION_CHECK, IDC_RESCAN, IDC_MIDI_IN, IDC_MIDI_OUT}) EXPECT_FALSE(Enabled(dialog, id)) << id;
    EXPECT_TRUE(Enabled(dialog, IDCANCEL));

    ASSERT_TRUE(PumpUntil([&] { return !dialog.Logic().IsBusy(); }));
    dialog.Logic().WaitForWorker();
    Pump();
    EXPECT_TRUE(boxes.Boxes().empty()) << boxes.Boxes()[0].text;
    EXPECT_EQ(Text(dialog, IDC_STATUS), "Version update completed.");
    EXPECT_EQ(Text(dialog, IDC_COUNTER), "12/12");
    EXPECT_TRUE(titles.contains(QStringLiteral("100% \u2014 ARKO Q9 System v1.20 Updater"))) << titles.join('|').toStdString();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("ARKO Q9 System v1.20 Updater"));
    EXPECT_FALSE(statusLines.filter(QRegularExpression("^Data transmit  \\d+ / \\d+   \\d+%")).isEmpty())
        << statusLines.join('|').toStdString();
    EXPECT_GT(Bar(dialog)->maximum(), 0);
    EXPECT_EQ(Bar(dialog)->value(), Bar(dialog)->maximum());
    EXPECT_FALSE(Enabled(dialog, IDOK));
    EXPECT_FALSE(Enabled(dialog, IDC_VERSION_CHECK));
    EXPECT_TRUE(Enabled(dialog, IDC_MIDI_IN));
    EXPECT_TRUE(Enabled(dialog, IDC_MIDI_OUT));
    EXPECT_TRUE(Enabled(dialog, IDC_RESCAN));
    EXPECT_EQ(virtualDevice.device->Device().Flash(), ExpectedFlashAfterUpdate());

    QTest::mouseClick(Button(dialog, IDC_RESCAN), Qt::LeftButton);
    Pump();
    EXPECT_TRUE(Enabled(dialog, IDOK));
    EXPECT_TRUE(Enabled(dialog, IDC_VERSION_CHECK));
    EXPECT_EQ(Combo(dialog, IDC_MIDI_OUT)->currentIndex(), 0);
    EXPECT_EQ(Combo(dialog, IDC_MIDI_IN)->currentIndex(), 0);
}

TEST_F(DialogTest, VersionCheckShowsTheReport)
{
    VirtualSystem virtualDevice;   // factory flash: SYSTEM and SUBMCU older than the images
    ScopedMidi scoped(virtualDevice.system);
    MainDialog dialog(1);
    BoxRecorder boxes;
    boxes.Attach(dialog);
    dialog.OnInitDialog();
    Pump();
    QTest::mouseClick(Button(dialog, IDC_VERSION_CHECK), Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Boxes().empty() && !dialog.Logic().IsBusy(); }));
    Pump();

    const std::vector<std::uint8_t> flash = FactoryFlash();
    const std::string expected = "SYSTEM:\t\t" + VersionAt(flash, 0x170FE0) + " -> " + ImageVersion(139, 0xFE0) +
                                 "\nPRESET:\t\t" + VersionAt(flash, 0x065FFC) +
                                 "\nBOOT:\t\t" + VersionAt(flash, 0x04AFFC) +
                                 "\nSUBMCU:\t\t" + VersionAt(flash, 0x1CBFE0) + " -> " + ImageVersion(147, 0x4FE0);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, "Version Information");
    EXPECT_EQ(boxes.Boxes()[0].icon, QMessageBox::Information);
    EXPECT_EQ(boxes.Boxes()[0].text, expected);
    for (int id : {IDOK, IDC_VERSION_CHECK, IDC_RESCAN, IDC_MIDI_IN, IDC_MIDI_OUT}) EXPECT_TRUE(Enabled(dialog, id)) << id;
}

TEST_F(DialogTest, InProgressThenClosingWhileTheWorkerWaits)
{
    ScopedTimings longWaits(q9qttest::ShortTimings(60000));   // the worker is still waiting when the dialog closes
    VirtualSystem virtualDevice("silent");
    ScopedMidi scoped(virtualDevice.system);
    BoxRecorder boxes;
    {
        MainDialog dialog(1);
        boxes.Attach(dialog);
        dialog.OnInitDialog();
        dialog.show();
        Pump();
        QTest::mouseClick(Button(dialog, IDC_VERSION_CHECK), Qt::LeftButton);
        ASSERT_TRUE(dialog.Logic().IsBusy());
        dialog.accept();   // the IDOK command while busy
        ASSERT_EQ(boxes.Boxes().size(), 1u);
        EXPECT_EQ(boxes.Boxes()[0].text, "In Progress.");
        EXPECT_EQ(boxes.Boxes()[0].caption, "Error");
        EXPECT_EQ(boxes.Boxes()[0].icon, QMessageBox::Critical);
        EXPECT_TRUE(dialog.Logic().IsBusy());

        QTest::mouseClick(Button(dialog, IDCANCEL), Qt::LeftButton);   // "Exit" at once
        EXPECT_TRUE(dialog.IsClosing());
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
        Pump();
    }   // the worker is woken and waited for here
    EXPECT_EQ(boxes.Boxes().size(), 1u);
}

TEST_F(DialogTest, EscapeAndCloseBoxEndAnUpdateQuietly)
{
    ScopedTimings longWaits(q9qttest::ShortTimings(60000));
    VirtualSystem virtualDevice("silent");
    ScopedMidi scoped(virtualDevice.system);
    for (const bool escape : {true, false}) {
        SCOPED_TRACE(escape ? "Escape" : "close box");
        BoxRecorder boxes;
        auto dialog = std::make_unique<MainDialog>(1);
        boxes.Attach(*dialog);
        dialog->OnInitDialog();
        dialog->show();
        Pump();
        QTest::mouseClick(Button(*dialog, IDOK), Qt::LeftButton);
        ASSERT_TRUE(dialog->Logic().IsBusy());
        if (escape) {
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
        } else {
            dialog->close();
        }
        EXPECT_TRUE(dialog->IsClosing());
        EXPECT_FALSE(dialog->isVisible());
        dialog->Logic().WaitForWorker();   // ends without waiting out its time-out
        Pump();
        dialog.reset();
        EXPECT_TRUE(boxes.Boxes().empty());
    }
}

// A worker's box is a real modal box: the worker waits for it, the dialog
// goes on processing events meanwhile, and OK lets the worker finish.
TEST_F(DialogTest, WorkerBoxBlocksTheWorkerOnly)
{
    VirtualSystem virtualDevice("update-mode=off");
    ScopedMidi scoped(virtualDevice.system);
    MainDialog dialog(1);
    dialog.OnInitDialog();
    dialog.show();
    Pump();

    int stage = 0;
    std::string boxText, boxCaption;
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    bool busyWhileShown = false, rescanWhileShown = true, postedRan = false;
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        if (stage == 0) {
            boxText = box->text().toStdString();
            boxCaption = box->windowTitle().toStdString();
            boxIcon = box->icon();
            busyWhileShown = dialog.Logic().IsBusy();
            rescanWhileShown = Enabled(dialog, IDC_RESCAN);
            dialog.PostToUiThread([&] { postedRan = true; });
            stage = 1;
        } else if (stage == 1 && postedRan) {   // the dialog still handles its events
            box->button(QMessageBox::Ok)->click();
            stage = 2;
        }
    });
    watcher.start();
    QTest::mouseClick(Button(dialog, IDOK), Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return stage == 2 && !dialog.Logic().IsBusy(); }));
    dialog.Logic().WaitForWorker();
    Pump();
    watcher.stop();
    EXPECT_EQ(boxText, "Please use the firmware update mode.\n" + LoadStringById(IDS_GUIDE_UPDATE_MODE));
    EXPECT_EQ(boxCaption, "Error");
    EXPECT_EQ(boxIcon, QMessageBox::Critical);
    EXPECT_TRUE(busyWhileShown);      // the worker had not gone on
    EXPECT_FALSE(rescanWhileShown);
    for (int id : {IDOK, IDC_VERSION_CHECK, IDC_RESCAN, IDC_MIDI_IN, IDC_MIDI_OUT}) EXPECT_TRUE(Enabled(dialog, id)) << id;
}

TEST_F(DialogTest, ClosingWhileAWorkerBoxIsOpenReleasesTheWorker)
{
    VirtualSystem virtualDevice("update-mode=off");
    ScopedMidi scoped(virtualDevice.system);
    auto dialog = std::make_unique<MainDialog>(1);
    dialog->OnInitDialog();
    dialog->show();
    Pump();
    bool closedFromBox = false;
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (!closedFromBox && qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr) {
            closedFromBox = true;
            dialog->reject();
        }
    });
    watcher.start();
    QTest::mouseClick(Button(*dialog, IDOK), Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return closedFromBox && QApplication::activeModalWidget() == nullptr; }));
    watcher.stop();
    EXPECT_FALSE(dialog->isVisible());
    dialog->Logic().WaitForWorker();
    dialog.reset();
}

// ---------------------------------------------------------------------------
// The about item.

TEST_F(DialogTest, AboutItemOpensTheAboutBox)
{
    FakeMidi midi;
    ScopedMidi scoped(midi);
    MainDialog dialog(3);
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_NE(dialog.AboutAction(), nullptr);
    EXPECT_EQ(dialog.AboutAction()->text(), QStringLiteral("&About ARKO Q9 Updater..."));
    EXPECT_EQ(dialog.AboutAction()->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_TRUE(dialog.actions().contains(dialog.AboutAction()));
    EXPECT_EQ(dialog.contextMenuPolicy(), Qt::ActionsContextMenu);
    EXPECT_FALSE(dialog.windowIcon().isNull());

    QString title, caption;
    bool readOnly = false;
    QTimer::singleShot(0, [&] {
        auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(about, nullptr);
        caption = about->windowTitle();
        title = about->titleEdit->text();
        readOnly = about->titleEdit->isReadOnly();
        qobject_cast<QPushButton*>(about->Control(IDOK))->click();
    });
    dialog.AboutAction()->trigger();   // runs the box modally until OK
    EXPECT_EQ(caption, QStringLiteral("About ARKO Q9 Updater"));
    EXPECT_EQ(title, QStringLiteral("ARKO Q9 System v1.20 Updater"));   // no instance number
    EXPECT_TRUE(readOnly);
    EXPECT_TRUE(dialog.isVisible());
}

// ---------------------------------------------------------------------------
// Calls from other threads.

TEST_F(DialogTest, CallsFromAWorkerAreQueuedAndDroppedOnceClosed)
{
    FakeMidi midi;
    ScopedMidi scoped(midi);
    MainDialog dialog(1);
    dialog.OnInitDialog();
    Pump();
    int countSeenByWorker = -1;
    std::thread worker([&] {
        // None of these waits for the user-interface thread, which is blocked in join().
        dialog.SetControlText(IDC_STATUS, "Erasing Flash memory.");
        dialog.EnableControl(IDC_RESCAN, false);
        dialog.ResetList(IDC_MIDI_OUT);
        dialog.AddListItem(IDC_MIDI_OUT, "One");
        dialog.AddListItem(IDC_MIDI_OUT, "Two");
        dialog.SetListSelection(IDC_MIDI_OUT, 1);
        dialog.SetProgressRange(IDC_PROGRESS, 0, 4096);
        dialog.SetProgressPos(IDC_PROGRESS, 1024);
        countSeenByWorker = dialog.GetListCount(IDC_MIDI_OUT);
    });
    worker.join();
    EXPECT_EQ(countSeenByWorker, 2);
    // Not yet (queued): the note of an empty list from the start.
    EXPECT_EQ(Text(dialog, IDC_STATUS), "No device. Connect the ARKO Q9, then press Rescan Device.");
    Pump();
    EXPECT_EQ(Text(dialog, IDC_STATUS), "Erasing Flash memory.");
    EXPECT_FALSE(Enabled(dialog, IDC_RESCAN));
    EXPECT_EQ(Items(Combo(dialog, IDC_MIDI_OUT)), (std::vector<std::string>{"One", "Two"}));
    EXPECT_EQ(Combo(dialog, IDC_MIDI_OUT)->currentIndex(), 1);
    EXPECT_EQ(Bar(dialog)->maximum(), 4096);
    EXPECT_EQ(Bar(dialog)->value(), 1024);

    dialog.reject();
    bool ran = false;
    std::thread late([&] {
        dialog.SetControlText(IDC_STATUS, "late");
        dialog.PostToUiThread([&] { ran = true; });
        EXPECT_EQ(dialog.MessageBox("late", "Error", MB_OK | MB_ICONHAND), IDOK);   // at once, no box
    });
    late.join();
    Pump();
    EXPECT_FALSE(ran);
    EXPECT_EQ(Text(dialog, IDC_STATUS), "Erasing Flash memory.");
}

TEST_F(DialogTest, ProgressBarKeepsItsPositionInRange)
{
    FakeMidi midi;
    ScopedMidi scoped(midi);
    MainDialog dialog(1);
    dialog.SetProgressRange(IDC_PROGRESS, 0, 100);
    dialog.SetProgressPos(IDC_PROGRESS, 150);
    EXPECT_EQ(Bar(dialog)->value(), 100);
    dialog.SetProgressRange(IDC_PROGRESS, 0, 50);
    EXPECT_EQ(Bar(dialog)->value(), 50);
    dialog.SetProgressPos(IDC_PROGRESS, -3);
    EXPECT_EQ(Bar(dialog)->value(), 0);
    dialog.SetProgressRange(IDC_PROGRESS, 0, 0);   // empty: an empty bar, not a busy indicator
    EXPECT_GT(Bar(dialog)->maximum(), Bar(dialog)->minimum());
    EXPECT_EQ(Bar(dialog)->value(), 0);
}
