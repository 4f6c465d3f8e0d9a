// The instance rule with real processes sharing one lock folder: numbers 1
// to 20, the refusal of the 21st, reuse of a freed number, and what the
// second instance preselects.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kBoundMs = 30000;   // only keeps a broken build from hanging

class Probe {
public:
    Probe(const QString& lockFolder, const QStringList& arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), lockFolder);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(Q9_INSTANCE_PROBE), arguments);
        EXPECT_TRUE(process.waitForStarted(kBoundMs));
    }
    ~Probe()
    {
        if (process.state() != QProcess::NotRunning) {
            process.closeWriteChannel();
            if (!process.waitForFinished(kBoundMs)) process.kill();
            process.waitForFinished(kBoundMs);
        }
    }

    // The next line it prints, without the line end ("" at its end).
    std::string Line()
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (!process.canReadLine()) {
            if (std::chrono::steady_clock::now() > end) return {};
            if (!process.waitForReadyRead(100) && process.state() == QProcess::NotRunning && !process.canReadLine()) {
                return {};
            }
        }
        return process.readLine().trimmed().toStdString();
    }

    // Ends its input: a holder lets its number go, a dialog closes.
    int Finish()
    {
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(kBoundMs));
        return process.exitCode();
    }

private:
    QProcess process;
};

const QStringList kPortNames = {QStringLiteral("app"), QStringLiteral("USB Audio Device"),
                                QStringLiteral("USB Audio Device (2)")};

}  // namespace

TEST(InstanceRule, TwentyNumbersRefusalReuseAndPreselection)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString locks = folder.path();

    // The first two run the dialog: plain title and plain names for number
    // 1, " (2)" on both for number 2.
    auto first = std::make_unique<Probe>(locks, kPortNames);
    EXPECT_EQ(first->Line(), "DIALOG instance=1 in=USB Audio Device out=USB Audio Device title=ARKO Q9 System v1.20 Updater");
    auto second = std::make_unique<Probe>(locks, kPortNames);
    EXPECT_EQ(second->Line(),
              "DIALOG instance=2 in=USB Audio Device (2) out=USB Audio Device (2) title=ARKO Q9 System v1.20 Updater (2)");

    std::vector<std::unique_ptr<Probe>> holders;
    for (int n = 3; n <= 20; ++n) {
        holders.push_back(std::make_unique<Probe>(locks, QStringList{QStringLiteral("hold")}));
        EXPECT_EQ(holders.back()->Line(), "HOLD " + std::to_string(n));
    }

    {
        Probe refused(locks, kPortNames);
        EXPECT_EQ(refused.Line(), "BOX q9-updater|It is forbidden to launch more than 20 instance of this application.|exclamation");
        EXPECT_EQ(refused.Line(), "EXIT rc=3 instance=0 held=0");   // no dialog, nothing held
        EXPECT_EQ(refused.Finish(), 3);
    }

    // A freed number is the first free one again.
    EXPECT_EQ(holders[7 - 3]->Finish(), 0);
    {
        Probe seventh(locks, kPortNames);
        // Neither name carries " (7)": nothing is preselected.
        EXPECT_EQ(seventh.Line(), "DIALOG instance=7 in= out= title=ARKO Q9 System v1.20 Updater (7)");
        EXPECT_EQ(seventh.Finish(), 0);
        EXPECT_EQ(seventh.Line(), "EXIT rc=0 instance=7 held=1");
    }

    EXPECT_EQ(first->Finish(), 0);
    EXPECT_EQ(first->Line(), "EXIT rc=0 instance=1 held=1");
    Probe again(locks, QStringList{QStringLiteral("hold")});
    EXPECT_EQ(again.Line(), "HOLD 1");
}
