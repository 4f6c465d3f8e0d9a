// One MIDI input device: a single 8,192-byte receive buffer at the driver,
// and a first-in-first-out queue of the messages the driver handed back.
#pragma once

#include "platform/mmsystem.h"

#include <atomic>
#include <cstdint>
#include <mutex>

class CMidiInPort {
public:
    static constexpr platform::DWORD kBufferSize = 8192;

    // One queue entry: a copy of the bytes of one returned buffer.
    struct ReceivedMessage {
        std::uint8_t* bytes = nullptr;   // owned, exactly `count` bytes
        std::uint32_t count = 0;         // dwBytesRecorded of that buffer
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
    void RemoveFirstMessage();

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
    platform::MIDIHDR* header = nullptr;
    platform::UINT deviceId = 0;
    int started = 0;

    // The size of the header handed to the driver.
    static constexpr platform::UINT kHeaderSize = sizeof(platform::MIDIHDR);

private:
    void ReleaseBuffer();
    void Append(ReceivedMessage* entry);

    std::mutex queueMutex;                 // guards the queue links; held only briefly
    ReceivedMessage* firstMessage = nullptr;
    ReceivedMessage* lastMessage = nullptr;
    std::atomic<bool> closing{false};      // set while Close runs: the callback hands no buffer back
    std::mutex handBackMutex;              // makes "not closing, hand back" one step against Close
    std::atomic<bool> bufferAtDriver{false};  // the driver holds the receive buffer
    std::mutex lifeMutex;                  // Start and Close one at a time
    std::atomic<platform::UINT> wakeEvent{0};
    void (*lostHandler)(void*) = nullptr;  // set once, before the port is started
    void* lostContext = nullptr;
};
