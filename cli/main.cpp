// q9-updater-cli: updates an ARKO Q9, checks its versions, lists the MIDI
// devices and shows the update plan, from the command line.
#include "cli/cli_app.h"

#include <CLI/CLI.hpp>

#include <cstdio>

int main(int argc, char** argv)
{
    CliOptions options;
    CLI::App app{"Firmware updater for the ARKO Q9, from the command line.", "q9-updater-cli"};
    app.require_subcommand(1, 1);
    app.footer("Exit status: 0 done, 1 failed, 2 usage error, 3 too many instances, "
               "4 updated but the version read after it failed, 130 interrupted.");

    CLI::App* ports = app.add_subcommand("ports", "List the MIDI input and output devices and the preselected ones");
    CLI::App* version = app.add_subcommand("version", "Read the device's firmware versions and compare them with "
                                                      "the carried ones");
    CLI::App* update = app.add_subcommand("update", "Update the device's firmware, then show its versions");
    CLI::App* verify = app.add_subcommand("verify", "Read back every region the update writes and compare it with the carried firmware");
    CLI::App* plan = app.add_subcommand("plan", "Show the update plan and the carried versions (no device needed)");
    update->add_flag("--no-version", options.noVersion, "Do not check the versions after the update");
    update->add_flag("--verify", options.verify, "Verify the device's flash after the update (see 'verify')");

    const auto notEmpty = [](const std::string& value) {
        return value.empty() ? std::string("an empty name names no device") : std::string();
    };
    app.add_option("--in", options.in, "MIDI input device: an id (see 'ports') or an exact name; "
                                       "default: the preselected one")
        ->check(notEmpty);
    app.add_option("--out", options.out, "MIDI output device: an id or an exact name; default: the preselected one")
        ->check(notEmpty);
    CLI::Option* virtualOption =
        app.add_option("--virtual-device", options.virtualSettings,
                       "Add the virtual ARKO Q9, with optional settings, e.g. "
                       "--virtual-device=link=131072,erase-ms=2,write-ms=1; a comma in a flash path is quoted "
                       "(flash=\"a,b.flash\") or escaped (flash=a\\,b.flash)")
            ->expected(0, 1);
    app.add_option("--trace", options.tracePath, "Write every MIDI message sent (>) and received (<) to FILE")
        ->type_name("FILE");
    app.add_flag("--json", options.json, "Newline-delimited JSON events instead of text");
    for (CLI::App* sub : {ports, version, update, verify, plan}) sub->fallthrough();

    // The first word that is neither an option nor an option's value names
    // the command.
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--in" || word == "--out" || word == "--trace") {
            ++i;
            continue;
        }
        if (word.empty() || word[0] == '-') continue;
        if (word == "ports" || word == "version" || word == "update" || word == "verify" || word == "plan") break;
        std::fprintf(stderr, "q9-updater-cli: unknown command: %s\nRun with --help for more information.\n",
                     word.c_str());
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }

    options.virtualDevice = virtualOption->count() > 0;
    if (ports->parsed()) options.command = CliOptions::Command::Ports;
    if (version->parsed()) options.command = CliOptions::Command::Version;
    if (update->parsed()) options.command = CliOptions::Command::Update;
    if (plan->parsed()) options.command = CliOptions::Command::Plan;
    if (verify->parsed()) options.command = CliOptions::Command::Verify;

    InstallSignalHandlers();
    return RunCli(options);
}
