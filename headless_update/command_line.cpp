// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <algorithm>

namespace headless_update {

const char kUsageText[] = "Usage: tz4817-update [-C DIR] [--device PLACE] [--yes] [-v] [--record FILE] [PATH]\n"
                          "  or:  tz4817-update --list [--json]\n"
                          "Updates the firmware of a tz4817 projector with the image PATH, as OstranUpdater\n"
                          "does, without a window.\n"
                          "\n"
                          "  PATH            the image file, or a folder holding tz4817.img; without PATH,\n"
                          "                  tz4817.img in the current directory\n"
                          "  -C DIR          change to DIR first (PATH, or tz4817.img, is looked for there)\n"
                          "  --device PLACE  update only the projector at PLACE, as --list shows it (its port\n"
                          "                  path such as 1-4.2 on this computer, its bus id such as 1-2 on a\n"
                          "                  USB/IP server); the same as QRV_DEVICE=PLACE\n"
                          "  -y, --yes       start without asking; it asks only when standard input is a terminal\n"
                          "  -v              trace the USB link and every frame on standard error (QRV_DEBUG=1)\n"
                          "  --record FILE   record the update's USB traffic to FILE (pcapng, which Wireshark\n"
                          "                  reads as USB), for a maintainer to replay; the same as\n"
                          "                  QRV_RECORD=FILE\n"
                          "  --record-without-data\n"
                          "                  record the firmware's bytes as zeros (QRV_RECORD_WITHOUT_DATA=1)\n"
                          "  --list          list the projectors attached (place, USB ids, mode) and exit; no\n"
                          "                  projector is opened or changed\n"
                          "  --json          with --list: the list as one JSON object, for scripts\n"
                          "  -h, --help      show this help and exit\n"
                          "  --version       show the version and exit\n"
                          "\n"
                          "The projector is looked for on this computer's USB ports, or, when QRV_USBIP is\n"
                          "set to HOST[:PORT], on that USB/IP server (such as tz4817-emu). With more than one\n"
                          "projector attached and none chosen, nothing is started. The image is checked before\n"
                          "the projector is touched. Once the update has started, Ctrl-C, SIGTERM, SIGHUP and\n"
                          "SIGQUIT do not stop it.\n"
                          "\n"
                          "Exit status:\n"
                          "  0  the projector was updated\n"
                          "  1  the update failed after the flash was touched (its erase had begun): the\n"
                          "     projector needs another update\n"
                          "  2  bad usage (an unknown option, a malformed QRV_USBIP)\n"
                          "  3  nothing was changed: no projector, several and none chosen, a bad image, the\n"
                          "     update declined or failed before the erase (also --list when the projectors\n"
                          "     cannot be listed)\n";

namespace {

// A place as the buses name them: a few printable characters, no blanks.
bool plausiblePlace(const std::string &place) {
    return !place.empty() && place.size() <= 31 &&
           std::all_of(place.begin(), place.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

}  // namespace

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
        } else if (argument == "--device" || argument.rfind("--device=", 0) == 0) {
            if (argument == "--device" && i + 1 >= arguments.size()) {
                error = "--device needs a place (see --list)";
                return std::nullopt;
            }
            line.device = argument == "--device" ? arguments[++i] : argument.substr(9);
            if (!plausiblePlace(line.device)) {
                error = "'" + line.device + "' is no place of a projector (see --list)";
                return std::nullopt;
            }
        } else if (argument == "--record" || argument.rfind("--record=", 0) == 0) {
            if (argument == "--record" && i + 1 >= arguments.size()) {
                error = "--record needs a file";
                return std::nullopt;
            }
            line.record = argument == "--record" ? arguments[++i] : argument.substr(9);
            if (line.record.empty()) {
                error = "--record needs a file";
                return std::nullopt;
            }
        } else if (argument == "--record-without-data") {
            line.recordWithoutData = true;
        } else if (argument == "--yes" || argument == "-y") {
            line.yes = true;
        } else if (argument == "-v") {
            line.verbose = true;
        } else if (argument == "--list") {
            line.list = true;
        } else if (argument == "--json") {
            line.json = true;
        } else if (argument == "--help" || argument == "-h") {
            line.help = true;
        } else if (argument == "--version") {
            line.version = true;
        } else if (!argument.empty() && argument[0] == '-') {
            error = "unknown option '" + argument + "'";
            return std::nullopt;
        } else if (argument.empty()) {
            error = "an empty PATH names no image";
            return std::nullopt;
        } else if (!line.image.empty()) {
            error = "one image at most: '" + line.image + "' and '" + argument + "'";
            return std::nullopt;
        } else {
            line.image = argument;
        }
        if (line.directories.size() && line.directories.back().empty()) {
            error = "-C needs a directory";
            return std::nullopt;
        }
    }
    if (line.json && !line.list) {
        error = "--json goes with --list";
        return std::nullopt;
    }
    if (line.list && (line.yes || !line.device.empty() || !line.image.empty())) {
        error = "--list changes nothing: it takes no --yes, --device or PATH";
        return std::nullopt;
    }
    return line;
}

}  // namespace headless_update
