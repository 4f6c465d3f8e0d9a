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
// drop=N and refuse=N count the device-format commands the device answers
// (begin-update, erase, write-block, end-update, read, unknown commands);
// identity requests are not counted.  corrupt-read=N counts read-data
// replies.  0 switches a counter setting off.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

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
    std::uint32_t drop = 0;         // the reply to every Nth command is lost
    std::uint32_t refuse = 0;       // every Nth command is refused (kStatusRefused)
    std::uint32_t corruptRead = 0;  // every Nth read-data reply carries a wrong CRC
    std::uint32_t lateMs = 0;       // every reply this much later
    bool silent = false;            // never answers (commands still act)
    std::uint32_t hold = 0;         // the reply to every Nth command held back holdMs; the next command refused
    std::uint32_t holdMs = 2600;
};

// Empty text gives the defaults.  On a bad item: false, `out` untouched, and
// `error` names the item and says what is wrong with it.
bool ParseVirtualDeviceSettings(std::string_view text, VirtualDeviceSettings& out, std::string& error);
