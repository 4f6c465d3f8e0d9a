// One MIDI output device; a blocking SysEx send that waits, for a bounded
// time, until the driver is done with its message.
//
// Ownership: a send copies the caller's message into a record of its own
// (header and bytes on the heap) and hands that to the driver.  The record
// is freed once the driver has given it back: the header done and
// unprepared.  A send whose limit runs out resets the device, which ends the
// message at once and gives the header back; a driver that keeps it even so
// leaves it with the open device's Link, never freed nor used again, until
// a successful close.  The Link itself (the callback's instance data, and
// the records it keeps) goes with a successful close; when even the close
// fails, it is parked for the life of the process, as the driver may still
// reach it.
//
// Completion: the driver sets the header's done bit and then calls back
// with MOM_DONE.  A send looks at its bit under the Link's mutex and the
// callback takes that mutex before it notifies, so a completion is never
// missed; two sends on two threads each wait for their own header's bit.
// A driver that is finished before midiOutLongMsg returns costs no wait.
//
// Resets: every reset of the device is counted as it begins and as it ends.
// A send that sees the count change while its message was in flight reports
// it as failed (its bytes may have been cut short), whoever reset the device.
//
// Close against a send on another thread: a send counts itself in
// sendsInFlight before it reads the Link; Close takes the Link away, resets
// the device, which ends the sends in flight at once, and waits until none
// is left, so the device is never closed under a send that still uses it.
#include "midi/midi_out_port.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <new>
#include <vector>

using namespace platform;

struct CMidiOutPort::Record {
    MIDIHDR header{};
    std::unique_ptr<char[]> bytes;
};

struct CMidiOutPort::Link {
    HMIDIOUT handle = 0;
    std::atomic<std::uint64_t> resets{0};   // twice the resets of the device begun so far, once more when under way
    std::atomic<bool> interrupted{false};   // Interrupt or Close: no send waits or starts any more
    std::mutex mutex;                       // the fields below; orders a send's look at its done bit against MOM_DONE
    std::condition_variable doneSignalled;
    bool closing = false;                   // the port's own close is under way: its MOM_CLOSE is no loss
    void (*lostHandler)(void*) = nullptr;
    void* lostContext = nullptr;
    std::vector<std::unique_ptr<Record>> held;   // messages the driver kept past their send

    // Ends every message in flight on the device at once.
    void Reset()
    {
        resets.fetch_add(1);
        midiOutReset(handle);
        resets.fetch_add(1);
    }
    void Lost()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (lostHandler != nullptr) lostHandler(lostContext);
    }
    // Wakes the sends waiting for their headers.
    void Wake()
    {
        {
            // Empty: a send that has looked and found nothing is waiting by
            // the time this lock is free.
            std::lock_guard<std::mutex> lock(mutex);
        }
        doneSignalled.notify_all();
    }
};

namespace {

// The driver says the device itself is gone.
bool DeviceGone(MMRESULT result)
{
    return result == MMSYSERR_NODRIVER || result == MIDIERR_NODEVICE;
}

bool IsDone(MIDIHDR& header)
{
    return (std::atomic_ref<DWORD>(header.dwFlags).load(std::memory_order_acquire) & MHDR_DONE) != 0;
}

// Devices whose close failed, with what their drivers may still reach; they
// stay reachable (and untouched by us) until the process ends.
template <typename Link>
void ParkLink(Link* link)
{
    static std::mutex parkedMutex;
    static auto* parked = new std::vector<Link*>();
    std::lock_guard<std::mutex> lock(parkedMutex);
    parked->push_back(link);
}

}  // namespace

CMidiOutPort::~CMidiOutPort()
{
    Close();
}

int CMidiOutPort::Open(UINT id)
{
    std::lock_guard<std::mutex> lock(closeMutex);
    if (const Link* held = link.load(); held != nullptr) {
        if (id == deviceId && !held->interrupted.load()) return 1;
        CloseHeld();
    }
    deviceId = id;
    std::unique_ptr<Link> opening(new (std::nothrow) Link);
    if (!opening) return 0;
    opening->lostHandler = lostHandler;
    opening->lostContext = lostContext;
    HMIDIOUT opened = 0;
    if (midiOutOpen(&opened, id, reinterpret_cast<DWORD_PTR>(&CMidiOutPort::MidiOutCallback),
                    reinterpret_cast<DWORD_PTR>(opening.get()), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        return 0;
    opening->handle = opened;
    std::lock_guard<std::mutex> taking(linkMutex);
    link.store(opening.release());
    handle.store(opened);
    return 1;
}

int CMidiOutPort::Close()
{
    std::lock_guard<std::mutex> lock(closeMutex);
    return CloseHeld() ? 1 : 0;
}

bool CMidiOutPort::CloseHeld()
{
    Link* closing = nullptr;
    {
        std::lock_guard<std::mutex> taking(linkMutex);
        closing = link.exchange(nullptr);
        handle.store(0);
        if (closing == nullptr) return false;
        // No send starts any more; the reset ends those in flight at once.
        closing->interrupted.store(true);
    }
    closing->Reset();
    closing->Wake();
    // Each send in flight now waits at most a short while for its header.
    while (sendsInFlight.load() != 0) Sleep(1);

    // Messages the driver kept: those it has given back by now are freed.
    std::vector<std::unique_ptr<Record>> kept;
    {
        std::lock_guard<std::mutex> lock(closing->mutex);
        kept.swap(closing->held);
        closing->closing = true;
    }
    std::erase_if(kept, [&](const std::unique_ptr<Record>& record) {
        return midiOutUnprepareHeader(closing->handle, &record->header, kHeaderSize) == MMSYSERR_NOERROR;
    });

    if (midiOutClose(closing->handle) == MMSYSERR_NOERROR) {
        // A closed device never touches its headers nor calls back again.
        delete closing;
        return true;
    }
    // Still open at the driver, which may still write into what it holds
    // and call back: all of it stays, and nobody hears from it any more.
    {
        std::lock_guard<std::mutex> lock(closing->mutex);
        for (auto& record : kept) closing->held.push_back(std::move(record));
        closing->lostHandler = nullptr;
    }
    ParkLink(closing);
    return true;
}

void CMidiOutPort::Interrupt()
{
    // Under linkMutex: Close cannot take the Link away (and free it) meanwhile.
    std::lock_guard<std::mutex> taking(linkMutex);
    Link* const held = link.load();
    if (held == nullptr) return;
    held->interrupted.store(true);
    held->Reset();
    held->Wake();
}

void CMidiOutPort::Reclaim(Link& owner, std::unique_ptr<Record> record)
{
    if (midiOutUnprepareHeader(owner.handle, &record->header, kHeaderSize) == MMSYSERR_NOERROR) return;
    std::lock_guard<std::mutex> lock(owner.mutex);
    owner.held.push_back(std::move(record));
}

int CMidiOutPort::SendLongMessage(const MIDIHDR* message)
{
    struct InFlight {
        std::atomic<int>& count;
        explicit InFlight(std::atomic<int>& c) : count(c) { count.fetch_add(1); }
        ~InFlight() { count.fetch_sub(1); }
    } inFlight(sendsInFlight);

    Link* const device = link.load();
    if (device == nullptr) return 0;
    // Read before `interrupted`, which Interrupt and Close set before they reset.
    const std::uint64_t resetsBefore = device->resets.load();
    if (device->interrupted.load()) return 0;
    if (message == nullptr || message->lpData == nullptr || message->dwBufferLength == 0) return 0;

    // The port's own copy: the driver may hold it past this call.
    std::unique_ptr<Record> record(new (std::nothrow) Record);
    if (!record) return 0;
    const DWORD length = message->dwBufferLength;
    record->bytes.reset(new (std::nothrow) char[length]);
    if (!record->bytes) return 0;
    std::memcpy(record->bytes.get(), message->lpData, length);
    MIDIHDR& header = record->header;
    header.lpData = record->bytes.get();
    header.dwBufferLength = length;

    const HMIDIOUT held = device->handle;
    if (const MMRESULT prepared = midiOutPrepareHeader(held, &header, kHeaderSize); prepared != MMSYSERR_NOERROR) {
        // Not prepared: the driver has nothing of it.
        if (DeviceGone(prepared)) device->Lost();
        return 0;
    }
    if (const MMRESULT sent = midiOutLongMsg(held, &header, kHeaderSize); sent != MMSYSERR_NOERROR) {
        // Refused: the driver never took the header; undo the preparation.
        Reclaim(*device, std::move(record));
        if (DeviceGone(sent)) device->Lost();
        return 0;
    }
    const std::uint64_t submitted = device->resets.load();

    // A long message on a slow link takes its time: the limit grows with
    // the message at the slowest pace seen.
    const auto started = std::chrono::steady_clock::now();
    const std::uint64_t needMs = 2 * slowestNsPerByte.load() * length / 1000000;
    const std::uint64_t limitMs = std::max<std::uint64_t>(doneWaitLimitMs.load(), std::min<std::uint64_t>(needMs, kDoneWaitCeilingMs));
    bool done = false;
    std::uint64_t resetsSeen = 0;
    {
        std::unique_lock<std::mutex> lock(device->mutex);
        device->doneSignalled.wait_until(lock, started + std::chrono::milliseconds(limitMs),
                                         [&] { return IsDone(header) || device->interrupted.load(); });
        done = IsDone(header);
        resetsSeen = device->resets.load();
    }
    if (!done) {
        // Not finished in time, or interrupted: a reset ends it (and every
        // other message in flight on the device) and gives the header back,
        // unless one begun since the driver took it does so already (one
        // under way then may have come too early for it).
        if (resetsSeen < submitted + (submitted % 2 == 0 ? 1 : 2)) device->Reset();
        const auto resetWait = std::chrono::milliseconds(std::min<UINT>(doneWaitLimitMs.load(), kResetWaitMs));
        std::unique_lock<std::mutex> lock(device->mutex);
        device->doneSignalled.wait_for(lock, resetWait, [&] { return IsDone(header); });
    }
    // Done, and no reset on its way: every byte went out.
    const bool sent = done && resetsSeen == resetsBefore;
    Reclaim(*device, std::move(record));
    lastSendTimedOut.store(!sent);
    // The pace of the link: sends long enough to be the link's and not the
    // machine's (a few ms and more), averaged so that one hiccup fades.
    const auto took = std::chrono::steady_clock::now() - started;
    if (sent && took >= std::chrono::milliseconds(kPaceMinMs)) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(took);
        const std::uint64_t perByte = static_cast<std::uint64_t>(ns.count()) / length;
        std::uint64_t seen = slowestNsPerByte.load();
        while (!slowestNsPerByte.compare_exchange_weak(seen, seen == 0 ? perByte : (3 * seen + perByte) / 4)) {
        }
    }
    return sent ? 1 : 0;
}

std::uint32_t CMidiOutPort::SlowestBytesPerSecond() const
{
    const std::uint64_t ns = slowestNsPerByte.load();
    return ns == 0 ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(1000000000ull / ns, 0xFFFFFFFFu));
}

void CMidiOutPort::SetDeviceLostHandler(void (*handler)(void*), void* context)
{
    std::lock_guard<std::mutex> lock(closeMutex);
    lostHandler = handler;
    lostContext = context;
    if (Link* const held = link.load(); held != nullptr) {
        std::lock_guard<std::mutex> handlerLock(held->mutex);
        held->lostHandler = handler;
        held->lostContext = context;
    }
}

void CMidiOutPort::MidiOutCallback(HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR)
{
    // The Link outlives every callback of its device (freed only after a
    // successful close, else parked).
    auto* device = reinterpret_cast<Link*>(instance);
    if (device == nullptr) return;
    if (msg == MOM_DONE) {
        device->Wake();
    } else if (msg == MOM_CLOSE) {
        std::lock_guard<std::mutex> lock(device->mutex);
        if (!device->closing && device->lostHandler != nullptr) device->lostHandler(device->lostContext);
    }
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
