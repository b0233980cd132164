// SPDX-License-Identifier: MIT
// The projectors attached, as tz4817-update lists them (--list, --list
// --json) and names them when it refuses to choose between several. They come
// from a survey of the bus (usb_driver/survey.h), which opens, claims and
// imports nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usb_driver/survey.h"

namespace headless_update {

struct Projector {
    std::string place;  // as the bus names it; shown with control characters as '?'
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    const char *mode = "";  // "application" (e7a2:051e) or "programming" (e7b9:2000)
    // Set when another process is updating it (its place is claimed).
    std::optional<usb_driver::place_claim::Holder> busy;
};

// The tz4817 projectors among the devices surveyed, in the bus's order.
std::vector<Projector> projectorsIn(const usb_driver::Survey &survey);

// One line per projector: "1-2          e7a2:051e  application  USB/IP server
// 127.0.0.1:3240", and for one that another process is updating "  busy
// (process 1234, tz4817-update)"; empty when there is none.
std::string listText(const usb_driver::Survey &survey, const std::vector<Projector> &projectors);

// One JSON object and a line feed: {"bus": "usbip", "server":
// "127.0.0.1:3240", "projectors": [{"place": "1-1", "usb_id": "e7a2:051e",
// "mode": "application", "busy": false, "holder": null}, ...]}; "bus" is
// "local" (and "server" null) for this computer's USB ports. A projector
// that another process is updating is "busy": true, with "holder": {"pid":
// 1234, "program": "tz4817-update"} (null when that process is not known).
std::string listJson(const usb_driver::Survey &survey, const std::vector<Projector> &projectors);

// What is said when several projectors are attached and none is chosen: how
// many, where, each on a line, and how to choose.
std::string refusalText(const usb_driver::Survey &survey, const std::vector<Projector> &projectors);

}  // namespace headless_update
