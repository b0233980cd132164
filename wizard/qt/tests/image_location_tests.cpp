// SPDX-License-Identifier: MIT
// The Qt face's file dialog that asks for the image when none was given and
// the working folder has none: it opens in the working folder with *.img
// files first, and gives the chosen file or nothing. Where the image comes
// from is the core's test (wizard/core/tests/startup_test.cpp).
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QtTest>

#include "file_dialog_image_chooser.h"
#include "test_support.h"

using namespace wizard;

class ImageLocationTests : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { QCOMPARE(testing::liveTopLevelWidgets(), QStringList()); }
    void fileDialogGivesTheChosenFileOrNothing_data();
    void fileDialogGivesTheChosenFileOrNothing();
};

void ImageLocationTests::fileDialogGivesTheChosenFileOrNothing_data() {
    QTest::addColumn<bool>("choose");
    QTest::newRow("a file chosen") << true;
    QTest::newRow("cancelled") << false;
}

void ImageLocationTests::fileDialogGivesTheChosenFileOrNothing() {
    QFETCH(bool, choose);
    const testing::ImageDirectory directory;
    const QString path = QString::fromStdString(directory.path()) + QStringLiteral("/firmware.img");
    QFile image(path);
    QVERIFY(image.open(QIODevice::WriteOnly) && image.resize(20000));
    image.close();
    QString openedIn, title;
    QStringList filters;
    testing::whenReady([] { return qobject_cast<QFileDialog *>(testing::activeModal()) != nullptr; },
                       [&] {
                           auto *dialog = qobject_cast<QFileDialog *>(testing::activeModal());
                           openedIn = dialog->directory().absolutePath();
                           title = dialog->windowTitle();
                           filters = dialog->nameFilters();
                           if (!choose) return dialog->reject();
                           dialog->selectFile(path);
                           QMetaObject::invokeMethod(dialog, "accept");
                       });
    FileDialogImageChooser chooser;
    const std::optional<std::string> chosen = chooser.chooseImage();
    if (choose)
        QCOMPARE(chosen.value_or("(nothing)"), path.toStdString());
    else
        QVERIFY(!chosen);
    // The working folder, where a program started from a file manager or a
    // terminal was started, not the home folder.
    QCOMPARE(openedIn, QDir::current().absolutePath());
    QCOMPARE(title, QStringLiteral("Open the firmware image (tz4817.img)"));
    QCOMPARE(filters, (QStringList{QStringLiteral("Firmware images (*.img)"), QStringLiteral("All files (*)")}));
}

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    ImageLocationTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "image_location_tests.moc"
