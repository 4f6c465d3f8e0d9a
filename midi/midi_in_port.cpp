// One MIDI input device with several receive buffers at the driver and a
// first-in-first-out queue of the messages the driver handed back.
//
// Exclusion: the callback (driver thread) appends, the reply parser (timer
// thread) reads and removes the head.  Both take queueMutex only to change
// links; the allocation and the copy of a message happen outside it, so the
// callback never waits for more than a few pointer stores.  After appending,
// the callback wakes the parser's timer event (SetWakeEvent), so a message
// waits in the queue only until the timer thread is free.
//
// Every buffer the driver returns (with bytes or empty, MIM_LONGDATA or
// MIM_LONGERROR) goes back to the driver at once, but never from inside the
// callback, where the driver forbids MIDI calls: the callback queues the
// header for the port's hand-back thread, which prepares and adds it again.
// Close first ends that thread (under handBackMutex nothing is queued once
// `closing` is set) and only then stops and resets the device, so no buffer
// goes back to a closing device.
//
// The buffers are never freed while the driver may hold one: atDriver
// follows each between the port and the driver.  Close takes every step
// (stop, reset, unprepare, close) whatever the one before returned; a buffer
// that the driver still holds after a failed close is parked for the life of
// the process rather than freed.
#include "midi/midi_in_port.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

using namespace platform;

namespace {

void FreeBuffer(MIDIHDR* header)
{
    delete[] header->lpData;
    delete header;
}

// Buffers a driver kept after it refused to give them back; they stay
// reachable (and untouched by us) until the process ends.  As their memory
// is never reused, no later run's buffer can have a parked one's address.
struct Parked {
    std::mutex mutex;
    std::vector<MIDIHDR*> headers;
};

Parked& TheParked()
{
    static auto* parked = new Parked();
    return *parked;
}

void ParkBuffer(MIDIHDR* header)
{
    Parked& parked = TheParked();
    std::lock_guard<std::mutex> lock(parked.mutex);
    parked.headers.push_back(header);
}

}  // namespace

CMidiInPort::CMidiInPort() = default;

CMidiInPort::~CMidiInPort()
{
    Close();
    ReceivedMessage* entry = firstMessage;
    while (entry != nullptr) {
        ReceivedMessage* next = entry->next;
        delete[] entry->bytes;
        delete entry;
        entry = next;
    }
    firstMessage = lastMessage = nullptr;
}

int CMidiInPort::Start()
{
    std::lock_guard<std::mutex> life(lifeMutex);
    if (started == 1) return 1;

    for (std::size_t i = 0; i < kBufferCount; ++i) {
        auto* hdr = new (std::nothrow) MIDIHDR{};
        char* data = hdr != nullptr ? new (std::nothrow) char[kBufferSize]() : nullptr;
        if (data == nullptr) {
            delete hdr;
            ReleaseBuffers();
            return 0;
        }
        hdr->lpData = data;
        hdr->dwBufferLength = kBufferSize;
        atDriver[i].store(false);
        headers[i].store(hdr);
    }
    {
        std::lock_guard<std::mutex> lock(handBackMutex);
        returnedCount = 0;
        handBackStop = false;
        closing.store(false);
    }

    handle = 0;
    MMRESULT result = midiInOpen(&handle, deviceId, &CMidiInPort::MidiInCallback, reinterpret_cast<DWORD_PTR>(this),
                                 CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        handle = 0;
        EndHandBack();
        ReleaseBuffers();
        return 0;
    }

    std::size_t prepared = 0;
    std::size_t added = 0;
    result = midiInReset(handle);
    for (std::size_t i = 0; result == MMSYSERR_NOERROR && i < kBufferCount; ++i) {
        MIDIHDR* const header = headers[i].load();
        result = midiInPrepareHeader(handle, header, kHeaderSize);
        if (result != MMSYSERR_NOERROR) break;
        ++prepared;
        atDriver[i].store(true);
        result = midiInAddBuffer(handle, header, kHeaderSize);
        if (result != MMSYSERR_NOERROR) {
            atDriver[i].store(false);
            break;
        }
        ++added;
    }
    if (result == MMSYSERR_NOERROR) {
        try {
            handBackThread = std::thread(&CMidiInPort::HandBack, this);
        } catch (const std::system_error&) {
            result = MMSYSERR_NOMEM;
        }
    }
    if (result == MMSYSERR_NOERROR) result = midiInStart(handle);

    if (result != MMSYSERR_NOERROR) {
        // Give back what this attempt got: the buffers from the driver, their
        // preparation, the device; then the memory.
        EndHandBack();
        Teardown(false, added > 0, prepared);
        return 0;
    }
    started = 1;
    return 1;
}

void CMidiInPort::Close()
{
    std::lock_guard<std::mutex> life(lifeMutex);
    if (started == 0) return;
    EndHandBack();
    Teardown(true, true, kBufferCount);
    started = 0;
}

void CMidiInPort::EndHandBack()
{
    {
        std::lock_guard<std::mutex> lock(handBackMutex);
        closing.store(true);
        handBackStop = true;
        // Buffers still waiting here stay with the port.
        returnedCount = 0;
    }
    handBackWake.notify_all();
    if (handBackThread.joinable()) handBackThread.join();
}

void CMidiInPort::Teardown(bool stop, bool reset, std::size_t prepared)
{
    // A step that fails (a device that went away) does not keep the next
    // from being tried: each one that succeeds gives back what it can.
    if (stop) midiInStop(handle);
    if (reset) midiInReset(handle);   // the driver returns every buffer through the callback
    for (std::size_t i = 0; i < prepared; ++i) midiInUnprepareHeader(handle, headers[i].load(), kHeaderSize);
    if (midiInClose(handle) == MMSYSERR_NOERROR) {
        // A closed device holds no buffer any more.
        for (std::atomic<bool>& held : atDriver) held.store(false);
    }
    handle = 0;
    ReleaseBuffers();
}

void CMidiInPort::ReleaseBuffers()
{
    for (std::size_t i = 0; i < kBufferCount; ++i) {
        MIDIHDR* const header = headers[i].exchange(nullptr);
        if (header == nullptr) continue;
        if (atDriver[i].load())
            ParkBuffer(header);
        else
            FreeBuffer(header);
        atDriver[i].store(false);
    }
}

std::size_t CMidiInPort::ParkedBuffers()
{
    Parked& parked = TheParked();
    std::lock_guard<std::mutex> lock(parked.mutex);
    return parked.headers.size();
}

std::size_t CMidiInPort::IndexOf(const MIDIHDR* header) const
{
    for (std::size_t i = 0; i < kBufferCount; ++i)
        if (headers[i].load() == header) return i;
    return kBufferCount;
}

void CMidiInPort::HandBack()
{
    std::unique_lock<std::mutex> lock(handBackMutex);
    for (;;) {
        handBackWake.wait(lock, [this] { return handBackStop || returnedCount > 0; });
        if (handBackStop) return;
        MIDIHDR* const header = returned[0];
        std::copy(returned.begin() + 1, returned.begin() + static_cast<std::ptrdiff_t>(returnedCount),
                  returned.begin());
        --returnedCount;
        const std::size_t index = IndexOf(header);
        atDriver[index].store(true);
        // Not under the lock: the driver may return the buffer (and run the
        // callback, which takes it) before midiInAddBuffer returns.  Close
        // joins this thread before it stops the device.
        lock.unlock();
        midiInPrepareHeader(handle, header, kHeaderSize);
        if (midiInAddBuffer(handle, header, kHeaderSize) != MMSYSERR_NOERROR) atDriver[index].store(false);
        lock.lock();
    }
}

const std::uint8_t* CMidiInPort::GetFirstMessage()
{
    std::uint32_t count = 0;
    return GetFirstMessage(count);
}

const std::uint8_t* CMidiInPort::GetFirstMessage(std::uint32_t& count)
{
    bool damaged = false;
    return GetFirstMessage(count, damaged);
}

const std::uint8_t* CMidiInPort::GetFirstMessage(std::uint32_t& count, bool& damaged)
{
    std::lock_guard<std::mutex> lock(queueMutex);
    if (firstMessage == nullptr) {
        count = 0;
        damaged = false;
        return nullptr;
    }
    count = firstMessage->count;
    damaged = firstMessage->damaged;
    return firstMessage->bytes;
}

void CMidiInPort::RemoveFirstMessage()
{
    ReceivedMessage* entry = nullptr;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        entry = firstMessage;
        if (entry == nullptr) return;
        firstMessage = entry->next;
        if (firstMessage == nullptr) lastMessage = nullptr;
    }
    delete[] entry->bytes;
    delete entry;
}

void CMidiInPort::Append(ReceivedMessage* entry)
{
    std::lock_guard<std::mutex> lock(queueMutex);
    if (lastMessage == nullptr)
        firstMessage = entry;
    else
        lastMessage->next = entry;
    lastMessage = entry;
}

void CMidiInPort::Take(const MIDIHDR* header, bool damaged)
{
    DWORD recorded = header->dwBytesRecorded;
    if (recorded > header->dwBufferLength) recorded = header->dwBufferLength;
    // An empty buffer brings nothing; an empty damaged one still tells of a
    // message that went wrong.
    if (recorded == 0 && !damaged) return;

    // Copy outside the queue's lock; a message that cannot be stored is lost.
    auto* entry = new (std::nothrow) ReceivedMessage{};
    auto* bytes = new (std::nothrow) std::uint8_t[recorded > 0 ? recorded : 1];
    if (entry == nullptr || bytes == nullptr) {
        delete entry;
        delete[] bytes;
        return;
    }
    std::memcpy(bytes, header->lpData, recorded);
    entry->bytes = bytes;
    entry->count = recorded;
    entry->damaged = damaged;
    Append(entry);
    if (const UINT wake = wakeEvent.load(); wake != 0) timeWakeEvent(wake);
}

namespace {

void CopyName(char* name, const char* pname)
{
    // szPname holds a name and its NUL; a driver that filled every place
    // still gives a terminated name.
    std::size_t length = 0;
    while (length + 1 < kMaxPnameLen && pname[length] != '\0') ++length;
    std::memcpy(name, pname, length);
    name[length] = '\0';
}

}  // namespace

void CMidiInPort::GetDeviceName(UINT id, char* name)
{
    MIDIINCAPSA caps{};
    if (midiInGetDevCapsA(id, &caps, sizeof(caps)) != MMSYSERR_NOERROR) {
        name[0] = '\0';   // no name rather than stale bytes
        return;
    }
    CopyName(name, caps.szPname);
}

UINT CMidiInPort::GetDeviceCount()
{
    return midiInGetNumDevs();
}

void CMidiInPort::SetDeviceLostHandler(void (*handler)(void*), void* context)
{
    lostHandler = handler;
    lostContext = context;
}

void CMidiInPort::MidiInCallback(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
{
    // No MIDI call in here: the driver may hold its own locks while it calls.
    auto* port = reinterpret_cast<CMidiInPort*>(instance);
    if (port == nullptr) return;
    if (msg == MIM_CLOSE) {
        if (!port->closing.load() && port->lostHandler != nullptr) port->lostHandler(port->lostContext);
        return;
    }
    if (msg != MIM_LONGDATA && msg != MIM_LONGERROR) return;
    auto* header = reinterpret_cast<MIDIHDR*>(param1);
    if (header == nullptr) return;

    const DWORD flags = std::atomic_ref<DWORD>(header->dwFlags).load(std::memory_order_acquire);
    if ((flags & MHDR_DONE) == 0) return;
    // An incomplete or malformed SysEx: it reaches the parser marked damaged.
    const bool damaged = msg == MIM_LONGERROR;
    if (damaged) port->longErrors.fetch_add(1);
    port->Take(header, damaged);

    // One of this run's buffers that was at the driver goes back to it.
    const std::size_t index = port->IndexOf(header);
    if (index == kBufferCount || !port->atDriver[index].exchange(false)) return;
    std::lock_guard<std::mutex> lock(port->handBackMutex);
    if (port->closing.load()) return;
    port->returned[port->returnedCount++] = header;   // each buffer at most once: it left the driver
    port->handBackWake.notify_one();   // under the lock: Close may end the port right after
}
