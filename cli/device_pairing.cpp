// Which listed MIDI devices are ARKO Q9s: the preferred names, each input
// paired with the output of the same name.
#include "cli/device_pairing.h"

#include "app/pel_updator_dlg.h"

#include <map>
#include <utility>

namespace {

constexpr int kMaxDeviceNumber = 999;   // "ARKO Q9 (n)": n from 2 to this

// The preferred name a device name is, with its number (1 for none).
bool PreferredName(const std::string& name, std::size_t& family, int& number)
{
    for (std::size_t f = 0; f < kPreferredPortNames.size(); ++f) {
        const std::string base = kPreferredPortNames[f];
        if (name == base) {
            family = f;
            number = 1;
            return true;
        }
        if (name.size() < base.size() + 4 || name.compare(0, base.size() + 2, base + " (") != 0 || name.back() != ')') {
            continue;
        }
        const std::string digits = name.substr(base.size() + 2, name.size() - base.size() - 3);
        if (digits.empty() || digits.size() > 3 || digits[0] == '0' ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        number = std::stoi(digits);
        if (number < 2 || number > kMaxDeviceNumber) continue;
        family = f;
        return true;
    }
    return false;
}

}  // namespace

// The last position of `name` in a list (the preselection's rule), or -1.
int LastIndex(const std::vector<std::string>& names, const std::string& name)
{
    for (std::size_t i = names.size(); i-- > 0;) {
        if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
}

std::vector<PairedDevice> PairDevices(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs)
{
    std::map<std::pair<std::size_t, int>, std::string> found;   // in the order of preferred name, then number
    for (const std::vector<std::string>* list : {&inputs, &outputs}) {
        for (const std::string& name : *list) {
            std::size_t family = 0;
            int number = 0;
            if (PreferredName(name, family, number)) found[{family, number}] = name;
        }
    }
    std::vector<PairedDevice> devices;
    for (const auto& [key, name] : found) {
        PairedDevice device{name, {}};
        if (LastIndex(outputs, name) < 0) device.skipped = "found as an input only (no MIDI OUT of this name)";
        if (LastIndex(inputs, name) < 0) device.skipped = "found as an output only (no MIDI IN of this name)";
        devices.push_back(device);
    }
    return devices;
}
