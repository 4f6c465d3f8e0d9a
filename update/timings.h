// Every wait and pause of the update and the version check, in one table
// that tests can shorten.
#pragma once

#include <cstdint>

struct ProtocolTimings {
    std::uint32_t identityMs = 30000;        // identity reply
    std::uint32_t beginUpdateMs = 30000;     // reply to begin-update
    std::uint32_t pauseAfterBeginMs = 500;   // pause after that reply
    std::uint32_t bootStampMs = 60000;       // boot-stamp read
    std::uint32_t eraseMs = 60000;           // reply to an erase command
    std::uint32_t writeBlockMs = 1000;       // reply to a write-block command
    std::uint32_t retryPauseMs = 100;        // pause before a command is sent again
    std::uint32_t endUpdateMs = 30000;       // reply to end-update
    std::uint32_t readMs = 60000;            // a version read, a read-back
    std::uint32_t replyMaxMs = 5000;         // the longest a reply may take; a device slower than this is given up
    std::uint32_t replyMinWaitMs = 100;      // the shortest wait for a reply, whatever the device's pace
    std::uint32_t updateMaxS = 3600;         // the longest the rest of an update may take at the link's pace
    std::uint32_t stallMaxMs = 30000;        // the longest the MIDI system may stop passing messages before the update is given up
};

const ProtocolTimings& Timings();
void SetTimings(const ProtocolTimings& timings);

// Installs shortened timings for the life of the object.
class ScopedTimings {
public:
    explicit ScopedTimings(const ProtocolTimings& timings);
    ~ScopedTimings();
    ScopedTimings(const ScopedTimings&) = delete;
    ScopedTimings& operator=(const ScopedTimings&) = delete;

private:
    ProtocolTimings saved;
};
