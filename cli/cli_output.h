// What q9-updater-cli writes: lines and events on standard output, errors
// on standard error (and as message events under --json).
#pragma once

#include "app/reply_doubt.h"
#include "cli/cli_app.h"
#include "cli/json.h"

#include <cstdint>
#include <string>

extern const char* const kProgram;

// The command being run, for the events of errors found before it starts.
extern const CliOptions* currentCommand;

// One line on standard output, flushed.
void Emit(const std::string& line);
// An error text on standard error, and as a message event under --json.
void ErrorLine(const std::string& text, bool prefixed = true);
// The last error text (ErrorLine, an error box): every failing result carries it.
void NoteError(const std::string& text);
const std::string& LastError();
// The result event of a command that ended before it started (--json).
void EmitEarlyResult(int exitStatus);
// A usage error: the text, the hint, the result event; returns kExitUsage.
int Usage(const std::string& message);
const char* CommandName(CliOptions::Command command);
// An address as 0x and six hex digits.
std::string Hex(std::uint32_t value);

// `plan`: the 12 rows and the carried versions; needs no device.
int RunPlan(const CliOptions& options);

// What the link met (lost replies, read-backs, resends): in a JSON event,
// and as a summary line when there was any.
void AddLinkCounts(JsonObject& event, const LinkDoubt::Stats* link);
void PrintLinkCounts(const CliOptions& options, const LinkDoubt::Stats& link);
// A report that could not reach standard output is no success: the exit
// status to end with.
int CheckOutput(int exitStatus);
