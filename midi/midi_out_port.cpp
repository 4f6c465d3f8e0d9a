// One MIDI output device; a blocking SysEx send that waits, for a bounded
// time, until the driver is done with the caller's header.
//
// The driver says so with MOM_DONE through the port's callback, after it has
// set the header's done bit.  A send looks at its bit under doneMutex and
// the callback takes doneMutex before it notifies, so a completion is never
// missed; two sends on two threads each wait for their own header's bit.
// A driver that is finished before midiOutLongMsg returns costs no wait.
//
// Close against a send on another thread: a send counts itself in
// sendsInFlight before it reads the handle; Close takes the handle away
// first and then waits until no send is in flight, so the device is never
// closed under a send that still uses it.
#include "midi/midi_out_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>

using namespace platform;

CMidiOutPort::~CMidiOutPort()
{
    Close();
}

int CMidiOutPort::Open(UINT id)
{
    std::lock_guard<std::mutex> lock(closeMutex);
    if (handle.load() != 0) {
        if (id == deviceId) return 1;
        // Close, under the lock already held.
        const HMIDIOUT held = handle.exchange(0);
        while (sendsInFlight.load() != 0) Sleep(1);
        midiOutClose(held);
    }
    deviceId = id;
    HMIDIOUT opened = 0;
    if (midiOutOpen(&opened, id, reinterpret_cast<DWORD_PTR>(&CMidiOutPort::MidiOutCallback),
                    reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        return 0;
    handle.store(opened);
    return 1;
}

int CMidiOutPort::Close()
{
    std::lock_guard<std::mutex> lock(closeMutex);
    const HMIDIOUT held = handle.exchange(0);
    if (held == 0) return 0;
    // Sends that took the handle before it went away finish first (each is
    // bounded by the done-bit limit).
    while (sendsInFlight.load() != 0) Sleep(1);
    midiOutClose(held);
    return 1;
}

int CMidiOutPort::SendLongMessage(MIDIHDR* header)
{
    struct InFlight {
        std::atomic<int>& count;
        explicit InFlight(std::atomic<int>& c) : count(c) { count.fetch_add(1); }
        ~InFlight() { count.fetch_sub(1); }
    } inFlight(sendsInFlight);

    const HMIDIOUT held = handle.load();
    if (held == 0 || header == nullptr) return 0;

    if (midiOutPrepareHeader(held, header, kHeaderSize) != MMSYSERR_NOERROR) return 0;
    if (const MMRESULT sent = midiOutLongMsg(held, header, kHeaderSize); sent != MMSYSERR_NOERROR) {
        // Refused: the driver never took the header; undo the preparation.
        midiOutUnprepareHeader(held, header, kHeaderSize);
        if (sent == MMSYSERR_NODRIVER && lostHandler != nullptr) lostHandler(lostContext);
        return 0;
    }

    // A long message on a slow link takes its time: the limit grows with
    // the message at the slowest pace seen.
    const auto started = std::chrono::steady_clock::now();
    const std::uint64_t needMs = 2 * slowestNsPerByte.load() * header->dwBufferLength / 1000000;
    const std::uint64_t limitMs = std::max<std::uint64_t>(doneWaitLimitMs.load(), std::min<std::uint64_t>(needMs, kDoneWaitCeilingMs));
    const auto deadline = started + std::chrono::milliseconds(limitMs);
    std::atomic_ref<DWORD> flags(header->dwFlags);
    bool done = false;
    {
        std::unique_lock<std::mutex> lock(doneMutex);
        done = doneSignalled.wait_until(
            lock, deadline, [&] { return (flags.load(std::memory_order_acquire) & MHDR_DONE) != 0; });
    }
    // Not done: the driver never finished (device gone).  There is no way to
    // take the header back; unprepare (the driver refuses while it still
    // holds it) and report the failure.
    midiOutUnprepareHeader(held, header, kHeaderSize);
    lastSendTimedOut.store(!done);
    // The pace of the link: sends long enough to be the link's and not the
    // machine's (a few ms and more), averaged so that one hiccup fades.
    const auto took = std::chrono::steady_clock::now() - started;
    if (done && header->dwBufferLength > 0 && took >= std::chrono::milliseconds(kPaceMinMs)) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(took);
        const std::uint64_t perByte = static_cast<std::uint64_t>(ns.count()) / header->dwBufferLength;
        std::uint64_t seen = slowestNsPerByte.load();
        while (!slowestNsPerByte.compare_exchange_weak(seen, seen == 0 ? perByte : (3 * seen + perByte) / 4)) {
        }
    }
    return done ? 1 : 0;
}

std::uint32_t CMidiOutPort::SlowestBytesPerSecond() const
{
    const std::uint64_t ns = slowestNsPerByte.load();
    return ns == 0 ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(1000000000ull / ns, 0xFFFFFFFFu));
}

void CMidiOutPort::SetDeviceLostHandler(void (*handler)(void*), void* context)
{
    lostHandler = handler;
    lostContext = context;
}

void CMidiOutPort::MidiOutCallback(HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR)
{
    auto* port = reinterpret_cast<CMidiOutPort*>(instance);
    if (msg != MOM_DONE || port == nullptr) return;
    {
        // Empty: a send that has looked at its bit and found it clear is
        // waiting by the time this lock is free.
        std::lock_guard<std::mutex> lock(port->doneMutex);
    }
    port->doneSignalled.notify_all();
}

void CMidiOutPort::GetDeviceName(UINT id, char* name)
{
    MIDIOUTCAPSA caps{};
    if (midiOutGetDevCapsA(id, &caps, sizeof(caps)) != MMSYSERR_NOERROR) {
        name[0] = '\0';   // no name rather than stale bytes
        return;
    }
    std::size_t length = 0;
    while (length + 1 < kMaxPnameLen && caps.szPname[length] != '\0') ++length;
    std::memcpy(name, caps.szPname, length);
    name[length] = '\0';
}

UINT CMidiOutPort::GetDeviceCount()
{
    return midiOutGetNumDevs();
}
