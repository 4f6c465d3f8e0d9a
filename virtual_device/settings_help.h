// One line of help for every item of the virtual ARKO Q9's settings string,
// shown by `q9-updater-cli --help` and `q9-virtual-device --help`.
#pragma once

#include <algorithm>
#include <string>

struct VirtualSettingHelp {
    const char* item;
    const char* text;
};

inline constexpr VirtualSettingHelp kVirtualSettingsHelp[] = {
    {"flash=factory", "default: older SYSTEM (1.10) and SUBMCU (1.01)"},
    {"flash=erased", "all flash erased (0xFF)"},
    {"flash=current", "exactly what an update writes"},
    {"flash=PATH", "flash kept in a 4 MiB file (made if missing); a comma in PATH: flash=\"a,b\" or a\\,b"},
    {"identity=HHHHHHHH", "identity reply bytes (default 6E000900)"},
    {"version=XXXX", "identity reply version (default 1000)"},
    {"update-mode=on|off", "off: not in firmware update mode"},
    {"link=BYTES_PER_SECOND", "link speed both ways (default 0: unlimited)"},
    {"erase-ms=N", "flash time per 4 KiB erased (default 0)"},
    {"write-ms=N", "flash time per block written (default 0)"},
    {"drop=N", "every Nth reply is lost (0: never)"},
    {"refuse=N", "every Nth command is refused (0: never)"},
    {"corrupt-read=N", "every Nth read reply has a bad CRC (0: never)"},
    {"late=MS", "every reply comes MS milliseconds late"},
    {"hold=N", "the reply to every Nth command comes late, the next command is refused"},
    {"hold-ms=MS", "how late a held reply comes (default 2600)"},
    {"dup=N", "the reply to every Nth command is sent twice"},
    {"reorder=N", "the reply to every Nth command comes after the next one's"},
    {"reorder-ms=MS", "the longest a reordered reply waits for the next (default 2600)"},
    {"stall=N", "before every Nth host message the device stops reading (built-in only)"},
    {"stall-ms=MS", "how long a stall lasts (default 3500)"},
    {"cut=N", "every Nth host message arrives cut short and is ignored"},
    {"ghost=N", "every Nth host message fails to send yet is answered (built-in only)"},
    {"COUNTER=@N/M/...", "drop, refuse, corrupt-read, hold, dup, reorder, stall, cut or ghost: once at each count"},
    {"silent", "the device never answers"},
};

// The table as help text: one line per item, `indent` spaces before it and
// the text in a column `width` characters from the item's start.
inline std::string VirtualSettingsHelpText(std::size_t indent, std::size_t width)
{
    std::string out;
    for (const VirtualSettingHelp& entry : kVirtualSettingsHelp) {
        std::string item = std::string(indent, ' ') + entry.item;
        item.resize(std::max(item.size() + 1, indent + width), ' ');
        out += item + entry.text + "\n";
    }
    return out;
}
