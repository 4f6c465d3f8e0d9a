#include "platform/jack/client.h"

#include "platform/jack/ring_records.h"
#include "platform/sysex_assembler.h"

#include <cerrno>
#include <ctime>
#include <thread>

namespace platform {

using namespace jack_ring;

namespace {

void Silent(const char*) {}

// libjack opens and closes clients through process-wide state that is not
// safe against two threads at once; our clients take turns.
std::mutex& ClientLifeMutex()
{
    static std::mutex mutex;
    return mutex;
}

constexpr std::uint32_t kIndexBits = 8;
constexpr std::uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr auto kPollStep = std::chrono::milliseconds(2);

// Waits on a semaphore for at most `timeout`.
void TimedWait(sem_t* semaphore, std::chrono::milliseconds timeout)
{
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    const long long ns = until.tv_nsec + static_cast<long long>(timeout.count()) * 1000000LL;
    until.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    until.tv_nsec = static_cast<long>(ns % 1000000000LL);
    while (sem_timedwait(semaphore, &until) != 0 && errno == EINTR) {
    }
}

}  // namespace

void SilenceJack()
{
    jack_set_error_function(&Silent);
    jack_set_info_function(&Silent);
}

// ---------------------------------------------------------------------------
// JackMidiClient

std::unique_ptr<JackMidiClient> JackMidiClient::Open(const std::string& name, bool exactName, std::string* error)
{
    SilenceJack();
    int options = JackNoStartServer;
    if (exactName) {
        options |= JackUseExactName;
    }
    jack_status_t status{};
    jack_client_t* opened = nullptr;
    {
        std::lock_guard<std::mutex> life(ClientLifeMutex());
        opened = jack_client_open(name.c_str(), static_cast<jack_options_t>(options), &status);
    }
    if (opened == nullptr) {
        if (error != nullptr) {
            if ((status & JackNameNotUnique) != 0) {
                *error = "a JACK client named \"" + name + "\" is running already";
            } else if ((status & (JackServerFailed | JackServerError)) != 0) {
                *error = "no JACK server is running";
            } else {
                *error = "the JACK server refused the client \"" + name + "\"";
            }
        }
        return nullptr;
    }
    // From here on a failure closes the client through the destructor.
    std::unique_ptr<JackMidiClient> self(new JackMidiClient());
    self->client = opened;
    if (const char* granted = jack_get_client_name(opened)) {
        self->grantedName = granted;
    }
    sem_init(&self->inputReady, 0, 0);
    sem_init(&self->outputTaken, 0, 0);
    self->semaphoresReady = true;
    if (jack_set_process_callback(opened, &JackMidiClient::Process, self.get()) != 0) {
        if (error != nullptr) {
            *error = "the JACK server refused the process callback";
        }
        return nullptr;
    }
    self->notices = new Notices();
    self->notices->owner = self.get();
    jack_on_info_shutdown(opened, &JackMidiClient::Shutdown, self->notices);
    // Best effort: a server without these callbacks still reports a lost
    // port through its sends.
    jack_set_port_registration_callback(opened, &JackMidiClient::PortRegistered, self->notices);
    jack_set_client_registration_callback(opened, &JackMidiClient::ClientRegistered, self->notices);
    jack_set_port_connect_callback(opened, &JackMidiClient::PortConnected, self->notices);
    if (jack_activate(opened) != 0) {
        if (error != nullptr) {
            *error = "the JACK server did not activate the client";
        }
        return nullptr;
    }
    return self;
}

void JackMidiClient::Release(JackMidiClient* released)
{
    if (released != nullptr && released->client != nullptr && !released->ServerGone() && released->ServerStalled()) {
        return;
    }
    delete released;
}

JackMidiClient::~JackMidiClient()
{
    if (notices != nullptr) {
        std::lock_guard<std::mutex> lock(notices->mutex);
        notices->owner = nullptr;   // no callback reaches this client from here on
    }
    if (client != nullptr && !ServerGone() && ServerStalled()) {
        // Stopped: deactivate and close would wait for it.  The client is
        // left to the server (it drops it when this process ends), and so
        // are the rings its callback may still read and what its
        // notification thread may still call.
        return;
    }
    if (client != nullptr && !ServerGone()) {
        std::lock_guard<std::mutex> life(ClientLifeMutex());
        jack_deactivate(client);   // no process callback from here on
        for (Slot& slot : slots) {
            if (slot.used && slot.port != nullptr) {
                jack_port_unregister(client, slot.port);
            }
        }
        jack_client_close(client);
    }
    // A client whose server has gone is never called again: libjack itself
    // deletes such clients when the next client of the process opens, so a
    // close of ours could reach a deleted one.
    for (Slot& slot : slots) {
        if (slot.ring != nullptr) {
            jack_ringbuffer_free(slot.ring);
        }
    }
    if (semaphoresReady) {
        sem_destroy(&inputReady);
        sem_destroy(&outputTaken);
    }
    delete notices;
}

std::string JackMidiClient::Name() const { return grantedName; }

std::uint32_t JackMidiClient::SampleRate() const { return ServerGone() ? 0 : jack_get_sample_rate(client); }

std::uint32_t JackMidiClient::BufferFrames() const { return ServerGone() ? 0 : jack_get_buffer_size(client); }

std::vector<std::string> JackMidiClient::OtherPorts(bool theySend) const
{
    std::vector<std::string> found;
    if (ServerGone()) {
        return found;
    }
    const char** ports =
        jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, theySend ? JackPortIsOutput : JackPortIsInput);
    if (ports == nullptr) {
        return found;
    }
    const std::string own = Name() + ":";
    for (const char** port = ports; *port != nullptr; ++port) {
        const std::string portName = *port;
        if (portName.compare(0, own.size(), own) != 0) {
            found.push_back(portName);
        }
    }
    jack_free(ports);
    return found;
}

JackMidiClient::PortId JackMidiClient::AddInput(const std::string& shortName) { return AddPort(shortName, false); }

JackMidiClient::PortId JackMidiClient::AddOutput(const std::string& shortName) { return AddPort(shortName, true); }

JackMidiClient::PortId JackMidiClient::AddPort(const std::string& shortName, bool output)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (ServerGone()) {
        return kNoPort;
    }
    for (std::size_t index = 0; index < slots.size(); ++index) {
        Slot& slot = slots[index];
        if (slot.used) {
            continue;
        }
        jack_ringbuffer_t* ring = jack_ringbuffer_create(output ? kOutputRingBytes : kInputRingBytes);
        if (ring == nullptr) {
            return kNoPort;
        }
        jack_ringbuffer_mlock(ring);   // no page faults in the process callback; best effort
        jack_port_t* port = jack_port_register(client, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                               output ? JackPortIsOutput : JackPortIsInput, 0);
        if (port == nullptr) {
            jack_ringbuffer_free(ring);
            return kNoPort;
        }
        slot.used = true;
        ++slot.generation;
        slot.output = output;
        slot.port = port;
        slot.ring = ring;
        slot.closing.store(false);
        slot.queued.store(0);
        slot.written.store(0);
        slot.failed.store(0);
        slot.withdrawn.store(0);
        slot.resets.store(0);
        slot.maxEvent.store(0);
        slot.gate.store(1, std::memory_order_release);   // the process callback takes it up
        return (slot.generation << kIndexBits) | static_cast<PortId>(index + 1);
    }
    return kNoPort;
}

JackMidiClient::Slot* JackMidiClient::FindLocked(PortId port) const
{
    const std::uint32_t index = (port & kIndexMask);
    if (index == 0 || index > slots.size()) {
        return nullptr;
    }
    Slot& slot = slots[index - 1];
    if (!slot.used || slot.generation != (port >> kIndexBits)) {
        return nullptr;
    }
    return &slot;
}

JackMidiClient::Slot* JackMidiClient::Find(PortId port) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return FindLocked(port);
}

std::string JackMidiClient::PortName(PortId port) const
{
    const Slot* slot = Find(port);
    if (slot == nullptr || ServerGone()) {
        return "";
    }
    const char* name = jack_port_name(slot->port);
    return name != nullptr ? name : "";
}

bool JackMidiClient::Connect(PortId port, const std::string& otherPort)
{
    const Slot* slot = Find(port);
    if (slot == nullptr || ServerGone()) {
        return false;
    }
    const char* ours = jack_port_name(slot->port);
    const int result = slot->output ? jack_connect(client, ours, otherPort.c_str())
                                    : jack_connect(client, otherPort.c_str(), ours);
    return result == 0 || result == EEXIST;
}

bool JackMidiClient::CloseGate(Slot& slot, bool serverGone)
{
    // 2: the process callback is inside; it leaves within one cycle.  A
    // server that has gone (or stopped) runs no more cycles.
    for (int wait = 0; !serverGone || wait < 1000; ++wait) {
        int expected = 1;
        if (slot.gate.compare_exchange_strong(expected, 0) || expected == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    slot.gate.store(0);
    return false;
}

bool JackMidiClient::ServerStalled() const
{
    const std::uint64_t seen = cycles.load(std::memory_order_relaxed);
    if (ServerGone() || seen == 0) return false;   // gone, or never run: nothing to wait for
    const auto deadline = std::chrono::steady_clock::now() + kStallProbe;
    while (std::chrono::steady_clock::now() < deadline) {
        if (cycles.load(std::memory_order_relaxed) != seen) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cycles.load(std::memory_order_relaxed) == seen;
}

void JackMidiClient::Remove(PortId port)
{
    Slot* slot = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        slot = FindLocked(port);
        if (slot == nullptr) {
            return;
        }
        ++slot->generation;   // the id is stale from here on; the slot stays taken
    }
    slot->closing.store(true);
    sem_post(&outputTaken);   // a waiting send looks again and fails
    // Disconnected first, so that nobody reads a buffer that is no longer
    // cleared each cycle.
    // A stopped server would hold every request until it runs again: the
    // port is then left to it (the gate keeps the callback off the slot),
    // so that a close never waits for the server.
    const bool gone = ServerGone();
    const bool stalled = !gone && ServerStalled();
    if (!gone && !stalled) {
        jack_port_disconnect(client, slot->port);
    }
    const bool shut = CloseGate(*slot, gone || stalled);
    {
        std::scoped_lock lock(slot->sendMutex, slot->readMutex);
        if (!gone && !stalled) {
            jack_port_unregister(client, slot->port);
        }
        // Forced shut with the callback perhaps inside: its ring is kept.
        if (shut || gone) jack_ringbuffer_free(slot->ring);
        slot->port = nullptr;
        slot->ring = nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex);
    slot->used = false;
}

JackMidiClient::Link JackMidiClient::Linked(const std::string& ours, const std::string& target) const
{
    if (ServerGone()) {
        return Link::Linked;   // the server's end is reported as such
    }
    jack_port_t* other = jack_port_by_name(client, target.c_str());
    if (other == nullptr) {
        return Link::Gone;
    }
    const char** connections = jack_port_get_all_connections(client, other);
    bool linked = false;
    for (const char** name = connections; name != nullptr && *name != nullptr; ++name) {
        linked = linked || ours == *name;
    }
    if (connections != nullptr) {
        jack_free(connections);
    }
    return linked ? Link::Linked : Link::NotYet;
}

void JackMidiClient::MarkLost(PortId port)
{
    Slot* slot = Find(port);
    if (slot == nullptr) {
        return;
    }
    slot->closing.store(true);
    sem_post(&outputTaken);   // a waiting send looks again and fails
}

void JackMidiClient::Reset(PortId port)
{
    Slot* slot = Find(port);
    if (slot == nullptr || !slot->output) {
        return;
    }
    slot->resets.fetch_add(1);
    // What is queued and not yet taken never goes out; a send that has yet
    // to queue its record sees the reset and withdraws it itself.
    const std::uint64_t queued = slot->queued.load(std::memory_order_relaxed);
    std::uint64_t withdrawn = slot->withdrawn.load(std::memory_order_relaxed);
    while (withdrawn < queued &&
           !slot->withdrawn.compare_exchange_weak(withdrawn, queued, std::memory_order_release)) {
    }
    sem_post(&outputTaken);   // a waiting send looks again and ends
}

MMRESULT JackMidiClient::Send(PortId port, const BYTE* data, std::size_t size)
{
    if (data == nullptr || size == 0) {
        return MMSYSERR_INVALPARAM;
    }
    Slot* slot = Find(port);
    if (slot == nullptr || !slot->output) {
        return MMSYSERR_INVALHANDLE;
    }
    // Read before the turn: a reset while this send waits for another one ends it too.
    const std::uint64_t seenResets = slot->resets.load();
    std::lock_guard<std::mutex> sending(slot->sendMutex);
    if (Find(port) != slot || slot->closing.load() || ServerGone()) {
        return MIDIERR_NODEVICE;
    }
    if (slot->resets.load() != seenResets) {
        return kSendEndedByReset;
    }
    const std::size_t maxEvent = slot->maxEvent.load(std::memory_order_relaxed);
    if (sizeof(RecordHeader) + size > kOutputRingBytes - 1 || (maxEvent != 0 && size > maxEvent)) {
        return MMSYSERR_INVALPARAM;   // could never go out whole
    }
    const auto deadline = std::chrono::steady_clock::now() + kSendTimeout;
    auto keepWaiting = [&]() -> MMRESULT {
        if (slot->closing.load() || ServerGone()) {
            return MIDIERR_NODEVICE;
        }
        if (slot->resets.load() != seenResets) {
            return kSendEndedByReset;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return MMSYSERR_ERROR;   // the server has stopped taking messages
        }
        TimedWait(&outputTaken, kPollStep);
        return MMSYSERR_NOERROR;
    };
    // Room for the whole message (a message of an earlier, failed send may
    // still be in the ring, withdrawn, until the process callback runs).
    const std::uint64_t seq = slot->queued.load(std::memory_order_relaxed) + 1;
    const RecordHeader header{seq, static_cast<std::uint32_t>(size), 0};
    while (!WriteRecord(slot->ring, header, data)) {
        if (const MMRESULT result = keepWaiting(); result != MMSYSERR_NOERROR) {
            return result;
        }
    }
    slot->queued.store(seq, std::memory_order_relaxed);
    while (slot->written.load(std::memory_order_acquire) < seq) {
        if (const MMRESULT result = keepWaiting(); result != MMSYSERR_NOERROR) {
            // Taken back, unless the process callback took it first (then it
            // may still go out): either way the caller counts it in doubt.
            std::uint64_t withdrawn = slot->withdrawn.load(std::memory_order_relaxed);
            while (withdrawn < seq &&
                   !slot->withdrawn.compare_exchange_weak(withdrawn, seq, std::memory_order_release)) {
            }
            return result;
        }
    }
    return slot->failed.load(std::memory_order_acquire) == seq ? MMSYSERR_INVALPARAM : MMSYSERR_NOERROR;
}

std::size_t JackMidiClient::MaxEventSize(PortId port) const
{
    const Slot* slot = Find(port);
    return slot != nullptr ? slot->maxEvent.load(std::memory_order_relaxed) : 0;
}

std::size_t JackMidiClient::WaitMaxEventSize(PortId port, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::size_t size = MaxEventSize(port);
        if (size != 0 || ServerGone() || std::chrono::steady_clock::now() > deadline) {
            return size;
        }
        TimedWait(&outputTaken, kPollStep);
    }
}

void JackMidiClient::WaitInput(std::chrono::milliseconds timeout) { TimedWait(&inputReady, timeout); }

void JackMidiClient::WakeInput() { sem_post(&inputReady); }

bool JackMidiClient::Receive(PortId port, std::vector<BYTE>& event)
{
    Slot* slot = Find(port);
    if (slot == nullptr || slot->output) {
        return false;
    }
    std::lock_guard<std::mutex> reading(slot->readMutex);
    if (Find(port) != slot || slot->ring == nullptr) {
        return false;
    }
    RecordHeader header{};
    if (!PeekRecord(slot->ring, header)) {
        return false;
    }
    event.resize(header.size);
    TakeRecord(slot->ring, header, event.data());
    return true;
}

}  // namespace platform
