// SPDX-License-Identifier: MIT
// OstranUpdater: updates the firmware of a tz4817 projector over USB.
#include <QApplication>
#include <string>
#include <vector>

#include "file_dialog_image_chooser.h"
#include "message_boxes.h"
#include "program_resources.h"
#include "program_strings.h"
#include "startup.h"
#include "update_sequence/update_sequence.h"
#include "updater_app.h"

int main(int argc, char *argv[]) {
    // Answered before the toolkit starts: they need no display.
    if (auto answer = wizard::answerWithoutWindows(std::vector<std::string>(argv + 1, argv + argc)))
        return wizard::printPlan(*answer);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(wizard::kProgramName));
    QApplication::setWindowIcon(wizard::programIcon());
    // The toolkit has taken its own options out of argv by now.
    wizard::FileDialogImageChooser chooser;
    const wizard::StartupPlan plan = wizard::planStartup(std::vector<std::string>(argv + 1, argv + argc), chooser);
    if (plan.action == wizard::StartupPlan::Action::Exit) return wizard::printPlan(plan);
    wizard::QtMessageBoxes messageBoxes;
    wizard::UpdaterApp app(update_sequence::exportedLibrary(), messageBoxes, plan.imagePath);
    app.InitInstance();
    return 0;
}
