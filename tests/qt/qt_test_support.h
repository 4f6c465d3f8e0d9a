// Helpers of the Qt tests: pumping the event loop until a condition holds,
// recording the message boxes a dialog shows, short protocol waits.
#pragma once

#include "app/qt/main_dialog.h"
#include "update/timings.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace q9qttest {

// Runs the event loop until `done` holds.  The bound only keeps a broken
// build from hanging; nothing is expected to take that long.
inline bool PumpUntil(const std::function<bool()>& done, int boundMs = 60000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// Lets queued calls arrive: runs the event loop a few times.
inline void Pump()
{
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

struct SeenBox {
    std::string text;
    std::string caption;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

inline SeenBox Describe(const QMessageBox& box)
{
    return {box.text().toStdString(), box.windowTitle().toStdString(), box.icon(), box.standardButtons()};
}

// Records every box a dialog shows and answers it at once (on the
// user-interface thread, where the boxes are shown).
class BoxRecorder {
public:
    void Attach(MainDialog& dialog)
    {
        dialog.SetMessageBoxHook([this](QMessageBox& box) {
            boxes.push_back(Describe(box));
            return true;
        });
    }
    const std::vector<SeenBox>& Boxes() const { return boxes; }

private:
    std::vector<SeenBox> boxes;
};

// Waits short enough that a test never sits out a real time-out.
inline ProtocolTimings ShortTimings(std::uint32_t replyMs = 5000)
{
    ProtocolTimings t;
    t.identityMs = replyMs;
    t.beginUpdateMs = replyMs;
    t.pauseAfterBeginMs = 1;
    t.bootStampMs = replyMs;
    t.eraseMs = replyMs;
    t.writeBlockMs = replyMs;
    t.retryPauseMs = 1;
    t.endUpdateMs = replyMs;
    t.readMs = replyMs;
    return t;
}

}  // namespace q9qttest
