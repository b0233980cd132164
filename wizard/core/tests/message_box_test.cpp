// SPDX-License-Identifier: MIT
// What a message box's details hold and how large their pane is made: a
// typical failure (the libraries' lines, a USB/IP server's address with its
// status, the update's reason) is shown whole, without scrolling.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "message_box.h"

namespace wizard {
namespace {

// A link that did not open: what the transport and the libraries said, then
// the update's own reason.
const std::string kLibraryLines = "Reseting USB\n"
                                  "File[tz4817.img] Size[2097152]\n"
                                  "Failed to read flash device ID\n"
                                  "Reseting USB\n"
                                  "Failed to erase flash\n"
                                  "Reseting USB\n";
const std::string kServerLine =
    "tz4817: 192.168.100.200:3240 cannot be reached (No route to host); trying again until the wait for a "
    "projector ends\n";
const std::string kReason = "No projector was found before the wait ended (status 0x20000015).\n";

TEST(WizardMessageBox, DetailsAreTheLibrariesLinesThenTheReason) {
    EXPECT_EQ(messageDetails(kLibraryLines, kServerLine, kReason), kLibraryLines + kServerLine + kReason);
    EXPECT_EQ(messageDetails("", "", kReason), kReason);
    EXPECT_EQ(messageDetails("", "", ""), "");
}

struct Area {
    const char *name;
    std::string details;
    TextArea area;
};

void PrintTo(const Area &area, std::ostream *out) { *out << area.name; }

class WizardMessageBoxAreaTest : public ::testing::TestWithParam<Area> {};

TEST_P(WizardMessageBoxAreaTest, PaneShowsTheDetailsWhole) {
    EXPECT_EQ(detailsArea(GetParam().details), GetParam().area);
}

INSTANTIATE_TEST_SUITE_P(
    Details, WizardMessageBoxAreaTest,
    ::testing::Values(
        // All eight lines, the server's (115 characters) wrapped in two.
        Area{"TypicalFailure", kLibraryLines + kServerLine + kReason, {80, 9}},
        Area{"LongestLineUnderTheLimit", kLibraryLines + kReason, {65, 7}},
        Area{"NoLastLineFeed", "one\ntwo\nthree\nfour", {40, 4}}, Area{"OneShortLine", kReason, {65, 3}},
        Area{"CharactersNotBytes", std::string(70, 'x') + "\xC3\xA4\xE2\x82\xAC\n", {72, 3}},
        Area{"WrapsAtTheBlankBeforeAWord",
             std::string(50, 'a') + " " + std::string(50, 'b') + " " + std::string(50, 'c') + "\nend\n",
             {80, 4}},
        Area{"WordLongerThanARowWrapsAnywhere", std::string(300, 'x') + "\nlast\n", {80, 5}},
        Area{"ManyLinesScroll",
             [] {
                 std::string many;
                 for (int i = 0; i < 30; ++i) many += "Reseting USB\n";
                 return many;
             }(),
             {40, 20}},
        Area{"EmptyLinesCount", "a\n\n\nb\n", {40, 4}}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wizard
