#include "cli/trace_midi.h"

#include <atomic>

#include <cerrno>

using namespace platform;

TraceMidi::TraceMidi(MidiApi& inner_, std::FILE* out_, Clock::time_point start_)
    : inner(inner_), out(out_), start(start_)
{
}

TraceMidi::~TraceMidi()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (out != nullptr) std::fflush(out);
}

std::string TraceMidi::FormatLine(char direction, std::chrono::microseconds sinceStart, const std::uint8_t* bytes,
                                  std::size_t count)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    const long long us = sinceStart.count() < 0 ? 0 : static_cast<long long>(sinceStart.count());
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%c %lld.%06lld", direction, us / 1000000, us % 1000000);
    std::string line(stamp);
    line.reserve(line.size() + count * 3 + 1);
    for (std::size_t i = 0; i < count; ++i) {
        line += ' ';
        line += kHex[bytes[i] >> 4];
        line += kHex[bytes[i] & 0x0F];
    }
    line += '\n';
    return line;
}

void TraceMidi::Log(char direction, const void* bytes, std::size_t count)
{
    const auto since = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    const std::string line = FormatLine(direction, since, static_cast<const std::uint8_t*>(bytes), count);
    std::lock_guard<std::mutex> lock(mutex);
    if (out == nullptr || writeErrno != 0) return;
    // Whole lines reach the file at once: a killed run leaves whole lines.
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size() || std::fflush(out) != 0) {
        writeErrno = errno != 0 ? errno : EIO;
    }
}

int TraceMidi::WriteErrno()
{
    std::lock_guard<std::mutex> lock(mutex);
    return writeErrno;
}

void TraceMidi::InCallback(HMIDIIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2)
{
    const auto* route = reinterpret_cast<const InRoute*>(instance);
    if (msg == MIM_LONGDATA && param1 != 0) {
        const auto* header = reinterpret_cast<const MIDIHDR*>(param1);
        if (header->dwBytesRecorded > 0 && header->lpData != nullptr) {
            route->trace->Log('<', header->lpData, header->dwBytesRecorded);
        }
    }
    if (route->callback != nullptr) route->callback(handle, msg, route->instance, param1, param2);
}

UINT TraceMidi::InGetNumDevs() { return inner.InGetNumDevs(); }

MMRESULT TraceMidi::InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size) { return inner.InGetDevCaps(id, caps, size); }

MMRESULT TraceMidi::InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags)
{
    InRoute* route = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        routes.push_back(std::make_unique<InRoute>(InRoute{this, callback, instance}));
        route = routes.back().get();
    }
    return inner.InOpen(handle, id, &TraceMidi::InCallback, reinterpret_cast<DWORD_PTR>(route), flags);
}

MMRESULT TraceMidi::InReset(HMIDIIN handle) { return inner.InReset(handle); }

MMRESULT TraceMidi::InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return inner.InPrepareHeader(handle, header, size);
}

MMRESULT TraceMidi::InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return inner.InAddBuffer(handle, header, size);
}

MMRESULT TraceMidi::InStart(HMIDIIN handle) { return inner.InStart(handle); }

MMRESULT TraceMidi::InStop(HMIDIIN handle) { return inner.InStop(handle); }

MMRESULT TraceMidi::InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return inner.InUnprepareHeader(handle, header, size);
}

MMRESULT TraceMidi::InClose(HMIDIIN handle) { return inner.InClose(handle); }

UINT TraceMidi::OutGetNumDevs() { return inner.OutGetNumDevs(); }

MMRESULT TraceMidi::OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size)
{
    return inner.OutGetDevCaps(id, caps, size);
}

MMRESULT TraceMidi::OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    return inner.OutOpen(handle, id, callback, instance, flags);
}

MMRESULT TraceMidi::OutClose(HMIDIOUT handle)
{
    const MMRESULT result = inner.OutClose(handle);
    if (result == MMSYSERR_NOERROR) {
        // A closed device's headers are free to go.
        std::lock_guard<std::mutex> lock(mutex);
        std::erase_if(sending, [handle](const auto& entry) { return entry.second == handle; });
    }
    return result;
}

MMRESULT TraceMidi::OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return inner.OutPrepareHeader(handle, header, size);
}

MMRESULT TraceMidi::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    if (header != nullptr && header->lpData != nullptr) {
        Log('>', header->lpData, header->dwBufferLength);
        std::lock_guard<std::mutex> lock(mutex);
        sending[header] = handle;
    }
    const MMRESULT result = inner.OutLongMsg(handle, header, size);
    // A message the driver refused: '!' with its bytes.
    if (result != MMSYSERR_NOERROR && header != nullptr && header->lpData != nullptr) {
        Log('!', header->lpData, header->dwBufferLength);
    }
    return result;
}

MMRESULT TraceMidi::OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    // A message given up before the driver finished sending it: '!' too.
    if (header != nullptr && header->lpData != nullptr &&
        (std::atomic_ref<DWORD>(header->dwFlags).load(std::memory_order_acquire) & (MHDR_DONE | MHDR_PREPARED)) ==
            MHDR_PREPARED) {
        Log('!', header->lpData, header->dwBufferLength);
    }
    const MMRESULT result = inner.OutUnprepareHeader(handle, header, size);
    if (result == MMSYSERR_NOERROR) {
        std::lock_guard<std::mutex> lock(mutex);
        sending.erase(header);
    }
    return result;
}

MMRESULT TraceMidi::OutReset(HMIDIOUT handle)
{
    // A header stays its sender's until OutUnprepareHeader or OutClose has
    // returned, which both pass the lock first: its bytes are copied under it.
    // Each is said once: after the reset it is done.
    std::vector<std::vector<std::uint8_t>> cut;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [header, device] : sending) {
            if (device != handle ||
                (std::atomic_ref<DWORD>(const_cast<MIDIHDR*>(header)->dwFlags).load(std::memory_order_acquire) &
                 MHDR_DONE) != 0) {
                continue;
            }
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(header->lpData);
            cut.emplace_back(bytes, bytes + header->dwBufferLength);
        }
    }
    for (const auto& bytes : cut) Log('!', bytes.data(), bytes.size());
    return inner.OutReset(handle);
}
