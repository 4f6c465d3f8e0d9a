// The virtual ARKO Q9 as a MIDI backend: the device model behind one input
// and one output device, both named "ARKO Q9", served from a thread of its own.
#pragma once

#include "platform/mmsystem.h"
#include "virtual_device/virtual_q9.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// One more MIDI backend: input device 0 and output device 0, both "ARKO Q9".
// The device runs on a thread of its own.  OutLongMsg copies the message and
// returns at once; the header is marked done (std::atomic_ref on dwFlags)
// from the device thread when the modelled link time has passed.  Replies
// fill the host's queued input buffers (split across buffers when longer than
// one) and are handed back through the callback with MIM_LONGDATA from the
// device thread.  Each message of concurrent senders is handled whole.
//
// The faults on the host's sends (stall=, cut=, ghost=) count the calls of
// OutLongMsg.  stall= sets the link's start stall-ms later, so the header is
// done that late (or the sender's own limit runs out first, and its reset
// drops the message, none of it on the link yet); ghost= refuses
// the send with MMSYSERR_ERROR, as a backend whose send limit ran out does,
// and the bytes still reach the device kGhostLateMs after the send would
// have finished.  dup= queues a reply twice; reorder= keeps the replies in
// `reordered` until the device has answered the next message (whatever
// its replies' fate) and sends them right behind those replies, or sends
// them reorder-ms after they were due when no message comes.
class VirtualMidi final : public platform::MidiApi {
public:
    explicit VirtualMidi(const VirtualDeviceSettings& settings);
    ~VirtualMidi() override;   // stops the thread; flash=PATH is saved
    VirtualMidi(const VirtualMidi&) = delete;
    VirtualMidi& operator=(const VirtualMidi&) = delete;

    // The model, for tests, while no message is in flight.
    VirtualQ9& Device() { return device; }
    std::vector<std::uint8_t> FlashCopy();                // any time
    std::vector<VirtualQ9::LogEntry> LogCopy();           // any time

    // Queues a device-originated message for the host (the link time applies).
    void SendFromDevice(std::vector<std::uint8_t> message);
    // The last kHostMessagesKept messages the host sent, in order (copies),
    // and the bytes of every message it sent.  Only the last few are kept: a
    // device in use for hours would otherwise keep every block it was sent.
    static constexpr std::size_t kHostMessagesKept = 16;
    // ghost=N: how long after the failed send the device reads the message.
    static constexpr std::uint32_t kGhostLateMs = 50;
    std::vector<std::vector<std::uint8_t>> HostMessages();
    std::uint64_t HostBytes();
    // Waits until nothing is in flight in either direction, at most timeoutMs; true if so.
    bool WaitIdle(std::uint32_t timeoutMs);
    // Replies that found the input closed or stopped and were discarded.
    std::uint32_t DiscardedReplies();
    // The last failure to write flash=PATH back, or empty.
    std::string LastSaveError();
    // The name both devices show ("ARKO Q9" unless set).
    void SetDeviceName(const std::string& name);
    std::string Name();

    platform::UINT InGetNumDevs() override;
    platform::MMRESULT InGetDevCaps(platform::UINT id, platform::MIDIINCAPSA* caps, platform::UINT size) override;
    platform::MMRESULT InOpen(platform::HMIDIIN* handle, platform::UINT id, platform::MidiInProc callback,
                              platform::DWORD_PTR instance, platform::DWORD flags) override;
    platform::MMRESULT InReset(platform::HMIDIIN handle) override;
    platform::MMRESULT InPrepareHeader(platform::HMIDIIN handle, platform::MIDIHDR* header,
                                       platform::UINT size) override;
    platform::MMRESULT InAddBuffer(platform::HMIDIIN handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT InStart(platform::HMIDIIN handle) override;
    platform::MMRESULT InStop(platform::HMIDIIN handle) override;
    platform::MMRESULT InUnprepareHeader(platform::HMIDIIN handle, platform::MIDIHDR* header,
                                         platform::UINT size) override;
    platform::MMRESULT InClose(platform::HMIDIIN handle) override;

    platform::UINT OutGetNumDevs() override;
    platform::MMRESULT OutGetDevCaps(platform::UINT id, platform::MIDIOUTCAPSA* caps, platform::UINT size) override;
    platform::MMRESULT OutOpen(platform::HMIDIOUT* handle, platform::UINT id, platform::DWORD_PTR callback,
                               platform::DWORD_PTR instance, platform::DWORD flags) override;
    platform::MMRESULT OutClose(platform::HMIDIOUT handle) override;
    platform::MMRESULT OutPrepareHeader(platform::HMIDIOUT handle, platform::MIDIHDR* header,
                                        platform::UINT size) override;
    platform::MMRESULT OutLongMsg(platform::HMIDIOUT handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT OutUnprepareHeader(platform::HMIDIOUT handle, platform::MIDIHDR* header,
                                          platform::UINT size) override;
    // Ends every send in flight: the bytes already on the link reach the
    // device (a message cut short), the rest never does; the headers are done.
    platform::MMRESULT OutReset(platform::HMIDIOUT handle) override;

private:
    using Clock = std::chrono::steady_clock;
    struct Timed {
        enum class What { Done, Arrive, Deliver, Release };   // Release: reordered replies waited long enough
        What what;
        std::uint64_t send = 0;                // Done, Arrive: which send (Arrive: 0 for a refused one)
        std::vector<std::uint8_t> bytes;       // Arrive, Deliver
        Clock::time_point start{};             // Arrive: when its first byte went on the link
    };
    using TimeKey = std::pair<Clock::time_point, std::uint64_t>;

    void Run();
    void HandleArrival(const std::vector<std::uint8_t>& bytes, Clock::time_point at);
    void HandleMessage(Clock::time_point at);
    void ReleaseReordered(Clock::time_point at);
    void QueueForHost(std::vector<std::uint8_t> bytes, Clock::time_point ready);
    void DeliverToHost(std::unique_lock<std::mutex>& lock);
    void ReturnInputBuffers(std::unique_lock<std::mutex>& lock);
    void FinishInFlightSends();
    void FinishSend(platform::MIDIHDR* header);   // mutex held
    void WaitForCallbacks(std::unique_lock<std::mutex>& lock);
    void SaveLocked();
    Clock::duration LinkTime(std::size_t bytes) const;
    bool IsIn(platform::HMIDIIN handle) const { return inOpen && handle == inHandle; }
    bool IsOut(platform::HMIDIOUT handle) const { return outOpen && handle == outHandle; }

    std::mutex mutex;
    std::condition_variable wake;      // the device thread: new work or stop
    std::condition_variable idle;      // callbacks finished, queues drained
    VirtualQ9 device;
    bool stopping = false;

    // Time line: events ordered by time, then by order of arrival.
    std::multimap<TimeKey, Timed> timeline;
    std::uint64_t sequence = 0;
    Clock::time_point hostLinkFree{};
    Clock::time_point deviceFree{};
    Clock::time_point replyLinkFree{};

    // Host -> device byte stream: the SysEx message being collected.
    std::vector<std::uint8_t> incoming;
    bool inSysEx = false;
    std::deque<std::vector<std::uint8_t>> hostMessages;   // the last kHostMessagesKept
    std::uint64_t hostBytes = 0;
    std::uint32_t hostSends = 0;                          // counted by stall=, cut= and ghost=

    // reorder=N: replies held back until the device answers another message.
    std::vector<std::vector<std::uint8_t>> reordered;
    Clock::time_point reorderedDue{};
    std::optional<TimeKey> reorderRelease;                // their Release event, while one is due

    // Output device.
    bool outOpen = false;
    platform::HMIDIOUT outHandle = 0;
    platform::MidiOutProc outCallback = nullptr;   // MOM_DONE for each finished header
    platform::DWORD_PTR outInstance = 0;
    std::map<std::uint64_t, platform::MIDIHDR*> inFlight;   // sends whose header is not yet done
    std::uint64_t nextSend = 1;

    // Input device.
    bool inOpen = false;
    bool inStarted = false;
    platform::HMIDIIN inHandle = 0;
    platform::MidiInProc inCallback = nullptr;
    platform::DWORD_PTR inInstance = 0;
    std::deque<platform::MIDIHDR*> inBuffers;             // queued by the host
    std::deque<std::vector<std::uint8_t>> toHost;         // replies due, waiting for a buffer
    std::size_t toHostOffset = 0;                         // bytes of toHost.front() already delivered
    int callbacksRunning = 0;
    std::thread::id deviceThreadId;
    std::uint32_t discarded = 0;

    std::uintptr_t nextHandle = 0x9000;
    std::string saveError;
    std::string deviceName = VirtualQ9::kDeviceName;

    std::thread thread;   // last: started when everything above exists
};

// Parses the settings and builds the backend; nullptr with `error` set on a
// bad item or an unusable flash file.
std::unique_ptr<VirtualMidi> MakeVirtualMidi(const std::string& settings, std::string& error);
