#include "cli/cli_output.h"

#include "cli/json.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

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


// What the link met: lost replies, read-backs and resends tell a bad link
// from a bad device.
void AddLinkCounts(JsonObject& event, const LinkDoubt::Stats* link)
{
    if (link == nullptr) return;
    event.Add("lostReplies", static_cast<std::int64_t>(link->lostReplies))
        .Add("readBacks", static_cast<std::int64_t>(link->readBacks))
        .Add("resends", static_cast<std::int64_t>(link->resends));
}

// In the summary of a run that met any of them.
void PrintLinkCounts(const CliOptions& options, const LinkDoubt::Stats& link)
{
    if (options.json || (link.lostReplies == 0 && link.readBacks == 0 && link.resends == 0)) return;
    std::printf("Link: %u lost replies, %u read-backs, %u resends.\n", static_cast<unsigned>(link.lostReplies),
                static_cast<unsigned>(link.readBacks), static_cast<unsigned>(link.resends));
    std::fflush(stdout);
}

// A report that could not reach standard output is no success.
int CheckOutput(int exitStatus)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return exitStatus;
    int err = errno;
    if (err == 0) {
        // An earlier write failed and its reason is gone: one more byte
        // finds it again (a closed pipe, a full disk).
        std::clearerr(stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        err = errno != 0 ? errno : EIO;
    }
    if (err == EPIPE) {
        std::fprintf(stderr, "%s: cannot write to standard output: the pipe was closed (its reader has gone)\n", kProgram);
    } else {
        std::fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, std::strerror(err));
    }
    return exitStatus == kExitOk || exitStatus == kExitVersionAfterUpdate ? kExitFailed : exitStatus;
}
