// A MIDI service that passes everything on to another one and writes every
// message sent and every buffer received to a trace, one line each:
//   > 0.001234 F0 7E 00 06 01 F7
// the direction ('>' sent, '<' received), the seconds since the trace began
// with microseconds, then the bytes in upper-case hex separated by blanks.
// Lines from different threads never interleave.
#pragma once

#include "platform/mmsystem.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TraceMidi final : public platform::MidiApi {
public:
    using Clock = std::chrono::steady_clock;

    // Writes to `out` (not owned, kept open by the caller while this lives).
    TraceMidi(platform::MidiApi& inner, std::FILE* out, Clock::time_point start = Clock::now());
    TraceMidi(const TraceMidi&) = delete;
    TraceMidi& operator=(const TraceMidi&) = delete;
    ~TraceMidi() override;

    // The error of the first trace line that could not be written, or 0.
    // The trace stops there; the traffic goes on.
    int WriteErrno();

    // One trace line, with its newline.
    static std::string FormatLine(char direction, std::chrono::microseconds sinceStart, const std::uint8_t* bytes,
                                  std::size_t count);

    platform::UINT InGetNumDevs() override;
    platform::MMRESULT InGetDevCaps(platform::UINT id, platform::MIDIINCAPSA* caps, platform::UINT size) override;
    platform::MMRESULT InOpen(platform::HMIDIIN* handle, platform::UINT id, platform::MidiInProc callback,
                              platform::DWORD_PTR instance, platform::DWORD flags) override;
    platform::MMRESULT InReset(platform::HMIDIIN handle) override;
    platform::MMRESULT InPrepareHeader(platform::HMIDIIN handle, platform::MIDIHDR* header,
                                       platform::UINT size) override;
    platform::MMRESULT InAddBuffer(platform::HMIDIIN handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT InStart(platform::HMIDIIN handle) override;
    platform::MMRESULT InStop(platform::HMIDIIN handle) override;
    platform::MMRESULT InUnprepareHeader(platform::HMIDIIN handle, platform::MIDIHDR* header,
                                         platform::UINT size) override;
    platform::MMRESULT InClose(platform::HMIDIIN handle) override;

    platform::UINT OutGetNumDevs() override;
    platform::MMRESULT OutGetDevCaps(platform::UINT id, platform::MIDIOUTCAPSA* caps, platform::UINT size) override;
    platform::MMRESULT OutOpen(platform::HMIDIOUT* handle, platform::UINT id, platform::DWORD_PTR callback,
                               platform::DWORD_PTR instance, platform::DWORD flags) override;
    platform::MMRESULT OutClose(platform::HMIDIOUT handle) override;
    platform::MMRESULT OutPrepareHeader(platform::HMIDIOUT handle, platform::MIDIHDR* header,
                                        platform::UINT size) override;
    platform::MMRESULT OutLongMsg(platform::HMIDIOUT handle, platform::MIDIHDR* header, platform::UINT size) override;
    platform::MMRESULT OutUnprepareHeader(platform::HMIDIOUT handle, platform::MIDIHDR* header,
                                          platform::UINT size) override;
    // The messages it ends before they were sent whole: '!' with their bytes.
    platform::MMRESULT OutReset(platform::HMIDIOUT handle) override;

private:
    // What an opened input device's callback leads to.  Kept until this
    // object goes, so a late callback never finds it freed.
    struct InRoute {
        TraceMidi* trace;
        platform::MidiInProc callback;
        platform::DWORD_PTR instance;
    };
    static void InCallback(platform::HMIDIIN handle, platform::UINT msg, platform::DWORD_PTR instance,
                           platform::DWORD_PTR param1, platform::DWORD_PTR param2);
    void Log(char direction, const void* bytes, std::size_t count);

    platform::MidiApi& inner;
    std::FILE* out;
    Clock::time_point start;
    std::mutex mutex;   // guards out, writeErrno, routes and sending
    int writeErrno = 0; // the first failed write; nothing is written after it
    std::vector<std::unique_ptr<InRoute>> routes;
    // Headers handed to OutLongMsg and not yet unprepared, with their device.
    std::map<const platform::MIDIHDR*, platform::HMIDIOUT> sending;
};
