// What the real MIDI backends share, free of any system API: the checks and
// marks on an output port's long-message headers, turning a raw MIDI byte
// stream into the long buffers that an input port posts, the input contract
// around those buffers (prepare, add, start, stop, reset, the callback), and
// the rules that name the system's MIDI devices.
#pragma once

#include "platform/mmsystem.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------------------
// Header flags, written the way a port reading them from another thread
// expects (the port polls dwFlags with an acquire load).
void SetHeaderFlags(MIDIHDR* header, DWORD flags);     // release
void ClearHeaderFlags(MIDIHDR* header, DWORD flags);   // release
DWORD HeaderFlags(const MIDIHDR* header);             // acquire

// ---------------------------------------------------------------------------
// An output port's long-message headers, checked and marked as the classic
// API does; the backend has checked the handle before.
MMRESULT PrepareOutputHeader(MIDIHDR* header);     // marks it prepared
MMRESULT UnprepareOutputHeader(MIDIHDR* header);   // MIDIERR_STILLPLAYING while queued
// Checks that a long message is there and prepared (MMSYSERR_NOERROR then).
MMRESULT CheckLongMessage(const MIDIHDR* header);

// What a backend's send returns when OutReset ended it: its bytes not yet
// out were dropped.  Never returned by a MidiApi call (SendLongMessage turns
// it into a finished header).
inline constexpr MMRESULT kSendEndedByReset = 0x7FFF0001;

// Sends a long message through `send(const BYTE*, std::size_t)`, which
// returns once the bytes are out: the header is queued meanwhile and done
// when the send succeeded, or when a reset ended it (the header then comes
// back as OutReset promises, done and with MMSYSERR_NOERROR).
template <typename Send>
MMRESULT SendLongMessage(MIDIHDR* header, Send&& send)
{
    if (const MMRESULT checked = CheckLongMessage(header); checked != MMSYSERR_NOERROR) {
        return checked;
    }
    ClearHeaderFlags(header, MHDR_DONE);
    SetHeaderFlags(header, MHDR_INQUEUE);
    MMRESULT result = send(reinterpret_cast<const BYTE*>(header->lpData), std::size_t{header->dwBufferLength});
    if (result == kSendEndedByReset) result = MMSYSERR_NOERROR;
    ClearHeaderFlags(header, MHDR_INQUEUE);
    if (result == MMSYSERR_NOERROR) {
        SetHeaderFlags(header, MHDR_DONE);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Collects the SysEx messages of a raw MIDI byte stream into posted buffers.
//
// - Realtime bytes (F8 to FF) are skipped wherever they appear, also inside a
//   SysEx message.
// - Everything outside SysEx (channel messages, running-status data, system
//   common messages) is ignored.
// - A buffer is complete when its message ends (F7) or when it is full; a
//   message longer than one buffer continues at the start of the next one.
// - A status byte other than F7 inside a SysEx message ends that message
//   early: the buffer is complete with the bytes it holds (no F7).
// - A message that begins, or must continue, while no buffer is posted is
//   dropped up to its end, so that no buffer ever starts in the middle of a
//   message that lost bytes.
//
// Not thread-safe: SysExInput below guards it.  Buffers are used as given
// (lpData, dwBufferLength; dwBytesRecorded counts what was written).
class SysExAssembler {
public:
    // Appends a buffer to the queue of posted buffers; dwBytesRecorded is
    // set to 0.
    void Post(MIDIHDR* header);

    // Reads bytes from `data` until one buffer is complete or the bytes run
    // out.  Returns the number of bytes consumed; `completed` is the buffer
    // taken off the queue, or nullptr.  Call again with the rest.
    std::size_t Feed(const BYTE* data, std::size_t size, MIDIHDR*& completed);

    // Takes the oldest posted buffer off the queue whatever it holds, or
    // nullptr when none is posted.
    MIDIHDR* TakeFront();
    // Takes the oldest buffer off the queue if it holds part of a message.
    MIDIHDR* TakePartial();

    // Forgets the message in progress (its remaining bytes are then ignored).
    void Restart();

    bool Holds(const MIDIHDR* header) const;
    std::size_t PostedCount() const { return queue.size(); }
    // Bytes of SysEx messages dropped for want of a buffer.
    std::size_t DroppedBytes() const { return dropped; }

private:
    MIDIHDR* Complete();

    std::deque<MIDIHDR*> queue;
    bool inSysEx = false;
    bool dropping = false;   // the current message has no buffer: skip it to its end
    std::size_t dropped = 0;
};

// ---------------------------------------------------------------------------
// One open input device's buffers and callback, as the port sees them:
//
// - Prepare / AddBuffer / Unprepare check and mark the header (MHDR_PREPARED,
//   MHDR_INQUEUE) as the classic API does.
// - Bytes are recorded only between Start and Stop/Reset; before that they
//   are read and thrown away.
// - Each completed buffer is marked done (MHDR_DONE, dwBytesRecorded set) and
//   handed to the callback with MIM_LONGDATA, the header as parameter 1 and
//   the milliseconds since Start as parameter 2.  The callback may post the
//   buffer again from inside (AddBuffer takes no lock the callback holds).
// - Stop hands back the buffer that holds part of a message; Reset hands back
//   every posted buffer, done, with what it holds, on the calling thread.
// - Callbacks never overlap: Feed, Stop and Reset deliver one at a time, and
//   Shutdown waits for a delivery in progress.  After Shutdown no callback
//   runs and no header is touched again.
class SysExInput {
public:
    SysExInput(HMIDIIN handle, MidiInProc callback, DWORD_PTR instance);
    SysExInput(const SysExInput&) = delete;
    SysExInput& operator=(const SysExInput&) = delete;

    MMRESULT Prepare(MIDIHDR* header);
    MMRESULT AddBuffer(MIDIHDR* header);
    MMRESULT Unprepare(MIDIHDR* header);
    MMRESULT Start();
    MMRESULT Stop();
    MMRESULT Reset();

    // Called by the backend's reading thread with the bytes that arrived.
    void Feed(const BYTE* data, std::size_t size);

    // The device went away: the callback gets MIM_CLOSE once, unless the
    // input was shut down before.
    void DeviceLost();

    // Forgets every posted buffer without handing it back (their INQUEUE
    // flags are cleared) and stops all further callbacks.
    void Shutdown();

    std::size_t PostedCount() const;
    std::size_t DroppedBytes() const;

private:
    void Deliver(MIDIHDR* header, DWORD_PTR time);   // callbackMutex held
    DWORD_PTR Timestamp() const;

    const HMIDIIN handle;
    const MidiInProc callback;
    const DWORD_PTR instance;

    std::mutex callbackMutex;   // one delivery at a time; taken before `mutex`
    mutable std::mutex mutex;   // guards everything below
    SysExAssembler assembler;
    bool started = false;
    bool shut = false;
    std::chrono::steady_clock::time_point startTime{};
};

// ---------------------------------------------------------------------------
// Device names.

// Cuts a UTF-8 name to at most 31 characters, never splitting one.
std::string CutDeviceName(std::string_view name);
// Writes the cut name with its terminating NUL into a caps record's szPname.
void CopyDeviceName(std::string_view name, char (&pname)[kMaxPnameLen]);

// An ALSA raw MIDI entry: the subdevice's own name when the card has several
// entries in that direction, else the card's name; the other name when the
// chosen one is empty.  Cut to 31 characters.
std::string RawMidiDeviceName(std::string_view cardName, std::string_view subdeviceName,
                              unsigned entriesOnCard);

// Tells apart entries that would be listed under one name: the second and
// later of a name get " (2)", " (3)"... in list order (cut so that the
// whole stays within 31 characters).
void NumberSameNames(std::vector<std::string>& names);

// JACK ports ("client:port") in the order given: a client with one port in
// the list is named by its client name, a client with several by each full
// port name.  Cut to 31 characters.
std::vector<std::string> JackDeviceNames(const std::vector<std::string>& portNames);

}  // namespace platform
