// The JACK backend's MIDI interface: opening, closing, sending and the
// reader thread that turns received events into SysEx input.
#include "platform/jack/midi.h"

#include <algorithm>
#include <cstring>

namespace platform {

// ---------------------------------------------------------------------------
// Opening and closing.

template <typename Device>
bool JackMidi::Holds(const std::map<std::uintptr_t, Device>& open, const std::string& target)
{
    return std::any_of(open.begin(), open.end(), [&](const auto& entry) { return entry.second.target == target; });
}

template <typename Device>
bool JackMidi::Take(std::map<std::uintptr_t, Device>& open, std::uintptr_t handle, Device& device)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = open.find(handle);
    if (found == open.end()) {
        return false;
    }
    device = std::move(found->second);
    open.erase(found);
    return true;
}

MMRESULT JackMidi::AddPort(bool theySend, UINT id, Port& added)
{
    const std::vector<Listed>& list = Devices(theySend);
    if (id >= list.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    added.target = list[id].port;
    if (theySend ? Holds(ins, added.target) : Holds(outs, added.target)) {
        return MMSYSERR_ALLOCATED;
    }
    added.client = Client();
    if (!added.client || added.client->ServerGone()) {
        return MIDIERR_NODEVICE;
    }
    const std::string shortName = (theySend ? "in-" : "out-") + std::to_string(nextPortNumber++);
    added.port = theySend ? added.client->AddInput(shortName) : added.client->AddOutput(shortName);
    return added.port == JackMidiClient::kNoPort ? MMSYSERR_NOMEM : MMSYSERR_NOERROR;
}

MMRESULT JackMidi::ConnectPort(Port& added)
{
    if (!added.client->Connect(added.port, added.target)) {
        added.client->Remove(added.port);
        return MIDIERR_NODEVICE;   // the other port went away
    }
    added.ours = added.client->PortName(added.port);
    return MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------------------
// Input.

bool JackMidi::CheckLinks(const std::shared_ptr<JackMidiClient>& current)
{
    bool pending = false;
    struct Open {
        JackMidiClient::PortId port;
        std::string ours, target;
        std::shared_ptr<SysExInput> input;   // none for an output
    };
    std::vector<Open> open;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [handle, device] : ins) {
            if (device.client == current && !device.lost) open.push_back({device.port, device.ours, device.target, device.input});
        }
        for (const auto& [handle, device] : outs) {
            if (device.client == current && !device.lost) open.push_back({device.port, device.ours, device.target, nullptr});
        }
    }
    for (const Open& device : open) {
        // A connection counts as gone only once it has been seen: one just
        // made shows in the graph a cycle later.
        const JackMidiClient::Link link = current->Linked(device.ours, device.target);
        bool lost = link == JackMidiClient::Link::Gone;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto mark = [&](Port& held) {
                if (held.port != device.port) return;
                if (link == JackMidiClient::Link::Linked) held.seenLinked = true;
                if (link == JackMidiClient::Link::NotYet && held.seenLinked) lost = true;
                held.lost = held.lost || lost;
            };
            for (auto& [handle, held] : ins) mark(held);
            for (auto& [handle, held] : outs) mark(held);
        }
        if (!lost) {
            pending = pending || link == JackMidiClient::Link::NotYet;
            continue;
        }
        if (device.input) {
            device.input->DeviceLost();
        } else {
            current->MarkLost(device.port);
        }
    }
    return pending;
}

void JackMidi::Read()
{
    std::vector<BYTE> event;
    std::shared_ptr<JackMidiClient> checked;   // the client whose graph changes were looked at
    std::uint64_t seenChanges = 0;
    bool pending = false;   // a link not yet seen in the graph: looked at again
    while (!stopping.load()) {
        std::shared_ptr<JackMidiClient> current;
        {
            std::lock_guard<std::mutex> lock(mutex);
            current = client;
        }
        if (!current) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        current->WaitInput(std::chrono::milliseconds(50));
        if (const std::uint64_t changes = current->GraphChanges();
            current != checked || changes != seenChanges || pending) {
            checked = current;
            seenChanges = changes;
            pending = CheckLinks(current);
        }
        std::vector<std::pair<JackMidiClient::PortId, std::shared_ptr<SysExInput>>> inputs;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& [handle, device] : ins) {
                if (device.client == current) {
                    inputs.emplace_back(device.port, device.input);
                }
            }
        }
        for (const auto& [port, input] : inputs) {
            while (current->Receive(port, event)) {
                input->Feed(event.data(), event.size());
            }
        }
    }
}

std::shared_ptr<SysExInput> JackMidi::FindIn(HMIDIIN handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = ins.find(handle);
    return found == ins.end() ? nullptr : found->second.input;
}

MMRESULT JackMidi::InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD)
{
    if (handle == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard<std::mutex> lock(mutex);
    Port added;
    MMRESULT result = AddPort(true, id, added);
    if (result == MMSYSERR_NOERROR) {
        result = ConnectPort(added);
    }
    if (result != MMSYSERR_NOERROR) {
        return result;
    }
    const HMIDIIN newHandle = nextHandle++;
    ins.emplace(newHandle, InDevice{added, std::make_shared<SysExInput>(newHandle, callback, instance)});
    *handle = newHandle;
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidi::InClose(HMIDIIN handle)
{
    InDevice device;
    if (!Take(ins, handle, device)) {
        return MMSYSERR_INVALHANDLE;
    }
    device.input->Shutdown();   // no callback and no header use from here on
    device.client->Remove(device.port);
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidi::InReset(HMIDIIN handle)
{
    const auto input = FindIn(handle);
    return input ? input->Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT)
{
    const auto input = FindIn(handle);
    return input ? input->Prepare(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT)
{
    const auto input = FindIn(handle);
    return input ? input->AddBuffer(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::InStart(HMIDIIN handle)
{
    const auto input = FindIn(handle);
    return input ? input->Start() : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::InStop(HMIDIIN handle)
{
    const auto input = FindIn(handle);
    return input ? input->Stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT)
{
    const auto input = FindIn(handle);
    return input ? input->Unprepare(header) : MMSYSERR_INVALHANDLE;
}

// ---------------------------------------------------------------------------
// Output.

MMRESULT JackMidi::OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    if (handle == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard<std::mutex> lock(mutex);
    Port added;
    if (const MMRESULT result = AddPort(false, id, added); result != MMSYSERR_NOERROR) {
        return result;
    }
    // A server whose events cannot hold the largest message could not carry
    // a firmware block whole.
    const std::size_t maxEvent = added.client->WaitMaxEventSize(added.port, std::chrono::milliseconds(1000));
    if (maxEvent != 0 && maxEvent < kJackLargestMessage) {
        added.client->Remove(added.port);
        return MMSYSERR_ERROR;
    }
    if (const MMRESULT result = ConnectPort(added); result != MMSYSERR_NOERROR) {
        return result;
    }
    const HMIDIOUT newHandle = nextHandle++;
    outs.emplace(newHandle, added);
    *handle = newHandle;
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidi::OutClose(HMIDIOUT handle)
{
    Port device;
    if (!Take(outs, handle, device)) {
        return MMSYSERR_INVALHANDLE;
    }
    // A send still waiting on another thread fails, then the port goes.
    device.client->Remove(device.port);
    return MMSYSERR_NOERROR;
}

bool JackMidi::FindOut(HMIDIOUT handle, Port& device)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = outs.find(handle);
    if (found == outs.end()) {
        return false;
    }
    device = found->second;
    return true;
}

MMRESULT JackMidi::OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT)
{
    Port device;
    return FindOut(handle, device) ? PrepareOutputHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT)
{
    Port device;
    return FindOut(handle, device) ? UnprepareOutputHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidi::OutReset(HMIDIOUT handle)
{
    Port device;
    if (!FindOut(handle, device)) {
        return MMSYSERR_INVALHANDLE;
    }
    device.client->Reset(device.port);
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidi::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT)
{
    Port device;
    if (!FindOut(handle, device)) {
        return MMSYSERR_INVALHANDLE;
    }
    return SendLongMessage(
        header, [&](const BYTE* data, std::size_t size) { return device.client->Send(device.port, data, size); });
}

}  // namespace platform
