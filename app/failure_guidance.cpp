#include "app/failure_guidance.h"

#include "resources/string_table.h"

#include <array>
#include <utility>

namespace {

// Each failure message and the next step it names.
constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 21> kGuidance = {{
    {IDS_TIMEOUT1, IDS_GUIDE_NO_ANSWER},
    {IDS_UPDATE_MODE, IDS_GUIDE_UPDATE_MODE},
    {IDS_ILLEGAL_DEVICE, IDS_GUIDE_OTHER_DEVICE},
    {IDS_DEVICE_HELD, IDS_GUIDE_HELD},
    {IDS_DEVICE_DISCONNECTED, IDS_GUIDE_DISCONNECTED},
    {IDS_CANT_OPEN_OUT, IDS_GUIDE_CANT_OPEN},
    {IDS_CANT_OPEN_IN, IDS_GUIDE_CANT_OPEN},
    {IDS_TIMEOUT2, IDS_GUIDE_STOPPED_ANSWERING},
    {IDS_TIMEOUT3, IDS_GUIDE_STOPPED_ANSWERING},
    {IDS_TRANSFER_ERROR, IDS_GUIDE_TRANSFER_ERROR},
    {IDS_TOO_SLOW, IDS_GUIDE_LINK},
    {IDS_SEND_TIMED_OUT, IDS_GUIDE_LINK},
    {IDS_LINK_LOSING, IDS_GUIDE_LINK},
    {IDS_LINK_TOO_SLOW, IDS_GUIDE_LINK},
    {IDS_MIDI_STALLED, IDS_GUIDE_STALLED},
    {IDS_READBACK_FAILED, IDS_GUIDE_READ_BACK},
    {IDS_READ_REFUSED, IDS_GUIDE_READ_BACK},
    {IDS_BOOT_READ_FAILED, IDS_GUIDE_READ_VERSION},
    {IDS_VERSION_READ_FAILED, IDS_GUIDE_READ_VERSION},
    {IDS_IMAGE_MISSING, IDS_GUIDE_IMAGE_MISSING},
    {IDS_IN_PROGRESS, 0},
}};

}  // namespace

std::uint32_t GuidanceFor(std::uint32_t messageId)
{
    for (const auto& [message, guidance] : kGuidance) {
        if (message == messageId) return guidance;
    }
    return 0;
}

std::string NextStepText(std::uint32_t messageId, FailureState state)
{
    std::string text;
    const auto add = [&text](std::uint32_t id) { text += (text.empty() ? "" : "\n") + LoadStringById(id); };
    if (const std::uint32_t guidance = GuidanceFor(messageId); guidance != 0) add(guidance);
    if (state.flashChanged) {
        add(IDS_RUN_UPDATE_AGAIN);
        if (state.bootRow) add(IDS_GUIDE_BOOT_ROW);
    }
    return text;
}

std::string FailureBoxText(std::uint32_t messageId, const std::string& message, FailureState state)
{
    const std::string next = NextStepText(messageId, state);
    return next.empty() ? message : message + "\n" + next;
}

std::string FailureStatusText(const std::string& message, FailureState state)
{
    std::string text = message.substr(0, message.find('\n'));
    if (state.flashChanged) text += " " + LoadStringById(IDS_RUN_UPDATE_AGAIN);
    return text;
}
