// The settings string of the virtual ARKO Q9: comma-separated items.
#include "virtual_device/settings.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>
#include <limits>

namespace {

constexpr std::uint64_t kMaxMs = 3600000;   // an hour: more is surely a typing error

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool ParseNumber(std::string_view text, std::uint64_t max, std::uint64_t& value)
{
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v > max) return false;
    value = v;
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Quote(std::string_view item) { return "\"" + std::string(item) + "\""; }

// N (every Nth, 0 for never) or @N/M/... (once at each count); on a bad value
// the reason.
bool ParseFaultCount(std::string_view text, FaultCount& count, const char*& why)
{
    FaultCount parsed;
    if (text.empty() || text.front() != '@') {
        std::uint64_t v = 0;
        why = "expected a whole number N (every Nth; 0 for never) or @N/M/... (once at each count)";
        if (!ParseNumber(text, std::numeric_limits<std::uint32_t>::max(), v)) return false;
        parsed.every = static_cast<std::uint32_t>(v);
        count = parsed;
        return true;
    }
    text.remove_prefix(1);
    while (true) {
        const std::size_t slash = text.find('/');
        std::uint64_t v = 0;
        if (!ParseNumber(text.substr(0, slash), std::numeric_limits<std::uint32_t>::max(), v) || v == 0) {
            why = "expected whole numbers from 1 after @, separated by /, e.g. @37/90/211";
            return false;
        }
        if (!parsed.at.empty() && v <= parsed.at.back()) {
            why = "the counts after @ must rise, e.g. @37/90/211";
            return false;
        }
        if (parsed.at.size() == kMaxFaultCounts) {
            why = "at most 64 counts after @";
            return false;
        }
        parsed.at.push_back(static_cast<std::uint32_t>(v));
        if (slash == std::string_view::npos) break;
        text.remove_prefix(slash + 1);
    }
    count = parsed;
    return true;
}

// The settings that are milliseconds, and the counted faults.
struct MsItem {
    const char* key;
    std::uint32_t VirtualDeviceSettings::*field;
};
constexpr MsItem kMsItems[] = {
    {"erase-ms", &VirtualDeviceSettings::eraseMsPer4K}, {"write-ms", &VirtualDeviceSettings::writeMsPerBlock},
    {"late", &VirtualDeviceSettings::lateMs},           {"hold-ms", &VirtualDeviceSettings::holdMs},
    {"reorder-ms", &VirtualDeviceSettings::reorderMs},  {"stall-ms", &VirtualDeviceSettings::stallMs},
};
struct CountItem {
    const char* key;
    FaultCount VirtualDeviceSettings::*field;
};
constexpr CountItem kCountItems[] = {
    {"drop", &VirtualDeviceSettings::drop},   {"refuse", &VirtualDeviceSettings::refuse},
    {"corrupt-read", &VirtualDeviceSettings::corruptRead}, {"hold", &VirtualDeviceSettings::hold},
    {"dup", &VirtualDeviceSettings::dup},     {"reorder", &VirtualDeviceSettings::reorder},
    {"stall", &VirtualDeviceSettings::stall}, {"cut", &VirtualDeviceSettings::cut},
    {"ghost", &VirtualDeviceSettings::ghost},
};

template <class Item, std::size_t N>
const Item* Find(const Item (&items)[N], std::string_view key)
{
    for (const Item& item : items)
        if (key == item.key) return &item;
    return nullptr;
}

}  // namespace

bool FaultCount::Hits(std::uint32_t n) const
{
    if (n == 0) return false;
    if (every != 0) return n % every == 0;
    return std::binary_search(at.begin(), at.end(), n);
}

bool ParseVirtualDeviceSettings(std::string_view text, VirtualDeviceSettings& out, std::string& error)
{
    VirtualDeviceSettings s;
    std::vector<std::string> seen;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        // An item ends at a comma outside double quotes; a backslash before
        // a comma or a double quote takes that character as it is
        // (flash="a,b" or flash=a\,b).  Other backslashes stay, so Windows
        // paths need no escaping.
        std::string unquoted;
        bool quoted = false;
        std::size_t end = pos;
        for (; end < text.size(); ++end) {
            const char c = text[end];
            if (c == '\\' && end + 1 < text.size() && (text[end + 1] == ',' || text[end + 1] == '"')) {
                unquoted += text[++end];
            } else if (c == '"') {
                quoted = !quoted;
            } else if (c == ',' && !quoted) {
                break;
            } else {
                unquoted += c;
            }
        }
        const std::string_view raw = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (quoted) {
            error = "virtual device setting " + Quote(raw) + ": a double quote is not closed";
            return false;
        }
        const std::string_view item = Trim(unquoted);
        if (item.empty()) continue;

        const std::size_t eq = item.find('=');
        const std::string_view key = Trim(item.substr(0, eq));
        const bool hasValue = eq != std::string_view::npos;
        const std::string_view value = hasValue ? Trim(item.substr(eq + 1)) : std::string_view();
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            error = "virtual device setting " + Quote(raw) + ": " + std::string(key) + " is given twice";
            return false;
        }
        seen.emplace_back(key);
        auto bad = [&](const char* why) {
            error = "virtual device setting " + Quote(item) + ": " + why;
            return false;
        };
        auto number = [&](std::uint64_t max, std::uint64_t& v) { return hasValue && ParseNumber(value, max, v); };

        if (key == "silent") {
            if (hasValue) return bad("takes no value");
            s.silent = true;
        } else if (!hasValue) {
            return bad("unknown item");
        } else if (key == "flash") {
            if (value == "factory") {
                s.flash = VirtualDeviceSettings::Flash::Factory;
            } else if (value == "erased") {
                s.flash = VirtualDeviceSettings::Flash::Erased;
            } else if (value == "current") {
                s.flash = VirtualDeviceSettings::Flash::Current;
            } else if (!value.empty()) {
                s.flash = VirtualDeviceSettings::Flash::Path;
                s.flashPath = std::string(value);
            } else {
                return bad("expected factory, erased, current or a file path");
            }
        } else if (key == "identity") {
            if (value.size() != 8) return bad("expected 8 hexadecimal digits, e.g. 6E000900");
            std::array<std::uint8_t, 4> id{};
            for (int i = 0; i < 4; ++i) {
                const int hi = HexDigit(value[2 * i]);
                const int lo = HexDigit(value[2 * i + 1]);
                if (hi < 0 || lo < 0) return bad("expected 8 hexadecimal digits, e.g. 6E000900");
                id[i] = static_cast<std::uint8_t>(hi * 16 + lo);
                if (id[i] > 0x7F) return bad("every identity byte must be 7F or below");
            }
            s.identity = id;
        } else if (key == "version") {
            if (value.size() != 4) return bad("expected 4 characters, e.g. 1000");
            for (int i = 0; i < 4; ++i) {
                if (value[i] < 0x20 || value[i] > 0x7E) return bad("expected 4 printable ASCII characters");
                s.version[i] = value[i];
            }
        } else if (key == "update-mode") {
            if (value == "on") {
                s.updateModeOff = false;
            } else if (value == "off") {
                s.updateModeOff = true;
            } else {
                return bad("expected on or off");
            }
        } else if (key == "link") {
            std::uint64_t v = 0;
            if (!number(std::numeric_limits<std::uint32_t>::max(), v))
                return bad("expected a whole number of bytes per second (0 for unlimited)");
            s.linkBytesPerSecond = v;
        } else if (const MsItem* ms = Find(kMsItems, key)) {
            std::uint64_t v = 0;
            if (!number(kMaxMs, v)) return bad("expected a whole number of milliseconds up to 3600000");
            s.*(ms->field) = static_cast<std::uint32_t>(v);
        } else if (const CountItem* counted = Find(kCountItems, key)) {
            const char* why = nullptr;
            if (!ParseFaultCount(value, s.*(counted->field), why)) return bad(why);
        } else {
            return bad("unknown item");
        }
    }
    out = s;
    error.clear();
    return true;
}
