// The system's MIDI backends: on a machine without sound devices and without
// a JACK server they list nothing, print nothing and start nothing; with a
// JACK server of the test's own (jackd -d dummy) messages pass whole.
#include "platform/system_midi.h"

#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "platform/midi_system.h"
#include "platform/sysex_assembler.h"
#include "tests/support/fake_midi.h"
#include "update/protocol.h"

#if defined(Q9_HAVE_ALSA)
#include "platform/alsa/rawmidi.h"
#endif
#if defined(Q9_HAVE_JACK)
#include "platform/jack/midi.h"
#endif

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace platform;
using Bytes = std::vector<BYTE>;

namespace {

// Everything written to file descriptor 2 while it lives.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        char name[] = "/tmp/q9-stderr-XXXXXX";
        file = mkstemp(name);
        path = name;
        saved = dup(2);
        dup2(file, 2);
    }
    ~StderrCapture()
    {
        Stop();
        std::filesystem::remove(path);
    }
    std::string Stop()
    {
        if (saved >= 0) {
            std::fflush(stderr);
            dup2(saved, 2);
            close(saved);
            close(file);
            saved = -1;
            std::ifstream in(path);
            std::stringstream text;
            text << in.rdbuf();
            captured = text.str();
        }
        return captured;
    }

private:
    int file = -1;
    int saved = -1;
    std::string path;
    std::string captured;
};

// The child processes of this process.
std::string Children()
{
    std::string all;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "children");
        std::string line;
        std::getline(in, line);
        all += line;
    }
    return all;
}

bool SoundDevicesPresent() { return std::filesystem::exists("/dev/snd"); }

Bytes LargestMessage(unsigned seed)
{
    std::mt19937 random(seed);
    Bytes message(kMaxMessage);
    message.front() = 0xF0;
    message.back() = 0xF7;
    for (std::size_t i = 1; i + 1 < message.size(); ++i) {
        message[i] = static_cast<BYTE>(random() & 0x7F);
    }
    return message;
}

}  // namespace

TEST(SystemMidi, NoSoundDevicesAndNoServer_ListsNothingPrintsNothingStartsNothing)
{
    const std::string server = "q9-none-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    const std::string childrenBefore = Children();
    StderrCapture capture;
    {
        MidiSystem system;
        AddSystemBackends(system);
#if defined(Q9_HAVE_ALSA) && defined(Q9_HAVE_JACK)
        EXPECT_EQ(system.BackendCount(), 2u);
#endif
        if (!SoundDevicesPresent()) {
            EXPECT_EQ(system.InGetNumDevs(), 0u);
            EXPECT_EQ(system.OutGetNumDevs(), 0u);
            HMIDIIN in = 0;
            EXPECT_NE(system.InOpen(&in, 0, nullptr, 0, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
            HMIDIOUT out = 0;
            EXPECT_NE(system.OutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        }
        // A rescan asks again, still quietly.
        system.InGetNumDevs();
        system.OutGetNumDevs();
        EXPECT_EQ(Children(), childrenBefore);   // no server was started
    }
#if defined(Q9_HAVE_JACK)
    {
        JackMidi jack("q9-test");
        EXPECT_EQ(jack.InGetNumDevs(), 0u);
        EXPECT_EQ(jack.OutGetNumDevs(), 0u);
        MIDIOUTCAPSA caps;
        EXPECT_EQ(jack.OutGetDevCaps(0, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
        HMIDIOUT out = 0;
        EXPECT_EQ(jack.OutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
        EXPECT_EQ(jack.ClientName(), "");
        std::string error;
        EXPECT_EQ(JackMidiClient::Open("q9-test", true, &error), nullptr);
        EXPECT_EQ(error, "no JACK server is running");
    }
#endif
#if defined(Q9_HAVE_ALSA)
    if (!SoundDevicesPresent()) {
        AlsaMidi alsa;
        EXPECT_EQ(alsa.InGetNumDevs(), 0u);
        EXPECT_EQ(alsa.OutGetNumDevs(), 0u);
        HMIDIIN in = 0;
        EXPECT_EQ(alsa.InOpen(&in, 0, nullptr, 0, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
        EXPECT_EQ(alsa.InClose(1), MMSYSERR_INVALHANDLE);
        MIDIHDR header;
        EXPECT_EQ(alsa.OutLongMsg(1, &header, sizeof header), MMSYSERR_INVALHANDLE);
    }
#endif
    EXPECT_EQ(capture.Stop(), "");
    unsetenv("JACK_DEFAULT_SERVER");
}

#if defined(Q9_HAVE_JACK)

namespace {

std::string FindJackd()
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/jackd";
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

// A JACK server of the test's own, under a name no one else uses, stopped by
// its pid.
class JackServer {
public:
    bool Start()
    {
        const std::string jackd = FindJackd();
        if (jackd.empty()) {
            return false;
        }
        name = "q9-test-" + std::to_string(getpid());
        setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
        // Synchronous: an asynchronous server repeats or drops MIDI events
        // of a client that missed its cycle.
        std::vector<std::string> args = {jackd, "--no-realtime", "--sync", "-n", name, "-d", "dummy",
                                         "-r", "48000", "-p", "256", "-C", "0", "-P", "0"};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawn(&pid, jackd.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid = -1;
            return false;
        }
        // Ready when a client gets in (bounded: a server that never comes up
        // fails the test rather than hanging it).
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (JackMidiClient::Open("q9-probe", false)) {
                return true;
            }
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    void Stop()
    {
        if (pid <= 0) {
            return;
        }
        kill(pid, SIGTERM);
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
        // A server stopped under its clients' feet leaves their semaphores.
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
            const std::string file = entry.path().filename().string();
            if (file.rfind("jack_sem.", 0) == 0 && file.find("_" + name + "_") != std::string::npos) {
                std::filesystem::remove(entry.path(), ignored);
            }
        }
        unsetenv("JACK_DEFAULT_SERVER");
    }

    ~JackServer() { Stop(); }

private:
    pid_t pid = -1;
    std::string name;
};

// A client of the test's own, "q9-peer", that sends back every event it
// receives on "in" through "out".
class EchoPeer {
public:
    EchoPeer()
    {
        client = JackMidiClient::Open("q9-peer", true);
        if (!client) {
            return;
        }
        in = client->AddInput("in");
        out = client->AddOutput("out");
        thread = std::thread([this] {
            std::vector<BYTE> event;
            while (!stop.load()) {
                client->WaitInput(std::chrono::milliseconds(20));
                while (client->Receive(in, event)) {
                    client->Send(out, event.data(), event.size());
                }
            }
        });
    }
    ~EchoPeer()
    {
        stop.store(true);
        if (thread.joinable()) {
            client->WakeInput();
            thread.join();
        }
    }

    std::unique_ptr<JackMidiClient> client;
    JackMidiClient::PortId in = JackMidiClient::kNoPort;
    JackMidiClient::PortId out = JackMidiClient::kNoPort;
    std::atomic<bool> stop{false};
    std::thread thread;
};

// The port's side of the input: every returned buffer, the buffer handed
// back at once.
struct Receiver {
    static void Callback(HMIDIIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
    {
        if (msg != MIM_LONGDATA) {
            return;
        }
        auto* self = reinterpret_cast<Receiver*>(instance);
        auto* header = reinterpret_cast<MIDIHDR*>(p1);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            if (header->dwBytesRecorded > 0) {
                self->pieces.emplace_back(header->lpData, header->lpData + header->dwBytesRecorded);
            }
        }
        self->changed.notify_all();
        if (self->api->InPrepareHeader(handle, header, sizeof *header) == MMSYSERR_NOERROR) {
            self->api->InAddBuffer(handle, header, sizeof *header);
        }
    }

    // Waits (bounded) until `count` pieces have arrived.
    std::vector<Bytes> WaitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return pieces.size() >= count; });
        return pieces;
    }

    MidiApi* api = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> pieces;
};

UINT FindDeviceNow(MidiApi& api, bool input, const std::string& name, bool* found = nullptr)
{
    if (found != nullptr) *found = false;
    const UINT count = input ? api.InGetNumDevs() : api.OutGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        char pname[kMaxPnameLen] = {};
        if (input) {
            MIDIINCAPSA caps;
            api.InGetDevCaps(id, &caps, sizeof caps);
            std::copy(std::begin(caps.szPname), std::end(caps.szPname), pname);
        } else {
            MIDIOUTCAPSA caps;
            api.OutGetDevCaps(id, &caps, sizeof caps);
            std::copy(std::begin(caps.szPname), std::end(caps.szPname), pname);
        }
        if (name == pname) {
            if (found != nullptr) *found = true;
            return id;
        }
    }
    return count;
}

// A peer's ports reach the server's graph a little after the peer registered
// them (slower still under a sanitizer): look again for a while before
// giving up (the count, an id that no device has).
UINT FindDevice(MidiApi& api, bool input, const std::string& name)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        bool found = false;
        const UINT id = FindDeviceNow(api, input, name, &found);
        if (found) return id;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return FindDeviceNow(api, input, name);
}

class JackServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (FindJackd().empty()) {
            GTEST_SKIP() << "jackd is not installed";
        }
        ASSERT_TRUE(server.Start()) << "jackd -d dummy did not come up";
    }
    void TearDown() override { server.Stop(); }

    JackServer server;
};

}  // namespace

static_assert(kJackLargestMessage >= kMaxMessage, "a write block must fit one JACK event");

TEST_F(JackServerTest, LargestMessageGoesThereAndBackWhole)
{
    EchoPeer peer;
    ASSERT_TRUE(peer.client);
    EXPECT_GE(peer.client->WaitMaxEventSize(peer.out, std::chrono::milliseconds(5000)), kJackLargestMessage);

    StderrCapture capture;
    JackMidi jack("q9-test");
    const UINT outId = FindDevice(jack, false, "q9-peer");
    const UINT inId = FindDevice(jack, true, "q9-peer");
    ASSERT_LT(outId, jack.OutGetNumDevs());
    ASSERT_LT(inId, jack.InGetNumDevs());
    EXPECT_EQ(jack.ClientName(), "q9-test");

    Receiver receiver;
    receiver.api = &jack;
    HMIDIIN in = 0;
    ASSERT_EQ(jack.InOpen(&in, inId, &Receiver::Callback, reinterpret_cast<DWORD_PTR>(&receiver), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    HMIDIIN again = 0;
    EXPECT_EQ(jack.InOpen(&again, inId, &Receiver::Callback, 0, CALLBACK_FUNCTION), MMSYSERR_ALLOCATED);
    std::vector<char> data(8192);
    MIDIHDR buffer;
    buffer.lpData = data.data();
    buffer.dwBufferLength = static_cast<DWORD>(data.size());
    ASSERT_EQ(jack.InPrepareHeader(in, &buffer, sizeof buffer), MMSYSERR_NOERROR);
    ASSERT_EQ(jack.InAddBuffer(in, &buffer, sizeof buffer), MMSYSERR_NOERROR);
    ASSERT_EQ(jack.InStart(in), MMSYSERR_NOERROR);

    HMIDIOUT out = 0;
    ASSERT_EQ(jack.OutOpen(&out, outId, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    HMIDIOUT outAgain = 0;
    EXPECT_EQ(jack.OutOpen(&outAgain, outId, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);

    Bytes message = LargestMessage(1);
    MIDIHDR header;
    header.lpData = reinterpret_cast<char*>(message.data());
    header.dwBufferLength = static_cast<DWORD>(message.size());
    EXPECT_EQ(jack.OutLongMsg(out, &header, sizeof header), MIDIERR_UNPREPARED);
    ASSERT_EQ(jack.OutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(jack.OutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_NE(HeaderFlags(&header) & MHDR_DONE, 0u);   // done when OutLongMsg returns
    const auto pieces = receiver.WaitFor(1);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0], message);

    // A message that could never go out whole fails at once.
    Bytes huge(JackMidiClient::kOutputRingBytes + 10, 0x01);
    huge.front() = 0xF0;
    huge.back() = 0xF7;
    MIDIHDR hugeHeader;
    hugeHeader.lpData = reinterpret_cast<char*>(huge.data());
    hugeHeader.dwBufferLength = static_cast<DWORD>(huge.size());
    jack.OutPrepareHeader(out, &hugeHeader, sizeof hugeHeader);
    EXPECT_EQ(jack.OutLongMsg(out, &hugeHeader, sizeof hugeHeader), MMSYSERR_INVALPARAM);
    EXPECT_EQ(HeaderFlags(&hugeHeader) & MHDR_DONE, 0u);

    EXPECT_EQ(jack.OutUnprepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(jack.OutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(jack.OutLongMsg(out, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(jack.InReset(in), MMSYSERR_NOERROR);
    EXPECT_EQ(jack.InClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(jack.InGetNumDevs(), jack.InGetNumDevs());
    EXPECT_EQ(capture.Stop(), "");
}

TEST_F(JackServerTest, TwoSendersOnOneDeviceEachMessageWhole)
{
    // As the update worker and the reply timer both send on one port.
    EchoPeer peer;
    ASSERT_TRUE(peer.client);
    JackMidi jack("q9-test");
    Receiver receiver;
    receiver.api = &jack;
    HMIDIIN in = 0;
    ASSERT_EQ(jack.InOpen(&in, FindDevice(jack, true, "q9-peer"), &Receiver::Callback,
                          reinterpret_cast<DWORD_PTR>(&receiver), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    std::vector<char> data(8192);
    MIDIHDR buffer;
    buffer.lpData = data.data();
    buffer.dwBufferLength = static_cast<DWORD>(data.size());
    jack.InPrepareHeader(in, &buffer, sizeof buffer);
    jack.InAddBuffer(in, &buffer, sizeof buffer);
    jack.InStart(in);
    HMIDIOUT out = 0;
    ASSERT_EQ(jack.OutOpen(&out, FindDevice(jack, false, "q9-peer"), 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);

    constexpr int kEach = 15;
    auto sender = [&](bool large) {
        for (int i = 0; i < kEach; ++i) {
            Bytes message = large ? LargestMessage(static_cast<unsigned>(i))
                                  : Bytes{0xF0, 0x52, 0x00, 0x6E, 0x00, static_cast<BYTE>(i), 0xF7};
            MIDIHDR header;
            header.lpData = reinterpret_cast<char*>(message.data());
            header.dwBufferLength = static_cast<DWORD>(message.size());
            EXPECT_EQ(jack.OutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
            EXPECT_EQ(jack.OutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);
            EXPECT_EQ(jack.OutUnprepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
        }
    };
    std::thread worker(sender, true);
    std::thread timer(sender, false);
    worker.join();
    timer.join();

    const auto pieces = receiver.WaitFor(2 * kEach);
    ASSERT_EQ(pieces.size(), 2u * kEach);
    int large = 0;
    int small = 0;
    for (const Bytes& piece : pieces) {
        if (piece.size() == kMaxMessage) {
            EXPECT_EQ(piece, LargestMessage(static_cast<unsigned>(large)));
            ++large;
        } else {
            EXPECT_EQ(piece, (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x00, static_cast<BYTE>(small), 0xF7}));
            ++small;
        }
    }
    EXPECT_EQ(large, kEach);
    EXPECT_EQ(small, kEach);
    EXPECT_EQ(peer.client->DroppedEvents(), 0u);
    jack.OutClose(out);
    jack.InReset(in);
    jack.InClose(in);
}

TEST_F(JackServerTest, PortsThroughTheSystemListAndTheMidiPorts)
{
    // The updater's own ports on the combined list, with a second client
    // that has two ports in each direction (listed by full port name).
    EchoPeer peer;
    ASSERT_TRUE(peer.client);
    auto other = JackMidiClient::Open("q9-other", true);
    ASSERT_TRUE(other);
    other->AddInput("a");
    other->AddInput("b");

    MidiSystem system;
    AddSystemBackends(system);
    q9test::ScopedMidi installed(system);
    EXPECT_LT(FindDevice(system, false, "q9-other:a"), system.OutGetNumDevs());
    EXPECT_LT(FindDevice(system, false, "q9-other:b"), system.OutGetNumDevs());
    const UINT outId = FindDevice(system, false, "q9-peer");
    const UINT inId = FindDevice(system, true, "q9-peer");
    ASSERT_LT(outId, system.OutGetNumDevs());
    ASSERT_LT(inId, system.InGetNumDevs());

    CMidiOutPort midiOut;
    CMidiInPort midiIn;
    ASSERT_EQ(midiOut.Open(outId), 1);
    midiIn.deviceId = inId;
    ASSERT_EQ(midiIn.Start(), 1);
    const Bytes message = LargestMessage(7);
    ASSERT_EQ(SendSysEx(midiOut, message.data(), static_cast<std::uint32_t>(message.size())), 0);
    const Bytes identity = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
    ASSERT_EQ(SendSysEx(midiOut, identity.data(), static_cast<std::uint32_t>(identity.size())), 0);

    std::vector<Bytes> received;
    for (int attempt = 0; attempt < 2000 && received.size() < 2; ++attempt) {
        std::uint32_t count = 0;
        if (const std::uint8_t* bytes = midiIn.GetFirstMessage(count)) {
            received.emplace_back(bytes, bytes + count);
            midiIn.RemoveFirstMessage();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], message);
    EXPECT_EQ(received[1], identity);
    midiIn.Close();
    midiOut.Close();
}

TEST_F(JackServerTest, SendFailsWhenTheServerGoesAway)
{
    EchoPeer peer;
    ASSERT_TRUE(peer.client);
    JackMidi jack("q9-test");
    HMIDIOUT out = 0;
    ASSERT_EQ(jack.OutOpen(&out, FindDevice(jack, false, "q9-peer"), 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    peer.stop.store(true);
    peer.client->WakeInput();
    peer.thread.join();

    StderrCapture capture;
    server.Stop();
    Bytes message = LargestMessage(3);
    MIDIHDR header;
    header.lpData = reinterpret_cast<char*>(message.data());
    header.dwBufferLength = static_cast<DWORD>(message.size());
    jack.OutPrepareHeader(out, &header, sizeof header);
    // Fails (does not hang) whether or not the news has arrived yet.
    EXPECT_NE(jack.OutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(HeaderFlags(&header) & MHDR_DONE, 0u);
    EXPECT_EQ(jack.OutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(jack.OutGetNumDevs(), 0u);
    EXPECT_EQ(capture.Stop(), "");
}

#endif  // Q9_HAVE_JACK
