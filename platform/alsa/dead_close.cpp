// Closing raw MIDI devices whose card has gone (see dead_close.h).
#include "platform/alsa/dead_close.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// How long AwaitClosesUnderWay waits at most for the threads to get into
// their close.
constexpr int kCloserStartLimitMs = 5000;

struct Closer {
    std::atomic<long> tid{0};   // 0 until the thread runs
    std::atomic<bool> done{false};
};
std::mutex closersMutex;
std::vector<std::shared_ptr<Closer>> closers;   // closersMutex

// True once the thread has closed its device, or is blocked in close (or
// has gone); false while it has not got there.
bool CloseUnderWay(const Closer& closer)
{
    if (closer.done.load()) return true;
    const long tid = closer.tid.load();
    if (tid == 0) return false;
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string call;
    if (!(file >> call)) return true;   // the thread has ended
    return call == std::to_string(SYS_close);
}

}  // namespace

void LetGo(snd_rawmidi_t* rawmidi)
{
    auto closer = std::make_shared<Closer>();
    try {
        std::thread([rawmidi, closer] {
            closer->tid.store(syscall(SYS_gettid));
            snd_rawmidi_close(rawmidi);
            closer->done.store(true);
        }).detach();
    } catch (const std::system_error&) {
        return;   // no thread: the file stays open until the process ends
    }
    std::lock_guard<std::mutex> lock(closersMutex);
    closers.push_back(std::move(closer));
}

// Every dead device's close under way, so that the exit interrupts it;
// bounded, in case a thread is held elsewhere.
void AwaitClosesUnderWay()
{
    std::vector<std::shared_ptr<Closer>> pending;
    {
        std::lock_guard<std::mutex> lock(closersMutex);
        pending.swap(closers);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kCloserStartLimitMs);
    for (const std::shared_ptr<Closer>& closer : pending) {
        while (!CloseUnderWay(*closer) && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

}  // namespace platform
