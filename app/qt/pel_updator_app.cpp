#include "app/qt/pel_updator_app.h"

#include "app/instance.h"
#include "app/pel_updator_dlg.h"
#include "platform/midi_system.h"
#include "virtual_device/virtual_midi.h"

#if __has_include("platform/system_midi.h")
#include "platform/system_midi.h"
#define Q9_HAVE_SYSTEM_MIDI 1
#endif

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

#include "q9_version.h"

CPelUpdatorApp theApp;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;

void PrintError(const QString& text)
{
    std::fprintf(stderr, "%s: %s\n", kApplicationName, text.toLocal8Bit().constData());
}

}  // namespace

bool ParseAppOptions(const QStringList& arguments, AppOptions& options, QString& error)
{
    const QString virtualOption = QStringLiteral("--virtual-device");
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            options.help = true;
        } else if (argument == QLatin1String("--version")) {
            options.version = true;
        } else if (argument == virtualOption) {
            options.virtualDevice = true;
            options.virtualSettings.clear();
        } else if (argument.startsWith(virtualOption + QLatin1Char('='))) {
            options.virtualDevice = true;
            options.virtualSettings = argument.mid(virtualOption.size() + 1).toStdString();
        } else {
            error = QStringLiteral("unknown option '%1'").arg(argument);
            return false;
        }
    }
    return true;
}

QString UsageText()
{
    return QStringLiteral(
        "Usage: q9-updater [--virtual-device[=SETTINGS]]\n"
        "Updates the firmware of an ARKO Q9 over MIDI.\n"
        "\n"
        "  --virtual-device[=SETTINGS]  also list a virtual ARKO Q9 (\"ARKO Q9\", in window\n"
        "                               N \"ARKO Q9 (N)\"); SETTINGS as for q9-updater-cli,\n"
        "                               e.g. link=131072,erase-ms=2,write-ms=1\n"
        "  --version                    show the program's version\n"
        "  -h, --help                   show this text\n");
}

int CPelUpdatorApp::Run(int argc, char** argv)
{
    // Help and the virtual device's settings need no display: read them
    // first.  Options the toolkit does not take are refused once it has.
    {
        AppOptions early;
        QString ignored;
        QStringList arguments;
        for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
        arguments.removeIf([](const QString& a) {
            return a != QLatin1String("-h") && a != QLatin1String("--help") && a != QLatin1String("--version") &&
                   !a.startsWith(QLatin1String("--virtual-device"));
        });
        ParseAppOptions(arguments, early, ignored);
        if (early.help) {
            std::fputs(UsageText().toLocal8Bit().constData(), stdout);
            return 0;
        }
        if (early.version) {
            std::printf("%s %s\n", kApplicationName, Q9_VERSION);
            return 0;
        }
        VirtualDeviceSettings settings;
        std::string settingsError;
        if (early.virtualDevice && !ParseVirtualDeviceSettings(early.virtualSettings, settings, settingsError)) {
            PrintError(QStringLiteral("--virtual-device: %1").arg(QString::fromStdString(settingsError)));
            return kExitUsage;
        }
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    QApplication::setApplicationVersion(QStringLiteral(Q9_VERSION));
    QApplication::setDesktopFileName(QString::fromLatin1(kApplicationName));
    QApplication::setWindowIcon(ApplicationIcon());

    AppOptions options;
    QString error;
    if (!ParseAppOptions(QApplication::arguments().mid(1), options, error)) {
        PrintError(error);
        std::fputs(UsageText().toLocal8Bit().constData(), stderr);
        return kExitUsage;
    }

    platform::MidiSystem midi;
#ifdef Q9_HAVE_SYSTEM_MIDI
    AddSystemBackends(midi);
#endif
    if (addBackends) addBackends(midi);
    if (options.virtualDevice) {
        std::string settingsError;
        std::unique_ptr<VirtualMidi> device = MakeVirtualMidi(options.virtualSettings, settingsError);
        if (!device) {
            PrintError(QStringLiteral("--virtual-device: %1").arg(QString::fromStdString(settingsError)));
            return kExitUsage;
        }
        builtIn = device.get();
        midi.Add(std::move(device));
    }
    platform::MidiApi* previous = platform::InstallMidi(&midi);
    InitInstance();
    platform::InstallMidi(previous);
    return refused ? kExitRefused : 0;
}

bool CPelUpdatorApp::InitInstance()
{
    instanceNumber = ReserveInstanceNumber(instanceMutex);
    if (instanceNumber == 0) {
        refused = true;
        // The application's name as caption; no icon asked for, so the
        // exclamation icon.
        QMessageBox box;
        PrepareMessageBox(box, InstanceRefusalText(), kApplicationName, MB_OK | MB_ICONEXCLAMATION);
        if (!messageBoxHook || !messageBoxHook(box)) box.exec();
        return false;
    }
    // The built-in device is named as this window's own device would be, so that it is preselected.
    if (builtIn != nullptr) builtIn->SetDeviceName(OwnDeviceName(instanceNumber));

    MainDialog dialog(instanceNumber);
    dialog.SetMessageBoxHook(messageBoxHook);
    if (dialogShown) QTimer::singleShot(0, &dialog, [this, &dialog] { dialogShown(dialog); });
    dialog.DoModal();
    return false;
}
