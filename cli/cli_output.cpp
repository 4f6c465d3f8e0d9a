#include "cli/cli_output.h"

#include "cli/json.h"

#include <cinttypes>
#include <cstdio>

const CliOptions* currentCommand = nullptr;

const char* const kProgram = "q9-updater-cli";

void Emit(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// An error text on standard error, and as a message event under --json.
namespace {
std::string lastError;   // the last error text, for the result event
}  // namespace

void NoteError(const std::string& text)
{
    lastError = text;
}

const std::string& LastError()
{
    return lastError;
}

void ErrorLine(const std::string& text, bool prefixed)
{
    NoteError(text);
    if (prefixed) {
        std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    if (currentCommand != nullptr && currentCommand->json) {
        Emit(JsonObject().Add("event", "message").Add("caption", "Error").Add("icon", "error").Add("text", text).Text());
    }
}

void EmitEarlyResult(int exitStatus)
{
    if (currentCommand == nullptr || !currentCommand->json) return;
    JsonObject event;
    event.Add("event", "result").Add("command", CommandName(currentCommand->command)).Add("ok", false).Add("exit", exitStatus);
    if (!lastError.empty()) event.Add("message", lastError);
    Emit(event.Text());
}

int Usage(const std::string& message)
{
    ErrorLine(message);
    std::fprintf(stderr, "Run with --help for more information.\n");
    EmitEarlyResult(kExitUsage);
    return kExitUsage;
}

const char* CommandName(CliOptions::Command command)
{
    switch (command) {
    case CliOptions::Command::Ports: return "ports";
    case CliOptions::Command::Version: return "version";
    case CliOptions::Command::Update: return "update";
    case CliOptions::Command::Plan: return "plan";
    case CliOptions::Command::Verify: return "verify";
    }
    return "";
}

std::string Hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%06" PRIX32, value);
    return text;
}

