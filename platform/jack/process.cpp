// The JACK process callback of a JackMidiClient, its shutdown callback and
// the callbacks of changes to the server's graph.
#include "platform/jack/client.h"

#include "platform/jack/ring_records.h"

#include <jack/midiport.h>

namespace platform {

using namespace jack_ring;

namespace {

// One process cycle of any client of ours hands port buffers to the next.
char processCycles;

}  // namespace

// ---------------------------------------------------------------------------
// The process callback: no allocation, no lock, no wait.

int JackMidiClient::Process(std::uint32_t frames, void* arg)
{
    auto* self = static_cast<JackMidiClient*>(arg);
    self->cycles.fetch_add(1, std::memory_order_relaxed);
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
        if (header.seq <= slot.withdrawn.load(std::memory_order_acquire)) {
            // Its send gave up or a reset ended it: the sender reports it
            // as in doubt, and it does not go out late.
            TakeRecord(slot.ring, header, nullptr);
            slot.written.store(header.seq, std::memory_order_release);
            took = true;
            continue;
        }
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

void JackMidiClient::Notify(void* arg, void (JackMidiClient::*what)())
{
    auto* notices = static_cast<Notices*>(arg);
    std::lock_guard<std::mutex> lock(notices->mutex);
    if (notices->owner != nullptr) (notices->owner->*what)();
}

void JackMidiClient::ServerShutdown()
{
    serverGone.store(true, std::memory_order_release);
    sem_post(&outputTaken);
    sem_post(&inputReady);
}

void JackMidiClient::Shutdown(jack_status_t, const char*, void* arg)
{
    Notify(arg, &JackMidiClient::ServerShutdown);
}

// The graph callbacks run on libjack's notification thread, where no JACK
// call is allowed: they count the change and wake the reader, which looks.

void JackMidiClient::GraphChanged()
{
    graphChanges.fetch_add(1, std::memory_order_release);
    sem_post(&inputReady);
}

void JackMidiClient::PortRegistered(jack_port_id_t, int, void* arg)
{
    Notify(arg, &JackMidiClient::GraphChanged);
}

void JackMidiClient::ClientRegistered(const char*, int, void* arg)
{
    Notify(arg, &JackMidiClient::GraphChanged);
}

void JackMidiClient::PortConnected(jack_port_id_t, jack_port_id_t, int, void* arg)
{
    Notify(arg, &JackMidiClient::GraphChanged);
}

}  // namespace platform
