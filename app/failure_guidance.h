// What the user is told about a failure: the message itself, then on lines
// of their own what to do next and, when the update had changed the flash,
// that the device needs the update run again.
#pragma once

#include <cstdint>
#include <string>

// Where the device stands when a failure is reported.
struct FailureState {
    bool flashChanged = false;   // an update changed the flash and did not complete
    bool bootRow = false;        // ... while rewriting the boot region
};

// The guidance string id for a failure message id (0: none).
std::uint32_t GuidanceFor(std::uint32_t messageId);

// What to do next, and the needs-update note when the flash changed, each
// on a line of its own (empty when there is nothing to say).
std::string NextStepText(std::uint32_t messageId, FailureState state);

// The error box's text: `message` (the text of messageId, possibly
// formatted), its guidance, and the needs-update note when the flash changed.
std::string FailureBoxText(std::uint32_t messageId, const std::string& message, FailureState state);

// The status line after the box: the message's first line, and the
// needs-update note when the flash changed.
std::string FailureStatusText(const std::string& message, FailureState state);
