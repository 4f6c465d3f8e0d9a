// The fault explorer's runs: what one seed decides (a shortened plan, the
// flash the device starts with, the faults it meets) and the bound a run
// must end within.  Everything here follows from the seed alone, so a run
// is replayed by giving its seed again.
#pragma once

#include "update/image_plan.h"
#include "update/timings.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace explorer {

// splitmix64: the same numbers on every platform and standard library.
class Random {
public:
    explicit Random(std::uint64_t seed) : state(seed) {}
    std::uint64_t Next();
    // Uniform in [lo, hi].
    std::uint32_t Between(std::uint32_t lo, std::uint32_t hi);
    bool Chance(std::uint32_t percent) { return Between(1, 100) <= percent; }

private:
    std::uint64_t state;
};

// The waits of a run: a 10 ms write-block wait stands for the real 1 s.
ProtocolTimings ExplorerTimings();

// How a fault is placed in a run.
enum class Place {
    Flag,           // an item without a count: silent, update-mode=off
    Delay,          // late=MS: every reply
    Command,        // the Nth device-format command (drop, refuse, hold, dup, reorder)
    ReadReply,      // the Nth read-data reply (corrupt-read)
    HostMessage,    // the Nth message the host sends (stall, cut, ghost)
    Unplug,         // the device vanishes at the host's Nth send (the link, not the device)
};

struct FaultKind {
    const char* name;   // as reported and as given to --kinds
    Place place;
    int weight;         // how often it is drawn, relative to the others
    const char* key;    // the settings item ("" for unplug)
    const char* extra;  // a second item it takes ("hold-ms", "stall-ms"), or nullptr
};

inline constexpr std::array<FaultKind, 13> kFaultKinds = {{
    {"drop", Place::Command, 10, "drop", nullptr},
    {"refuse", Place::Command, 8, "refuse", nullptr},
    {"corrupt-read", Place::ReadReply, 5, "corrupt-read", nullptr},
    {"late", Place::Delay, 3, "late", nullptr},
    {"hold", Place::Command, 6, "hold", "hold-ms"},
    {"silent", Place::Flag, 1, "silent", nullptr},
    {"update-mode-off", Place::Flag, 1, "update-mode=off", nullptr},
    {"unplug", Place::Unplug, 4, "", nullptr},
    {"dup", Place::Command, 6, "dup", nullptr},
    {"reorder", Place::Command, 6, "reorder", "reorder-ms"},
    {"stall", Place::HostMessage, 3, "stall", "stall-ms"},
    {"cut", Place::HostMessage, 6, "cut", nullptr},
    {"ghost", Place::HostMessage, 6, "ghost", nullptr},
}};
inline constexpr std::size_t kKindCount = kFaultKinds.size();

// Which kinds this build's device accepts, and in which form counters come.
struct Generator {
    std::array<bool, kKindCount> enabled{};   // drawn at all
    std::array<bool, kKindCount> accepted{};  // the device's settings parser takes it
    bool listedCounts = false;                // counters take @N/M/...; else every Nth
};
// Probes the settings parser; `only` (comma-separated names, empty for all)
// narrows the kinds drawn.  False with `error` on an unknown name.
bool MakeGenerator(const std::string& only, Generator& out, std::string& error);

// One fault as placed.
struct PlacedFault {
    std::size_t kind;                   // index into kFaultKinds
    std::vector<std::uint32_t> counts;  // Command/ReadReply/HostMessage/Unplug: where (every Nth when not listed)
    std::uint32_t ms = 0;               // Delay, and the extra item's value
};

struct RunSetup {
    std::uint64_t seed = 0;
    ImagePlan plan{};
    std::string startName;                 // "factory", "erased", "current", "factory, N bytes changed"
    bool bootStampCurrent = false;         // the boot rows are skipped
    std::vector<std::uint8_t> startFlash;  // the device's flash at start
    std::vector<PlacedFault> faults;
    std::string settings;                  // the device's settings string
    std::uint32_t unplugAtSend = 0;        // 0: the device stays
    std::uint32_t commandsExpected = 0;    // device-format commands of a clean run
    std::uint64_t boundMs = 0;             // the run must end within this
};

RunSetup DrawRun(std::uint64_t seed, const Generator& generator);

// The plan's write rows: the bytes a row writes (its explicit length).
std::uint32_t RowLength(const ImagePlanStep& step);
// The image bytes of row `row` (0-based), or nullptr.
const std::uint8_t* RowImage(const ImagePlanStep& step);
inline constexpr std::size_t kStampRow = 11;   // row 12: the plan's commit record

std::string DescribePlan(const ImagePlan& plan);

}  // namespace explorer
