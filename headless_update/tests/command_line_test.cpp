// SPDX-License-Identifier: MIT
// The command line: what is accepted, and that every misuse is refused with
// a message instead of being taken for something else.
#include <gtest/gtest.h>

#include "command_line.h"

namespace headless_update {
namespace {

TEST(CommandLine, AcceptedForms) {
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> directories;
        bool yes, help;
        std::string device;
        bool list = false, json = false, verbose = false;
        std::string image = "";
        std::string record = "";
        bool recordWithoutData = false;
    };
    const Case cases[] = {
        {{}, {}, false, false, ""},
        {{"--yes"}, {}, true, false, ""},
        {{"-y"}, {}, true, false, ""},
        {{"--help"}, {}, false, true, ""},
        {{"-C", "demo"}, {"demo"}, false, false, ""},
        {{"-Cdemo", "--yes"}, {"demo"}, true, false, ""},
        {{"-C", "a", "-C", "b"}, {"a", "b"}, false, false, ""},
        // A directory that looks like an option is still the directory.
        {{"-C", "--yes"}, {"--yes"}, false, false, ""},
        {{"--device", "1-4.2", "-v", "--yes"}, {}, true, false, "1-4.2", false, false, true},
        {{"--device=1-2"}, {}, false, false, "1-2"},
        {{"--list", "--json"}, {}, false, false, "", true, true},
        {{"-C", "demo", "firmware/", "--yes"}, {"demo"}, true, false, "", false, false, false, "firmware/"},
        // Whether PATH is a folder is found when the update starts.
        {{"/media/stick/tz4817.img"}, {}, false, false, "", false, false, false, "/media/stick/tz4817.img"},
        {{"--record", "run.pcapng", "--yes"}, {}, true, false, "", false, false, false, "", "run.pcapng"},
        {{"--record=x", "--record-without-data"}, {}, false, false, "", false, false, false, "", "x", true},
    };
    for (const Case &c : cases) {
        std::string error;
        const auto line = parseCommandLine(c.arguments, error);
        ASSERT_TRUE(line) << error;
        EXPECT_EQ(line->directories, c.directories);
        EXPECT_EQ(line->yes, c.yes);
        EXPECT_EQ(line->help, c.help);
        EXPECT_EQ(line->device, c.device);
        EXPECT_EQ(line->list, c.list);
        EXPECT_EQ(line->json, c.json);
        EXPECT_EQ(line->verbose, c.verbose);
        EXPECT_EQ(line->image, c.image);
        EXPECT_EQ(line->record, c.record);
        EXPECT_EQ(line->recordWithoutData, c.recordWithoutData);
    }
}

TEST(CommandLine, MisuseIsRefusedWithOneLine) {
    const std::vector<std::vector<std::string>> cases = {
        {"-C"},
        {"--yes", "-C"},
        {"-C", ""},
        {"--bogus"},
        {"-x"},
        {"--yes=no"},
        {"a.img", "b.img"},
        {""},
        {"--list", "tz4817.img"},
        {"-"},
        {"--device"},
        {"--device", ""},
        {"--device", "1 2"},
        {"--device", std::string(32, '1')},
        {"--json"},
        {"--list", "--device", "1-1"},
        {"--record"},
        {"--record="},
    };
    for (const auto &arguments : cases) {
        std::string error;
        EXPECT_FALSE(parseCommandLine(arguments, error)) << arguments.front();
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

}  // namespace
}  // namespace headless_update
