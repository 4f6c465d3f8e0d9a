// The ALSA raw MIDI backend: the raw MIDI devices of every sound card, one
// device per subdevice in each direction, each taken for this program alone
// while it is open.
//
// - Names: the subdevice's name when the card has several entries in that
//   direction, else the card's name; cut to 31 characters.  Devices of one
//   name are told apart: the second and later get " (2)", " (3)"...
// - Opening checks that the card behind the listed number is still the one
//   listed (its id and name): card numbers are given again after an unplug.
// - Output: OutLongMsg writes the whole message into the kernel's empty
//   buffer (in pieces, each into an empty buffer, when the kernel keeps a
//   smaller one), waits until the buffer is empty again (its status, not the
//   blocking drain), and marks the header done before it returns; it fails
//   at once when the device goes away (MMSYSERR_NODRIVER) or the port is
//   closed (MIDIERR_NODEVICE), and after kStallMs without progress
//   (MMSYSERR_ERROR).  A failed send discards what it left in the kernel's
//   buffer.  OutReset ends a send in flight at once the same way, and the
//   header comes back done; the device stays open.
// - Input: the open polls the device once, which starts the kernel's input
//   (a USB MIDI input drops what comes before); then a reading thread per
//   open device feeds a SysExInput, which calls
//   the port's callback on that thread; when the device goes away the
//   callback gets MIM_CLOSE.  Bytes the kernel dropped for a full input
//   buffer are noted for the user (TakeNote).
// - No wait has a fixed period: reading and writing threads sleep in poll
//   until the device or a close wakes them.  The output's wake-up is set to
//   one byte short of an empty buffer, so a message costs its sender one
//   wake as a rule; the last bytes (all of them where the kernel refuses
//   that setting) are waited for by reading the buffer's status at
//   intervals sized from how fast it empties (0.1 to kMaxEmptyWaitMs ms).
//   A close wakes either wait.
// - With no sound devices the lists are empty, and ALSA prints nothing.
#pragma once

#include "platform/mmsystem.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class AlsaMidi final : public MidiApi {
public:
    AlsaMidi();
    ~AlsaMidi() override;
    AlsaMidi(const AlsaMidi&) = delete;
    AlsaMidi& operator=(const AlsaMidi&) = delete;

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

    // How long a send may go without the device taking a byte before it
    // fails, and the longest single wait for the kernel's buffer to empty.
    static constexpr int kStallMs = 5000;
    static constexpr int kMaxEmptyWaitMs = 20;
    // The kernel's buffers, asked for at open: input, several replies'
    // worth; output, more than the longest message.
    static constexpr std::size_t kInputBufferBytes = 65536;
    static constexpr std::size_t kOutputBufferBytes = 65536;

    // What the last failed open (or listing) found out for the user: who
    // holds the device, a missing permission; empty when nothing is known.
    static std::string TakeNote();

private:
    struct Entry {
        std::string hwName;   // "hw:CARD,DEVICE,SUBDEVICE"
        std::string name;     // as listed
        int card = -1;
        int device = -1;
        std::string cardId;   // the card's id and name when it was listed
        std::string cardName;
    };
    struct InDevice;
    struct OutDevice;

    static std::vector<Entry> Enumerate(bool input);
    UINT Relist(bool input);         // lists the devices of one direction again
    void EnsureListed(bool input);   // lists once if no count was asked for yet
    template <typename Caps>
    MMRESULT GetDevCaps(bool input, UINT id, Caps* caps);
    // The first step of an open: checks the id and the card, and takes a
    // handle for the device.
    MMRESULT Reserve(bool input, UINT id, Entry& entry, std::uintptr_t& newHandle);
    // An open device, or nullptr; Take also removes it from its table.
    template <typename Device>
    std::shared_ptr<Device> Find(const std::map<std::uintptr_t, std::shared_ptr<Device>>& open, std::uintptr_t handle);
    template <typename Device>
    std::shared_ptr<Device> Take(std::map<std::uintptr_t, std::shared_ptr<Device>>& open, std::uintptr_t handle);
    std::shared_ptr<InDevice> FindIn(HMIDIIN handle);
    std::shared_ptr<OutDevice> FindOut(HMIDIOUT handle);

    std::mutex mutex;   // guards everything below; never held while a device blocks
    std::vector<Entry> inList;
    std::vector<Entry> outList;
    bool inListed = false;
    bool outListed = false;
    std::uintptr_t nextHandle = 1;
    std::map<HMIDIIN, std::shared_ptr<InDevice>> ins;
    std::map<HMIDIOUT, std::shared_ptr<OutDevice>> outs;
};

}  // namespace platform
