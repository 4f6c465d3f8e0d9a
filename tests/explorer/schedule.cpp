#include "tests/explorer/schedule.h"

#include "virtual_device/settings.h"
#include "virtual_device/virtual_q9.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace explorer {

namespace {

constexpr std::uint32_t kSector = VirtualQ9::kEraseUnit;
constexpr std::uint32_t kBlock = 4096;
constexpr std::uint32_t kWriteWaitMs = 10;
constexpr std::uint32_t kBootStampLength = 4;

// The write row each erase row makes room for (0-based rows; row 1 makes room for the stamp).
struct RowPair {
    std::size_t erase;
    std::size_t write;
};
constexpr RowPair kRowPairs[] = {{0, kStampRow}, {1, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 10}};

// The version fields a factory device holds older than the carried images'.
struct OlderVersion {
    const char* label;
    const char* version;
};
constexpr OlderVersion kFactoryVersions[] = {{"SYSTEM", "1.10"}, {"SUBMCU", "1.01"}};

// Where a start flash comes from, and how often.
enum class Start { Factory, Erased, Current, FactoryChanged };
struct StartChoice {
    Start start;
    int weight;
};
constexpr StartChoice kStarts[] = {
    {Start::Factory, 35}, {Start::Erased, 20}, {Start::Current, 15}, {Start::FactoryChanged, 30}};

bool IsCounter(Place place)
{
    return place == Place::Command || place == Place::ReadReply || place == Place::HostMessage;
}

// A settings item the device must accept for the kind to be drawn.
std::string ProbeItem(const FaultKind& kind, bool listed)
{
    std::string item = kind.key;
    if (kind.place == Place::Delay) item += "=5";
    if (IsCounter(kind.place)) item += listed ? "=@3" : "=3";
    if (kind.extra != nullptr) item += std::string(",") + kind.extra + "=20";
    return item;
}

bool Accepts(const std::string& settings)
{
    VirtualDeviceSettings parsed;
    std::string error;
    return ParseVirtualDeviceSettings(settings, parsed, error);
}

}  // namespace

std::uint64_t Random::Next()
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint32_t Random::Between(std::uint32_t lo, std::uint32_t hi)
{
    if (hi <= lo) return lo;
    return lo + static_cast<std::uint32_t>(Next() % (static_cast<std::uint64_t>(hi) - lo + 1));
}

ProtocolTimings ExplorerTimings()
{
    ProtocolTimings t;
    t.identityMs = t.beginUpdateMs = t.bootStampMs = t.endUpdateMs = 150;
    t.pauseAfterBeginMs = 1;
    t.eraseMs = 150;
    t.readMs = 150;
    t.writeBlockMs = kWriteWaitMs;
    t.retryPauseMs = 1;
    t.replyMaxMs = 5 * kWriteWaitMs;   // as 5 s stands to 1 s
    t.replyMinWaitMs = 5;
    t.stallMaxMs = 300;
    return t;
}

bool MakeGenerator(const std::string& only, Generator& out, std::string& error)
{
    Generator g;
    g.listedCounts = Accepts("drop=@2/5");
    std::vector<std::string> wanted;
    std::stringstream names(only);
    for (std::string name; std::getline(names, name, ',');) {
        if (!name.empty()) wanted.push_back(name);
    }
    for (const std::string& name : wanted) {
        const bool known = std::any_of(kFaultKinds.begin(), kFaultKinds.end(),
                                       [&](const FaultKind& k) { return name == k.name; });
        if (!known) {
            error = "unknown fault kind \"" + name + "\"";
            return false;
        }
    }
    for (std::size_t i = 0; i < kKindCount; ++i) {
        const FaultKind& kind = kFaultKinds[i];
        g.accepted[i] = kind.place == Place::Unplug || Accepts(ProbeItem(kind, g.listedCounts));
        const bool asked = wanted.empty() || std::find(wanted.begin(), wanted.end(), kind.name) != wanted.end();
        g.enabled[i] = g.accepted[i] && asked;
    }
    if (std::none_of(g.enabled.begin(), g.enabled.end(), [](bool e) { return e; })) {
        error = "no fault kind left to draw";
        return false;
    }
    out = g;
    return true;
}

std::uint32_t RowLength(const ImagePlanStep& step)
{
    if (step.length != 0 || step.kind != PLAN_WRITE) return step.length;
    std::size_t size = 0;
    FindImage(step.imageId, &size);
    return static_cast<std::uint32_t>(size);
}

const std::uint8_t* RowImage(const ImagePlanStep& step)
{
    std::size_t size = 0;
    return step.kind == PLAN_WRITE ? FindImage(step.imageId, &size) : nullptr;
}

std::string DescribePlan(const ImagePlan& plan)
{
    std::ostringstream out;
    out << std::hex << std::uppercase;
    for (std::size_t row = 0; row < plan.size(); ++row) {
        out << (row == 0 ? "" : " ") << (plan[row].kind == PLAN_ERASE ? "E" : "W") << plan[row].address << "+"
            << plan[row].length;
    }
    return out.str();
}

namespace {

ImagePlan DrawPlan(Random& random)
{
    ImagePlan plan = kImagePlan;
    for (const RowPair& pair : kRowPairs) {
        ImagePlanStep& write = plan[pair.write];
        ImagePlanStep& erase = plan[pair.erase];
        std::size_t imageSize = 0;
        FindImage(write.imageId, &imageSize);
        if (pair.write == kStampRow) {
            // The whole stamp image, or all but a few bytes after its version field.
            write.length = random.Chance(50) ? kBlock : random.Between(0xFE4, kBlock - 1);
            write.length = std::min<std::uint32_t>(write.length, static_cast<std::uint32_t>(imageSize));
            continue;   // row 1 keeps its one sector
        }
        const std::uint32_t blocks = random.Between(1, 3);
        const std::uint32_t last = random.Chance(50) ? kBlock : random.Between(1, kBlock - 1);
        write.length = std::min<std::uint32_t>((blocks - 1) * kBlock + last, static_cast<std::uint32_t>(imageSize));
        const std::uint32_t sectors = (write.length + kSector - 1) / kSector + random.Between(0, 1);
        erase.length = std::min<std::uint32_t>(sectors * kSector, kImagePlan[pair.erase].length);
    }
    return plan;
}

void PlantBootStamp(std::vector<std::uint8_t>& flash)
{
    std::size_t size = 0;
    const std::uint8_t* boot = FindImage(kBootImageId, &size);
    if (boot == nullptr || size < kBootStampAddress + kBootStampLength) return;
    std::memcpy(flash.data() + kBootStampAddress, boot + kBootStampAddress, kBootStampLength);
}

// A few bytes of the flash changed: most inside the plan's regions, some
// anywhere.  With the boot stamp current the boot rows are skipped, so the
// boot region keeps what it holds and is left alone.
void ChangeBytes(Random& random, const ImagePlan& plan, bool bootStampCurrent, std::vector<std::uint8_t>& flash,
                 std::uint32_t count)
{
    const std::uint32_t bootEnd = plan[3].length;
    for (std::uint32_t i = 0; i < count;) {
        std::uint32_t address = 0;
        if (random.Chance(70)) {
            const ImagePlanStep& row = plan[random.Between(0, static_cast<std::uint32_t>(plan.size() - 1))];
            address = row.address + random.Between(0, std::max<std::uint32_t>(RowLength(row), 1) - 1);
        } else {
            address = random.Between(0, VirtualQ9::kFlashSize - 1);
        }
        const bool inBoot = address < bootEnd || (address >= kBootStampAddress && address < kBootStampAddress + 4);
        if (bootStampCurrent && inBoot) continue;
        flash[address] ^= static_cast<std::uint8_t>(random.Between(1, 255));
        ++i;
    }
}

std::uint32_t BlocksOf(std::uint32_t length) { return (length + kBlock - 1) / kBlock; }

// The device-format commands a clean run sends: begin, the boot-stamp
// read, the erases, the blocks, end.
std::uint32_t CommandsOf(const ImagePlan& plan, bool bootStampCurrent)
{
    std::uint32_t commands = 3;
    for (const ImagePlanStep& step : plan) {
        if (step.address == 0 && bootStampCurrent) continue;
        commands += step.kind == PLAN_ERASE ? 1 : BlocksOf(RowLength(step));
    }
    return commands;
}

std::size_t DrawKind(Random& random, const Generator& generator)
{
    int total = 0;
    for (std::size_t i = 0; i < kKindCount; ++i) total += generator.enabled[i] ? kFaultKinds[i].weight : 0;
    int pick = static_cast<int>(random.Between(1, static_cast<std::uint32_t>(total)));
    for (std::size_t i = 0; i < kKindCount; ++i) {
        if (!generator.enabled[i]) continue;
        pick -= kFaultKinds[i].weight;
        if (pick <= 0) return i;
    }
    return 0;
}

// Where a counted fault lands: mostly inside the run (a clean run's count,
// a little beyond it for the commands faults add).  Every Nth, N is kept to
// the second half, so that a fault comes a few times and not a dozen.
std::uint32_t DrawCount(Random& random, Place place, bool listed, std::uint32_t commands)
{
    const std::uint32_t half = std::max<std::uint32_t>(3, commands / 2);
    switch (place) {
    case Place::ReadReply: return random.Between(listed ? 1 : 2, 3);
    case Place::Command: return listed ? random.Between(1, commands + 2) : random.Between(half, commands);
    case Place::HostMessage: return listed ? random.Between(1, commands + 3) : random.Between(half, commands + 1);
    case Place::Unplug: return random.Between(1, commands + 2);
    default: return 0;
    }
}

std::uint32_t DrawMs(Random& random, const FaultKind& kind, const ProtocolTimings& t)
{
    if (kind.place == Place::Delay) {
        // Below the write wait, above it, and now and then beyond the longest a reply may take.
        // Every reply comes late, so most stay within two write waits.
        const std::uint32_t roll = random.Between(1, 100);
        if (roll <= 45) return random.Between(1, t.writeBlockMs - 1);
        if (roll <= 80) return random.Between(t.writeBlockMs + 1, 2 * t.writeBlockMs);
        if (roll <= 90) return random.Between(2 * t.writeBlockMs + 1, t.replyMaxMs - 1);
        return random.Between(t.replyMaxMs + 1, 2 * t.replyMaxMs);
    }
    // A reply held back (or waiting to be overtaken) 1.5 to 4 write waits.
    if (std::strcmp(kind.name, "hold") == 0 || std::strcmp(kind.name, "reorder") == 0)
        return random.Between(t.writeBlockMs * 3 / 2, t.writeBlockMs * 4);
    // A stall mostly shorter than the longest the MIDI system may stop, now and then longer.
    if (std::strcmp(kind.name, "stall") == 0) {
        return random.Chance(60) ? random.Between(t.stallMaxMs / 10, t.stallMaxMs / 2)
                                 : random.Between(t.stallMaxMs + 1, t.stallMaxMs * 3 / 2);
    }
    return 0;
}

std::string SettingsOf(const std::vector<PlacedFault>& faults, bool listed)
{
    std::string settings = "flash=erased";   // the explorer sets the start flash itself
    for (const PlacedFault& fault : faults) {
        const FaultKind& kind = kFaultKinds[fault.kind];
        if (kind.place == Place::Unplug) continue;
        settings += ",";
        settings += kind.key;
        if (kind.place == Place::Delay) settings += "=" + std::to_string(fault.ms);
        if (IsCounter(kind.place)) {
            settings += listed ? "=@" : "=";
            for (std::size_t i = 0; i < fault.counts.size(); ++i)
                settings += (i == 0 ? "" : "/") + std::to_string(fault.counts[i]);
        }
        if (kind.extra != nullptr) settings += std::string(",") + kind.extra + "=" + std::to_string(fault.ms);
    }
    return settings;
}

// The longest the run may take: twenty times the waits that could run, the
// clean run's and those each fault may add (a time-out, a read-back and a
// resend at the longest wait, and its own delay).
std::uint64_t BoundOf(const RunSetup& setup, const ProtocolTimings& t, bool listed)
{
    const std::uint64_t longest = std::max({t.identityMs, t.beginUpdateMs, t.bootStampMs, t.eraseMs, t.readMs,
                                            t.endUpdateMs, t.replyMaxMs, t.stallMaxMs});
    std::uint64_t waits = std::uint64_t{t.identityMs} + t.beginUpdateMs + t.pauseAfterBeginMs + t.bootStampMs +
                          t.endUpdateMs;
    for (const ImagePlanStep& step : setup.plan)
        waits += step.kind == PLAN_ERASE ? t.eraseMs : std::uint64_t{BlocksOf(RowLength(step))} * t.writeBlockMs;
    const std::uint64_t commands = setup.commandsExpected;
    for (const PlacedFault& fault : setup.faults) {
        const Place place = kFaultKinds[fault.kind].place;
        std::uint64_t times = fault.counts.size();
        if (IsCounter(place) && !listed) times = 2 * commands / std::max<std::uint32_t>(fault.counts.front(), 1) + 1;
        if (place == Place::Delay) {
            waits += 2 * commands * (fault.ms + t.replyMaxMs);   // every reply, read-backs too
            continue;
        }
        if (place == Place::Flag || place == Place::Unplug) times = 1;
        waits += times * (3 * longest + fault.ms + t.replyMaxMs);
    }
    return 20 * waits;
}

}  // namespace

RunSetup DrawRun(std::uint64_t seed, const Generator& generator)
{
    const ProtocolTimings timings = ExplorerTimings();
    Random random(seed);
    RunSetup setup;
    setup.seed = seed;
    setup.plan = DrawPlan(random);

    // The start flash.
    int total = 0;
    for (const StartChoice& choice : kStarts) total += choice.weight;
    int pick = static_cast<int>(random.Between(1, static_cast<std::uint32_t>(total)));
    Start start = Start::Factory;
    for (const StartChoice& choice : kStarts) {
        pick -= choice.weight;
        if (pick <= 0) {
            start = choice.start;
            break;
        }
    }
    std::vector<std::uint8_t> current;
    {
        const ScopedPlan scoped(setup.plan);
        current = ExpectedFlashAfterUpdate(std::vector<std::uint8_t>(VirtualQ9::kFlashSize, 0xFF));
    }
    std::vector<std::uint8_t> factory = current;
    for (const OlderVersion& older : kFactoryVersions) {
        for (const ImageInfo& info : kImages) {
            if (info.label != nullptr && std::strcmp(info.label, older.label) == 0)
                std::memcpy(factory.data() + info.versionAddress, older.version, 4);
        }
    }
    switch (start) {
    case Start::Erased:
        setup.startName = "erased";
        setup.startFlash.assign(VirtualQ9::kFlashSize, 0xFF);
        break;
    case Start::Current:
        setup.startName = "current";
        setup.startFlash = current;
        break;
    case Start::Factory:
    case Start::FactoryChanged:
        setup.startName = "factory";
        setup.startFlash = factory;
        break;
    }
    // A boot region the device holds as carried: its rows are skipped.
    if (start != Start::Erased && random.Chance(50)) {
        PlantBootStamp(setup.startFlash);
        setup.bootStampCurrent = true;
        setup.startName += ", boot stamp current";
    }
    if (start == Start::FactoryChanged) {
        const std::uint32_t changed = random.Between(1, 8);
        ChangeBytes(random, setup.plan, setup.bootStampCurrent, setup.startFlash, changed);
        setup.startName += ", " + std::to_string(changed) + " bytes changed";
    }
    setup.commandsExpected = CommandsOf(setup.plan, setup.bootStampCurrent);

    // The faults: one to five; kinds without a count at most once, and in
    // the every-Nth form each counter kind once.
    const std::uint32_t wanted = random.Between(1, 5);
    std::uint32_t placed = 0;
    for (std::uint32_t tries = 0; placed < wanted && tries < 20; ++tries) {
        const std::size_t kind = DrawKind(random, generator);
        const Place place = kFaultKinds[kind].place;
        auto same = std::find_if(setup.faults.begin(), setup.faults.end(),
                                 [&](const PlacedFault& f) { return f.kind == kind; });
        const std::uint32_t count = DrawCount(random, place, generator.listedCounts, setup.commandsExpected);
        if (same != setup.faults.end()) {
            if (!IsCounter(place) || !generator.listedCounts) continue;
            if (std::find(same->counts.begin(), same->counts.end(), count) != same->counts.end()) continue;
            same->counts.push_back(count);
            std::sort(same->counts.begin(), same->counts.end());
            ++placed;
            continue;
        }
        PlacedFault fault;
        fault.kind = kind;
        if (count != 0) fault.counts.push_back(count);
        fault.ms = DrawMs(random, kFaultKinds[kind], timings);
        if (place == Place::Unplug) setup.unplugAtSend = count;
        setup.faults.push_back(fault);
        ++placed;
    }
    setup.settings = SettingsOf(setup.faults, generator.listedCounts);
    setup.boundMs = BoundOf(setup, timings, generator.listedCounts);
    return setup;
}

}  // namespace explorer
