#include "cli/help.h"

#include "cli/cli_app.h"
#include "virtual_device/settings_help.h"

#include <memory>
#include <string>

namespace {

constexpr std::size_t kColumn = 32;   // where the descriptions start

std::string Footer(const CLI::App& app, const CLI::Formatter& formatter)
{
    std::string out;
    for (const CLI::App* command : app.get_subcommands({})) {
        const auto options = command->get_options(
            [command](const CLI::Option* option) { return option != command->get_help_ptr(); });
        if (options.empty()) continue;
        out += "Options of " + command->get_name() + ":\n";
        for (const CLI::Option* option : options) out += formatter.make_option(option, false);
        out += "\n";
    }
    out += "Exit status:\n";
    for (const ExitStatusHelp& entry : kExitStatusHelp) {
        std::string status = "  " + std::string(entry.status);
        status.resize(kColumn, ' ');
        out += status + entry.meaning + "\n";
    }
    out += "\nVirtual device settings (--virtual-device=ITEM,ITEM,...):\n";
    out += VirtualSettingsHelpText(2, kColumn - 2);
    return out;
}

}  // namespace

void ConfigureHelp(CLI::App& app)
{
    auto formatter = std::make_shared<CLI::Formatter>();
    formatter->column_width(kColumn);
    formatter->label("SUBCOMMAND", "COMMAND");
    app.formatter(formatter);
    for (CLI::App* command : app.get_subcommands({})) command->group("Commands");
    app.footer([&app, formatter] { return Footer(app, *formatter); });
}
