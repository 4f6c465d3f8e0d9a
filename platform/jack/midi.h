// JackMidi is the MIDI backend on top of it: the MIDI ports of the other
// clients are its devices (an input device is a port that sends, an output
// device a port that receives), named by their client when the client has one
// port in that direction, else by the full port name, cut to 31 characters.
// Opening a device registers a port of ours and connects it to that port.
// It never starts a server, and libjack prints nothing.
#pragma once

#include "platform/jack/client.h"
#include "platform/mmsystem.h"
#include "platform/sysex_assembler.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class JackMidi final : public MidiApi {
public:
    explicit JackMidi(std::string clientName = "q9-updater");
    ~JackMidi() override;
    JackMidi(const JackMidi&) = delete;
    JackMidi& operator=(const JackMidi&) = delete;

    UINT InGetNumDevs() override;
    MMRESULT InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size) override;
    MMRESULT InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags) override;
    MMRESULT InReset(HMIDIIN handle) override;
    MMRESULT InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size) override;
    MMRESULT InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size) override;
    MMRESULT InStart(HMIDIIN handle) override;
    MMRESULT InStop(HMIDIIN handle) override;
    MMRESULT InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size) override;
    MMRESULT InClose(HMIDIIN handle) override;

    UINT OutGetNumDevs() override;
    MMRESULT OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size) override;
    MMRESULT OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) override;
    MMRESULT OutClose(HMIDIOUT handle) override;
    MMRESULT OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) override;
    MMRESULT OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size) override;
    MMRESULT OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) override;
    MMRESULT OutReset(HMIDIOUT handle) override;

    // The client's name as the server granted it; empty while no server runs.
    std::string ClientName();

private:
    struct Listed {
        std::string port;   // full name of the other client's port
        std::string name;   // as listed
    };
    struct Port {   // a port of ours connected to another client's port: an open output
        std::shared_ptr<JackMidiClient> client;
        JackMidiClient::PortId port = JackMidiClient::kNoPort;
        std::string target;   // the other client's port
        std::string ours;     // our port's full name
        bool lost = false;    // its link to the target went away (reported once)
        bool seenLinked = false;   // the link has shown in the server's graph
    };
    struct InDevice : Port {
        std::shared_ptr<SysExInput> input;
    };

    std::shared_ptr<JackMidiClient> Client();   // connects when needed; mutex held
    std::vector<Listed> List(bool theySend);
    // The devices of one direction (theySend: inputs): listed again, or only
    // when not listed yet; mutex held.
    const std::vector<Listed>& Relist(bool theySend);
    const std::vector<Listed>& Devices(bool theySend);
    template <typename Caps>
    MMRESULT GetDevCaps(bool theySend, UINT id, Caps* caps);
    // Opening device `id`: registers a port of ours for it, not yet
    // connected; mutex held.  Then connects it, or removes it on failure.
    MMRESULT AddPort(bool theySend, UINT id, Port& added);
    static MMRESULT ConnectPort(Port& added);
    template <typename Device>
    static bool Holds(const std::map<std::uintptr_t, Device>& open, const std::string& target);
    // Takes an open device out of its table; false for an unknown handle.
    template <typename Device>
    bool Take(std::map<std::uintptr_t, Device>& open, std::uintptr_t handle, Device& device);
    void Read();
    // After a change of the server's graph: each open device whose port or
    // connection is gone ends, as an unplugged one does.  True while a
    // link just made has not shown in the graph yet.
    bool CheckLinks(const std::shared_ptr<JackMidiClient>& current);
    std::shared_ptr<SysExInput> FindIn(HMIDIIN handle);
    bool FindOut(HMIDIOUT handle, Port& device);

    const std::string clientName;
    std::mutex mutex;   // guards everything below; never held while a send waits
    std::shared_ptr<JackMidiClient> client;
    std::vector<Listed> inList;
    std::vector<Listed> outList;
    bool inListed = false;
    bool outListed = false;
    std::uintptr_t nextHandle = 1;
    unsigned nextPortNumber = 1;
    std::map<HMIDIIN, InDevice> ins;
    std::map<HMIDIOUT, Port> outs;
    std::atomic<bool> stopping{false};
    std::thread reader;   // started with the first client
};

}  // namespace platform
