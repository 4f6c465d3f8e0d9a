// One session on the Qt dialog against the virtual ARKO Q9, keys and clicks
// as a user gives them: Return during an update (also with the focus on
// "Exit") changes nothing; Escape and the close box during an update ask
// first, and Continue, or the question left open until the update ends
// (it then closes itself), lets the update complete exactly; Return after a
// version check starts an update instead of closing; Stop ends an update,
// and the status line and the version report then say that the device
// needs the update run again; with nothing running, Escape closes at once.
#include "app/pel_updator_dlg.h"
#include "app/qt/main_dialog.h"
#include "platform/midi_system.h"
#include "resources/string_table.h"
#include "tests/qt/qt_test_support.h"
#include "tests/support/fake_midi.h"
#include "virtual_device/virtual_midi.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <memory>
#include <string>

using q9qttest::BoxRecorder;
using q9qttest::Pump;
using q9qttest::PumpUntil;
using q9test::ScopedMidi;

namespace {

std::string Status(MainDialog& d) { return qobject_cast<QLineEdit*>(d.Control(IDC_STATUS))->text().toStdString(); }
std::string NextStep(MainDialog& d) { return qobject_cast<QLabel*>(d.Control(IDC_NEXT_STEP))->text().toStdString(); }
QPushButton* Button(MainDialog& d, int id) { return qobject_cast<QPushButton*>(d.Control(id)); }
// Where the window's keyboard focus is (the window itself when nowhere).
QWidget* Focused(MainDialog& d) { return d.focusWidget() != nullptr ? d.focusWidget() : &d; }

// Answers the next question box once it is open: Return (its default), or
// a click on the button of that text.  Records the box's text.
class Answer {
public:
    explicit Answer(const QString& button = {})
    {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this, button] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            timer.stop();
            text = box->text().toStdString();
            for (QAbstractButton* b : box->buttons()) buttons += b->text().toStdString() + "|";
            defaultButton = box->defaultButton() != nullptr ? box->defaultButton()->text().toStdString() : "";
            if (button.isEmpty()) {
                QTest::keyClick(box, Qt::Key_Return);
                return;
            }
            for (QAbstractButton* b : box->buttons()) {
                if (b->text() == button) QTest::mouseClick(b, Qt::LeftButton);
            }
        });
        timer.start();
    }
    std::string text, buttons, defaultButton;

private:
    QTimer timer;
};

}  // namespace

TEST(GuardSession, ReturnEscapeAndTheCloseBoxDuringAnUpdate)
{
    ScopedTimings timings(q9qttest::ShortTimings());
    std::string error;
    std::unique_ptr<VirtualMidi> made = MakeVirtualMidi("erase-ms=1,write-ms=3", error);
    ASSERT_TRUE(made) << error;
    VirtualMidi* device = made.get();
    platform::MidiSystem system;
    system.Add(std::move(made));
    ScopedMidi scoped(system);

    MainDialog dialog(1);
    BoxRecorder boxes;   // error and report boxes; the question is a real box
    boxes.Attach(dialog);
    dialog.OnInitDialog();
    dialog.show();
    Pump();
    const std::string question = LoadStringById(IDS_STOP_QUESTION);
    const std::string runAgain = LoadStringById(IDS_RUN_UPDATE_AGAIN);
    // The update writes the flash.
    const auto started = [&] { return PumpUntil([&] { return Status(dialog).rfind("Data transmit", 0) == 0; }); };

    // Return starts the update; five more, wherever the focus is, change nothing.
    QTest::keyClick(&dialog, Qt::Key_Return);
    ASSERT_TRUE(dialog.Logic().IsBusy());
    ASSERT_TRUE(started());
    Pump();
    EXPECT_NE(dialog.windowTitle().toStdString().find("% \xE2\x80\x94 ARKO Q9"), std::string::npos)
        << dialog.windowTitle().toStdString();
    EXPECT_EQ(Focused(dialog), dialog.Control(IDC_STATUS));
    for (int i = 0; i < 4; ++i) QTest::keyClick(Focused(dialog), Qt::Key_Return);
    Button(dialog, IDCANCEL)->setFocus();
    QTest::keyClick(Button(dialog, IDCANCEL), Qt::Key_Return);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(boxes.Boxes().empty());

    // Escape, then the close box: the question, answered Continue (Return, then Escape).
    {
        Answer answer;
        QTest::keyClick(&dialog, Qt::Key_Escape);
        EXPECT_EQ(answer.text, question);
        EXPECT_TRUE(answer.buttons == "Stop|Continue|" || answer.buttons == "Continue|Stop|") << answer.buttons;
        EXPECT_EQ(answer.defaultButton, "Continue");
    }
    // The close box: the question, left open, closes itself as the update completes.
    {
        Answer answer(QStringLiteral("(left open)"));
        dialog.close();
        EXPECT_EQ(answer.text, question);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
    EXPECT_TRUE(dialog.isVisible());
    ASSERT_TRUE(PumpUntil([&] { return !dialog.Logic().IsBusy(); }));
    dialog.Logic().WaitForWorker();
    Pump();
    EXPECT_EQ(Status(dialog), LoadStringById(IDS_COMPLETED));
    EXPECT_EQ(NextStep(dialog), "On the device now: SYSTEM 1.20, PRESET 1.00, BOOT 1.00, SUBMCU 1.02.\n" +
                                    LoadStringById(IDS_RESCAN_AFTER_UPDATE));
    EXPECT_EQ(dialog.windowTitle().toStdString(), ApplicationTitle(1));
    EXPECT_TRUE(device->Device().Flash() == ExpectedFlashAfterUpdate());
    EXPECT_TRUE(boxes.Boxes().empty());

    // A version check, then Return: an update again, the dialog stays.
    QTest::mouseClick(Button(dialog, IDC_RESCAN), Qt::LeftButton);
    EXPECT_EQ(NextStep(dialog), "");
    QTest::mouseClick(Button(dialog, IDC_VERSION_CHECK), Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return !dialog.Logic().IsBusy() && boxes.Boxes().size() == 1; }));
    Pump();
    QTest::keyClick(Focused(dialog), Qt::Key_Return);
    EXPECT_TRUE(dialog.isVisible());
    ASSERT_TRUE(dialog.Logic().IsBusy());

    // Escape, then the close box, each answered Stop: the update ends, the dialog stays and says so.
    for (const bool escape : {true, false}) {
        SCOPED_TRACE(escape ? "Escape" : "close box");
        if (!escape) QTest::keyClick(&dialog, Qt::Key_Return);
        ASSERT_TRUE(started());
        Answer answer(QStringLiteral("Stop"));
        if (escape) {
            QTest::keyClick(&dialog, Qt::Key_Escape);
        } else {
            dialog.close();
        }
        EXPECT_EQ(answer.text, question);
        ASSERT_TRUE(PumpUntil([&] { return !dialog.Logic().IsBusy(); }));
        Pump();
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(Status(dialog), runAgain);
        EXPECT_EQ(NextStep(dialog), runAgain);
        EXPECT_TRUE(Button(dialog, IDOK)->isEnabled());
        EXPECT_EQ(boxes.Boxes().size(), 1u);   // no box of the stopped worker
    }
    EXPECT_FALSE(device->Device().Flash() == ExpectedFlashAfterUpdate());

    // The version report marks the erased field; the status line keeps the note.
    QTest::mouseClick(Button(dialog, IDC_VERSION_CHECK), Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return !dialog.Logic().IsBusy() && boxes.Boxes().size() == 2; }));
    Pump();
    EXPECT_EQ(boxes.Boxes()[1].text.rfind("SYSTEM:\t\t*.** (incomplete firmware) -> 1.20\n", 0), 0u) << boxes.Boxes()[1].text;
    EXPECT_EQ(Status(dialog), runAgain);

    // Nothing runs: Escape closes at once.
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
}

TEST(GuardSession, NoDeviceSaysWhatToDo)
{
    q9test::FakeMidi midi;   // no devices
    ScopedMidi scoped(midi);
    MainDialog dialog(1);
    BoxRecorder boxes;
    boxes.Attach(dialog);
    dialog.OnInitDialog();
    dialog.show();
    Pump();
    EXPECT_EQ(Status(dialog), "No device. Connect the ARKO Q9, then press Rescan Device.");
    QTest::keyClick(&dialog, Qt::Key_Return);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, "Can't open MIDI Out device. Connect the ARKO Q9, then press Rescan Device.");
    EXPECT_TRUE(dialog.isVisible());
}
