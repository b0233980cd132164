// SPDX-License-Identifier: MIT
// How --list shows a projector that another program is updating, in text and
// in JSON, the holder known or not.
#include <gtest/gtest.h>

#include "projector_list.h"

namespace headless_update {
namespace {

TEST(ProjectorList, ProjectorsAnotherProgramUpdatesAreShownBusyWithTheirHolder) {
    usb_driver::Survey survey;
    survey.bus = "this computer's USB ports";
    survey.devices = {
        {"1-2", 0xE7A2, 0x051E, std::nullopt},
        {"1-10", 0xE7B9, 0x2000, usb_driver::place_claim::Holder{4321, "tz4817-\"update\""}},
        {"1-3", 0xE7A2, 0x051E, usb_driver::place_claim::Holder{}},
    };
    const std::vector<Projector> projectors = projectorsIn(survey);
    EXPECT_EQ(listText(survey, projectors),
              "1-2          e7a2:051e  application  this computer's USB ports\n"
              "1-3          e7a2:051e  application  this computer's USB ports  busy (another program)\n"
              "1-10         e7b9:2000  programming  this computer's USB ports  busy (process 4321, "
              "tz4817-\"update\")\n");
    EXPECT_EQ(listJson(survey, projectors),
              "{\"bus\": \"local\", \"server\": null, \"projectors\": ["
              "{\"place\": \"1-2\", \"usb_id\": \"e7a2:051e\", \"mode\": \"application\", \"busy\": false, "
              "\"holder\": null}, "
              "{\"place\": \"1-3\", \"usb_id\": \"e7a2:051e\", \"mode\": \"application\", \"busy\": true, "
              "\"holder\": null}, "
              "{\"place\": \"1-10\", \"usb_id\": \"e7b9:2000\", \"mode\": \"programming\", \"busy\": true, "
              "\"holder\": {\"pid\": 4321, \"program\": \"tz4817-\\\"update\\\"\"}}]}\n");
    EXPECT_NE(refusalText(survey, projectors).find("  1-10         e7b9:2000  programming  busy (process 4321"),
              std::string::npos);
}

}  // namespace
}  // namespace headless_update
