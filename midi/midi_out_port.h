// One MIDI output device; sends one SysEx message at a time and waits until
// the driver is done with it.  What the driver may still touch (the message
// in flight, its header, the callback's instance data) is the port's own, on
// the heap, until the driver has given it back.
#pragma once

#include "platform/mmsystem.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class CMidiOutPort {
public:
    CMidiOutPort() = default;
    CMidiOutPort(const CMidiOutPort&) = delete;
    CMidiOutPort& operator=(const CMidiOutPort&) = delete;
    ~CMidiOutPort();

    int Open(platform::UINT id);   // 1 on success, 0 on failure
    // 1 if a device was held (and is let go, whatever the driver answers),
    // 0 if none was.  A send in flight is ended first (midiOutReset).
    int Close();

    // Without waiting for anything: the device is reset, so that the send in
    // flight ends at once, and every later send fails at once.  The device
    // stays held until Close (or an Open) lets it go.
    void Interrupt();

    // Blocking send of one complete SysEx message described by the caller's
    // header (lpData, dwBufferLength).  The port sends a copy of its own: the
    // caller's header and bytes are only read, before the send begins.
    // 1 when sent, 0 on failure.
    int SendLongMessage(const platform::MIDIHDR* header);

    // Called when the device is gone: a send that the driver refuses with
    // MMSYSERR_NODRIVER or MIDIERR_NODEVICE (on the sending thread, before
    // the send fails), or the driver's MOM_CLOSE outside Close (on the
    // driver's thread).  Set before the port is opened; the handler takes
    // only short locks and calls no MIDI function.
    void SetDeviceLostHandler(void (*handler)(void*), void* context);

    static void GetDeviceName(platform::UINT id, char* name /* kDeviceNameCapacity bytes */);
    static platform::UINT GetDeviceCount();

    // Registered by Open, with the open device's record as instance data:
    // MOM_DONE wakes the sends waiting for their headers, MOM_CLOSE outside
    // Close calls the lost handler.
    static void MidiOutCallback(platform::HMIDIOUT handle, platform::UINT msg, platform::DWORD_PTR instance,
                                platform::DWORD_PTR param1, platform::DWORD_PTR param2);

    // How long a send waits for the driver to mark its header done: this,
    // or twice the time the message needs at the pace the link has shown
    // (bounded), whichever is longer.
    static constexpr platform::UINT kDoneWaitLimitMs = 5000;
    static constexpr platform::UINT kDoneWaitCeilingMs = 120000;
    static constexpr platform::UINT kPaceMinMs = 5;   // shorter sends say nothing about the link
    // After the reset that ends a send, how long it waits for the driver to
    // give the header back (at most doneWaitLimitMs).
    static constexpr platform::UINT kResetWaitMs = 1000;
    // The limit this port applies; tests shorten it.
    std::atomic<platform::UINT> doneWaitLimitMs{kDoneWaitLimitMs};
    // The last send failed although the port was open and the driver took
    // the message: it did not finish in time, or a reset cut it short.
    bool LastSendTimedOut() const { return lastSendTimedOut.load(); }
    // The pace seen, in bytes per second (0: none measured yet).
    std::uint32_t SlowestBytesPerSecond() const;
    // The size of the header handed to the driver.
    static constexpr platform::UINT kHeaderSize = sizeof(platform::MIDIHDR);

    std::atomic<platform::HMIDIOUT> handle{0};
    platform::UINT deviceId = 0;

private:
    struct Record;   // one message: its header and bytes
    struct Link;     // one open device: what its driver may reach

    // Closes the device held, if any (closeMutex held); true if one was.
    bool CloseHeld();
    // Takes a message back from the driver: freed once unprepared, else kept
    // by the link until the device is closed.
    static void Reclaim(Link& link, std::unique_ptr<Record> record);

    std::mutex closeMutex;             // Open and Close one at a time
    std::mutex linkMutex;              // taking the link away against Interrupt; held only briefly
    std::atomic<Link*> link{nullptr};  // the open device (owned), nullptr when none
    std::atomic<int> sendsInFlight{0};
    std::atomic<std::uint64_t> slowestNsPerByte{0};   // averaged ns per byte of the sends that measured the link
    std::atomic<bool> lastSendTimedOut{false};
    void (*lostHandler)(void*) = nullptr;
    void* lostContext = nullptr;
};
