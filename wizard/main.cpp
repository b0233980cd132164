// OstranUpdater: updates the firmware of a tz4817 projector over USB.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "message_boxes.h"
#include "program_resources.h"
#include "qrv_version.h"
#include "update_sequence.h"
#include "updater_app.h"

int main(int argc, char *argv[]) {
    // Answered before the toolkit starts: it needs no display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("OstranUpdater " QRV_VERSION);
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
