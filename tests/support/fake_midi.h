// FakeMidi: a recording, scriptable MidiApi that plays the driver, for tests.
//
//   FakeMidi midi;
//   midi.SetInDevices({"USB Audio Device"});
//   midi.SetOutDevices({"USB Audio Device", "Other"});
//   platform::MidiApi* previous = platform::InstallMidi(&midi);   // or ScopedMidi
//   ...                                       // use the ports
//   platform::InstallMidi(previous);
//
// Recording: every call is recorded (Calls(), CallNames(), Count()) with its
// arguments: the operation, its winmm name ("midiInOpen" ...), handle,
// header pointer, size, device id, callback, instance, flags, the result
// returned and the calling thread.  ClearCalls() forgets them.
//
// Scripting: Script(op, result) queues one result for the next call of op
// (several calls queue several results, used in order); ScriptAlways(op,
// result) answers every call of op with result until cleared with
// ClearScript(op).  A scripted non-zero result is returned without doing
// anything; a scripted 0 does the normal work.
//
// Input (the driver's side): InOpen keeps the callback and instance;
// InAddBuffer posts a prepared header; Deliver(bytes) copies the bytes into
// the posted buffers in order, each filled up to its dwBufferLength, sets
// dwBytesRecorded, marks it done (MHDR_DONE, release store through
// std::atomic_ref) and calls the callback with MIM_LONGDATA on the calling
// thread, so a message longer than one buffer arrives as several buffers.
// When no buffer is posted it waits for the port to post one (at most 10 s:
// ports give buffers back from a thread of their own).  ReturnBuffer(msg,
// bytes) returns the oldest posted buffer holding `bytes` (at most one
// buffer's worth, possibly none) with `msg`: MIM_LONGDATA for an empty
// buffer, MIM_LONGERROR for a damaged message.  Deliveries from several
// threads take turns, each whole.  Deliver needs a started device (InStart);
// it returns false when bytes were lost for want of a posted buffer or a
// started device.  InReset returns every posted
// buffer done and empty through the callback (or, once, holding the bytes
// given to SetResetPartial).  InUnprepareHeader and InClose refuse with
// MIDIERR_STILLPLAYING while a buffer is still posted, as a driver does.
// InOpen and InClose also send MIM_OPEN / MIM_CLOSE to the callback.
//
// Output: OutLongMsg needs a prepared header; it records the bytes sent
// (Sent()) and then, by the done mode, marks the header done at once
// (DoneMode::Immediately, the default), never (DoneMode::Never; the header
// stays pending until CompletePending() or forever), or from another thread
// after SetDoneDelay() milliseconds (DoneMode::Later).  A device opened with
// CALLBACK_FUNCTION hears MOM_DONE (with the fake's lock held) right after
// each header is marked done, and MOM_OPEN / MOM_CLOSE.  OutUnprepareHeader
// refuses with MIDIERR_STILLPLAYING while the header is pending; OutReset
// marks the device's pending headers done at once (a scripted failure
// leaves them pending), and OutClose forgets them.  A
// responder set with OnSend() runs after each accepted long message, on the
// sender's thread and with no lock held: it can answer by calling Deliver().
//
// Device ids are positions in the device lists; handles are small non-zero
// numbers, different for every open.  The fake is thread-safe.
#pragma once

#include "platform/mmsystem.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace q9test {

class FakeMidi : public platform::MidiApi {
public:
    enum class Op {
        InGetNumDevs, InGetDevCaps, InOpen, InReset, InPrepareHeader, InAddBuffer, InStart, InStop,
        InUnprepareHeader, InClose,
        OutGetNumDevs, OutGetDevCaps, OutOpen, OutClose, OutPrepareHeader, OutLongMsg, OutUnprepareHeader,
        OutReset,
    };
    static const char* Name(Op op);   // "midiInOpen", "midiOutLongMsg", ...

    struct Call {
        Call() = default;
        explicit Call(Op o) : op(o) {}
        Op op = Op::InGetNumDevs;
        std::string name;
        std::uintptr_t handle = 0;         // handle passed (for opens: the handle given out)
        platform::MIDIHDR* header = nullptr;
        platform::UINT size = 0;
        platform::UINT id = 0;
        platform::DWORD_PTR callback = 0;
        platform::DWORD_PTR instance = 0;
        platform::DWORD flags = 0;
        platform::MMRESULT result = 0;
        std::thread::id thread;
    };

    enum class DoneMode { Immediately, Never, Later };

    FakeMidi();
    ~FakeMidi() override;
    FakeMidi(const FakeMidi&) = delete;
    FakeMidi& operator=(const FakeMidi&) = delete;

    // Devices.
    void SetInDevices(std::vector<std::string> names);
    void SetOutDevices(std::vector<std::string> names);

    // Scripted results.
    void Script(Op op, platform::MMRESULT result);
    void ScriptAlways(Op op, platform::MMRESULT result);
    void ClearScript(Op op);

    // Recorded calls.
    std::vector<Call> Calls() const;
    std::vector<std::string> CallNames() const;
    int Count(Op op) const;
    void ClearCalls();

    // Input driver.
    bool Deliver(const std::vector<std::uint8_t>& bytes);                       // the last opened input
    bool Deliver(platform::HMIDIIN handle, const std::vector<std::uint8_t>& bytes);
    bool ReturnBuffer(platform::UINT msg, const std::vector<std::uint8_t>& bytes);   // the last opened input
    void SetResetPartial(std::vector<std::uint8_t> bytes);                      // next InReset only
    std::size_t PostedBuffers() const;                                          // on the last opened input
    bool InputOpen() const;                                                     // any input device open
    bool InputStarted() const;                                                  // the last opened input runs
    platform::HMIDIIN LastInHandle() const;

    // Output driver.
    std::vector<std::vector<std::uint8_t>> Sent() const;
    void ClearSent();
    void SetDoneMode(DoneMode mode);
    void SetDoneDelay(unsigned ms);
    std::size_t PendingHeaders() const;
    void CompletePending();   // marks every pending header done
    void OnSend(std::function<void(const std::vector<std::uint8_t>&)> responder);
    bool OutputOpen() const;  // any output device open
    platform::HMIDIOUT LastOutHandle() const;

    // platform::MidiApi
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
    struct InDevice {
        platform::UINT id = 0;
        platform::MidiInProc callback = nullptr;
        platform::DWORD_PTR instance = 0;
        bool started = false;
        std::deque<platform::MIDIHDR*> posted;
    };
    struct ScriptEntry {
        std::deque<platform::MMRESULT> once;
        bool always = false;
        platform::MMRESULT alwaysResult = 0;
    };

    // The scripted result of op, if any (lock held).
    bool Scripted(Op op, platform::MMRESULT& result);
    platform::MMRESULT Record(Call call);   // lock held; returns call.result
    // Either direction's capabilities call (lock held).
    template <typename Caps>
    platform::MMRESULT GetCaps(Op op, platform::UINT id, Caps* caps, platform::UINT size,
                               const std::vector<std::string>& names);
    static void MarkDone(platform::MIDIHDR* header);
    // Fills the oldest posted buffer with up to `size` bytes (adding them to
    // `used`) and returns it with `msg`; false when none is posted.
    bool ReturnOne(platform::HMIDIIN handle, platform::UINT msg, const std::uint8_t* bytes, std::size_t size,
                   std::size_t& used);
    // Marks an output header done and tells the device's callback (lock held).
    void FinishOutput(platform::HMIDIOUT handle, platform::MIDIHDR* header);

    mutable std::mutex mutex;
    std::condition_variable postedChanged;   // a buffer posted, an input stopped or closed
    std::recursive_mutex deliverMutex;   // one delivery at a time, its pieces together
    std::vector<std::string> inNames;
    std::vector<std::string> outNames;
    std::map<Op, ScriptEntry> scripts;
    std::vector<Call> calls;
    std::uintptr_t nextHandle = 0x10;
    std::map<platform::HMIDIIN, InDevice> inputs;
    platform::HMIDIIN lastIn = 0;
    std::map<platform::HMIDIOUT, platform::UINT> outputs;
    std::map<platform::HMIDIOUT, std::pair<platform::MidiOutProc, platform::DWORD_PTR>> outCallbacks;
    platform::HMIDIOUT lastOut = 0;
    std::vector<std::uint8_t> resetPartial;
    bool hasResetPartial = false;

    std::vector<std::vector<std::uint8_t>> sent;
    DoneMode doneMode = DoneMode::Immediately;
    unsigned doneDelayMs = 10;
    std::vector<std::pair<platform::HMIDIOUT, platform::MIDIHDR*>> pending;
    std::function<void(const std::vector<std::uint8_t>&)> responder;

    // Threads that mark headers done later.
    std::mutex laterMutex;
    std::condition_variable laterCond;
    std::vector<std::thread> laterThreads;
    bool stopping = false;
};

// Installs a MidiApi for the life of the object.
class ScopedMidi {
public:
    explicit ScopedMidi(platform::MidiApi& api) : previous(platform::InstallMidi(&api)) {}
    ~ScopedMidi() { platform::InstallMidi(previous); }
    ScopedMidi(const ScopedMidi&) = delete;
    ScopedMidi& operator=(const ScopedMidi&) = delete;

private:
    platform::MidiApi* previous;
};

}  // namespace q9test
