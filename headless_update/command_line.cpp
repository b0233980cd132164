#include "command_line.h"

namespace headless {

const char kUsageText[] = "Usage: tz4817-update [-C DIR] [--yes]\n"
                          "Updates the firmware of a tz4817 projector with the image tz4817.img in the\n"
                          "current directory, as OstranUpdater does, without a window.\n"
                          "\n"
                          "  -C DIR      change to DIR first (the image is looked for there)\n"
                          "  -y, --yes   start without asking; it asks only when standard input is a terminal\n"
                          "  -h, --help  show this help and exit\n"
                          "  --version   show the version and exit\n"
                          "\n"
                          "The projector is looked for on this computer's USB ports, or, when QRV_USBIP is\n"
                          "set to HOST[:PORT], on that USB/IP server (such as tz4817-emu).\n"
                          "Once the update has started, Ctrl-C, SIGTERM, SIGHUP and SIGQUIT do not stop it.\n"
                          "\n"
                          "Exit status: 0 when the projector was updated, 1 when the update failed or was\n"
                          "not started, 2 on bad usage.\n";

std::optional<CommandLine> parseCommandLine(const std::vector<std::string> &arguments, std::string &error) {
    CommandLine line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument == "-C") {
            if (i + 1 >= arguments.size()) {
                error = "-C needs a directory";
                return std::nullopt;
            }
            line.directories.push_back(arguments[++i]);
        } else if (argument.size() > 2 && argument.rfind("-C", 0) == 0) {
            line.directories.push_back(argument.substr(2));
        } else if (argument == "--yes" || argument == "-y") {
            line.yes = true;
        } else if (argument == "--help" || argument == "-h") {
            line.help = true;
        } else if (argument == "--version") {
            line.version = true;
        } else if (!argument.empty() && argument[0] == '-') {
            error = "unknown option '" + argument + "'";
            return std::nullopt;
        } else {
            error = "unexpected argument '" + argument + "' (the image is always tz4817.img)";
            return std::nullopt;
        }
        if (line.directories.size() && line.directories.back().empty()) {
            error = "-C needs a directory";
            return std::nullopt;
        }
    }
    return line;
}

}  // namespace headless
