// One MIDI output device; sends one SysEx message at a time and waits until
// the driver is done with it.
#pragma once

#include "platform/mmsystem.h"

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <mutex>

class CMidiOutPort {
public:
    CMidiOutPort() = default;
    CMidiOutPort(const CMidiOutPort&) = delete;
    CMidiOutPort& operator=(const CMidiOutPort&) = delete;
    ~CMidiOutPort();

    int Open(platform::UINT id);   // 1 on success, 0 on failure
    int Close();                   // 1 if a device was closed, 0 if none was held

    // Blocking send of one complete SysEx message described by the caller's
    // header (lpData, dwBufferLength, dwFlags 0).  1 when sent, 0 on failure.
    int SendLongMessage(platform::MIDIHDR* header);

    // Called on the sending thread, before the send fails, when the driver
    // says the device is gone (MMSYSERR_NODRIVER).  Set before sends start.
    void SetDeviceLostHandler(void (*handler)(void*), void* context);

    static void GetDeviceName(platform::UINT id, char* name /* kDeviceNameCapacity bytes */);
    static platform::UINT GetDeviceCount();

    // Registered by Open with the port as instance data: MOM_DONE wakes the
    // sends waiting for their headers.
    static void MidiOutCallback(platform::HMIDIOUT handle, platform::UINT msg, platform::DWORD_PTR instance,
                                platform::DWORD_PTR param1, platform::DWORD_PTR param2);

    // How long a send waits for the driver to mark its header done: this,
    // or twice the time the message needs at the pace the link has shown
    // (bounded), whichever is longer.
    static constexpr platform::UINT kDoneWaitLimitMs = 5000;
    static constexpr platform::UINT kDoneWaitCeilingMs = 120000;
    static constexpr platform::UINT kPaceMinMs = 5;   // shorter sends say nothing about the link
    // The limit this port applies; tests shorten it.
    std::atomic<platform::UINT> doneWaitLimitMs{kDoneWaitLimitMs};
    // The last send failed because the driver did not finish it in time
    // (the port was open and took the message).
    bool LastSendTimedOut() const { return lastSendTimedOut.load(); }
    // The pace seen, in bytes per second (0: none measured yet).
    std::uint32_t SlowestBytesPerSecond() const;
    // The size of the header handed to the driver.
    static constexpr platform::UINT kHeaderSize = sizeof(platform::MIDIHDR);

    std::atomic<platform::HMIDIOUT> handle{0};
    platform::UINT deviceId = 0;

private:
    std::mutex closeMutex;        // Close waits here for sends in flight
    std::atomic<int> sendsInFlight{0};
    std::mutex doneMutex;         // orders a send's look at its done bit against MOM_DONE
    std::condition_variable doneSignalled;
    std::atomic<std::uint64_t> slowestNsPerByte{0};   // averaged ns per byte of the sends that measured the link
    std::atomic<bool> lastSendTimedOut{false};
    void (*lostHandler)(void*) = nullptr;
    void* lostContext = nullptr;
};
