// The settings of the virtual ARKO Q9, given as one string of comma-separated
// items, e.g. "flash=erased,link=131072,write-ms=2".  A comma inside a value is
// quoted or escaped: flash="/a,b.flash" or flash=/a\,b.flash.  No item may be
// given twice.  Items:
//   flash=factory|erased|current|PATH   identity=HHHHHHHH   version=XXXX
//   update-mode=on|off   link=BYTES_PER_SECOND (0 unlimited)
//   erase-ms=N (per 4 KiB erased)   write-ms=N (per block written)
//   drop=N   refuse=N   corrupt-read=N   late=MS   silent
//   hold=N hold-ms=MS (the reply to every Nth command comes MS later, 2600
//   unless given, and the command after it is refused)
//   dup=N (the reply to every Nth command is sent twice)
//   reorder=N reorder-ms=MS (the reply to every Nth command is held back
//   until the replies to the next message the device answers have gone out,
//   or MS after it was due, 2600 unless given)
//   stall=N stall-ms=MS (the device stops reading for MS, 3500 unless given,
//   before every Nth host message: the host's send of it finishes that late)
//   cut=N (every Nth host message arrives without its back half and its F7)
//   ghost=N (every Nth host message is reported to the host as a failed
//   send, yet reaches the device a little later and is answered)
// drop, refuse, hold, dup and reorder count the device-format commands the
// device answers (begin-update, erase, write-block, end-update, read,
// unknown commands); identity requests are not counted.  corrupt-read
// counts read-data replies.  stall, cut and ghost count the host's sends
// (each long message the host hands over, identity requests and the host's
// answers included).  Each of these takes N (every Nth; 0 switches it off)
// or @N/M/... (once at each listed count: rising, at most kMaxFaultCounts).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// When a counted fault happens: at every Nth count, or once at each listed count.
struct FaultCount {
    std::uint32_t every = 0;           // 0: not periodic
    std::vector<std::uint32_t> at;     // rising counts from 1 (the @ form)

    bool Hits(std::uint32_t n) const;
    bool Off() const { return every == 0 && at.empty(); }
    // A periodic count compares equal to its period.
    bool operator==(std::uint32_t period) const { return at.empty() && every == period; }
    bool operator==(const FaultCount&) const = default;
};

inline constexpr std::size_t kMaxFaultCounts = 64;

struct VirtualDeviceSettings {
    enum class Flash { Factory, Erased, Current, Path };
    Flash flash = Flash::Factory;
    std::string flashPath;                                // flash=PATH
    std::array<std::uint8_t, 4> identity{0x6E, 0x00, 0x09, 0x00};
    std::array<char, 4> version{'1', '0', '0', '0'};      // version bytes of the identity reply
    bool updateModeOff = false;                           // begin-update -> status 0x0B
    std::uint64_t linkBytesPerSecond = 0;                 // both directions; 0 unlimited
    std::uint32_t eraseMsPer4K = 0;
    std::uint32_t writeMsPerBlock = 0;
    FaultCount drop;                // the reply to every Nth command is lost
    FaultCount refuse;              // every Nth command is refused (kStatusRefused)
    FaultCount corruptRead;         // every Nth read-data reply carries a wrong CRC
    std::uint32_t lateMs = 0;       // every reply this much later
    bool silent = false;            // never answers (commands still act)
    FaultCount hold;                // the reply to every Nth command held back holdMs; the next command refused
    std::uint32_t holdMs = 2600;
    FaultCount dup;                 // the reply to every Nth command sent twice
    FaultCount reorder;             // the reply to every Nth command overtaken by the next one's
    std::uint32_t reorderMs = 2600; // the longest a reordered reply waits for the next one
    FaultCount stall;               // the device stops reading stallMs before every Nth host message
    std::uint32_t stallMs = 3500;
    FaultCount cut;                 // every Nth host message arrives cut short
    FaultCount ghost;               // every Nth host message: the send fails, the device still gets it
};

// Empty text gives the defaults.  On a bad item: false, `out` untouched, and
// `error` names the item and says what is wrong with it.
bool ParseVirtualDeviceSettings(std::string_view text, VirtualDeviceSettings& out, std::string& error);
