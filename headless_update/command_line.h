// SPDX-License-Identifier: MIT
// The command line of tz4817-update.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace headless_update {

struct CommandLine {
    // -C DIR, in the order given; each is relative to the one before.
    std::vector<std::string> directories;
    bool yes = false;                // --yes, -y: no confirmation
    bool help = false;               // --help, -h
    bool version = false;            // --version
    bool list = false;               // --list: list the projectors attached, change nothing
    bool json = false;               // --json: the list as JSON (with --list only)
    bool verbose = false;            // -v: the transport's trace and every frame on standard error
    std::string device;              // --device PLACE: update only the projector there; empty: not given
    std::string record;              // --record FILE: the run's USB traffic to FILE (QRV_RECORD); empty: not given
    bool recordWithoutData = false;  // --record-without-data: the download data as zeros (QRV_RECORD_WITHOUT_DATA=1)
    // PATH: the image file, or a folder holding tz4817.img (after -C, relative
    // to the last DIR); empty: tz4817.img in the current directory.
    std::string image;
};

// Parses the arguments after the program name. On bad usage: nothing, and
// `error` holds one line (without a line feed) saying what is wrong.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string> &arguments, std::string &error);

extern const char kUsageText[];

}  // namespace headless_update
