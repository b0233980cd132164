// SPDX-License-Identifier: MIT
#include "program_strings.h"

#include "resource_ids.h"

namespace wizard {

std::string programString(int id) {
    if (id == kAboutMenuString) return "&About OstranUpdater...";
    return {};
}

}  // namespace wizard
