// The JACK backend's device lists: the MIDI ports of the other clients.
#include "platform/jack/midi.h"

#include <algorithm>
#include <cstring>

namespace platform {

// ---------------------------------------------------------------------------
// JackMidi

JackMidi::JackMidi(std::string clientName) : clientName(std::move(clientName)) { SilenceJack(); }

JackMidi::~JackMidi()
{
    stopping.store(true);
    std::shared_ptr<JackMidiClient> current;
    std::map<HMIDIIN, InDevice> openIns;
    std::map<HMIDIOUT, Port> openOuts;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = client;
        openIns.swap(ins);
        openOuts.swap(outs);
    }
    if (current) {
        current->WakeInput();
    }
    if (reader.joinable()) {
        reader.join();
    }
    for (auto& [handle, device] : openIns) {
        device.input->Shutdown();
        device.client->Remove(device.port);
    }
    for (auto& [handle, device] : openOuts) {
        device.client->Remove(device.port);
    }
}

std::shared_ptr<JackMidiClient> JackMidi::Client()
{
    if (client && !client->ServerGone()) {
        return client;
    }
    if (client && (!ins.empty() || !outs.empty())) {
        return client;   // gone; its devices fail until they are closed
    }
    client.reset();
    client = std::shared_ptr<JackMidiClient>(JackMidiClient::Open(clientName, false).release(), &JackMidiClient::Release);
    if (client && !reader.joinable()) {
        reader = std::thread([this] { Read(); });
    }
    return client;
}

std::string JackMidi::ClientName()
{
    std::lock_guard<std::mutex> lock(mutex);
    return client ? client->Name() : "";
}

std::vector<JackMidi::Listed> JackMidi::List(bool theySend)
{
    std::vector<Listed> listed;
    const auto current = Client();
    if (!current) {
        return listed;
    }
    const std::vector<std::string> ports = current->OtherPorts(theySend);
    const std::vector<std::string> names = JackDeviceNames(ports);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        listed.push_back({ports[i], names[i]});
    }
    return listed;
}

const std::vector<JackMidi::Listed>& JackMidi::Relist(bool theySend)
{
    std::vector<Listed>& list = theySend ? inList : outList;
    list = List(theySend);
    (theySend ? inListed : outListed) = true;
    return list;
}

const std::vector<JackMidi::Listed>& JackMidi::Devices(bool theySend)
{
    if (theySend ? inListed : outListed) {
        return theySend ? inList : outList;
    }
    return Relist(theySend);
}

UINT JackMidi::InGetNumDevs()
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<UINT>(Relist(true).size());
}

UINT JackMidi::OutGetNumDevs()
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<UINT>(Relist(false).size());
}

template <typename Caps>
MMRESULT JackMidi::GetDevCaps(bool theySend, UINT id, Caps* caps)
{
    if (caps == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard<std::mutex> lock(mutex);
    const std::vector<Listed>& list = Devices(theySend);
    if (id >= list.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    *caps = Caps{};
    CopyDeviceName(list[id].name, caps->szPname);
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidi::InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT) { return GetDevCaps(true, id, caps); }

MMRESULT JackMidi::OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT) { return GetDevCaps(false, id, caps); }

}  // namespace platform
