// The virtual ARKO Q9 as a MIDI backend: one input and one output device,
// the device model served from a thread of its own, with modelled link and
// flash times.  This part: the device thread and its time line; the MIDI
// calls the host makes are in virtual_midi_ports.cpp.
#include "virtual_device/virtual_midi.h"

#include "virtual_device/header_flags.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

using namespace platform;
using namespace virtual_midi;

namespace {

constexpr std::size_t kMaxIncoming = 1 << 16;   // longest SysEx message collected from the host

}  // namespace

VirtualMidi::VirtualMidi(const VirtualDeviceSettings& settings) : device(settings)
{
    thread = std::thread([this] { Run(); });
}

VirtualMidi::~VirtualMidi()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
        FinishInFlightSends();
    }
    wake.notify_all();
    thread.join();
    std::lock_guard lock(mutex);
    SaveLocked();
}

std::unique_ptr<VirtualMidi> MakeVirtualMidi(const std::string& text, std::string& error)
{
    VirtualDeviceSettings settings;
    if (!ParseVirtualDeviceSettings(text, settings, error)) return nullptr;
    auto midi = std::make_unique<VirtualMidi>(settings);
    if (!midi->Device().LoadError().empty()) {
        error = "virtual device: " + midi->Device().LoadError();
        return nullptr;
    }
    error.clear();
    return midi;
}

// ---------------------------------------------------------------------------
// Test access.

std::vector<std::uint8_t> VirtualMidi::FlashCopy()
{
    std::lock_guard lock(mutex);
    return device.Flash();
}

std::vector<VirtualQ9::LogEntry> VirtualMidi::LogCopy()
{
    std::lock_guard lock(mutex);
    return device.Log();
}

void VirtualMidi::SendFromDevice(std::vector<std::uint8_t> message)
{
    {
        std::lock_guard lock(mutex);
        QueueForHost(std::move(message), Clock::now());
    }
    wake.notify_all();
}

std::vector<std::vector<std::uint8_t>> VirtualMidi::HostMessages()
{
    std::lock_guard lock(mutex);
    return {hostMessages.begin(), hostMessages.end()};
}

std::uint64_t VirtualMidi::HostBytes()
{
    std::lock_guard lock(mutex);
    return hostBytes;
}

bool VirtualMidi::WaitIdle(std::uint32_t timeoutMs)
{
    std::unique_lock lock(mutex);
    return idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return timeline.empty() && toHost.empty() && callbacksRunning == 0; });
}

std::uint32_t VirtualMidi::DiscardedReplies()
{
    std::lock_guard lock(mutex);
    return discarded;
}

std::string VirtualMidi::LastSaveError()
{
    std::lock_guard lock(mutex);
    return saveError;
}

// ---------------------------------------------------------------------------
// The device thread.

VirtualMidi::Clock::duration VirtualMidi::LinkTime(std::size_t bytes) const
{
    const std::uint64_t link = device.Settings().linkBytesPerSecond;
    if (link == 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(static_cast<std::uint64_t>(bytes) * 1000000000ULL / link));
}

void VirtualMidi::Run()
{
#if defined(__linux__)
    // The modelled times are due at exact instants: without this the kernel
    // may wake the thread up to 50 us late at each one (its default slack),
    // which would count as link time the host did not cause.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Named, so that what the modelled device costs can be told apart.
    prctl(PR_SET_NAME, "q9-virtual", 0UL, 0UL, 0UL);
#endif
    std::unique_lock lock(mutex);
    deviceThreadId = std::this_thread::get_id();
    while (!stopping) {
        DeliverToHost(lock);
        if (stopping) break;
        if (timeline.empty()) {
            idle.notify_all();
            wake.wait(lock);
            continue;
        }
        const auto first = timeline.begin();
        const Clock::time_point at = first->first.first;
        if (at > Clock::now()) {
            wake.wait_until(lock, at);
            continue;
        }
        Timed event = std::move(first->second);
        timeline.erase(first);
        switch (event.what) {
        case Timed::What::Done: {
            const auto it = inFlight.find(event.send);
            if (it != inFlight.end()) {
                MIDIHDR* header = it->second;
                inFlight.erase(it);
                FinishSend(header);
            }
            break;
        }
        case Timed::What::Arrive: HandleArrival(event.bytes, at); break;
        case Timed::What::Deliver:
            if (inOpen && inStarted)
                toHost.push_back(std::move(event.bytes));
            else
                ++discarded;
            break;
        case Timed::What::Release:
            reorderRelease.reset();
            ReleaseReordered(at);
            break;
        }
        idle.notify_all();
    }
}

// The host's bytes reach the device as a MIDI byte stream: a SysEx message
// runs from F0 to F7; a new F0 abandons an unfinished message (the device
// sees it as not a whole message: ignored, unanswered); bytes outside a
// message and real-time bytes are ignored.
void VirtualMidi::HandleArrival(const std::vector<std::uint8_t>& bytes, Clock::time_point at)
{
    for (const std::uint8_t b : bytes) {
        if (b == 0xF0) {
            if (inSysEx) device.Receive(incoming.data(), incoming.size());
            incoming.assign(1, b);
            inSysEx = true;
        } else if (!inSysEx || b >= 0xF8) {
            continue;
        } else if (b == 0xF7) {
            incoming.push_back(b);
            inSysEx = false;
            HandleMessage(at);
            incoming.clear();
        } else if (incoming.size() < kMaxIncoming) {
            incoming.push_back(b);
        } else {
            inSysEx = false;   // runaway message: dropped
            incoming.clear();
        }
    }
}

// One whole message to the device; its replies go out after the flash time,
// late=, hold= and dup= applied.  A reordered reply waits in `reordered`
// until the device has answered another message (its replies then go out
// first), or reorder-ms after it was due.
void VirtualMidi::HandleMessage(Clock::time_point at)
{
    const VirtualDeviceSettings& settings = device.Settings();
    std::vector<VirtualQ9::Reply> replies = device.Receive(incoming.data(), incoming.size());
    std::vector<std::vector<std::uint8_t>> overtaken;
    if (!replies.empty()) overtaken.swap(reordered);
    Clock::time_point t = std::max(at, deviceFree);
    Clock::time_point lastReady = t;
    for (VirtualQ9::Reply& reply : replies) {
        t += std::chrono::milliseconds(reply.busyMs);
        if (reply.lost) continue;
        const Clock::time_point ready = t + std::chrono::milliseconds(settings.lateMs + reply.heldMs);
        if (reply.twice) {
            if (reply.reordered)
                reordered.push_back(reply.bytes);
            else
                QueueForHost(reply.bytes, ready);
        }
        if (reply.reordered) {
            reordered.push_back(std::move(reply.bytes));
            reorderedDue = ready;
            continue;
        }
        QueueForHost(std::move(reply.bytes), ready);
        lastReady = std::max(lastReady, ready);
    }
    deviceFree = t;
    if (!overtaken.empty()) {
        if (reorderRelease) timeline.erase(*reorderRelease);
        reorderRelease.reset();
        for (std::vector<std::uint8_t>& bytes : overtaken) QueueForHost(std::move(bytes), lastReady);
    }
    if (!reordered.empty() && !reorderRelease) {
        const auto key = std::make_pair(reorderedDue + std::chrono::milliseconds(settings.reorderMs), sequence++);
        Timed release;
        release.what = Timed::What::Release;
        timeline.emplace(key, std::move(release));
        reorderRelease = key;
    }
}

// Reordered replies that no later answer overtook go out now.
void VirtualMidi::ReleaseReordered(Clock::time_point at)
{
    std::vector<std::vector<std::uint8_t>> released;
    released.swap(reordered);
    for (std::vector<std::uint8_t>& bytes : released) QueueForHost(std::move(bytes), at);
}

void VirtualMidi::QueueForHost(std::vector<std::uint8_t> bytes, Clock::time_point ready)
{
    const Clock::time_point at = std::max(ready, replyLinkFree) + LinkTime(bytes.size());
    replyLinkFree = at;
    Timed event;
    event.what = Timed::What::Deliver;
    event.bytes = std::move(bytes);
    timeline.emplace(std::make_pair(at, sequence++), std::move(event));
}

// Fills the host's input buffers with the replies that are due, one buffer
// at a time, and hands each back through the callback (without the lock, so
// that the callback can queue the buffer again).
void VirtualMidi::DeliverToHost(std::unique_lock<std::mutex>& lock)
{
    while (!toHost.empty() && inOpen && inStarted && !inBuffers.empty() && !stopping) {
        MIDIHDR* header = inBuffers.front();
        inBuffers.pop_front();
        const std::vector<std::uint8_t>& message = toHost.front();
        const std::size_t n = std::min<std::size_t>(message.size() - toHostOffset, header->dwBufferLength);
        if (n > 0) std::memcpy(header->lpData, message.data() + toHostOffset, n);   // an empty message: an empty buffer
        toHostOffset += n;
        if (toHostOffset == message.size()) {
            toHost.pop_front();
            toHostOffset = 0;
        }
        header->dwBytesRecorded = static_cast<DWORD>(n);
        SetFlags(header, MHDR_DONE, MHDR_INQUEUE);
        const MidiInProc callback = inCallback;
        const DWORD_PTR instance = inInstance;
        const HMIDIIN handle = inHandle;
        if (callback == nullptr) continue;
        ++callbacksRunning;
        lock.unlock();
        callback(handle, MIM_LONGDATA, instance, reinterpret_cast<DWORD_PTR>(header), 0);
        lock.lock();
        --callbacksRunning;
        idle.notify_all();
    }
}

// Hands every queued input buffer back empty and done, through the callback.
void VirtualMidi::ReturnInputBuffers(std::unique_lock<std::mutex>& lock)
{
    std::deque<MIDIHDR*> buffers;
    buffers.swap(inBuffers);
    const MidiInProc callback = inCallback;
    const DWORD_PTR instance = inInstance;
    const HMIDIIN handle = inHandle;
    for (MIDIHDR* header : buffers) {
        header->dwBytesRecorded = 0;
        SetFlags(header, MHDR_DONE, MHDR_INQUEUE);
    }
    if (callback == nullptr) return;
    ++callbacksRunning;
    lock.unlock();
    for (MIDIHDR* header : buffers) callback(handle, MIM_LONGDATA, instance, reinterpret_cast<DWORD_PTR>(header), 0);
    lock.lock();
    --callbacksRunning;
    idle.notify_all();
}

// Marks every header still in flight done and forgets it: after this the
// device thread never touches the caller's header again.
void VirtualMidi::FinishInFlightSends()
{
    std::map<std::uint64_t, MIDIHDR*> finishing;
    finishing.swap(inFlight);
    for (auto& [id, header] : finishing) FinishSend(header);
}

// The header is done and the sender hears of it at once.  The callback runs
// under the mutex, so OutClose (which takes it) never returns while one runs.
void VirtualMidi::FinishSend(MIDIHDR* header)
{
    SetFlags(header, MHDR_DONE, MHDR_INQUEUE);
    if (outCallback != nullptr)
        outCallback(outHandle, MOM_DONE, outInstance, reinterpret_cast<DWORD_PTR>(header), 0);
}

void VirtualMidi::WaitForCallbacks(std::unique_lock<std::mutex>& lock)
{
    if (std::this_thread::get_id() == deviceThreadId) return;
    idle.wait(lock, [&] { return callbacksRunning == 0; });
}

void VirtualMidi::SaveLocked()
{
    std::string error;
    if (!device.SaveFlash(error)) saveError = error;
}
