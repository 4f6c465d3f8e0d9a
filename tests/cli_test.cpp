// The command-line front end as a user or a script meets it: the program
// q9-updater-cli run as a process against the built-in virtual ARKO Q9.
#include "app/instance.h"
#include "app/pel_updator_dlg.h"
#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string CliPath()
{
    return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "cli" / "q9-updater-cli").string();
}

struct Result {
    int exitCode = -1;   // 128 + signal when killed by one
    std::string out;
    std::string err;
};

// Runs the program with `args`; `onOutput` sees the standard output gathered
// so far and may return true once to have SIGINT sent.  A run that hangs is
// killed after a generous limit (a guard against a broken program, not a
// speed check).
// With `terminal` the standard output is a pseudo-terminal 100 columns wide.
Result RunCli(const std::vector<std::string>& args, std::function<bool(const std::string&)> onOutput = {},
              bool terminal = false)
{
    Result result;
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return result;
    std::string terminalName;
    if (terminal) {
        // The master side replaces the pipe's read end; the child opens the slave.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return result;
        terminalName = ::ptsname(master);
        winsize size{};
        size.ws_col = 100;
        size.ws_row = 24;
        ::ioctl(master, TIOCSWINSZ, &size);
        ::close(outPipe[0]);
        outPipe[0] = master;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (terminal) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, terminalName.c_str(), O_RDWR | O_NOCTTY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    const std::string path = CliPath();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (spawned != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        result.err = "spawn failed: " + std::string(std::strerror(spawned));
        return result;
    }

    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    bool signalled = false;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (std::chrono::steady_clock::now() > limit) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "q9-updater-cli did not end";
            break;
        }
        if (::poll(fds, 2, 200) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            if (i == 0 && onOutput && !signalled && onOutput(result.out)) {
                ::kill(pid, SIGINT);
                signalled = true;
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) ::close(fd.fd);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// ---------------------------------------------------------------------------
// A small JSON checker: validates one value and collects the top-level
// string and number members of an object.
class Json {
public:
    explicit Json(std::string text) : s(std::move(text)) {}

    bool Parse()
    {
        Space();
        if (!Value(0)) return false;
        Space();
        return i == s.size();
    }
    std::string Get(const std::string& key) const
    {
        for (const auto& [k, v] : members) {
            if (k == key) return v;
        }
        return "<none>";
    }

private:
    void Space()
    {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\t' || s[i] == '\r')) ++i;
    }
    bool Literal(const char* word)
    {
        const std::size_t n = std::strlen(word);
        if (s.compare(i, n, word) != 0) return false;
        i += n;
        return true;
    }
    bool String(std::string* out)
    {
        if (i >= s.size() || s[i] != '"') return false;
        ++i;
        while (i < s.size() && s[i] != '"') {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c < 0x20) return false;
            if (c == '\\') {
                ++i;
                if (i >= s.size()) return false;
                const char e = s[i];
                if (e == 'u') {
                    if (i + 4 >= s.size()) return false;
                    for (int k = 1; k <= 4; ++k) {
                        if (!std::isxdigit(static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]))) return false;
                    }
                    i += 4;
                    if (out) *out += '?';
                } else if (std::strchr("\"\\/bfnrt", e) != nullptr) {
                    if (out) *out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
                } else {
                    return false;
                }
            } else if (out) {
                *out += static_cast<char>(c);
            }
            ++i;
        }
        if (i >= s.size()) return false;
        ++i;
        return true;
    }
    bool Number(std::string* out)
    {
        const std::size_t start = i;
        if (i < s.size() && s[i] == '-') ++i;
        if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || std::strchr(".eE+-", s[i]))) ++i;
        if (out) *out = s.substr(start, i - start);
        return true;
    }
    bool Value(int depth)
    {
        if (depth > 20 || i >= s.size()) return false;
        const char c = s[i];
        if (c == '{') {
            ++i;
            Space();
            if (i < s.size() && s[i] == '}') return ++i, true;
            for (;;) {
                Space();
                std::string key;
                if (!String(&key)) return false;
                Space();
                if (i >= s.size() || s[i] != ':') return false;
                ++i;
                Space();
                std::string value;
                const bool top = depth == 0;
                if (i < s.size() && s[i] == '"') {
                    if (!String(&value)) return false;
                } else if (i < s.size() && (s[i] == '-' || std::isdigit(static_cast<unsigned char>(s[i])))) {
                    if (!Number(&value)) return false;
                } else {
                    const std::size_t start = i;
                    if (!Value(depth + 1)) return false;
                    value = s.substr(start, i - start);
                }
                if (top) members.emplace_back(key, value);
                Space();
                if (i < s.size() && s[i] == ',') {
                    ++i;
                    continue;
                }
                if (i < s.size() && s[i] == '}') return ++i, true;
                return false;
            }
        }
        if (c == '[') {
            ++i;
            Space();
            if (i < s.size() && s[i] == ']') return ++i, true;
            for (;;) {
                Space();
                if (!Value(depth + 1)) return false;
                Space();
                if (i < s.size() && s[i] == ',') {
                    ++i;
                    continue;
                }
                if (i < s.size() && s[i] == ']') return ++i, true;
                return false;
            }
        }
        if (c == '"') return String(nullptr);
        if (c == 't') return Literal("true");
        if (c == 'f') return Literal("false");
        if (c == 'n') return Literal("null");
        return Number(nullptr);
    }

    std::string s;
    std::size_t i = 0;
    std::vector<std::pair<std::string, std::string>> members;
};

// Every line one valid JSON object; their top-level members.
std::vector<Json> JsonLines(const std::string& text, bool& valid)
{
    std::vector<Json> events;
    valid = true;
    for (const std::string& line : Lines(text)) {
        Json json(line);
        if (!json.Parse() || line.empty() || line[0] != '{') {
            ADD_FAILURE() << "not a JSON object: " << line;
            valid = false;
            continue;
        }
        events.push_back(json);
    }
    return events;
}

// "> 12.345678 F0 7E ... F7": direction, seconds with six decimals, then
// upper-case hex bytes each after one blank.
bool IsTraceLine(const std::string& line)
{
    static const std::regex head("^[<>] [0-9]+\\.[0-9]{6}");
    std::smatch match;
    if (!std::regex_search(line, match, head)) return false;
    std::size_t i = static_cast<std::size_t>(match.length(0));
    if (i == line.size()) return false;   // at least one byte
    auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    for (; i < line.size(); i += 3) {
        if (i + 3 > line.size() || line[i] != ' ' || !hex(line[i + 1]) || !hex(line[i + 2])) return false;
    }
    return true;
}

const char* const kFactoryReport =
    "Version Information\n"
    "SYSTEM:\t\t1.10 -> 1.20\n"
    "PRESET:\t\t1.00\n"
    "BOOT:\t\t1.00\n"
    "SUBMCU:\t\t1.01 -> 1.02\n";

const char* const kUpdatedReport =
    "Version Information\n"
    "SYSTEM:\t\t1.20 -> 1.20\n"
    "PRESET:\t\t1.00\n"
    "BOOT:\t\t1.00\n"
    "SUBMCU:\t\t1.02\n";

// Each test gets its own lock folder (so other updaters running on the
// machine do not take its instance numbers) and sees no JACK server.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(CliPath())) << CliPath() << " is not built";
        char pattern[] = "/tmp/q9-cli-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        ::setenv("JACK_DEFAULT_SERVER", "q9-cli-test-no-server", 1);
        ::setenv("JACK_NO_START_SERVER", "1", 1);
        ::setenv("TERM", "xterm", 1);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string dir;
};

// ---------------------------------------------------------------------------

TEST_F(CliTest, PlanListsTheTwelveRowsAndTheCarriedVersionsWithoutADevice)
{
    const Result r = RunCli({"plan"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    int rows = 0;
    for (const std::string& line : Lines(r.out)) {
        if (std::regex_search(line, std::regex("^ *[0-9]+  (erase|write)  0x[0-9A-F]{6} "))) ++rows;
    }
    EXPECT_EQ(rows, 12);
    EXPECT_NE(r.out.find("  7  write  0x066000   1053776    129     258 (last block 1104 bytes)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("SYSTEM  1.20"), std::string::npos);
    EXPECT_NE(r.out.find("PRESET  1.00"), std::string::npos);
    EXPECT_NE(r.out.find("BOOT    1.00"), std::string::npos);
    EXPECT_NE(r.out.find("SUBMCU  1.02"), std::string::npos);

    const Result json = RunCli({"plan", "--json"});
    ASSERT_EQ(json.exitCode, 0);
    bool valid = false;
    const std::vector<Json> events = JsonLines(json.out, valid);
    ASSERT_TRUE(valid);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Get("event"), "plan");
    EXPECT_EQ(events[0].Get("writeBytes"), "3806288");
    EXPECT_EQ(events[1].Get("event"), "result");
    EXPECT_EQ(events[1].Get("exit"), "0");
}

TEST_F(CliTest, PortsSaysPlainlyWhenThereAreNoDevicesAndMarksThePreselection)
{
    const Result none = RunCli({"ports"});
    ASSERT_EQ(none.exitCode, 0) << none.err;
    EXPECT_NE(none.out.find("No MIDI input devices."), std::string::npos) << none.out;
    EXPECT_NE(none.out.find("No MIDI output devices."), std::string::npos) << none.out;

    const Result virt = RunCli({"ports", "--virtual-device"});
    ASSERT_EQ(virt.exitCode, 0) << virt.err;
    EXPECT_EQ(virt.out,
              "MIDI IN:\n"
              "   0  ARKO Q9  (preselected)\n"
              "MIDI OUT:\n"
              "   0  ARKO Q9  (preselected)\n");

    // Options may also come before the command.
    const Result json = RunCli({"--virtual-device", "--json", "ports"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    bool valid = false;
    const std::vector<Json> events = JsonLines(json.out, valid);
    ASSERT_TRUE(valid);
    ASSERT_GE(events.size(), 1u);
    EXPECT_EQ(events[0].Get("event"), "ports");
    EXPECT_EQ(events[0].Get("in"), R"([{"id":0,"name":"ARKO Q9","preselected":true}])");
    EXPECT_EQ(events[0].Get("instance"), "1");
}

TEST_F(CliTest, UpdateToAPipeShowsOneLinePerRowTheFinalStatusAndTheVersionsAfterwards)
{
    const Result r = RunCli({"update", "--virtual-device=flash=erased"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = Lines(r.out);
    std::vector<std::string> rows;
    for (const std::string& line : lines) {
        if (std::regex_search(line, std::regex("^ ?[0-9]+/12  (erase|write)  "))) rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 12u) << r.out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(std::stoi(rows[i]), static_cast<int>(i) + 1);
        // An erased device's boot region is not current: every row works.
        EXPECT_NE(rows[i].find("  done  "), std::string::npos) << rows[i];
    }
    EXPECT_NE(rows[6].find("image 129, 258 blocks (last 1104 bytes)"), std::string::npos) << rows[6];
    const std::size_t completed = r.out.find("\nVersion update completed.\n");
    ASSERT_NE(completed, std::string::npos) << r.out;
    const std::size_t report = r.out.find(kUpdatedReport);
    ASSERT_NE(report, std::string::npos) << r.out;
    EXPECT_LT(completed, report);
}

TEST_F(CliTest, JsonEventsOfAnUpdate)
{
    // A link paced to take a few seconds, so that a pace is measured before the end.
    const Result r = RunCli({"update", "--virtual-device=link=1200000", "--json", "--no-version"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    bool valid = false;
    const std::vector<Json> events = JsonLines(r.out, valid);
    ASSERT_TRUE(valid);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front().Get("event"), "start");
    std::vector<std::string> results;   // of the "row" events
    int reports = 0;
    int progress = 0;
    int lastPercent = 0;
    int timesLeft = 0;
    for (const Json& e : events) {
        if (e.Get("event") == "row") results.push_back(e.Get("result"));
        if (e.Get("event") == "report") ++reports;
        if (e.Get("event") != "progress") continue;
        ++progress;
        // The whole update's percentage (from its first row on), never
        // going back; the time left once measured.
        if (e.Get("percent") == "<none>") continue;
        const int percent = std::stoi(e.Get("percent"));
        EXPECT_GE(percent, lastPercent);
        lastPercent = percent;
        if (e.Get("secondsLeft") != "<none>") timesLeft += std::stod(e.Get("secondsLeft")) >= 0 ? 1 : 0;
    }
    EXPECT_EQ(lastPercent, 100);
    EXPECT_GT(timesLeft, 0);
    // The factory device's boot region is current: rows 4 and 5 pass without work.
    const std::vector<std::string> expected = {"done", "done", "done", "skipped", "skipped", "done",
                                               "done", "done", "done", "done",    "done",    "done"};
    EXPECT_EQ(results, expected);
    EXPECT_GT(progress, 0);
    EXPECT_EQ(reports, 0);   // --no-version
    const Json& last = events.back();
    EXPECT_EQ(last.Get("event"), "result");
    EXPECT_EQ(last.Get("ok"), "true");
    EXPECT_EQ(last.Get("exit"), "0");
    EXPECT_EQ(last.Get("status"), "Version update completed.");
}

// The result event of runs that met a lossy link, a refusal, or a command
// line that could not be read: what happened, and why it failed.
TEST_F(CliTest, ResultEventsCountTheLinkAndNameWhyARunFailed)
{
    struct Row {
        std::vector<std::string> args;
        int exit;
        const char* message;   // how it begins; nullptr: none
        const char* needsUpdate;
    };
    const Row rows[] = {
        // Lost replies and refusals, also in the version read after the update.
        {{"update", "--virtual-device=flash=erased,drop=97,refuse=89", "--json"}, 0, nullptr, "false"},
        {{"update", "--virtual-device=update-mode=off", "--json"}, 1,
         "Please use the firmware update mode.\nPut the device into its firmware update mode", "false"},
        // Left half written: the message ends with what the device needs.
        {{"update", "--virtual-device=drop=2", "--json"}, 1, "The link to the device loses too many replies", "true"},
        {{"verify", "--virtual-device=identity=6E000A00", "--json"}, 1, "Illegal device connected.\n", "false"},
        {{"frob", "--json"}, 2, "unknown command: frob", nullptr},
    };
    for (const Row& row : rows) {
        const Result r = RunCli(row.args);
        EXPECT_EQ(r.exitCode, row.exit) << row.args[0] << "\n" << r.err;
        bool valid = false;
        const std::vector<Json> events = JsonLines(r.out, valid);
        ASSERT_TRUE(valid) << r.out;
        ASSERT_FALSE(events.empty());
        const Json& last = events.back();
        EXPECT_EQ(last.Get("event"), "result");
        EXPECT_EQ(last.Get("exit"), std::to_string(row.exit));
        if (row.message != nullptr) {
            EXPECT_EQ(last.Get("message").rfind(row.message, 0), 0u) << r.out;
        }
        if (row.needsUpdate != nullptr) {
            EXPECT_EQ(last.Get("needsUpdate"), row.needsUpdate) << r.out;
            EXPECT_EQ(last.Get("message").ends_with("The device needs the update run again."),
                      std::string(row.needsUpdate) == "true") << r.out;
        }
        if (row.exit == 0) {
            EXPECT_NE(last.Get("lostReplies"), "0") << r.out;
            EXPECT_NE(last.Get("readBacks"), "0") << r.out;
        }
    }
}

TEST_F(CliTest, VersionPrintsTheReportAsTheDialogShowsItAndTheTraceHoldsEveryMessage)
{
    const std::string trace = dir + "/trace.txt";
    const Result r = RunCli({"version", "--virtual-device", "--trace", trace});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, kFactoryReport);

    std::ifstream in(trace);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    for (const std::string& line : lines) EXPECT_TRUE(IsTraceLine(line)) << line;
    // The identity request and four reads, each answered.
    const std::vector<std::string> bytes = {
        "> F0 7E 00 06 01 F7",
        "< F0 7E 00 06 02 52 6E 00 09 00 31 30 30 30 F7",
        "> F0 52 00 6E 60 30 60 1F 5C 00 00 04 00 00 00 00 F7",   // SYSTEM at 0x170FE0
        "<",
        "> F0 52 00 6E 60 30 7C 3F 19 00 00 05 00 00 00 00 F7",   // PRESET at 0x065FFC (5 bytes: not the last read's length)
        "<",
        "> F0 52 00 6E 60 30 7C 5F 12 00 00 04 00 00 00 00 F7",   // BOOT at 0x04AFFC
        "<",
        "> F0 52 00 6E 60 30 60 7F 72 00 00 05 00 00 00 00 F7",   // SUBMCU at 0x1CBFE0
        "<",
    };
    ASSERT_EQ(lines.size(), bytes.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // Drop the time stamp: direction, blank, seconds, blank, bytes.
        const std::size_t stamp = lines[i].find(' ', 2);
        const std::string withoutTime =
            lines[i].substr(0, 1) + (stamp == std::string::npos ? "" : lines[i].substr(stamp));
        if (bytes[i] == "<") {
            // Each read-data reply gives the length its read asked for.
            const std::string length = bytes[i - 1].substr(bytes[i - 1].find(" F7") - 14, 2);
            EXPECT_TRUE(withoutTime.starts_with("< F0 52 00 6E 60 04 30 00 00 " + length + " 00 ")) << lines[i];
        } else {
            EXPECT_EQ(withoutTime, bytes[i]);
        }
    }
}

TEST_F(CliTest, AFailedOperationExitsWithOneAndTheDialogsErrorText)
{
    const Result mode = RunCli({"update", "--virtual-device=update-mode=off"});
    EXPECT_EQ(mode.exitCode, 1);
    EXPECT_EQ(mode.err, "Error: Please use the firmware update mode.\nPut the device into its firmware update mode (see its manual), then press Execute again.\n");
    EXPECT_EQ(mode.out.find("Version update completed."), std::string::npos);

    const Result illegal = RunCli({"version", "--virtual-device=identity=6E000A00"});
    EXPECT_EQ(illegal.exitCode, 1);
    EXPECT_EQ(illegal.err, "Error: Illegal device connected.\nThe selected ports lead to another device. Pick the ARKO Q9's ports.\n");
    EXPECT_EQ(illegal.out, "");

    const Result json = RunCli({"update", "--json", "--virtual-device=identity=6E000A00"});
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_EQ(json.err, "Error: Illegal device connected.\nThe selected ports lead to another device. Pick the ARKO Q9's ports.\n");
    bool valid = false;
    const std::vector<Json> events = JsonLines(json.out, valid);
    ASSERT_TRUE(valid);
    ASSERT_GE(events.size(), 3u);   // the message, the status line keeping it, the result
    EXPECT_EQ(events[events.size() - 3].Get("event"), "message");
    EXPECT_EQ(events[events.size() - 3].Get("text"), "Illegal device connected.\nThe selected ports lead to another device. Pick the ARKO Q9's ports.");
    EXPECT_EQ(events.back().Get("ok"), "false");
    EXPECT_EQ(events.back().Get("exit"), "1");

    // No device at all: the output port cannot be opened, as in the dialog, and what to do.
    const Result none = RunCli({"version"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.err.rfind("Error: Can't open MIDI Out device. Connect the ARKO Q9, then press Rescan Device.\n", 0), 0u);

    // A device the command line names that is not there.
    const Result missing = RunCli({"update", "--virtual-device", "--out", "USB Audio Device"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("No MIDI output device is named \"USB Audio Device\"."), std::string::npos);
    const Result badId = RunCli({"version", "--virtual-device", "--in", "1"});
    EXPECT_EQ(badId.exitCode, 1);
    EXPECT_NE(badId.err.find("There is no MIDI input device with id 1."), std::string::npos);
}

TEST_F(CliTest, UsageErrorsExitWithTwo)
{
    const Result unknown = RunCli({"update", "--frobnicate"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("--frobnicate"), std::string::npos);

    EXPECT_EQ(RunCli({}).exitCode, 2);
    EXPECT_EQ(RunCli({"erase-everything"}).exitCode, 2);

    const Result settings = RunCli({"update", "--virtual-device=link=fast"});
    EXPECT_EQ(settings.exitCode, 2);
    EXPECT_NE(settings.err.find("link=fast"), std::string::npos) << settings.err;
    EXPECT_EQ(settings.out, "");

    const Result trace = RunCli({"version", "--virtual-device", "--trace", dir + "/no/such/folder/trace.txt"});
    EXPECT_EQ(trace.exitCode, 2);

    const Result help = RunCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("update"), std::string::npos);
}

TEST_F(CliTest, InstanceNumbersPickThePreselectionAndTheTwentyFirstIsRefused)
{
    platform::NamedLock first;
    ASSERT_TRUE(first.TryAcquire(ApplicationTitle(1)));

    // The second instance looks for "ARKO Q9 (2)": so is its virtual device named.
    const Result second = RunCli({"ports", "--virtual-device"});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.out.find("ARKO Q9 (2)  (preselected)"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("Instance 2 preselects names followed by \" (2)\"."), std::string::npos);

    std::vector<platform::NamedLock> others(kMaxInstances - 1);
    for (int n = 2; n <= kMaxInstances; ++n) {
        ASSERT_TRUE(others[static_cast<std::size_t>(n - 2)].TryAcquire(ApplicationTitle(n)));
    }
    const Result refused = RunCli({"update", "--virtual-device"});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_EQ(refused.err, "It is forbidden to launch more than 20 instance of this application.\n");
    EXPECT_EQ(refused.out, "");

    // A freed number is taken again.
    others[4].Release();   // number 6
    const Result sixth = RunCli({"ports", "--virtual-device", "--json"});
    ASSERT_EQ(sixth.exitCode, 0) << sixth.err;
    EXPECT_NE(sixth.out.find("\"instance\":6"), std::string::npos) << sixth.out;

    // The plan needs no instance number.
    others[4].TryAcquire(ApplicationTitle(6));
    EXPECT_EQ(RunCli({"plan"}).exitCode, 0);
}

TEST_F(CliTest, OnATerminalOneLiveLineAndCtrlCEndsTheUpdateQuietlyWithStatus130)
{
    // A slow link keeps the update in its first write row long enough to be
    // watched; SIGINT goes out once the line shows two blocks of row 3 acknowledged.
    const Result r = RunCli(
        {"update", "--virtual-device=link=32768"},
        [](const std::string& out) {
            const std::string shown = "3/12 Data transmit  ";
            const std::size_t at = out.rfind(shown);
            return at != std::string::npos && std::atol(out.c_str() + at + shown.size()) >= 8192;
        },
        true);
    EXPECT_EQ(r.exitCode, 130);
    EXPECT_EQ(r.err, "The device needs the update run again.\n");   // the flash was changed

    // The live line is redrawn in place: carriage return, the line, clear to its end.
    std::vector<std::string> draws;
    for (std::size_t at = r.out.find('\r'); at != std::string::npos;) {
        const std::size_t next = r.out.find('\r', at + 1);
        draws.push_back(r.out.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1));
        at = next;
    }
    ASSERT_GE(draws.size(), 2u) << r.out;
    const std::string& live = draws[draws.size() - 2];   // the last before the closing line
    EXPECT_TRUE(live.ends_with("\x1b[K")) << live;
    EXPECT_LT(live.size(), 100u + 3u);
    EXPECT_TRUE(std::regex_search(live, std::regex("^[|/\\\\-] 3/12 Data transmit  [0-9]+ / 110592  \\[#*\\.+\\] +[0-9]+%")))
        << live;
    // No row lines on a terminal, and nothing about completion.
    EXPECT_EQ(r.out.find("  done  "), std::string::npos);
    EXPECT_EQ(r.out.find("Version update completed."), std::string::npos);
    EXPECT_TRUE(r.out.ends_with("\n")) << "the live line is ended";
}

}  // namespace
