// `--all` end to end: q9-updater-cli run as a process against several
// virtual ARKO Q9s at once, one table row per run.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the program with its output in files; SIGINT once the standard
// output holds `interruptAt` (when given).  A hung run is killed after a
// generous limit (a guard, not a speed check).
Result RunProgram(const std::string& dir, const std::vector<std::string>& args, const std::string& interruptAt)
{
    const std::string program =
        (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "cli" / "q9-updater-cli").string();
    const std::string outPath = dir + "/out.txt";
    const std::string errPath = dir + "/err.txt";
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen(outPath.c_str(), "w", stdout);
        std::freopen(errPath.c_str(), "w", stderr);
        std::freopen("/dev/null", "r", stdin);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    Result result;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    bool signalled = false;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > limit) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "q9-updater-cli did not end";
        }
        if (!interruptAt.empty() && !signalled && ReadFile(outPath).find(interruptAt) != std::string::npos) {
            ::kill(pid, SIGINT);
            signalled = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));   // polling the child, not a protocol wait
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

struct Case {
    const char* what;
    std::vector<std::string> args;   // "@" stands for the test's folder
    int exit;
    std::vector<std::string> outMatches;   // regular expressions, each found somewhere in the output
    std::vector<std::string> errMatches;
    std::vector<std::string> files;        // made in the folder
    std::string interruptAt;
};

const Case kCases[] = {
    {"four devices, one losing replies and one refusing the update mode: three updated, one failed",
     {"--virtual-device=flash=@/1", "--virtual-device=flash=@/2,drop=400", "--virtual-device=flash=@/3,update-mode=off",
      "--virtual-device=flash=@/4", "update", "--all", "--no-version"},
     1,
     {"\nDEVICE +RESULT +TIME +LOST REPLIES +READ-BACKS\n", "\nARKO Q9 +updated +[0-9.]+ s +0 +0\n",
      "\nARKO Q9 \\(2\\) +updated +[0-9.]+ s +[1-9][0-9]* +[1-9][0-9]*\n",
      "\nARKO Q9 \\(3\\) +failed +[0-9.]+ s +0 +0  Please use the firmware update mode\\. Put the device into",
      "\nARKO Q9 \\(4\\) +updated ", "\nARKO Q9 \\(2\\):  7/12  write .* done"},
     {"^q9-updater-cli: 1 of 4 devices did not end well: ARKO Q9 \\(3\\)\n$"},
     {"1", "2", "3", "4"},
     {}},
    {"the three updated flashes read back exactly as written",
     {"--virtual-device=flash=@/1", "--virtual-device=flash=@/2", "--virtual-device=flash=@/4", "verify", "--all"},
     0,
     {"\nARKO Q9 +verified ", "\nARKO Q9 \\(2\\) +verified ", "\nARKO Q9 \\(3\\) +verified "},
     {"^$"},
     {},
     {}},
    {"N devices with one setting: one flash file each, all versions read",
     {"--virtual-devices=3", "--virtual-device=flash=@/n", "version", "--all"},
     0,
     {"\nARKO Q9 \\(3\\): Version Information\nSYSTEM:\t\t1\\.10 -> 1\\.20\n", "\nARKO Q9 \\(2\\) +read "},
     {"^$"},
     {"n", "n.2", "n.3"},
     {}},
    {"a device whose flash another device holds is busy and skipped; JSON events name their device",
     {"--json", "--virtual-device=flash=@/1", "--virtual-device=flash=@/1", "version", "--all"},
     1,
     {"^\\{\"event\":\"skipped\",\"device\":\"ARKO Q9 \\(2\\)\",\"reason\":\"busy: flash file [^\"]* is in use ",
      "\n\\{\"event\":\"start\",\"device\":\"ARKO Q9\",\"command\":\"version\",",
      "\n\\{\"event\":\"result\",\"command\":\"version\",\"ok\":false,\"exit\":1,\"devices\":\\[\\{\"device\":\"ARKO "
      "Q9\",\"result\":\"read\",\"ok\":true,\"needsUpdate\":false,"},
     {"did not end well: ARKO Q9 \\(2\\)\n$"},
     {},
     {}},
    {"Ctrl-C stops every device and says where each stood",
     {"--virtual-devices=2", "--virtual-device=link=65536", "update", "--all"},
     130,
     {"\nARKO Q9 +interrupted +[0-9.]+ s .*stopped during the update at [0-9]+/12.*\\. The device needs the update run again\\.",
      "\nARKO Q9 \\(2\\) +interrupted +[0-9.]+ s .*stopped during the update at [0-9]+/12.*\\. The device needs the update run again\\."},
     {"did not end well: ARKO Q9, ARKO Q9 \\(2\\)\n$"},
     {},
     "ARKO Q9 (2):  3/12"},
    {"--all takes no --in", {"--virtual-device", "update", "--all", "--in", "0"}, 2, {}, {"takes no --in or --out"}, {}, {}},
    {"--virtual-devices takes one setting",
     {"--virtual-devices=2", "--virtual-device", "--virtual-device=drop=3", "version", "--all"},
     2,
     {},
     {"give the settings of its devices once"},
     {},
     {}},
};

TEST(AllDevices, EveryCase)
{
    char pattern[] = "/tmp/q9-all-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    ::setenv("JACK_DEFAULT_SERVER", "q9-all-test-no-server", 1);
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args;
        for (std::string arg : c.args) {
            if (const std::size_t at = arg.find('@'); at != std::string::npos) arg.replace(at, 1, dir);
            args.push_back(arg);
        }
        const Result r = RunProgram(dir, args, c.interruptAt);
        EXPECT_EQ(r.exitCode, c.exit) << r.out << r.err;
        for (const std::string& match : c.outMatches) {
            EXPECT_TRUE(std::regex_search(r.out, std::regex(match))) << match << "\n---\n" << r.out;
        }
        for (const std::string& match : c.errMatches) {
            EXPECT_TRUE(std::regex_search(r.err, std::regex(match))) << match << "\n---\n" << r.err;
        }
        for (const std::string& file : c.files) EXPECT_TRUE(fs::exists(dir + "/" + file)) << file;
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

}  // namespace
