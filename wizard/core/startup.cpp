// SPDX-License-Identifier: MIT
#include "startup.h"

#include <cstdio>

#include "program_strings.h"
#include "qrv_version.h"

namespace wizard {

const char kHelpText[] = "Usage: OstranUpdater [PATH]\n"
                         "Updates the firmware of a tz4817 projector over USB: three instruction pages,\n"
                         "then the update dialog, whose Update button runs the update with the image PATH.\n"
                         "\n"
                         "  PATH       the image file, or a folder holding tz4817.img; without PATH,\n"
                         "             tz4817.img in the current directory, and when there is none, the\n"
                         "             file chosen in a file dialog (Cancel ends the program)\n"
                         "  --help     show this help and exit\n"
                         "  --version  show the version and exit\n"
                         "\n"
                         "The toolkit's own options (such as -platform offscreen) are taken as well.\n"
                         "Exit status: 0, also when the update failed or was cancelled; 2 for bad usage.\n";

std::optional<StartupPlan> answerWithoutWindows(const std::vector<std::string> &arguments) {
    using Action = StartupPlan::Action;
    if (arguments.size() != 1) return std::nullopt;
    if (arguments[0] == "--version")
        return StartupPlan{Action::Exit, 0, std::string(kProgramName) + " " QRV_VERSION "\n", {}, {}};
    if (arguments[0] == "--help") return StartupPlan{Action::Exit, 0, kHelpText, {}, {}};
    return std::nullopt;
}

StartupPlan planStartup(const std::vector<std::string> &arguments, ImageChooser &chooser) {
    using Action = StartupPlan::Action;
    if (std::optional<StartupPlan> answer = answerWithoutWindows(arguments)) return *answer;
    ImageLocation image = locateImage(arguments, chooser);
    switch (image.outcome) {
    case ImageLocation::Outcome::Found: break;
    case ImageLocation::Outcome::Cancelled: return {Action::Exit, 0, {}, {}, {}};
    case ImageLocation::Outcome::BadUsage:
        return {Action::Exit, 2, {}, std::string(kProgramName) + ": " + image.error + " (see --help)\n", {}};
    }
    return {Action::Run, 0, {}, {}, std::move(image.path)};
}

int printPlan(const StartupPlan &plan) {
    std::fputs(plan.output.c_str(), stdout);
    std::fflush(stdout);
    std::fputs(plan.error.c_str(), stderr);
    return plan.exitStatus;
}

bool runApplication(ApplicationFace &face) {
    face.runWizard();
    face.runUpdateDialog();
    return false;
}

}  // namespace wizard
