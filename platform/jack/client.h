// MIDI through a running JACK server.
//
// JackMidiClient is one JACK client with MIDI ports of its own.  Its process
// callback never allocates and never takes a lock that can block: messages
// pass between it and the other threads through lock-free ring buffers, and
// it wakes waiting threads with a semaphore post.  An output port carries one
// message at a time, written out whole in one process cycle; an input port
// copies each event whole into its ring or, when the ring is full, drops it
// and counts it.  Once its server has gone, a client makes no more calls into
// libjack (which deletes such clients itself when the next client opens):
// its sends fail and its lists are empty.
#pragma once

#include "platform/mmsystem.h"

#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <semaphore.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// The largest message the updater sends or receives: a write block of 4,096
// data bytes, 7-bit packed, with its command bytes.
inline constexpr std::size_t kJackLargestMessage = 4700;

// Makes libjack quiet: its errors and notices go nowhere.
void SilenceJack();

class JackMidiClient {
public:
    // A port of this client: slot index and generation, so that an id of a
    // removed port never reaches a new one in the same slot.
    using PortId = std::uint32_t;
    static constexpr PortId kNoPort = 0;
    static constexpr std::size_t kMaxPorts = 16;

    static constexpr std::size_t kOutputRingBytes = 16384;   // a few largest messages
    static constexpr std::size_t kInputRingBytes = 65536;    // many replies
    // How long a send waits for the process callback to take its message.
    static constexpr std::chrono::milliseconds kSendTimeout{3000};

    // Connects to the running server as a client named `name`; with
    // exactName the server may not pick another name when that one is taken.
    // nullptr (and nothing printed) when no server runs.
    static std::unique_ptr<JackMidiClient> Open(const std::string& name, bool exactName, std::string* error = nullptr);
    // Deletes a client, except one whose server is stopped: that one is left
    // whole to the server and its threads (they may run again on it) until
    // the process ends.  The deleter of a shared client.
    static void Release(JackMidiClient* client);
    ~JackMidiClient();
    JackMidiClient(const JackMidiClient&) = delete;
    JackMidiClient& operator=(const JackMidiClient&) = delete;

    std::string Name() const;   // as the server granted it
    bool ServerGone() const { return serverGone.load(std::memory_order_acquire); }
    // The server runs no process cycles (stopped or hung) for kStallProbe:
    // a request to it would wait for as long as it stays so.
    bool ServerStalled() const;
    static constexpr std::chrono::milliseconds kStallProbe{250};
    std::uint32_t SampleRate() const;
    std::uint32_t BufferFrames() const;

    // MIDI ports of the other clients: those that send (theySend) or those
    // that receive, in the server's order.
    std::vector<std::string> OtherPorts(bool theySend) const;

    // Registers a port with the short name given; kNoPort on failure.
    PortId AddInput(const std::string& shortName);
    PortId AddOutput(const std::string& shortName);
    std::string PortName(PortId port) const;   // full name, "client:port"
    // Connects another client's port: to our input from it, or from our
    // output to it.
    bool Connect(PortId port, const std::string& otherPort);
    // Disconnects, stops the process callback's use of it, unregisters.  A
    // send waiting on it fails.
    void Remove(PortId port);

    // Output: queues the message and waits until the process callback has
    // written it out whole.  MMSYSERR_NOERROR then; MMSYSERR_INVALPARAM for a
    // message that can never go out whole (larger than the ring or than the
    // server's largest event); MIDIERR_NODEVICE when the port is removed or
    // the server goes away; MMSYSERR_ERROR when the server takes nothing for
    // kSendTimeout; kSendEndedByReset when Reset ended it.
    MMRESULT Send(PortId port, const BYTE* data, std::size_t size);
    // Ends the sends on the port at once, also those waiting for their turn:
    // the messages the process callback has not taken yet never go out.
    void Reset(PortId port);
    // The largest event the server takes on this output port (0 until the
    // first process cycle has measured it).
    std::size_t MaxEventSize(PortId port) const;
    // Waits up to `timeout` for the first measurement; the size, or 0.
    std::size_t WaitMaxEventSize(PortId port, std::chrono::milliseconds timeout) const;

    // Input: waits until some input event may have arrived (or the time-out
    // passed, or the server went away), then Receive takes the events one by
    // one.  Only one thread may receive from a port.
    void WaitInput(std::chrono::milliseconds timeout);
    void WakeInput();   // ends a WaitInput early (stopping)
    bool Receive(PortId port, std::vector<BYTE>& event);
    // Ports, clients and connections of the server change: a count that
    // grows with every change the server reports (its callbacks only count
    // and wake WaitInput; the graph is looked at outside them).
    std::uint64_t GraphChanges() const { return graphChanges.load(std::memory_order_acquire); }
    // Whether our port `ours` (full name) is connected to the other
    // client's port `target`.  A connection just made may not show yet (the
    // server's graph changes at its next cycle); a port that is gone is gone.
    // Not from a JACK callback.
    enum class Link { Linked, NotYet, Gone };
    Link Linked(const std::string& ours, const std::string& target) const;
    // The other side of the port went away: its sends fail with
    // MIDIERR_NODEVICE from here on, a waiting one at once.
    void MarkLost(PortId port);
    // Events lost because an input ring was full.
    std::uint64_t DroppedEvents() const { return droppedEvents.load(std::memory_order_relaxed); }

private:
    struct Slot {
        // 0: not processed, 1: the process callback may use it, 2: in use by it.
        std::atomic<int> gate{0};
        bool used = false;               // guarded by JackMidiClient::mutex
        std::uint32_t generation = 0;    // guarded by JackMidiClient::mutex
        bool output = false;
        jack_port_t* port = nullptr;
        jack_ringbuffer_t* ring = nullptr;
        std::atomic<bool> closing{false};
        std::atomic<std::uint64_t> queued{0};    // last sequence number queued (senders)
        std::atomic<std::uint64_t> written{0};   // last sequence number taken (process)
        std::atomic<std::uint64_t> failed{0};    // last sequence number that could never fit
        std::atomic<std::uint64_t> withdrawn{0}; // records up to this one are dropped, not sent (a send gave up, a reset)
        std::atomic<std::uint64_t> resets{0};    // Reset calls on the port so far
        std::atomic<std::size_t> maxEvent{0};
        std::mutex sendMutex;   // one message in flight; also held while the ring goes
        std::mutex readMutex;   // the receiving thread; also held while the ring goes
    };

    JackMidiClient() = default;
    static int Process(std::uint32_t frames, void* arg);
    // What libjack's notification thread reaches (the shutdown and graph
    // callbacks): kept apart from the client, so that a client left to a
    // stopped server can go while that thread may still call later.
    struct Notices {
        std::mutex mutex;
        JackMidiClient* owner = nullptr;   // none once the client has gone
    };
    static void Notify(void* arg, void (JackMidiClient::*what)());
    void ServerShutdown();
    static void Shutdown(jack_status_t code, const char* reason, void* arg);
    static void PortRegistered(jack_port_id_t port, int registered, void* arg);
    static void ClientRegistered(const char* name, int registered, void* arg);
    static void PortConnected(jack_port_id_t a, jack_port_id_t b, int connected, void* arg);
    void GraphChanged();
    bool ProcessOutput(Slot& slot, std::uint32_t frames);   // true when a message was taken
    bool ProcessInput(Slot& slot, std::uint32_t frames);    // true when an event was copied
    PortId AddPort(const std::string& shortName, bool output);
    Slot* Find(PortId port) const;         // nullptr for a stale or unknown id
    Slot* FindLocked(PortId port) const;   // the same with the mutex held
    // True when the process callback was seen out of the slot; false when
    // it was forced shut with the callback possibly still inside.
    static bool CloseGate(Slot& slot, bool serverGone);

    jack_client_t* client = nullptr;
    std::string grantedName;
    mutable std::mutex mutex;   // guards port registration and slot ownership
    mutable std::array<Slot, kMaxPorts> slots;
    std::atomic<bool> serverGone{false};
    Notices* notices = nullptr;   // owned; left behind with a stopped server
    std::atomic<std::uint64_t> cycles{0};   // process cycles run
    std::atomic<std::uint64_t> droppedEvents{0};
    std::atomic<std::uint64_t> graphChanges{0};
    sem_t inputReady;
    mutable sem_t outputTaken;
    bool semaphoresReady = false;
};

}  // namespace platform
