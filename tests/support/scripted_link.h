// ScriptedLink: a MidiApi that sits between the ports and a virtual ARKO Q9
// and lets a test decide, message by message, what becomes of what the host
// sends: pass it on to the device, lose it (no reply: the host's wait times
// out), answer it in the device's place (e.g. a refusal), refuse the send
// itself (the output port reports a failure), fail it as a device that
// has been unplugged does, or hold it as a driver that never finishes a
// message until the device is reset; an answer may come as a message the
// driver reports damaged (MIM_LONGERROR).  Everything else (device lists,
// opening, input) is the virtual device's.
//
// DialogRig: the whole set-up the dialog tests share: shortened timings, a
// MidiSystem holding a ScriptedLink over a VirtualMidi installed as the MIDI
// service, a RecordingWindow and a CPelUpdatorDlg on it, initialised.  It
// takes the dialog down first (so the worker ends and the timer stops), then
// the MIDI service, then restores the timings.
#pragma once

#include "app/pel_updator_dlg.h"
#include "platform/midi_system.h"
#include "tests/support/recording_window.h"
#include "update/timings.h"
#include "virtual_device/virtual_midi.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace q9test {

using Bytes = std::vector<std::uint8_t>;

class ScriptedLink final : public platform::MidiApi {
public:
    enum class Action {
        Forward,    // to the device
        Drop,       // taken, never reaches the device: no reply
        Answer,     // taken, never reaches the device; `reply` comes back instead
        FailSend,   // the send is refused (MMSYSERR_ERROR)
        Unplugged,  // the device is gone: the send fails as on an unplug (MMSYSERR_NODRIVER)
        AnswerDamaged,   // as Answer, but the buffer holding `reply` comes back with MIM_LONGERROR
        Hold,       // taken, never reaches the device, and not done until OutReset
    };
    struct Decision {
        Action action = Action::Forward;
        Bytes reply;
    };
    // Decides about one message; called on the sender's thread, one call at a time.
    using Policy = std::function<Decision(const Bytes& message)>;

    explicit ScriptedLink(std::unique_ptr<VirtualMidi> device);

    void SetPolicy(Policy policy);
    VirtualMidi& Device() { return *device; }

    // Every message the host sent, whatever became of it.
    std::vector<Bytes> Sent() const;
    std::size_t SentCount() const;
    // Waits (bounded) until pred(Sent()) holds.
    bool WaitForSent(const std::function<bool(const std::vector<Bytes>&)>& pred, std::uint32_t timeoutMs = 20000);

    // Message classification.
    static bool IsIdentityRequest(const Bytes& m);
    static bool IsCommand(const Bytes& m, std::uint8_t command);   // F0 52 .. .. command
    static std::uint32_t Address(const Bytes& m);                  // erase / write-block / read request
    static std::uint32_t EraseSize(const Bytes& m);
    static std::uint32_t WriteCount(const Bytes& m);               // data bytes of a write-block command
    static Bytes StatusReply(std::uint8_t status, std::uint8_t model = 0x6E);

    // platform::MidiApi: forwarded to the device, except OutLongMsg.
    platform::UINT InGetNumDevs() override;
    platform::MMRESULT InGetDevCaps(platform::UINT id, platform::MIDIINCAPSA* caps, platform::UINT size) override;
    platform::MMRESULT InOpen(platform::HMIDIIN* handle, platform::UINT id, platform::MidiInProc callback,
                              platform::DWORD_PTR instance, platform::DWORD flags) override;
    platform::MMRESULT InReset(platform::HMIDIIN handle) override;
    platform::MMRESULT InPrepareHeader(platform::HMIDIIN handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT InAddBuffer(platform::HMIDIIN handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT InStart(platform::HMIDIIN handle) override;
    platform::MMRESULT InStop(platform::HMIDIIN handle) override;
    platform::MMRESULT InUnprepareHeader(platform::HMIDIIN handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT InClose(platform::HMIDIIN handle) override;
    platform::UINT OutGetNumDevs() override;
    platform::MMRESULT OutGetDevCaps(platform::UINT id, platform::MIDIOUTCAPSA* caps, platform::UINT size) override;
    platform::MMRESULT OutOpen(platform::HMIDIOUT* handle, platform::UINT id, platform::DWORD_PTR callback,
                               platform::DWORD_PTR instance, platform::DWORD flags) override;
    platform::MMRESULT OutClose(platform::HMIDIOUT handle) override;
    platform::MMRESULT OutPrepareHeader(platform::HMIDIOUT handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT OutLongMsg(platform::HMIDIOUT handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT OutUnprepareHeader(platform::HMIDIOUT handle, platform::MIDIHDR* header,
                                          platform::UINT size) override;
    platform::MMRESULT OutReset(platform::HMIDIOUT handle) override;

private:
    // The device's input callback passes through here: a buffer holding the
    // next damaged answer goes on to the port with MIM_LONGERROR.
    static void InCallback(platform::HMIDIIN handle, platform::UINT msg, platform::DWORD_PTR instance,
                           platform::DWORD_PTR param1, platform::DWORD_PTR param2);

    std::unique_ptr<VirtualMidi> device;
    std::mutex inMutex;
    platform::MidiInProc portCallback = nullptr;
    platform::DWORD_PTR portInstance = 0;
    std::vector<Bytes> damaged;   // answers to hand over as damaged, in order
    std::mutex policyMutex;   // one decision at a time
    Policy policy;
    mutable std::mutex sentMutex;
    std::condition_variable sentChanged;
    std::vector<Bytes> sent;
    std::vector<platform::MIDIHDR*> held;   // Action::Hold; guarded by sentMutex
};

// Short waits for tests: nothing near the real 30 s / 60 s.
ProtocolTimings FastTimings();

class DialogRig {
public:
    // settings: the virtual device's (see ParseVirtualDeviceSettings).
    // backend: when given, the MIDI service the dialog uses, made over the
    // scripted link (which the rig keeps until that service is gone).
    using Backend = std::function<std::unique_ptr<platform::MidiApi>(ScriptedLink& link)>;
    explicit DialogRig(const std::string& settings, const ProtocolTimings& timings = FastTimings(),
                       int instanceNumber = 1, const Backend& backend = {});
    ~DialogRig();
    DialogRig(const DialogRig&) = delete;
    DialogRig& operator=(const DialogRig&) = delete;

    CPelUpdatorDlg& Dialog() { return *dialog; }
    RecordingWindow& Window() { return window; }
    ScriptedLink& Link() { return *link; }
    VirtualMidi& Device() { return link->Device(); }

    // Execute (or Version Check), then wait until the worker has ended and
    // run what it posted.
    void RunUpdate();
    void RunVersionCheck();
    // Ends the dialog (as closing the window does) and destroys it; with
    // closeWindow false the window keeps the calls posted to it.
    void DestroyDialog(bool closeWindow = true);

private:
    ScopedTimings scopedTimings;
    std::unique_ptr<ScriptedLink> ownLink;   // under a backend of the test's
    platform::MidiSystem system;
    ScriptedLink* link = nullptr;
    platform::MidiApi* previousMidi = nullptr;
    RecordingWindow window;
    std::unique_ptr<CPelUpdatorDlg> dialog;
};

}  // namespace q9test
