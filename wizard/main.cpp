// SPDX-License-Identifier: MIT
// OstranUpdater: updates the firmware of a tz4817 projector over USB.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image_location.h"
#include "message_boxes.h"
#include "program_resources.h"
#include "qrv_version.h"
#include "update_sequence.h"
#include "updater_app.h"

namespace {

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

}  // namespace

int main(int argc, char *argv[]) {
    // Answered before the toolkit starts: they need no display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("OstranUpdater " QRV_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelpText, stdout);
        return 0;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("OstranUpdater"));
    QApplication::setWindowIcon(updater::programIcon());
    // The toolkit has taken its own options out of argv by now.
    updater::FileDialogImageChooser chooser;
    const updater::ImageLocation image = updater::locateImage(std::vector<std::string>(argv + 1, argv + argc), chooser);
    switch (image.outcome) {
    case updater::ImageLocation::Outcome::Found: break;
    case updater::ImageLocation::Outcome::Cancelled: return 0;
    case updater::ImageLocation::Outcome::BadUsage:
        std::fprintf(stderr, "OstranUpdater: %s (see --help)\n", image.error.c_str());
        return 2;
    }
    updater::QtMessageBoxes messageBoxes;
    updater::UpdaterApp app(updater::exportedLibrary(), messageBoxes, image.path);
    app.InitInstance();
    return 0;
}
