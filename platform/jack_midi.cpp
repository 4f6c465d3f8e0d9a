#include "platform/jack_midi.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace platform {

namespace {

// The ring buffers and the port buffers are plain memory handed between
// threads by libjack's own barriers and futexes, which ThreadSanitizer cannot
// see; these tell it about the hand-over.
inline void TsanAcquire([[maybe_unused]] const void* address)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void*>(address));
#endif
}

inline void TsanRelease([[maybe_unused]] const void* address)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void*>(address));
#endif
}

// One process cycle of any client of ours hands port buffers to the next.
char processCycles;

void Silent(const char*) {}

// libjack opens and closes clients through process-wide state that is not
// safe against two threads at once; our clients take turns.
std::mutex& ClientLifeMutex()
{
    static std::mutex mutex;
    return mutex;
}

struct RecordHeader {
    std::uint64_t seq;    // output: the send's sequence number; input: 0
    std::uint32_t size;   // bytes that follow
    std::uint32_t unused;
};

// Records in a ring: a RecordHeader and its bytes, written with one advance
// of the write pointer, so that the reader sees whole records only.  Each
// side tells ThreadSanitizer about the hand-over before it moves its pointer
// and after it has seen the other side's pointer move.

void CopyIn(const jack_ringbuffer_data_t (&parts)[2], std::size_t offset, const void* source, std::size_t size)
{
    const auto* from = static_cast<const char*>(source);
    for (const jack_ringbuffer_data_t& part : parts) {
        if (offset >= part.len) {
            offset -= part.len;
            continue;
        }
        const std::size_t n = std::min(size, part.len - offset);
        std::memcpy(part.buf + offset, from, n);
        from += n;
        size -= n;
        offset = 0;
        if (size == 0) {
            break;
        }
    }
}

void CopyOut(const jack_ringbuffer_data_t (&parts)[2], std::size_t offset, void* target, std::size_t size)
{
    auto* to = static_cast<char*>(target);
    for (const jack_ringbuffer_data_t& part : parts) {
        if (offset >= part.len) {
            offset -= part.len;
            continue;
        }
        const std::size_t n = std::min(size, part.len - offset);
        std::memcpy(to, part.buf + offset, n);
        to += n;
        size -= n;
        offset = 0;
        if (size == 0) {
            break;
        }
    }
}

// Writes one record if there is room for all of it.
bool WriteRecord(jack_ringbuffer_t* ring, const RecordHeader& header, const void* bytes)
{
    const std::size_t total = sizeof header + header.size;
    if (jack_ringbuffer_write_space(ring) < total) {
        return false;
    }
    TsanAcquire(ring);   // the space was handed back by the reader
    jack_ringbuffer_data_t parts[2];
    jack_ringbuffer_get_write_vector(ring, parts);
    CopyIn(parts, 0, &header, sizeof header);
    CopyIn(parts, sizeof header, bytes, header.size);
    TsanRelease(ring);
    jack_ringbuffer_write_advance(ring, total);
    return true;
}

// The header of the oldest record, if a record is there.
bool PeekRecord(jack_ringbuffer_t* ring, RecordHeader& header)
{
    if (jack_ringbuffer_read_space(ring) < sizeof header) {
        return false;
    }
    TsanAcquire(ring);
    jack_ringbuffer_data_t parts[2];
    jack_ringbuffer_get_read_vector(ring, parts);
    CopyOut(parts, 0, &header, sizeof header);
    return true;
}

// Takes the oldest record (its header peeked before), copying its bytes to
// `target` unless that is nullptr.
void TakeRecord(jack_ringbuffer_t* ring, const RecordHeader& header, void* target)
{
    if (target != nullptr) {
        jack_ringbuffer_data_t parts[2];
        jack_ringbuffer_get_read_vector(ring, parts);
        CopyOut(parts, sizeof header, target, header.size);
    }
    TsanRelease(ring);
    jack_ringbuffer_read_advance(ring, sizeof header + header.size);
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
    jack_on_info_shutdown(opened, &JackMidiClient::Shutdown, self.get());
    if (jack_activate(opened) != 0) {
        if (error != nullptr) {
            *error = "the JACK server did not activate the client";
        }
        return nullptr;
    }
    return self;
}

JackMidiClient::~JackMidiClient()
{
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

void JackMidiClient::CloseGate(Slot& slot, bool serverGone)
{
    // 2: the process callback is inside; it leaves within one cycle.  A
    // server that has gone runs no more cycles.
    for (int wait = 0; !serverGone || wait < 1000; ++wait) {
        int expected = 1;
        if (slot.gate.compare_exchange_strong(expected, 0) || expected == 0) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    slot.gate.store(0);
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
    const bool gone = ServerGone();
    if (!gone) {
        jack_port_disconnect(client, slot->port);
    }
    CloseGate(*slot, gone);
    {
        std::scoped_lock lock(slot->sendMutex, slot->readMutex);
        if (!gone) {
            jack_port_unregister(client, slot->port);
        }
        jack_ringbuffer_free(slot->ring);
        slot->port = nullptr;
        slot->ring = nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex);
    slot->used = false;
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
    std::lock_guard<std::mutex> sending(slot->sendMutex);
    if (Find(port) != slot || slot->closing.load() || ServerGone()) {
        return MIDIERR_NODEVICE;
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
        if (std::chrono::steady_clock::now() > deadline) {
            return MMSYSERR_ERROR;   // the server has stopped taking messages
        }
        TimedWait(&outputTaken, kPollStep);
        return MMSYSERR_NOERROR;
    };
    // Room for the whole message (a message of an earlier, failed send may
    // still be waiting in the ring).
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

// ---------------------------------------------------------------------------
// The process callback: no allocation, no lock, no wait.

int JackMidiClient::Process(std::uint32_t frames, void* arg)
{
    auto* self = static_cast<JackMidiClient*>(arg);
    TsanAcquire(&processCycles);
    bool tookOutput = false;
    bool gotInput = false;
    for (Slot& slot : self->slots) {
        int expected = 1;
        if (!slot.gate.compare_exchange_strong(expected, 2, std::memory_order_acquire)) {
            continue;
        }
        if (slot.output) {
            tookOutput |= self->ProcessOutput(slot, frames);
        } else {
            gotInput |= self->ProcessInput(slot, frames);
        }
        slot.gate.store(1, std::memory_order_release);
    }
    TsanRelease(&processCycles);
    if (tookOutput) {
        sem_post(&self->outputTaken);
    }
    if (gotInput) {
        sem_post(&self->inputReady);
    }
    return 0;
}

bool JackMidiClient::ProcessOutput(Slot& slot, std::uint32_t frames)
{
    bool took = false;
    void* buffer = jack_port_get_buffer(slot.port, frames);
    jack_midi_clear_buffer(buffer);
    const std::size_t maxEvent = jack_midi_max_event_size(buffer);
    const bool firstMeasure = slot.maxEvent.load(std::memory_order_relaxed) == 0;
    slot.maxEvent.store(maxEvent, std::memory_order_relaxed);
    if (firstMeasure) {
        sem_post(&outputTaken);
    }
    RecordHeader header{};
    while (PeekRecord(slot.ring, header)) {
        if (header.size > maxEvent) {
            // Larger than an empty buffer takes: it can never go out whole.
            TakeRecord(slot.ring, header, nullptr);
            slot.failed.store(header.seq, std::memory_order_relaxed);
            slot.written.store(header.seq, std::memory_order_release);
            took = true;
            continue;
        }
        jack_midi_data_t* event = jack_midi_event_reserve(buffer, 0, header.size);
        if (event == nullptr) {
            break;   // this cycle's buffer is full: next cycle
        }
        TakeRecord(slot.ring, header, event);
        slot.written.store(header.seq, std::memory_order_release);
        took = true;
    }
    return took;
}

bool JackMidiClient::ProcessInput(Slot& slot, std::uint32_t frames)
{
    bool got = false;
    void* buffer = jack_port_get_buffer(slot.port, frames);
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event{};
        if (jack_midi_event_get(&event, buffer, i) != 0) {
            continue;
        }
        const RecordHeader header{0, static_cast<std::uint32_t>(event.size), 0};
        if (WriteRecord(slot.ring, header, event.buffer)) {
            got = true;
        } else {
            droppedEvents.fetch_add(1, std::memory_order_relaxed);   // whole or not at all
        }
    }
    return got;
}

void JackMidiClient::Shutdown(jack_status_t, const char*, void* arg)
{
    auto* self = static_cast<JackMidiClient*>(arg);
    self->serverGone.store(true, std::memory_order_release);
    sem_post(&self->outputTaken);
    sem_post(&self->inputReady);
}

// ---------------------------------------------------------------------------
// JackMidi

JackMidi::JackMidi(std::string clientName) : clientName(std::move(clientName)) { SilenceJack(); }

JackMidi::~JackMidi()
{
    stopping.store(true);
    std::shared_ptr<JackMidiClient> current;
    std::map<HMIDIIN, InDevice> openIns;
    std::map<HMIDIOUT, Port> openOuts;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = client;
        openIns.swap(ins);
        openOuts.swap(outs);
    }
    if (current) {
        current->WakeInput();
    }
    if (reader.joinable()) {
        reader.join();
    }
    for (auto& [handle, device] : openIns) {
        device.input->Shutdown();
        device.client->Remove(device.port);
    }
    for (auto& [handle, device] : openOuts) {
        device.client->Remove(device.port);
    }
}

std::shared_ptr<JackMidiClient> JackMidi::Client()
{
    if (client && !client->ServerGone()) {
        return client;
    }
    if (client && (!ins.empty() || !outs.empty())) {
        return client;   // gone; its devices fail until they are closed
    }
    client.reset();
    client = std::shared_ptr<JackMidiClient>(JackMidiClient::Open(clientName, false));
    if (client && !reader.joinable()) {
        reader = std::thread([this] { Read(); });
    }
    return client;
}

std::string JackMidi::ClientName()
{
    std::lock_guard<std::mutex> lock(mutex);
    return client ? client->Name() : "";
}

std::vector<JackMidi::Listed> JackMidi::List(bool theySend)
{
    std::vector<Listed> listed;
    const auto current = Client();
    if (!current) {
        return listed;
    }
    const std::vector<std::string> ports = current->OtherPorts(theySend);
    const std::vector<std::string> names = JackDeviceNames(ports);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        listed.push_back({ports[i], names[i]});
    }
    return listed;
}

const std::vector<JackMidi::Listed>& JackMidi::Relist(bool theySend)
{
    std::vector<Listed>& list = theySend ? inList : outList;
    list = List(theySend);
    (theySend ? inListed : outListed) = true;
    return list;
}

const std::vector<JackMidi::Listed>& JackMidi::Devices(bool theySend)
{
    if (theySend ? inListed : outListed) {
        return theySend ? inList : outList;
    }
    return Relist(theySend);
}

UINT JackMidi::InGetNumDevs()
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<UINT>(Relist(true).size());
}

UINT JackMidi::OutGetNumDevs()
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<UINT>(Relist(false).size());
}

template <typename Caps>
MMRESULT JackMidi::GetDevCaps(bool theySend, UINT id, Caps* caps)
{
    if (caps == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard<std::mutex> lock(mutex);
    const std::vector<Listed>& list = Devices(theySend);
    if (id >= list.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    *caps = Caps{};
    CopyDeviceName(list[id].name, caps->szPname);
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidi::InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT) { return GetDevCaps(true, id, caps); }

MMRESULT JackMidi::OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT) { return GetDevCaps(false, id, caps); }

// ---------------------------------------------------------------------------
// Opening and closing.

template <typename Device>
bool JackMidi::Holds(const std::map<std::uintptr_t, Device>& open, const std::string& target)
{
    return std::any_of(open.begin(), open.end(), [&](const auto& entry) { return entry.second.target == target; });
}

template <typename Device>
bool JackMidi::Take(std::map<std::uintptr_t, Device>& open, std::uintptr_t handle, Device& device)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = open.find(handle);
    if (found == open.end()) {
        return false;
    }
    device = std::move(found->second);
    open.erase(found);
    return true;
}

MMRESULT JackMidi::AddPort(bool theySend, UINT id, Port& added)
{
    const std::vector<Listed>& list = Devices(theySend);
    if (id >= list.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    added.target = list[id].port;
    if (theySend ? Holds(ins, added.target) : Holds(outs, added.target)) {
        return MMSYSERR_ALLOCATED;
    }
    added.client = Client();
    if (!added.client || added.client->ServerGone()) {
        return MIDIERR_NODEVICE;
    }
    const std::string shortName = (theySend ? "in-" : "out-") + std::to_string(nextPortNumber++);
    added.port = theySend ? added.client->AddInput(shortName) : added.client->AddOutput(shortName);
    return added.port == JackMidiClient::kNoPort ? MMSYSERR_NOMEM : MMSYSERR_NOERROR;
}

MMRESULT JackMidi::ConnectPort(const Port& added)
{
    if (!added.client->Connect(added.port, added.target)) {
        added.client->Remove(added.port);
        return MIDIERR_NODEVICE;   // the other port went away
    }
    return MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------------------
// Input.

void JackMidi::Read()
{
    std::vector<BYTE> event;
    while (!stopping.load()) {
        std::shared_ptr<JackMidiClient> current;
        {
            std::lock_guard<std::mutex> lock(mutex);
            current = client;
        }
        if (!current) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        current->WaitInput(std::chrono::milliseconds(50));
        std::vector<std::pair<JackMidiClient::PortId, std::shared_ptr<SysExInput>>> inputs;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& [handle, device] : ins) {
                if (device.client == current) {
                    inputs.emplace_back(device.port, device.input);
                }
            }
        }
        for (const auto& [port, input] : inputs) {
            while (current->Receive(port, event)) {
                input->Feed(event.data(), event.size());
            }
        }
    }
}

std::shared_ptr<SysExInput> JackMidi::FindIn(HMIDIIN handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = ins.find(handle);
    return found == ins.end() ? nullptr : found->second.input;
}

MMRESULT JackMidi::InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD)
{
    if (handle == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard<std::mutex> lock(mutex);
    Port added;
    MMRESULT result = AddPort(true, id, added);
    if (result == MMSYSERR_NOERROR) {
        result = ConnectPort(added);
    }
    if (result != MMSYSERR_NOERROR) {
        return result;
    }
    const HMIDIIN newHandle = nextHandle++;
    ins.emplace(newHandle, InDevice{added, std::make_shared<SysExInput>(newHandle, callback, instance)});
    *handle = newHandle;
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidi::InClose(HMIDIIN handle)
{
    InDevice device;
    if (!Take(ins, handle, device)) {
        return MMSYSERR_INVALHANDLE;
    }
    device.input->Shutdown();   // no callback and no header use from here on
    device.client->Remove(device.port);
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidi::InReset(HMIDIIN handle)
{
    const auto input = FindIn(handle);
    return input ? input->Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT)
{
    const auto input = FindIn(handle);
    return input ? input->Prepare(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT)
{
    const auto input = FindIn(handle);
    return input ? input->AddBuffer(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::InStart(HMIDIIN handle)
{
    const auto input = FindIn(handle);
    return input ? input->Start() : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::InStop(HMIDIIN handle)
{
    const auto input = FindIn(handle);
    return input ? input->Stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT)
{
    const auto input = FindIn(handle);
    return input ? input->Unprepare(header) : MMSYSERR_INVALHANDLE;
}

// ---------------------------------------------------------------------------
// Output.

MMRESULT JackMidi::OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    if (handle == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard<std::mutex> lock(mutex);
    Port added;
    if (const MMRESULT result = AddPort(false, id, added); result != MMSYSERR_NOERROR) {
        return result;
    }
    // A server whose events cannot hold the largest message could not carry
    // a firmware block whole.
    const std::size_t maxEvent = added.client->WaitMaxEventSize(added.port, std::chrono::milliseconds(1000));
    if (maxEvent != 0 && maxEvent < kJackLargestMessage) {
        added.client->Remove(added.port);
        return MMSYSERR_ERROR;
    }
    if (const MMRESULT result = ConnectPort(added); result != MMSYSERR_NOERROR) {
        return result;
    }
    const HMIDIOUT newHandle = nextHandle++;
    outs.emplace(newHandle, added);
    *handle = newHandle;
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidi::OutClose(HMIDIOUT handle)
{
    Port device;
    if (!Take(outs, handle, device)) {
        return MMSYSERR_INVALHANDLE;
    }
    // A send still waiting on another thread fails, then the port goes.
    device.client->Remove(device.port);
    return MMSYSERR_NOERROR;
}

bool JackMidi::FindOut(HMIDIOUT handle, Port& device)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = outs.find(handle);
    if (found == outs.end()) {
        return false;
    }
    device = found->second;
    return true;
}

MMRESULT JackMidi::OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT)
{
    Port device;
    return FindOut(handle, device) ? PrepareOutputHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT)
{
    Port device;
    return FindOut(handle, device) ? UnprepareOutputHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT)
{
    Port device;
    if (!FindOut(handle, device)) {
        return MMSYSERR_INVALHANDLE;
    }
    return SendLongMessage(
        header, [&](const BYTE* data, std::size_t size) { return device.client->Send(device.port, data, size); });
}

}  // namespace platform
