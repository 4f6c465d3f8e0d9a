// libFuzzer target: arbitrary device messages queued at the input port and
// handed to the receive side.  No crash and no read outside a message.
//
// Input layout: byte 0 chooses where receiveCount starts (bit 0: near the
// end of receiveBuffer), how the rest is cut into messages (bit 1: each
// message ends at an F7 byte; otherwise each is preceded by a two-byte
// length, low byte first) and how the driver returns them (bit 2: as
// incomplete or malformed, MIM_LONGERROR).
#include "update/protocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

using namespace platform;

namespace {

// The smallest driver: one input and one output device, the buffers the
// port posts taken in order, long messages done at once.
class FuzzMidi final : public MidiApi {
public:
    UINT InGetNumDevs() override { return 1; }
    MMRESULT InGetDevCaps(UINT, MIDIINCAPSA*, UINT) override { return MMSYSERR_NOERROR; }
    MMRESULT InOpen(HMIDIIN* handle, UINT, MidiInProc proc, DWORD_PTR data, DWORD) override
    {
        *handle = 1;
        callback = proc;
        instance = data;
        return MMSYSERR_NOERROR;
    }
    MMRESULT InReset(HMIDIIN) override { return MMSYSERR_NOERROR; }
    MMRESULT InPrepareHeader(HMIDIIN, MIDIHDR*, UINT) override { return MMSYSERR_NOERROR; }
    MMRESULT InAddBuffer(HMIDIIN, MIDIHDR* header, UINT) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        posted.push_back(header);
        postedChanged.notify_all();
        return MMSYSERR_NOERROR;
    }
    MMRESULT InStart(HMIDIIN) override { return MMSYSERR_NOERROR; }
    MMRESULT InStop(HMIDIIN) override { return MMSYSERR_NOERROR; }
    MMRESULT InUnprepareHeader(HMIDIIN, MIDIHDR*, UINT) override { return MMSYSERR_NOERROR; }
    MMRESULT InClose(HMIDIIN) override { return MMSYSERR_NOERROR; }
    UINT OutGetNumDevs() override { return 1; }
    MMRESULT OutGetDevCaps(UINT, MIDIOUTCAPSA*, UINT) override { return MMSYSERR_NOERROR; }
    MMRESULT OutOpen(HMIDIOUT* handle, UINT, DWORD_PTR, DWORD_PTR, DWORD) override
    {
        *handle = 2;
        return MMSYSERR_NOERROR;
    }
    MMRESULT OutClose(HMIDIOUT) override { return MMSYSERR_NOERROR; }
    MMRESULT OutPrepareHeader(HMIDIOUT, MIDIHDR*, UINT) override { return MMSYSERR_NOERROR; }
    MMRESULT OutLongMsg(HMIDIOUT, MIDIHDR* header, UINT) override
    {
        // Touch every byte sent, so a send from outside its message shows.
        unsigned sum = 0;
        for (DWORD i = 0; i < header->dwBufferLength; ++i) sum += static_cast<unsigned char>(header->lpData[i]);
        sentBytes += sum;
        std::atomic_ref<DWORD>(header->dwFlags).store(header->dwFlags | MHDR_DONE, std::memory_order_release);
        return MMSYSERR_NOERROR;
    }
    MMRESULT OutUnprepareHeader(HMIDIOUT, MIDIHDR*, UINT) override { return MMSYSERR_NOERROR; }
    MMRESULT OutReset(HMIDIOUT) override { return MMSYSERR_NOERROR; }

    // Hands the message to the port as the driver would, buffer by buffer
    // (the port posts each again from a thread of its own).
    void Deliver(const std::uint8_t* bytes, std::size_t size, UINT msg)
    {
        while (size > 0) {
            MIDIHDR* header = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (!postedChanged.wait_for(lock, std::chrono::seconds(10), [this] { return !posted.empty(); }))
                    __builtin_trap();   // the port stopped giving its buffers back
                header = posted.front();
                posted.pop_front();
            }
            const std::size_t n = std::min<std::size_t>(size, header->dwBufferLength);
            std::memcpy(header->lpData, bytes, n);
            header->dwBytesRecorded = static_cast<DWORD>(n);
            std::atomic_ref<DWORD>(header->dwFlags).store(MHDR_DONE | MHDR_PREPARED, std::memory_order_release);
            callback(1, msg, instance, reinterpret_cast<DWORD_PTR>(header), 0);
            bytes += n;
            size -= n;
        }
    }

    unsigned sentBytes = 0;

private:
    MidiInProc callback = nullptr;
    DWORD_PTR instance = 0;
    std::mutex mutex;
    std::condition_variable postedChanged;
    std::deque<MIDIHDR*> posted;
};

struct Harness {
    Harness()
    {
        InstallMidi(&midi);
        endpoint.midiOut.Open(0);
        endpoint.midiIn.Start();
    }
    FuzzMidi midi;
    ProtocolEndpoint endpoint;
};

Harness& TheHarness()
{
    static Harness* harness = new Harness();   // lives for the whole run
    return *harness;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    Harness& harness = TheHarness();
    const std::uint8_t mode = data[0];
    {
        std::lock_guard<std::mutex> lock(receiveMutex);
        receiveCount = (mode & 1) != 0 ? static_cast<std::int32_t>(kReceiveBufferSize - 16) : 0;
    }
    const std::uint8_t identity[4] = {data[0], 0x00, 0x09, 0x00};
    deviceIdentity.Set(identity);

    std::size_t at = 1;
    while (at < size) {
        std::size_t length = 0;
        if ((mode & 2) != 0) {
            const std::uint8_t* end = static_cast<const std::uint8_t*>(std::memchr(data + at, 0xF7, size - at));
            length = end != nullptr ? static_cast<std::size_t>(end - (data + at)) + 1 : size - at;
        } else {
            if (size - at < 2) break;
            length = std::min<std::size_t>(data[at] | data[at + 1] << 8, size - at - 2);
            at += 2;
        }
        harness.midi.Deliver(data + at, length, (mode & 4) != 0 ? MIM_LONGERROR : MIM_LONGDATA);
        at += length;
    }
    ParseReplies(harness.endpoint);
    harness.endpoint.event.Reset();

    const std::int32_t count = receiveCount.load();
    if (count < 0 || static_cast<std::uint32_t>(count) > kReceiveBufferSize) __builtin_trap();
    return 0;
}
