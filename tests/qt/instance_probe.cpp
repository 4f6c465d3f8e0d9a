// The updater with hooks that report what it shows, for tests that start
// real processes.  One line per event on stdout:
//
//   q9_instance_probe hold
//       takes an instance number as the updater does, prints "HOLD n",
//       keeps it until stdin ends.
//   q9_instance_probe app [PORT NAME...]
//       runs the updater with a MIDI layer listing those names as inputs and
//       outputs; prints "DIALOG instance=N in=NAME out=NAME title=TITLE" once
//       the dialog runs (and closes it when stdin ends), "BOX
//       caption|text|icon" for every message box (answered at once), and
//       "EXIT rc=N instance=N held=0|1" at the end.
#include "app/instance.h"
#include "app/qt/pel_updator_app.h"
#include "platform/midi_system.h"
#include "tests/support/fake_midi.h"

#include <QComboBox>
#include <QMessageBox>
#include <QSocketNotifier>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* IconName(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Critical: return "stop";
    case QMessageBox::Warning: return "exclamation";
    case QMessageBox::Information: return "information";
    case QMessageBox::Question: return "question";
    default: return "none";
    }
}

void WaitForEndOfInput()
{
    char buffer[64];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
}

std::string Selected(MainDialog& dialog, int id)
{
    auto* combo = qobject_cast<QComboBox*>(dialog.Control(id));
    return combo != nullptr ? combo->currentText().toStdString() : std::string();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "hold") == 0) {
        platform::NamedLock lock;
        std::printf("HOLD %d\n", ReserveInstanceNumber(lock));
        std::fflush(stdout);
        WaitForEndOfInput();
        return 0;
    }
    if (argc < 2 || std::strcmp(argv[1], "app") != 0) {
        std::fprintf(stderr, "usage: q9_instance_probe hold | app [PORT NAME...]\n");
        return 2;
    }

    const std::vector<std::string> names(argv + 2, argv + argc);
    theApp.addBackends = [&names](platform::MidiSystem& system) {
        auto midi = std::make_unique<q9test::FakeMidi>();
        midi->SetInDevices(names);
        midi->SetOutDevices(names);
        system.Add(std::move(midi));
    };
    theApp.messageBoxHook = [](QMessageBox& box) {
        std::printf("BOX %s|%s|%s\n", box.windowTitle().toUtf8().constData(), box.text().toUtf8().constData(),
                    IconName(box.icon()));
        std::fflush(stdout);
        return true;
    };
    theApp.dialogShown = [](MainDialog& dialog) {
        std::printf("DIALOG instance=%d in=%s out=%s title=%s\n", theApp.GetInstanceNumber(),
                    Selected(dialog, IDC_MIDI_IN).c_str(), Selected(dialog, IDC_MIDI_OUT).c_str(),
                    dialog.windowTitle().toUtf8().constData());
        std::fflush(stdout);
        auto* input = new QSocketNotifier(0, QSocketNotifier::Read, &dialog);
        QObject::connect(input, &QSocketNotifier::activated, &dialog, [input, &dialog] {
            char buffer[64];
            if (read(0, buffer, sizeof buffer) <= 0) {
                input->setEnabled(false);
                dialog.reject();
            }
        });
    };
    char* appArgv[] = {argv[0], nullptr};
    const int rc = theApp.Run(1, appArgv);
    std::printf("EXIT rc=%d instance=%d held=%d\n", rc, theApp.GetInstanceNumber(), theApp.HoldsInstance() ? 1 : 0);
    std::fflush(stdout);
    return rc;
}
