// The ALSA raw MIDI backend itself against the stand-in for the kernel's
// sound devices: run by alsa_e2e_test.sh inside its namespace, with the
// stand-in's command FIFO in Q9_ALSA_STANDIN_CONTROL; skipped elsewhere.
#include <gtest/gtest.h>

#if defined(Q9_HAVE_ALSA)
#include "platform/alsa/rawmidi.h"
#include "platform/sysex_assembler.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

const char* Control() { return std::getenv("Q9_ALSA_STANDIN_CONTROL"); }

bool AnyCard()
{
    for (const auto& entry : std::filesystem::directory_iterator("/dev/snd")) {
        if (entry.path().filename().string().rfind("controlC", 0) == 0) return true;
    }
    return false;
}

// Sends a command to the stand-in and waits until it has acted on it: an
// unplugged card leaves /dev/snd, a plugged one comes back (however slow a
// sanitizer build makes the stand-in).
void Command(const std::string& line)
{
    std::ofstream(Control()) << line << "\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto until = Clock::now() + std::chrono::seconds(20);
    const auto done = [&line] {
        if (line.rfind("unplug ", 0) == 0) return !std::filesystem::exists("/dev/snd/controlC" + line.substr(7));
        if (line.rfind("plug", 0) == 0) return AnyCard();
        return true;
    };
    while (!done() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::atomic<int> closes{0};
void Callback(HMIDIIN, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (msg == MIM_CLOSE) ++closes;
}

// A 4,700-byte SysEx message, the size of a firmware block.
std::vector<char> Block()
{
    std::vector<char> bytes(4700, 0x11);
    bytes.front() = static_cast<char>(0xF0);
    bytes.back() = static_cast<char>(0xF7);
    return bytes;
}

struct Fault {
    const char* name;
    const char* fault;   // stand-in command while the send is stalled; "" = close the port, "reset" = reset it
    bool inputLost;      // the input side hears of it (MIM_CLOSE)
};

}  // namespace

// A send stalled by the device ends at once on a close, a reset or an
// unplug, and the device opens again at once (nothing left for the close to
// drain); after a reset it stays open and sends again.
TEST(AlsaMidiStandIn, AStalledSendEndsAtOnce)
{
    if (Control() == nullptr) GTEST_SKIP() << "runs inside alsa_e2e_test.sh";
    const Fault faults[] = {
        {"close", "", false},
        {"reset", "reset", false},
        {"unplug", "unplug 0", true},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        AlsaMidi alsa;
        ASSERT_EQ(alsa.OutGetNumDevs(), 1u);
        ASSERT_EQ(alsa.InGetNumDevs(), 1u);
        HMIDIOUT out = 0;
        HMIDIIN in = 0;
        ASSERT_EQ(alsa.OutOpen(&out, 0, 0, 0, 0), MMSYSERR_NOERROR);
        ASSERT_EQ(alsa.InOpen(&in, 0, &Callback, 0, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
        closes = 0;
        Command("stall 0 1");
        std::vector<char> block = Block();
        MIDIHDR header{};
        header.lpData = block.data();
        header.dwBufferLength = static_cast<DWORD>(block.size());
        ASSERT_EQ(alsa.OutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
        std::atomic<MMRESULT> sent{MMSYSERR_NOERROR};
        std::atomic<bool> done{false};
        std::thread sender([&] {
            sent = alsa.OutLongMsg(out, &header, sizeof header);
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(done.load());
        const auto t0 = Clock::now();
        const bool reset = std::string(f.fault) == "reset";
        if (*f.fault == '\0') {
            EXPECT_EQ(alsa.OutClose(out), MMSYSERR_NOERROR);
        } else if (reset) {
            EXPECT_EQ(alsa.OutReset(out), MMSYSERR_NOERROR);
        } else {
            Command(f.fault);
        }
        sender.join();
        EXPECT_LT(Since(t0), 0.5);
        // An unplug is told from a close or a stall: the port reports it at
        // once.  A reset gives the header back done, as for any ended send.
        EXPECT_EQ(sent.load(), f.inputLost ? MMSYSERR_NODRIVER : reset ? MMSYSERR_NOERROR : MIDIERR_NODEVICE) << f.name;
        EXPECT_EQ(HeaderFlags(&header) & (MHDR_DONE | MHDR_INQUEUE), reset ? MHDR_DONE : 0u) << f.name;
        if (reset) {
            EXPECT_EQ(closes.load(), 0);
            Command("stall 0 0");
            ASSERT_EQ(alsa.OutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);
            EXPECT_EQ(alsa.OutClose(out), MMSYSERR_NOERROR);
        } else if (f.inputLost) {
            while (closes.load() == 0 && Since(t0) < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(closes.load(), 1);
            alsa.OutClose(out);
            Command("plug");
        } else {
            EXPECT_EQ(closes.load(), 0);
            Command("stall 0 0");
            const auto t1 = Clock::now();
            ASSERT_EQ(alsa.OutOpen(&out, 0, 0, 0, 0), MMSYSERR_NOERROR);   // not held by a draining close
            EXPECT_EQ(alsa.OutClose(out), MMSYSERR_NOERROR);
            EXPECT_LT(Since(t1), 0.5);
        }
        alsa.InClose(in);
    }
}

// Card numbers are given again after an unplug: an open by a stale list
// position must not reach another card.
TEST(AlsaMidiStandIn, AnotherCardUnderTheListedNumberIsNotOpened)
{
    if (Control() == nullptr) GTEST_SKIP() << "runs inside alsa_e2e_test.sh";
    AlsaMidi alsa;
    ASSERT_EQ(alsa.OutGetNumDevs(), 1u);
    Command("unplug 0");
    Command("plug 0 Other Synth");
    HMIDIOUT out = 0;
    EXPECT_EQ(alsa.OutOpen(&out, 0, 0, 0, 0), MIDIERR_NODEVICE);
    EXPECT_NE(AlsaMidi::TakeNote().find("no longer there"), std::string::npos);
    Command("unplug 0");
    Command("plug 0");
    EXPECT_EQ(alsa.OutOpen(&out, 0, 0, 0, 0), MMSYSERR_NOERROR);   // the same card again
    alsa.OutClose(out);
}

// A send has returned (the kernel's buffer is empty) while the driver still
// has its last bytes under way; then the card goes while no send runs (in
// the updater, the input is the side that hears of it).  The close lets the
// dead output go at once instead of
// waiting for the kernel's drain of bytes that will never leave.  Needs a
// stand-in whose USB side takes 2 KiB at a time at 2 KiB/s.
TEST(AlsaMidiStandInSlowLink, ACardGoneAfterASendClosesAtOnce)
{
    if (Control() == nullptr || std::getenv("Q9_ALSA_STANDIN_SLOW") == nullptr)
        GTEST_SKIP() << "runs inside alsa_e2e_test.sh, with a slow stand-in";
    AlsaMidi alsa;
    HMIDIOUT out = 0;
    ASSERT_EQ(alsa.OutOpen(&out, 0, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<char> message(2000, 0x11);
    message.front() = static_cast<char>(0xF0);
    message.back() = static_cast<char>(0xF7);
    MIDIHDR header{};
    header.lpData = message.data();
    header.dwBufferLength = static_cast<DWORD>(message.size());
    ASSERT_EQ(alsa.OutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(alsa.OutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);   // under way for about 1 s
    Command("unplug 0");
    const auto t0 = Clock::now();
    EXPECT_EQ(alsa.OutClose(out), MMSYSERR_NOERROR);
    EXPECT_LT(Since(t0), 0.5);
    Command("plug 0");
}
#endif
