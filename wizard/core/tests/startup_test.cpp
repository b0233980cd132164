// SPDX-License-Identifier: MIT
// The program's start-up without a toolkit: --help and --version, where the
// image comes from (the PATH given, the working folder's tz4817.img, or the
// user's choice, which the tests make in the user's place), bad usage, and
// the wizard before the update dialog.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fakes.h"
#include "startup.h"

namespace wizard {
namespace {

using Action = StartupPlan::Action;
using Outcome = ImageLocation::Outcome;

// Answers as the test says, and counts the questions.
class ScriptedChooser : public ImageChooser {
public:
    std::optional<std::string> answer;
    int asked = 0;
    std::optional<std::string> chooseImage() override {
        ++asked;
        return answer;
    }
};

TEST(WizardStartup, HelpAndVersionAreAnsweredWithoutWindows) {
    const std::optional<StartupPlan> version = answerWithoutWindows({"--version"});
    ASSERT_TRUE(version);
    EXPECT_EQ(version->action, Action::Exit);
    EXPECT_EQ(version->exitStatus, 0);
    EXPECT_EQ(version->output, "OstranUpdater 1.0.0.1\n");
    const std::optional<StartupPlan> help = answerWithoutWindows({"--help"});
    ASSERT_TRUE(help);
    EXPECT_EQ(help->exitStatus, 0);
    EXPECT_TRUE(help->output.starts_with("Usage: OstranUpdater [PATH]\n")) << help->output;
    EXPECT_TRUE(help->error.empty());
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{}, {"tz4817.img"}, {"--version", "tz4817.img"}, {"--help", "--version"}, {"-h"}})
        EXPECT_FALSE(answerWithoutWindows(arguments)) << arguments.size();
}

// "<dir>" stands for the working folder of the case.
struct Location {
    const char *name;
    bool imageHere;
    std::vector<std::string> arguments;
    const char *answer;  // null: the user cancels
    Outcome outcome;
    const char *path;
    int asked;
};

void PrintTo(const Location &location, std::ostream *out) { *out << location.name; }

class WizardStartupImageTest : public ::testing::TestWithParam<Location> {};

TEST_P(WizardStartupImageTest, ImageComesFromPathWorkingFolderOrTheUser) {
    const Location &location = GetParam();
    const testing::ImageDirectory directory(location.imageHere ? 20000 : -1);
    std::filesystem::create_directory("firmware");
    const auto here = [&](std::string text) {
        if (const size_t at = text.find("<dir>"); at != std::string::npos) text.replace(at, 5, directory.path());
        return text;
    };
    std::vector<std::string> given;
    for (const std::string &argument : location.arguments) given.push_back(here(argument));
    ScriptedChooser chooser;
    if (location.answer) chooser.answer = here(location.answer);

    const ImageLocation image = locateImage(given, chooser);
    EXPECT_EQ(image.outcome, location.outcome);
    EXPECT_EQ(image.path, here(location.path));
    EXPECT_EQ(chooser.asked, location.asked);
    EXPECT_EQ(image.error.empty(), location.outcome != Outcome::BadUsage);

    // The plan the faces follow: run with the image, or end as the user or
    // the usage says.
    ScriptedChooser again = chooser;
    const StartupPlan plan = planStartup(given, again);
    switch (location.outcome) {
    case Outcome::Found:
        EXPECT_EQ(plan.action, Action::Run);
        EXPECT_EQ(plan.imagePath, image.path);
        break;
    case Outcome::Cancelled:
        EXPECT_EQ(plan.action, Action::Exit);
        EXPECT_EQ(plan.exitStatus, 0);
        EXPECT_TRUE(plan.output.empty() && plan.error.empty());
        break;
    case Outcome::BadUsage:
        EXPECT_EQ(plan.action, Action::Exit);
        EXPECT_EQ(plan.exitStatus, 2);
        EXPECT_EQ(plan.error, "OstranUpdater: " + image.error + " (see --help)\n");
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Places, WizardStartupImageTest,
    ::testing::Values(
        Location{"ImageInTheWorkingFolder", true, {}, "", Outcome::Found, "tz4817.img", 0},
        Location{"NoneThereTheUsersChoice",
                 false,
                 {},
                 "<dir>/firmware/new.img",
                 Outcome::Found,
                 "<dir>/firmware/new.img",
                 1},
        Location{"NoneThereTheUserCancels", false, {}, nullptr, Outcome::Cancelled, "", 1},
        Location{"PathAFile", true, {"<dir>/firmware/new.img"}, "", Outcome::Found, "<dir>/firmware/new.img", 0},
        Location{"PathAFolder", true, {"<dir>/firmware"}, "", Outcome::Found, "<dir>/firmware/tz4817.img", 0},
        Location{"PathThatNamesNothingAsksNothing",
                 false,
                 {"<dir>/missing.img"},
                 "",
                 Outcome::Found,
                 "<dir>/missing.img",
                 0},
        Location{"TwoPaths", true, {"a.img", "b.img"}, "", Outcome::BadUsage, "", 0},
        Location{"AnUnknownOption", false, {"--bogus"}, "", Outcome::BadUsage, "", 0},
        Location{"AnEmptyPath", false, {""}, "", Outcome::BadUsage, "", 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(WizardStartup, WizardComesBeforeTheUpdateDialog) {
    struct Face : ApplicationFace {
        std::vector<std::string> runs;
        void runWizard() override { runs.push_back("wizard"); }
        void runUpdateDialog() override { runs.push_back("update dialog"); }
    } face;
    EXPECT_FALSE(runApplication(face));
    EXPECT_EQ(face.runs, (std::vector<std::string>{"wizard", "update dialog"}));
}

}  // namespace
}  // namespace wizard
