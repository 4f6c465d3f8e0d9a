// Which listed MIDI devices are ARKO Q9s, for --all.
#pragma once

#include <string>
#include <vector>

// A device as the lists show it: an input and an output of one preferred
// name ("ARKO Q9", "ARKO Q9 (2)", "USB Audio Device (3)", ...).  `skipped`
// says why a name found only one way is not driven.
struct PairedDevice {
    std::string name;
    std::string skipped;
};
// The preferred names among the listed devices, in the order of the
// preferred names and then of their numbers.
std::vector<PairedDevice> PairDevices(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);

// The last position of `name` in a list (the preselection's rule), or -1.
int LastIndex(const std::vector<std::string>& names, const std::string& name);
