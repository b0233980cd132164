// OstranUpdater: updates the firmware of a tz4817 projector over USB.
#include <QApplication>

#include "message_boxes.h"
#include "program_resources.h"
#include "update_sequence.h"
#include "updater_app.h"

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("OstranUpdater"));
    QApplication::setWindowIcon(updater::programIcon());
    updater::QtMessageBoxes messageBoxes;
    updater::UpdaterApp app(updater::exportedLibrary(), messageBoxes);
    app.InitInstance();
    return 0;
}
