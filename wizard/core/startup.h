// SPDX-License-Identifier: MIT
// The program's start-up, the same for every face: --help and --version
// answered before any window exists, then the image chosen (image_location.h),
// then the instruction wizard and after it the update dialog.
//
//   main(): plan = answerWithoutWindows(arguments)   (before the toolkit starts)
//           ... the toolkit starts and takes its own options out ...
//           plan = planStartup(arguments, chooser)
//           Exit: return printPlan(plan)
//           Run:  the application object with plan.imagePath; runApplication(it); return 0
//
// Exit statuses: 0 for --help, --version, a cancelled file dialog, Cancel in
// the wizard and Finish in the update dialog (also when the update failed);
// 2 for bad usage; 0 when the update dialog is closed otherwise.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "image_location.h"

namespace wizard {

// The usage that --help prints.
extern const char kHelpText[];

struct StartupPlan {
    enum class Action {
        Run,   // run the wizard and the update dialog with `imagePath`
        Exit,  // print `output` to standard output and `error` to standard error, end with `exitStatus`
    };
    Action action = Action::Run;
    int exitStatus = 0;
    std::string output;
    std::string error;
    std::string imagePath;
};

// The answer to "--help" or "--version" given as the only argument (after
// the program's name), which needs no window; nothing for any other command
// line. Any thread; pure.
std::optional<StartupPlan> answerWithoutWindows(const std::vector<std::string> &arguments);

// What the program does with `arguments` (its own options taken out by the
// toolkit): the answer of answerWithoutWindows(), or a bad usage (status 2,
// one line on standard error), or the image as locateImage() finds it,
// asking `chooser` when none was given and the working folder has none
// (Cancel: exit, status 0). GUI thread; blocks while the chooser asks.
StartupPlan planStartup(const std::vector<std::string> &arguments, ImageChooser &chooser);

// Prints an Exit plan's texts (standard output first) and returns its exit
// status. Any thread.
int printPlan(const StartupPlan &plan);

// The application's two windows, each run modally by its face.
class ApplicationFace {
public:
    virtual ~ApplicationFace() = default;
    // Runs the instruction wizard (kWizardCaption, first page Start) and
    // returns when it was finished; Cancel ends the process inside. GUI
    // thread; blocks while the wizard is open.
    virtual void runWizard() = 0;
    // Runs the update dialog and returns when it was closed (close box,
    // Escape, Enter); Finish ends the process inside. GUI thread; blocks
    // while the dialog is open.
    virtual void runUpdateDialog() = 0;
};

// The application's start (InitInstance): the wizard, then the update
// dialog, whatever the wizard's result. Returns false: the program then
// ends. GUI thread; blocks while the windows are open.
bool runApplication(ApplicationFace &face);

}  // namespace wizard
