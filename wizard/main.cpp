// OstranUpdater: updates the firmware of a tz4817 projector over USB.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "message_boxes.h"
#include "program_resources.h"
#include "qrv_version.h"
#include "update_sequence.h"
#include "updater_app.h"

namespace {

const char kHelpText[] = "Usage: OstranUpdater\n"
                         "Updates the firmware of a tz4817 projector over USB: three instruction pages,\n"
                         "then the update dialog, whose Update button runs the update with the image\n"
                         "tz4817.img in the current directory.\n"
                         "\n"
                         "  --help     show this help and exit\n"
                         "  --version  show the version and exit\n";

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
    updater::QtMessageBoxes messageBoxes;
    updater::UpdaterApp app(updater::exportedLibrary(), messageBoxes);
    app.InitInstance();
    return 0;
}
