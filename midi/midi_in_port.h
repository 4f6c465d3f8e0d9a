// One MIDI input device: several 8,192-byte receive buffers at the driver,
// and a first-in-first-out queue of the messages the driver handed back.
#pragma once

#include "platform/mmsystem.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

class CMidiInPort {
public:
    static constexpr platform::DWORD kBufferSize = 8192;
    // Buffers at the driver: while the port gives one back, the others take
    // what arrives meanwhile.  On a busy machine the thread that gives them
    // back may not run for tens of milliseconds while the device answers
    // request after request: each of those replies needs a buffer of its own.
    static constexpr std::size_t kBufferCount = 32;

    // One queue entry: a copy of the bytes of one returned buffer.
    struct ReceivedMessage {
        std::uint8_t* bytes = nullptr;   // owned, at least `count` bytes
        std::uint32_t count = 0;         // dwBytesRecorded of that buffer
        bool damaged = false;            // the driver returned it with MIM_LONGERROR
        ReceivedMessage* next = nullptr;
    };

    CMidiInPort();
    CMidiInPort(const CMidiInPort&) = delete;
    CMidiInPort& operator=(const CMidiInPort&) = delete;
    ~CMidiInPort();

    int Start();   // 1 on success, 0 on failure
    void Close();

    // Oldest queued message, or nullptr; valid until RemoveFirstMessage.
    const std::uint8_t* GetFirstMessage();
    // Same, with the number of bytes it holds (0 when the queue is empty).
    const std::uint8_t* GetFirstMessage(std::uint32_t& count);
    // Same, and whether the driver reported the message incomplete or
    // malformed (MIM_LONGERROR): such an entry may hold no bytes at all.
    const std::uint8_t* GetFirstMessage(std::uint32_t& count, bool& damaged);
    void RemoveFirstMessage();

    // Buffers the driver returned with MIM_LONGERROR since the port was made.
    std::uint32_t LongErrors() const { return longErrors.load(); }
    // Buffers of every port that a driver kept after a failed close: their
    // memory stays reserved for the rest of the process.
    static std::size_t ParkedBuffers();

    // The timer event (timeSetWakeableEvent) that the callback wakes after
    // it has queued a message, so that the queue is read at once; 0: none.
    void SetWakeEvent(platform::UINT eventId) { wakeEvent.store(eventId); }

    static void GetDeviceName(platform::UINT id, char* name /* kDeviceNameCapacity bytes */);
    static platform::UINT GetDeviceCount();

    static void MidiInCallback(platform::HMIDIIN handle, platform::UINT msg, platform::DWORD_PTR instance,
                               platform::DWORD_PTR param1, platform::DWORD_PTR param2);

    // Called on the driver's thread when the device goes away while the
    // port is started (the driver's MIM_CLOSE outside Close).
    void SetDeviceLostHandler(void (*handler)(void*), void* context);

    platform::HMIDIIN handle = 0;
    // The receive buffers while the port is started (nullptr otherwise).
    std::array<std::atomic<platform::MIDIHDR*>, kBufferCount> headers{};
    platform::UINT deviceId = 0;
    int started = 0;

    // The size of the header handed to the driver.
    static constexpr platform::UINT kHeaderSize = sizeof(platform::MIDIHDR);

private:
    // Index of one of this run's buffers, or kBufferCount.
    std::size_t IndexOf(const platform::MIDIHDR* header) const;
    // Queues a copy of what a returned buffer holds.
    void Take(const platform::MIDIHDR* returned, bool damaged);
    void Append(ReceivedMessage* entry);
    // Stop (when asked), reset, unprepare and close, each whatever the one
    // before returned; then the buffers go.
    void Teardown(bool stop, bool reset, std::size_t prepared);
    void ReleaseBuffers();
    // Ends the hand-back thread; from here no buffer goes back to the driver.
    void EndHandBack();
    // The hand-back thread: adds each buffer the driver returned again.
    void HandBack();

    std::mutex queueMutex;                 // guards the queue links; held only briefly
    ReceivedMessage* firstMessage = nullptr;
    ReceivedMessage* lastMessage = nullptr;

    // Buffers the driver returned, for the hand-back thread to add again.
    // While `closing` is set (from the start of Close, and before Start has
    // its buffers at the driver) nothing is queued here.
    std::mutex handBackMutex;
    std::condition_variable handBackWake;
    std::array<platform::MIDIHDR*, kBufferCount> returned{};
    std::size_t returnedCount = 0;
    std::atomic<bool> closing{true};       // written under handBackMutex
    bool handBackStop = false;
    std::thread handBackThread;

    std::array<std::atomic<bool>, kBufferCount> atDriver{};   // the driver holds that buffer
    std::atomic<std::uint32_t> longErrors{0};
    std::mutex lifeMutex;                  // Start and Close one at a time
    std::atomic<platform::UINT> wakeEvent{0};
    void (*lostHandler)(void*) = nullptr;  // set once, before the port is started
    void* lostContext = nullptr;
};
