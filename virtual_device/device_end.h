// Where q9-virtual-device meets the host: a MIDI connection that hands over
// the bytes the host sent and takes the device's replies.  Two kinds: JACK
// MIDI ports (the client "ARKO Q9"), and an ALSA raw MIDI device, for
// example the device end of a USB MIDI gadget, so that the host reaches the
// virtual ARKO Q9 over real USB.
#pragma once

#include "platform/mmsystem.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DeviceEnd {
public:
    virtual ~DeviceEnd() = default;
    // Waits until bytes may be there, at most `limit`.
    virtual void WaitInput(std::chrono::milliseconds limit) = 0;
    // The next bytes that arrived (false when none are waiting).
    virtual bool Receive(std::vector<platform::BYTE>& bytes) = 0;
    // One whole message, MMSYSERR_NOERROR once the end has taken it.
    virtual platform::MMRESULT Send(const platform::BYTE* data, std::size_t size) = 0;
    // Why the end can no longer be used, or empty.
    virtual std::string Gone() = 0;
    // Bytes that the host sent and the end's buffer lost (overruns).
    virtual std::uint64_t LostBytes() { return 0; }
};

// The JACK client "ARKO Q9" with ports midi_in and midi_out; nullptr with
// `error` when no server runs or it refuses the ports.
std::unique_ptr<DeviceEnd> OpenJackEnd(std::string& error);

// An ALSA raw MIDI device: "hw:CARD,DEVICE[,SUB]", or a card's id or name
// (its first raw MIDI device).  The kernel's input buffer is enlarged to
// kAlsaEndInputBytes so that nothing the host sends is lost while a reply
// goes out, and its output buffer holds a whole reply; nullptr with `error`
// when the device cannot be opened.
constexpr std::size_t kAlsaEndInputBytes = 1024 * 1024;
constexpr std::size_t kAlsaEndOutputBytes = 65536;
std::unique_ptr<DeviceEnd> OpenAlsaEnd(const std::string& device, std::string& error);
