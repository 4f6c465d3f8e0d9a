#include "platform/sysex_assembler.h"

#include <algorithm>
#include <atomic>
#include <map>

namespace platform {

namespace {

constexpr BYTE kSysExStart = 0xF0;
constexpr BYTE kSysExEnd = 0xF7;
constexpr BYTE kFirstRealtime = 0xF8;
constexpr BYTE kFirstStatus = 0x80;

bool IsFull(const MIDIHDR* header) { return header->dwBytesRecorded >= header->dwBufferLength; }

}  // namespace

void SetHeaderFlags(MIDIHDR* header, DWORD flags)
{
    std::atomic_ref<DWORD>(header->dwFlags).fetch_or(flags, std::memory_order_release);
}

void ClearHeaderFlags(MIDIHDR* header, DWORD flags)
{
    std::atomic_ref<DWORD>(header->dwFlags).fetch_and(~flags, std::memory_order_release);
}

DWORD HeaderFlags(const MIDIHDR* header)
{
    // atomic_ref needs a non-const object; the load does not modify it.
    return std::atomic_ref<DWORD>(const_cast<MIDIHDR*>(header)->dwFlags).load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------
// Output headers

MMRESULT PrepareOutputHeader(MIDIHDR* header)
{
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    SetHeaderFlags(header, MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT UnprepareOutputHeader(MIDIHDR* header)
{
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    if ((HeaderFlags(header) & MHDR_INQUEUE) != 0) {
        return MIDIERR_STILLPLAYING;
    }
    ClearHeaderFlags(header, MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT CheckLongMessage(const MIDIHDR* header)
{
    if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) {
        return MMSYSERR_INVALPARAM;
    }
    if ((HeaderFlags(header) & MHDR_PREPARED) == 0) {
        return MIDIERR_UNPREPARED;
    }
    return MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------------------
// SysExAssembler

void SysExAssembler::Post(MIDIHDR* header)
{
    header->dwBytesRecorded = 0;
    queue.push_back(header);
}

MIDIHDR* SysExAssembler::Complete()
{
    MIDIHDR* header = queue.front();
    queue.pop_front();
    return header;
}

std::size_t SysExAssembler::Feed(const BYTE* data, std::size_t size, MIDIHDR*& completed)
{
    completed = nullptr;
    std::size_t i = 0;
    while (i < size) {
        const BYTE byte = data[i];
        if (byte >= kFirstRealtime) {
            ++i;
            continue;
        }
        if (byte < kFirstStatus) {
            ++i;
            if (!inSysEx) {
                continue;   // data of a channel message (running status included)
            }
            if (dropping || queue.empty()) {
                // A message split over buffers whose next buffer never came.
                dropping = true;
                ++dropped;
                continue;
            }
            MIDIHDR* header = queue.front();
            header->lpData[header->dwBytesRecorded++] = static_cast<char>(byte);
            if (IsFull(header)) {
                completed = Complete();
                return i;
            }
            continue;
        }
        if (byte == kSysExEnd) {
            ++i;
            if (!inSysEx) {
                continue;
            }
            inSysEx = false;
            if (dropping || queue.empty()) {
                dropping = false;
                ++dropped;
                continue;
            }
            MIDIHDR* header = queue.front();
            header->lpData[header->dwBytesRecorded++] = static_cast<char>(byte);
            completed = Complete();
            return i;
        }
        // Any other status byte ends a message in progress early.
        if (inSysEx) {
            inSysEx = false;
            const bool wasDropping = dropping;
            dropping = false;
            if (!wasDropping && !queue.empty() && queue.front()->dwBytesRecorded > 0) {
                completed = Complete();
                return i;   // the status byte is looked at again by the next call
            }
        }
        ++i;
        if (byte != kSysExStart) {
            continue;   // a channel or system common message: ignored
        }
        inSysEx = true;
        if (queue.empty()) {
            dropping = true;
            ++dropped;
            continue;
        }
        MIDIHDR* header = queue.front();
        header->lpData[header->dwBytesRecorded++] = static_cast<char>(byte);
        if (IsFull(header)) {
            completed = Complete();
            return i;
        }
    }
    return i;
}

MIDIHDR* SysExAssembler::TakeFront()
{
    if (queue.empty()) {
        return nullptr;
    }
    return Complete();
}

MIDIHDR* SysExAssembler::TakePartial()
{
    if (queue.empty() || queue.front()->dwBytesRecorded == 0) {
        return nullptr;
    }
    return Complete();
}

void SysExAssembler::Restart()
{
    inSysEx = false;
    dropping = false;
}

bool SysExAssembler::Holds(const MIDIHDR* header) const
{
    return std::find(queue.begin(), queue.end(), header) != queue.end();
}

// ---------------------------------------------------------------------------
// SysExInput

SysExInput::SysExInput(HMIDIIN handle, MidiInProc callback, DWORD_PTR instance)
    : handle(handle), callback(callback), instance(instance)
{
}

MMRESULT SysExInput::Prepare(MIDIHDR* header)
{
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    SetHeaderFlags(header, MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT SysExInput::AddBuffer(MIDIHDR* header)
{
    if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) {
        return MMSYSERR_INVALPARAM;
    }
    if ((HeaderFlags(header) & MHDR_PREPARED) == 0) {
        return MIDIERR_UNPREPARED;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (shut) {
        return MMSYSERR_INVALHANDLE;
    }
    if ((HeaderFlags(header) & MHDR_INQUEUE) != 0 || assembler.Holds(header)) {
        return MIDIERR_STILLPLAYING;
    }
    ClearHeaderFlags(header, MHDR_DONE);
    SetHeaderFlags(header, MHDR_INQUEUE);
    assembler.Post(header);
    return MMSYSERR_NOERROR;
}

MMRESULT SysExInput::Unprepare(MIDIHDR* header)
{
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (assembler.Holds(header)) {
        return MIDIERR_STILLPLAYING;
    }
    ClearHeaderFlags(header, MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT SysExInput::Start()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (shut) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!started) {
        started = true;
        startTime = std::chrono::steady_clock::now();
        assembler.Restart();
    }
    return MMSYSERR_NOERROR;
}

MMRESULT SysExInput::Stop()
{
    std::lock_guard<std::mutex> delivering(callbackMutex);
    MIDIHDR* partial = nullptr;
    DWORD_PTR time = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (shut) {
            return MMSYSERR_INVALHANDLE;
        }
        time = Timestamp();
        started = false;
        assembler.Restart();
        partial = assembler.TakePartial();
    }
    if (partial != nullptr) {
        Deliver(partial, time);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT SysExInput::Reset()
{
    std::lock_guard<std::mutex> delivering(callbackMutex);
    std::vector<MIDIHDR*> back;
    DWORD_PTR time = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (shut) {
            return MMSYSERR_INVALHANDLE;
        }
        time = Timestamp();
        started = false;
        assembler.Restart();
        while (MIDIHDR* header = assembler.TakeFront()) {
            back.push_back(header);
        }
    }
    for (MIDIHDR* header : back) {
        Deliver(header, time);
    }
    return MMSYSERR_NOERROR;
}

void SysExInput::Feed(const BYTE* data, std::size_t size)
{
    std::lock_guard<std::mutex> delivering(callbackMutex);
    while (size > 0) {
        MIDIHDR* completed = nullptr;
        DWORD_PTR time = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (shut || !started) {
                return;   // input not running: the bytes are thrown away
            }
            const std::size_t used = assembler.Feed(data, size, completed);
            data += used;
            size -= used;
            if (completed != nullptr) {
                time = Timestamp();
            }
        }
        if (completed != nullptr) {
            Deliver(completed, time);
        }
    }
}

void SysExInput::DeviceLost()
{
    std::lock_guard<std::mutex> delivering(callbackMutex);
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (shut) {
            return;
        }
        started = false;
    }
    if (callback != nullptr) {
        callback(handle, MIM_CLOSE, instance, 0, 0);
    }
}

void SysExInput::Shutdown()
{
    std::lock_guard<std::mutex> delivering(callbackMutex);
    std::lock_guard<std::mutex> lock(mutex);
    shut = true;
    started = false;
    while (MIDIHDR* header = assembler.TakeFront()) {
        ClearHeaderFlags(header, MHDR_INQUEUE);
    }
}

std::size_t SysExInput::PostedCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return assembler.PostedCount();
}

std::size_t SysExInput::DroppedBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return assembler.DroppedBytes();
}

void SysExInput::Deliver(MIDIHDR* header, DWORD_PTR time)
{
    ClearHeaderFlags(header, MHDR_INQUEUE);
    SetHeaderFlags(header, MHDR_DONE);
    if (callback != nullptr) {
        callback(handle, MIM_LONGDATA, instance, reinterpret_cast<DWORD_PTR>(header), time);
    }
}

DWORD_PTR SysExInput::Timestamp() const
{
    if (!started) {
        return 0;
    }
    const auto elapsed = std::chrono::steady_clock::now() - startTime;
    return static_cast<DWORD_PTR>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

// ---------------------------------------------------------------------------
// Names

std::string CutDeviceName(std::string_view name)
{
    // Count characters (bytes that do not continue a UTF-8 sequence); cut
    // before the 32nd, and never past the room in szPname.
    constexpr std::size_t kByteLimit = kMaxPnameLen - 1;
    std::size_t characters = 0;
    std::size_t cut = 0;
    for (; cut < name.size(); ++cut) {
        const bool starts = (static_cast<unsigned char>(name[cut]) & 0xC0) != 0x80;
        if (starts && ++characters > kMaxPnameChars) break;
    }
    if (cut > kByteLimit) {
        cut = kByteLimit;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    }
    return std::string(name.substr(0, cut));
}

void CopyDeviceName(std::string_view name, char (&pname)[kMaxPnameLen])
{
    const std::string cut = CutDeviceName(name);
    std::copy(cut.begin(), cut.end(), pname);
    pname[cut.size()] = '\0';
}

std::string RawMidiDeviceName(std::string_view cardName, std::string_view subdeviceName, unsigned entriesOnCard)
{
    std::string_view chosen = entriesOnCard > 1 ? subdeviceName : cardName;
    if (chosen.empty()) {
        chosen = entriesOnCard > 1 ? cardName : subdeviceName;
    }
    return CutDeviceName(chosen);
}

void NumberSameNames(std::vector<std::string>& names)
{
    std::map<std::string, unsigned> seen;
    for (std::string& name : names) {
        const unsigned n = ++seen[name];
        if (n > 1) {
            const std::string suffix = " (" + std::to_string(n) + ")";
            std::string base = name;
            while (CutDeviceName(base + suffix) != base + suffix) {
                base = CutDeviceName(base.substr(0, base.size() - 1));
            }
            name = base + suffix;
        }
    }
}

std::vector<std::string> JackDeviceNames(const std::vector<std::string>& portNames)
{
    auto clientOf = [](const std::string& port) {
        const std::size_t colon = port.find(':');
        return colon == std::string::npos ? port : port.substr(0, colon);
    };
    std::map<std::string, unsigned> portsPerClient;
    for (const std::string& port : portNames) {
        ++portsPerClient[clientOf(port)];
    }
    std::vector<std::string> names;
    names.reserve(portNames.size());
    for (const std::string& port : portNames) {
        const std::string client = clientOf(port);
        names.push_back(CutDeviceName(portsPerClient[client] == 1 && !client.empty() ? client : port));
    }
    return names;
}

}  // namespace platform
