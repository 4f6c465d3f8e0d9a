// One MIDI input device with a single receive buffer at the driver and a
// first-in-first-out queue of the messages the driver handed back.
//
// Exclusion: the callback (driver thread) appends, the reply parser (timer
// thread) reads and removes the head.  Both take queueMutex only to change
// links; the allocation and the copy of a message happen outside it, so the
// callback never waits for more than a few pointer stores.  After appending,
// the callback wakes the parser's timer event (SetWakeEvent), so a message
// waits in the queue only until the timer thread is free.
//
// The receive buffer is never freed while the driver may hold it: Close sets
// `closing` (under handBackMutex, so no hand-back can slip in behind it)
// before it stops and resets the device, and bufferAtDriver follows the
// buffer between the port and the driver.  A buffer that the driver still
// holds after a failed close is parked for the life of the process rather
// than freed.
#include "midi/midi_in_port.h"

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

using namespace platform;

namespace {

void FreeBuffer(MIDIHDR* header)
{
    delete[] header->lpData;
    delete header;
}

// Buffers a driver kept after it refused to give them back; they stay
// reachable (and untouched by us) until the process ends.
void ParkBuffer(MIDIHDR* header)
{
    static std::mutex parkedMutex;
    static auto* parked = new std::vector<MIDIHDR*>();
    std::lock_guard<std::mutex> lock(parkedMutex);
    parked->push_back(header);
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

    auto* hdr = new (std::nothrow) MIDIHDR{};
    if (hdr == nullptr) return 0;
    hdr->lpData = new (std::nothrow) char[kBufferSize]();
    if (hdr->lpData == nullptr) {
        delete hdr;
        return 0;
    }
    hdr->dwBufferLength = kBufferSize;
    header = hdr;
    {
        std::lock_guard<std::mutex> lock(handBackMutex);
        closing.store(false);
    }
    bufferAtDriver.store(false);

    handle = 0;
    MMRESULT result = midiInOpen(&handle, deviceId, &CMidiInPort::MidiInCallback, reinterpret_cast<DWORD_PTR>(this),
                                 CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        handle = 0;
        ReleaseBuffer();
        return 0;
    }

    bool prepared = false;
    bool added = false;
    result = midiInReset(handle);
    if (result == MMSYSERR_NOERROR) {
        result = midiInPrepareHeader(handle, header, kHeaderSize);
        prepared = result == MMSYSERR_NOERROR;
    }
    if (result == MMSYSERR_NOERROR) {
        bufferAtDriver.store(true);
        result = midiInAddBuffer(handle, header, kHeaderSize);
        added = result == MMSYSERR_NOERROR;
        if (!added) bufferAtDriver.store(false);
    }
    if (result == MMSYSERR_NOERROR) result = midiInStart(handle);

    if (result != MMSYSERR_NOERROR) {
        // Give back what this attempt got: the buffer from the driver, the
        // preparation, the device; then the memory.
        {
            std::lock_guard<std::mutex> lock(handBackMutex);
            closing.store(true);
        }
        if (added) midiInReset(handle);
        if (prepared) midiInUnprepareHeader(handle, header, kHeaderSize);
        if (midiInClose(handle) == MMSYSERR_NOERROR) bufferAtDriver.store(false);
        handle = 0;
        ReleaseBuffer();
        return 0;
    }
    started = 1;
    return 1;
}

void CMidiInPort::Close()
{
    std::lock_guard<std::mutex> life(lifeMutex);
    if (started == 0) return;
    {
        std::lock_guard<std::mutex> lock(handBackMutex);
        closing.store(true);
    }
    MMRESULT result = midiInStop(handle);
    if (result == MMSYSERR_NOERROR) result = midiInReset(handle);
    if (result == MMSYSERR_NOERROR) result = midiInUnprepareHeader(handle, header, kHeaderSize);
    if (result == MMSYSERR_NOERROR) {
        result = midiInClose(handle);
        // A closed device holds no buffer any more.
        if (result == MMSYSERR_NOERROR) bufferAtDriver.store(false);
    }
    ReleaseBuffer();
    started = 0;
}

void CMidiInPort::ReleaseBuffer()
{
    if (header == nullptr) return;
    if (bufferAtDriver.load())
        ParkBuffer(header);
    else
        FreeBuffer(header);
    header = nullptr;
}

const std::uint8_t* CMidiInPort::GetFirstMessage()
{
    std::uint32_t count = 0;
    return GetFirstMessage(count);
}

const std::uint8_t* CMidiInPort::GetFirstMessage(std::uint32_t& count)
{
    std::lock_guard<std::mutex> lock(queueMutex);
    if (firstMessage == nullptr) {
        count = 0;
        return nullptr;
    }
    count = firstMessage->count;
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
    auto* port = reinterpret_cast<CMidiInPort*>(instance);
    if (msg == MIM_CLOSE && port != nullptr && !port->closing.load() && port->lostHandler != nullptr) {
        port->lostHandler(port->lostContext);
        return;
    }
    if (msg != MIM_LONGDATA) return;
    auto* returned = reinterpret_cast<MIDIHDR*>(param1);
    if (port == nullptr || returned == nullptr) return;

    const DWORD flags = std::atomic_ref<DWORD>(returned->dwFlags).load(std::memory_order_acquire);
    if ((flags & MHDR_DONE) == 0) return;
    port->bufferAtDriver.store(false);
    DWORD recorded = returned->dwBytesRecorded;
    if (recorded == 0) return;
    if (recorded > returned->dwBufferLength) recorded = returned->dwBufferLength;

    // Copy outside the queue's lock; a message that cannot be stored is lost.
    auto* entry = new (std::nothrow) ReceivedMessage{};
    auto* bytes = new (std::nothrow) std::uint8_t[recorded];
    if (entry != nullptr && bytes != nullptr) {
        std::memcpy(bytes, returned->lpData, recorded);
        entry->bytes = bytes;
        entry->count = recorded;
        port->Append(entry);
        if (const UINT wake = port->wakeEvent.load(); wake != 0) timeWakeEvent(wake);
    } else {
        delete entry;
        delete[] bytes;
    }

    std::lock_guard<std::mutex> lock(port->handBackMutex);
    if (port->closing.load()) return;
    port->bufferAtDriver.store(true);
    midiInPrepareHeader(port->handle, port->header, kHeaderSize);
    if (midiInAddBuffer(port->handle, port->header, kHeaderSize) != MMSYSERR_NOERROR)
        port->bufferAtDriver.store(false);
}
