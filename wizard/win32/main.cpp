// SPDX-License-Identifier: MIT
// OstranUpdater for Windows: updates the firmware of a tz4817 projector over
// USB. The instruction wizard on the system's property sheet, then the
// update dialog, both built from the program's templates.
#include <windows.h>

#include <commctrl.h>
#include <cstdio>
#include <io.h>
#include <shellapi.h>
#include <string>
#include <vector>

#include "open_file_image_chooser.h"
#include "startup.h"
#include "update_dialog.h"
#include "update_sequence/update_sequence.h"
#include "win32_support.h"
#include "wizard_sheet.h"

namespace {

using namespace wizard;

// The program's arguments after its name, in UTF-8.
std::vector<std::string> programArguments() {
    int count = 0;
    LPWSTR *arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> result;
    for (int i = 1; arguments != nullptr && i < count; ++i) result.push_back(win32::utf8(arguments[i]));
    ::LocalFree(arguments);
    return result;
}

// A program of the Windows subsystem has standard output only when it was
// redirected. Started from a command line without one, it writes to that
// command line's console.
void findStandardOutput() {
    if (::_get_osfhandle(1) != -1 && ::_get_osfhandle(2) != -1) return;
    if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;
    if (::_get_osfhandle(1) == -1) std::freopen("CONOUT$", "w", stdout);
    if (::_get_osfhandle(2) == -1) std::freopen("CONOUT$", "w", stderr);
}

class WindowsApplication : public ApplicationFace {
public:
    explicit WindowsApplication(std::string imagePath) : imagePath_(std::move(imagePath)) {}

    void runWizard() override {
        win32::WizardSheet wizard;
        wizard.run();
    }
    void runUpdateDialog() override {
        win32::UpdateDialog dialog(update_sequence::exportedLibrary(), imageFileName_, imagePath_);
        dialog.run();
    }

private:
    std::string imagePath_;
    std::string imageFileName_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::vector<std::string> arguments = programArguments();
    // Answered before any window exists.
    if (auto answer = answerWithoutWindows(arguments)) {
        findStandardOutput();
        return printPlan(*answer);
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);

    win32::OpenFileImageChooser chooser;
    const StartupPlan plan = planStartup(arguments, chooser);
    if (plan.action == StartupPlan::Action::Exit) {
        findStandardOutput();
        return printPlan(plan);
    }
    WindowsApplication application(plan.imagePath);
    runApplication(application);
    return 0;
}
