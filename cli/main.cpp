// q9-updater-cli: updates an ARKO Q9, checks its versions, lists the MIDI
// devices and shows the update plan, from the command line.
#include "cli/cli_app.h"
#include "cli/cli_output.h"
#include "cli/help.h"
#include "cli/json.h"
#include "q9_version.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

// Under --json, a command line that could not be read still ends with its
// result event.
void EmitUsageResult(int argc, char** argv, const std::string& message)
{
    bool json = false;
    std::string command;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--json") json = true;
        if (command.empty() && (word == "ports" || word == "version" || word == "update" || word == "verify" ||
                                word == "plan")) {
            command = word;
        }
    }
    if (!json) return;
    Emit(JsonObject()
             .Add("event", "result")
             .Add("command", command)
             .Add("ok", false)
             .Add("exit", kExitUsage)
             .Add("message", message)
             .Text());
}

}  // namespace

int main(int argc, char** argv)
{
    CliOptions options;
    CLI::App app{"Firmware updater for the ARKO Q9, from the command line.", "q9-updater-cli"};
    app.require_subcommand(1, 1);

    app.set_help_flag("-h,--help", "Show this help and exit");
    app.set_version_flag("--version", std::string("q9-updater-cli ") + Q9_VERSION, "Show the version and exit");

    CLI::App* ports = app.add_subcommand("ports", "List the MIDI devices with their ids");
    CLI::App* version = app.add_subcommand("version", "Show the device's and the carried versions");
    CLI::App* update = app.add_subcommand("update", "Update the firmware, then show the versions");
    CLI::App* verify = app.add_subcommand("verify", "Read the flash back and compare it with the carried firmware");
    CLI::App* plan = app.add_subcommand("plan", "Show the update plan and the carried versions");
    update->add_flag("--no-version", options.noVersion, "Skip the version check after the update");
    update->add_flag("--verify", options.verify, "Verify the flash after the update (as 'verify' does)");
    for (CLI::App* sub : {update, version, verify}) {
        sub->add_flag("--all", options.all, "Every connected ARKO Q9 at once, each by a worker of its own");
    }

    const auto notEmpty = [](const std::string& value) {
        return value.empty() ? std::string("an empty name names no device") : std::string();
    };
    app.add_option("--in", options.in, "MIDI input: an id from 'ports' or a name")->type_name("ID|NAME")->check(notEmpty);
    app.add_option("--out", options.out, "MIDI output: an id from 'ports' or a name")
        ->type_name("ID|NAME")
        ->check(notEmpty);
    CLI::Option* virtualOption =
        app.add_option("--virtual-device", options.virtualDevices,
                       "Add the virtual ARKO Q9 (settings below); again for one more")
            ->expected(0, 1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->allow_extra_args(false)
            ->type_name("[=SETTINGS]");
    app.add_option("--virtual-devices", options.virtualCount,
                   "Add N (1-20) virtual devices, \"ARKO Q9\" to \"ARKO Q9 (N)\", with one setting")
        ->type_name("N")
        ->check(CLI::Range(1, 20).description(""));
    app.add_option("--trace", options.tracePath, "Log every MIDI message sent and received to FILE")
        ->type_name("FILE");
    app.add_flag("--json", options.json, "Print newline-delimited JSON events, not text");
    for (CLI::App* sub : {ports, version, update, verify, plan}) sub->fallthrough();

    ConfigureHelp(app);

    // The first word that is neither an option nor an option's value names
    // the command.
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--in" || word == "--out" || word == "--trace" || word == "--virtual-devices") {
            ++i;
            continue;
        }
        if (word.empty() || word[0] == '-') continue;
        if (word == "ports" || word == "version" || word == "update" || word == "verify" || word == "plan") break;
        std::fprintf(stderr, "q9-updater-cli: unknown command: %s\nRun with --help for more information.\n",
                     word.c_str());
        EmitUsageResult(argc, argv, "unknown command: " + word);
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        if (code != 0) EmitUsageResult(argc, argv, e.what());
        return code == 0 ? kExitOk : kExitUsage;
    }

    options.virtualDevice = virtualOption->count() > 0 || options.virtualCount > 0;
    if (!options.virtualDevices.empty()) options.virtualSettings = options.virtualDevices.front();
    if (ports->parsed()) options.command = CliOptions::Command::Ports;
    if (version->parsed()) options.command = CliOptions::Command::Version;
    if (update->parsed()) options.command = CliOptions::Command::Update;
    if (plan->parsed()) options.command = CliOptions::Command::Plan;
    if (verify->parsed()) options.command = CliOptions::Command::Verify;

    InstallSignalHandlers();
    return RunCli(options);
}
