// SPDX-License-Identifier: MIT
// Where the program takes its image from: the PATH it is given, the working
// directory's tz4817.img, or the file the user chooses in the file dialog,
// which the tests answer in the user's place.
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QtTest>

#include "image_location.h"
#include "test_support.h"

using namespace updater;
using Outcome = ImageLocation::Outcome;

namespace {

// Answers as the test says, and counts the questions.
class ScriptedChooser : public ImageChooser {
public:
    std::optional<std::string> answer;
    int asked = 0;
    std::optional<std::string> chooseImage() override {
        ++asked;
        return answer;
    }
};

constexpr char kCancel[] = "(cancel)";

}  // namespace

class ImageLocationTests : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { QCOMPARE(testing::liveTopLevelWidgets(), QStringList()); }
    void imageComesFromPathWorkingDirectoryOrTheUser_data();
    void imageComesFromPathWorkingDirectoryOrTheUser();
    void fileDialogGivesTheChosenFileOrNothing_data();
    void fileDialogGivesTheChosenFileOrNothing();
};

// "<dir>" stands for the working directory of the case.
void ImageLocationTests::imageComesFromPathWorkingDirectoryOrTheUser_data() {
    QTest::addColumn<bool>("imageHere");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("asked");
    const auto found = static_cast<int>(Outcome::Found);
    const auto cancelled = static_cast<int>(Outcome::Cancelled);
    const auto badUsage = static_cast<int>(Outcome::BadUsage);
    QTest::newRow("image in the working directory") << true << QStringList{} << "" << found << "tz4817.img" << 0;
    QTest::newRow("none there: the user's choice")
        << false << QStringList{} << "<dir>/firmware/new.img" << found << "<dir>/firmware/new.img" << 1;
    QTest::newRow("none there: the user cancels") << false << QStringList{} << kCancel << cancelled << "" << 1;
    QTest::newRow("PATH, a file") << true << QStringList{"<dir>/firmware/new.img"} << "" << found
                                  << "<dir>/firmware/new.img" << 0;
    QTest::newRow("PATH, a folder") << true << QStringList{"<dir>/firmware"} << "" << found
                                    << "<dir>/firmware/tz4817.img" << 0;
    QTest::newRow("PATH that names nothing: no dialog")
        << false << QStringList{"<dir>/missing.img"} << "" << found << "<dir>/missing.img" << 0;
    QTest::newRow("two PATHs") << true << QStringList{"a.img", "b.img"} << "" << badUsage << "" << 0;
    QTest::newRow("an unknown option") << false << QStringList{"--bogus"} << "" << badUsage << "" << 0;
    QTest::newRow("an empty PATH") << false << QStringList{""} << "" << badUsage << "" << 0;
}

void ImageLocationTests::imageComesFromPathWorkingDirectoryOrTheUser() {
    QFETCH(bool, imageHere);
    QFETCH(QStringList, arguments);
    QFETCH(QString, answer);
    QFETCH(int, outcome);
    QFETCH(QString, path);
    QFETCH(int, asked);
    const testing::ImageDirectory directory(imageHere ? 20000 : -1);
    QVERIFY(QDir(directory.path()).mkdir(QStringLiteral("firmware")));
    const auto here = [&](QString text) {
        return text.replace(QLatin1String("<dir>"), directory.path()).toStdString();
    };
    std::vector<std::string> given;
    for (const QString &argument : arguments) given.push_back(here(argument));
    ScriptedChooser chooser;
    if (answer != QLatin1String(kCancel)) chooser.answer = here(answer);

    const ImageLocation location = locateImage(given, chooser);
    QCOMPARE(static_cast<int>(location.outcome), outcome);
    QCOMPARE(location.path, here(path));
    QCOMPARE(chooser.asked, asked);
    QCOMPARE(location.error.empty(), outcome != static_cast<int>(Outcome::BadUsage));
}

// The real chooser: its dialog, answered as a user would.
void ImageLocationTests::fileDialogGivesTheChosenFileOrNothing_data() {
    QTest::addColumn<bool>("choose");
    QTest::newRow("a file chosen") << true;
    QTest::newRow("cancelled") << false;
}

void ImageLocationTests::fileDialogGivesTheChosenFileOrNothing() {
    QFETCH(bool, choose);
    const testing::ImageDirectory directory;
    const QString path = directory.path() + QStringLiteral("/firmware.img");
    QFile image(path);
    QVERIFY(image.open(QIODevice::WriteOnly) && image.resize(20000));
    image.close();
    testing::whenReady([] { return qobject_cast<QFileDialog *>(testing::activeModal()) != nullptr; },
                       [&] {
                           auto *dialog = qobject_cast<QFileDialog *>(testing::activeModal());
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
}

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    ImageLocationTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "image_location_tests.moc"
