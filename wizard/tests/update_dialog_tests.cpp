// SPDX-License-Identifier: MIT
// The update dialog driven through its real button against scripted
// libraries: what it shows at each moment of an update, how every failure
// ends, that the window answers while the update runs and cannot be closed
// then, Finish, and the About entry of its system menu.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <cstdlib>

#include "about_dialog.h"
#include "resource_ids.h"
#include "template_builder.h"
#include "test_support.h"
#include "update_dialog.h"

using namespace updater;
using testing::FakeLibrary;
using testing::LibraryScript;

namespace {

const QString kReady = QStringLiteral("Press the Update button to begin updating the projector");
const QString kRunning = QStringLiteral("Update in Progress");
const QString kDone = QStringLiteral("Update is Done!  Press Finish Button to close window.");
const QString kFailed = QStringLiteral("Update Failed!  Press Finish Button to close window.");

// One stage line: label enabled, check box enabled, checked.
struct Stage {
    bool label, box, checked;
    bool operator==(const Stage &) const = default;
};
constexpr Stage kOff{false, false, false};
constexpr Stage kBegun{true, true, false};
constexpr Stage kDoneStage{true, true, true};

// What the dialog shows.
struct Screen {
    QString status;
    QString button;
    bool buttonEnabled;
    Stage stages[3];
    QString bytes, percent;
    int bar;
    bool operator==(const Screen &) const = default;
};

char *toString(const Screen &s) {
    QString stages;
    for (const Stage &stage : s.stages)
        stages += QStringLiteral("%1%2%3 ").arg(stage.label).arg(stage.box).arg(stage.checked);
    return qstrdup(qPrintable(QStringLiteral("\"%1\" [%2 %3] stages %4bytes \"%5\" percent \"%6\" bar %7")
                                  .arg(s.status, s.button)
                                  .arg(s.buttonEnabled)
                                  .arg(stages, s.bytes, s.percent)
                                  .arg(s.bar)));
}

QString text(const QWidget &dialog, int id) { return control<QLabel>(dialog, id)->text(); }

Screen screen(const UpdateDialog &dialog) {
    Screen s;
    s.status = text(dialog, kIdStatusLine);
    auto *button = control<QPushButton>(dialog, kIdUpdateButton);
    s.button = button->text();
    s.buttonEnabled = button->isEnabled();
    for (int i = 0; i < 3; ++i) {
        auto *box = control<QCheckBox>(dialog, kIdStage1Check + i);
        s.stages[i] = {control(dialog, kIdStage1Label + i)->isEnabled(), box->isEnabled(), box->isChecked()};
    }
    s.bytes = text(dialog, kIdBytes);
    s.percent = text(dialog, kIdPercent);
    s.bar = control<QProgressBar>(dialog, kIdProgressBar)->value();
    return s;
}

Screen running(Stage s1, Stage s2, Stage s3, const char *bytes, const char *percent, int bar) {
    return {kRunning, QStringLiteral("Update"), false, {s1, s2, s3}, bytes, percent, bar};
}

}  // namespace

Q_DECLARE_METATYPE(Screen)
Q_DECLARE_METATYPE(LibraryScript)

class UpdateDialogTests : public QObject {
    Q_OBJECT

private slots:
    void init() { exits = std::make_unique<testing::ExitRecorder>(); }
    void cleanup() {
        if (dialog && dialog->updateRunning()) {
            FakeLibrary::instance().resume();
            QTRY_VERIFY(!dialog->updateRunning());
        }
        dialog.reset();
        directory.reset();
        exits.reset();
        QCOMPARE(testing::liveTopLevelWidgets(), QStringList());
    }

    void readyStateShowsTheImageLength();
    void imageGivenToTheProgramIsShownAndDownloaded();
    void badImageEndsFailedBeforeAnyLibraryCall_data();
    void badImageEndsFailedBeforeAnyLibraryCall();
    void unconfirmedLeaveIsDoneWithAPowerCycleBox();
    void stageTableAtEachMomentOfAFullImage();
    void everyFailureEndsInTheFailedState_data();
    void everyFailureEndsInTheFailedState();
    void finishEndsTheProcessAndCallsNoLibraryFunction_data();
    void finishEndsTheProcessAndCallsNoLibraryFunction();
    void finishEndsTheRealProcessWithStatusZero();
    void captionDoesNotDecideWhatTheButtonDoes();
    void windowAnswersButCannotBeClosedWhileTheUpdateRuns();
    void dialogClosesByKeyOrCloseBoxWhenNoUpdateRuns_data();
    void dialogClosesByKeyOrCloseBoxWhenNoUpdateRuns();
    void systemMenuOffersTheAboutBox();
    void emptyMenuStringLeavesNoSeparatorAndNoAboutEntry();

private:
    void open(int64_t imageLength, std::function<QString(int)> strings = {});
    void clickUpdate() { QTest::mouseClick(control<QPushButton>(*dialog, kIdUpdateButton), Qt::LeftButton); }

    std::unique_ptr<testing::ExitRecorder> exits;
    std::unique_ptr<testing::ImageDirectory> directory;
    testing::RecordingMessageBoxes boxes;
    std::string imageFileName;
    std::unique_ptr<UpdateDialog> dialog;
};

void UpdateDialogTests::open(int64_t imageLength, std::function<QString(int)> strings) {
    directory = std::make_unique<testing::ImageDirectory>(imageLength);
    boxes.texts.clear();
    boxes.details.clear();
    boxes.onShow = nullptr;
    imageFileName.clear();
    dialog = std::make_unique<UpdateDialog>(imageFileName, FakeLibrary::table(), boxes);
    if (strings) dialog->setStringLoader(std::move(strings));
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
}

void UpdateDialogTests::readyStateShowsTheImageLength() {
    FakeLibrary::instance().reset({});
    open(1000);
    QCOMPARE(screen(*dialog), (Screen{kReady, QStringLiteral("Update"), true, {kOff, kOff, kOff}, {}, {}, 0}));
    QCOMPARE(text(*dialog, kIdImageLength), QStringLiteral("1000"));
    QCOMPARE(imageFileName, std::string("tz4817.img"));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("tz4817 Projector Update Program"));
    QVERIFY(!dialog->windowIcon().isNull());
    QVERIFY(FakeLibrary::instance().calls().isEmpty());
}

// The image the program was started with (PATH or the file dialog's), not
// the working directory's tz4817.img: its length is shown, and it is what the
// download reads.
void UpdateDialogTests::imageGivenToTheProgramIsShownAndDownloaded() {
    FakeLibrary::instance().reset({.eraseReports = {16384}, .downloadReports = {3616}});
    open(1000);
    dialog.reset();
    QVERIFY(QDir(directory->path()).mkdir(QStringLiteral("firmware")));
    const QString path = directory->path() + QStringLiteral("/firmware/chosen.img");
    QFile image(path);
    QVERIFY(image.open(QIODevice::WriteOnly) && image.resize(20000));
    image.close();
    dialog = std::make_unique<UpdateDialog>(imageFileName, FakeLibrary::table(), boxes);
    dialog->setImagePath(path.toStdString());
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    QCOMPARE(text(*dialog, kIdImageLength), QStringLiteral("20000"));
    QCOMPARE(imageFileName, path.toStdString());
    clickUpdate();
    QTRY_VERIFY(!dialog->updateRunning());
    QCOMPARE(text(*dialog, kIdStatusLine), kDone);
    QCOMPARE(FakeLibrary::instance().calls().value(2),
             QStringLiteral("QRVDL_LoadFlash private copy (20000 bytes) 0xfe204000 0"));
}

// An image that cannot be written is found when Update is pressed: the
// failure path with the reason as the box's details, and no library call.
void UpdateDialogTests::badImageEndsFailedBeforeAnyLibraryCall_data() {
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << qint64{-1} << "Bad file [tz4817.img]: No such file or directory\n";
    QTest::newRow("empty") << qint64{0} << "Bad file [tz4817.img]: empty (0 bytes)\n";
    QTest::newRow("shorter than the boot sector")
        << qint64{4096}
        << "Bad file [tz4817.img]: 4096 bytes, shorter than the 16384-byte boot sector that an image "
           "starts with\n";
    QTest::newRow("only the boot sector")
        << qint64{16384}
        << "Nothing to write: tz4817.img is 16384 bytes, only the boot sector, which the update "
           "never writes\n";
    QTest::newRow("longer than the flash")
        << qint64{2097153} << "Bad file [tz4817.img]: 2097153 bytes, more than the 2097152-byte flash holds\n";
}

void UpdateDialogTests::badImageEndsFailedBeforeAnyLibraryCall() {
    QFETCH(qint64, length);
    QFETCH(QString, reason);
    FakeLibrary::instance().reset({});
    open(length);
    clickUpdate();
    QTRY_VERIFY(!dialog->updateRunning());
    QCOMPARE(boxes.texts, QStringList{QStringLiteral("Failed to load flash\n")});
    QVERIFY2(boxes.details.value(0).endsWith(reason), qPrintable(boxes.details.value(0)));
    QCOMPARE(screen(*dialog), (Screen{kFailed, QStringLiteral("Finish"), true, {kBegun, kOff, kOff}, {}, {}, 0}));
    QCOMPARE(FakeLibrary::instance().calls(), QStringList());
}

// A success whose projector did not confirm leaving programming mode: Done,
// and a box that says to switch it off and on, with the warning as detail.
void UpdateDialogTests::unconfirmedLeaveIsDoneWithAPowerCycleBox() {
    FakeLibrary::instance().reset({.leaveResult = 1, .eraseReports = {16384}, .downloadReports = {56}});
    open(20000);
    clickUpdate();
    QTRY_VERIFY(!dialog->updateRunning());
    QTRY_COMPARE(boxes.texts, QStringList{QString::fromLatin1(kPowerCycleMessage)});
    QVERIFY(boxes.details[0].endsWith(QString::fromLatin1(kPowerCycleWarning)));
    QCOMPARE(text(*dialog, kIdStatusLine), kDone);
}

void UpdateDialogTests::stageTableAtEachMomentOfAFullImage() {
    FakeLibrary::instance().reset({.eraseReports = {16384, 24576, 2031616},
                                   .downloadReports = {56, 1048576, 2080768},
                                   .pauseAfter = {1, 3, 4, 6}});
    open(2097152);
    QCOMPARE(text(*dialog, kIdImageLength), QStringLiteral("2097152"));
    clickUpdate();
    QCOMPARE(screen(*dialog), running(kBegun, kOff, kOff, "", "", 0));

    const QList<QPair<size_t, Screen>> moments{
        {1, running(kDoneStage, kBegun, kOff, "16384", "0%", 0)},            // first erase report
        {3, running(kDoneStage, kBegun, kOff, "2031616", "96%", 96)},        // last erase report
        {4, running(kDoneStage, kDoneStage, kBegun, "56", "0%", 0)},         // first download report
        {6, running(kDoneStage, kDoneStage, kBegun, "2080768", "99%", 99)},  // last download report
    };
    for (const auto &[callback, expected] : moments) {
        QTRY_COMPARE(FakeLibrary::instance().pausedAt(), callback);
        // The update waits inside the library; the window shows its report.
        QTRY_COMPARE(screen(*dialog), expected);
        FakeLibrary::instance().resume();
    }
    QTRY_VERIFY(!dialog->updateRunning());
    QCOMPARE(screen(*dialog), (Screen{kDone,
                                      QStringLiteral("Finish"),
                                      true,
                                      {kDoneStage, kDoneStage, kDoneStage},
                                      QStringLiteral("2097152"),
                                      QStringLiteral("100%"),
                                      100}));
    QCOMPARE(FakeLibrary::instance().calls(), (QStringList{"QRV_USBInit", "QRVDL_SwitchAppToBoot 5000",
                                                           "QRVDL_LoadFlash private copy (2097152 bytes) 0xfe204000 0",
                                                           "QRVDL_CmdWriteProgrammingMode 2", "QRV_USBTerm"}));
    QVERIFY(boxes.texts.isEmpty());
}

void UpdateDialogTests::everyFailureEndsInTheFailedState_data() {
    QTest::addColumn<LibraryScript>("script");
    QTest::addColumn<QString>("message");
    QTest::addColumn<Screen>("expected");
    const QString finish = QStringLiteral("Finish");
    QTest::newRow("link not opened") << LibraryScript{.initResult = 0x20000015}
                                     << "Failed to initialize QRV USB\nTerminating Driver\n"
                                     << Screen{kFailed, finish, true, {kBegun, kOff, kOff}, {}, {}, 0};
    QTest::newRow("switch failed, link would not close")
        << LibraryScript{.termResult = 1, .switchResult = 1} << QString()
        << Screen{kFailed, finish, true, {kBegun, kOff, kOff}, {}, {}, 0};
    QTest::newRow("switch failed, load on the closed link failed")
        << LibraryScript{.switchResult = 1, .loadResult = 1} << "Failed to load flash\n"
        << Screen{kFailed, finish, true, {kBegun, kOff, kOff}, {}, {}, 0};
    QTest::newRow("load failed while erasing")
        << LibraryScript{.loadResult = 1, .eraseReports = {16384, 1048576}} << "Failed to load flash\n"
        << Screen{kFailed, finish, true, {kDoneStage, kBegun, kOff}, "1048576", "50%", 50};
    QTest::newRow("load failed at the checksum")
        << LibraryScript{.loadResult = 1, .eraseReports = {16384}, .downloadReports = {2080768}}
        << "Failed to load flash\n"
        << Screen{kFailed, finish, true, {kDoneStage, kDoneStage, kBegun}, "2080768", "99%", 99};
    // Without erase reports the download still checks the Cleaning box,
    // while its label never came alive.
    QTest::newRow("load failed, nothing erased")
        << LibraryScript{.loadResult = 3, .downloadReports = {56}} << "Failed to load flash\n"
        << Screen{kFailed, finish, true, {kDoneStage, {false, false, true}, kBegun}, "56", "0%", 0};
}

void UpdateDialogTests::everyFailureEndsInTheFailedState() {
    QFETCH(LibraryScript, script);
    QFETCH(QString, message);
    QFETCH(Screen, expected);
    FakeLibrary::instance().reset(script);
    open(2097152);
    // What shows, and which library calls were made, while the box is up.
    QList<Screen> whileBoxShown;
    QList<QStringList> callsWhileBoxShown;
    boxes.onShow = [&] {
        whileBoxShown << screen(*dialog);
        callsWhileBoxShown << FakeLibrary::instance().calls();
    };
    clickUpdate();
    QTRY_VERIFY(!dialog->updateRunning());
    QCOMPARE(screen(*dialog), expected);
    if (message.isEmpty()) {
        QVERIFY(boxes.texts.isEmpty());
        return;
    }
    QCOMPARE(boxes.texts, QStringList{message});
    // The details carry what the libraries printed during the update.
    if (script.loadResult != 0) QVERIFY2(boxes.details[0].contains("Checksum FAILED\n"), qPrintable(boxes.details[0]));
    if (script.initResult == 0x20000015)
        QVERIFY2(boxes.details[0].contains("No projector was found"), qPrintable(boxes.details[0]));
    // The box comes before the failed state and before the link is closed.
    QCOMPARE(whileBoxShown.size(), 1);
    QCOMPARE(whileBoxShown[0].status, kRunning);
    QVERIFY(!whileBoxShown[0].buttonEnabled);
    QVERIFY(!callsWhileBoxShown[0].contains(QStringLiteral("QRVDL_CmdWriteProgrammingMode 2")));
    const QString lastCall = callsWhileBoxShown[0].back();
    QVERIFY2(lastCall == QLatin1String("QRV_USBInit") || lastCall.startsWith(QLatin1String("QRVDL_LoadFlash")),
             qPrintable(lastCall));
}

void UpdateDialogTests::finishEndsTheProcessAndCallsNoLibraryFunction_data() {
    QTest::addColumn<LibraryScript>("script");
    QTest::newRow("after success") << LibraryScript{.eraseReports = {16384}, .downloadReports = {56}};
    QTest::newRow("after failure") << LibraryScript{.initResult = 1};
}

void UpdateDialogTests::finishEndsTheProcessAndCallsNoLibraryFunction() {
    QFETCH(LibraryScript, script);
    FakeLibrary::instance().reset(script);
    open(20000);
    clickUpdate();
    QTRY_VERIFY(!dialog->updateRunning());
    const QStringList calls = FakeLibrary::instance().calls();
    const Screen before = screen(*dialog);
    clickUpdate();
    QCOMPARE(exits->statuses, std::vector<int>{0});
    QCOMPARE(FakeLibrary::instance().calls(), calls);
    QCOMPARE(screen(*dialog), before);
}

void UpdateDialogTests::finishEndsTheRealProcessWithStatusZero() {
    QTemporaryDir directory;
    QFile image(directory.filePath(QStringLiteral("tz4817.img")));
    QVERIFY(image.open(QIODevice::WriteOnly) && image.resize(20000));
    image.close();
    QProcess child;
    child.setWorkingDirectory(directory.path());
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), QStringLiteral("finish")});
    QVERIFY(child.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    // Calls made before Finish, then the same count when the process exits.
    const QStringList lines = output.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines, (QStringList{QStringLiteral("calls before finish: 5"), QStringLiteral("calls at exit: 5")}));
}

// A caption that reads "Finish" (a changed template, a translation) before
// the update, or anything else after it, changes nothing.
void UpdateDialogTests::captionDoesNotDecideWhatTheButtonDoes() {
    FakeLibrary::instance().reset({.eraseReports = {16384}, .downloadReports = {56}});
    open(20000);
    auto *button = control<QPushButton>(*dialog, kIdUpdateButton);
    button->setText(QStringLiteral("Finish"));
    clickUpdate();
    QVERIFY(exits->statuses.empty());
    QTRY_COMPARE(text(*dialog, kIdStatusLine), kDone);
    QVERIFY(FakeLibrary::instance().calls().contains(QStringLiteral("QRV_USBInit")));

    button->setText(QStringLiteral("Update"));
    clickUpdate();
    QCOMPARE(exits->statuses, std::vector<int>{0});
}

void UpdateDialogTests::windowAnswersButCannotBeClosedWhileTheUpdateRuns() {
    FakeLibrary::instance().reset({.eraseReports = {16384}, .pauseAfter = {1}});
    open(2097152);
    clickUpdate();
    QTRY_COMPARE(FakeLibrary::instance().pausedAt(), size_t{1});
    QVERIFY(dialog->updateRunning());

    // The event loop runs: a timer fires and the window repaints.
    bool fired = false;
    QTimer::singleShot(0, dialog.get(), [&] { fired = true; });
    QTRY_VERIFY(fired);
    QTRY_COMPARE(text(*dialog, kIdBytes), QStringLiteral("16384"));
    dialog->repaint();

    // Nothing closes it.
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    QTest::keyClick(dialog.get(), Qt::Key_Return);
    QTest::keyClick(dialog.get(), Qt::Key_Enter);
    QVERIFY(!dialog->close());
    dialog->reject();
    dialog->accept();
    dialog->OnSysCommand(0xF060);
    QCoreApplication::processEvents();
    QVERIFY(dialog->isVisible());

    FakeLibrary::instance().resume();
    QTRY_VERIFY(!dialog->updateRunning());
    QCOMPARE(text(*dialog, kIdStatusLine), kDone);
    QVERIFY(dialog->isVisible());
    QVERIFY(exits->statuses.empty());
}

void UpdateDialogTests::dialogClosesByKeyOrCloseBoxWhenNoUpdateRuns_data() {
    QTest::addColumn<bool>("afterUpdate");
    QTest::addColumn<QString>("how");
    for (bool afterUpdate : {false, true}) {
        for (const char *how : {"escape", "close box", "menu close"}) {
            QTest::addRow("%s, %s", afterUpdate ? "done" : "ready", how) << afterUpdate << how;
        }
    }
}

void UpdateDialogTests::dialogClosesByKeyOrCloseBoxWhenNoUpdateRuns() {
    QFETCH(bool, afterUpdate);
    QFETCH(QString, how);
    FakeLibrary::instance().reset({});
    open(100);
    if (afterUpdate) {
        clickUpdate();
        QTRY_VERIFY(!dialog->updateRunning());
    }
    if (how == QLatin1String("escape")) {
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
    } else if (how == QLatin1String("close box")) {
        QVERIFY(dialog->close());
    } else {
        dialog->OnSysCommand(0xF060);
    }
    QVERIFY(!dialog->isVisible());
    QVERIFY(exits->statuses.empty());
}

void UpdateDialogTests::systemMenuOffersTheAboutBox() {
    FakeLibrary::instance().reset({});
    open(100);
    const QList<QAction *> actions = dialog->systemMenu()->actions();
    QCOMPARE(actions.size(), 3);
    QVERIFY(actions[1]->isSeparator());
    QCOMPARE(actions[2]->text(), QStringLiteral("&About OstranUpdater..."));

    // The entry opens the About box; so does the command with low bits set.
    for (unsigned command : {0x0010u, 0x0013u}) {
        QStringList seen;
        testing::whenReady([] { return dynamic_cast<AboutDialog *>(testing::activeModal()) != nullptr; },
                           [&] {
                               QWidget *about = testing::activeModal();
                               seen << about->windowTitle()
                                    << about->findChild<QLabel *>(QStringLiteral("-1.2"))->text();
                               QTest::mouseClick(control<QPushButton>(*about, kIdOk), Qt::LeftButton);
                           });
        dialog->OnSysCommand(command);
        QCOMPARE(seen,
                 (QStringList{QStringLiteral("About OstranUpdater"), QStringLiteral("OstranUpdater Version 1.0")}));
    }

    // A right click opens the menu.
    bool menuShown = false;
    testing::whenReady([] { return QApplication::activePopupWidget() != nullptr; },
                       [&] {
                           menuShown = QApplication::activePopupWidget() == dialog->systemMenu();
                           dialog->systemMenu()->close();
                       });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), dialog->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(dialog.get(), &event);
    QVERIFY(menuShown);
}

void UpdateDialogTests::emptyMenuStringLeavesNoSeparatorAndNoAboutEntry() {
    FakeLibrary::instance().reset({});
    open(100, [](int) { return QString(); });
    const QList<QAction *> actions = dialog->systemMenu()->actions();
    QCOMPARE(actions.size(), 1);
    QVERIFY(!actions[0]->isSeparator());
    QCOMPARE(actions[0]->data().toUInt(), 0xF060u);
}

// A whole update in a child process with the real process exit: prints the
// library calls made before Finish and, from an exit handler, at exit.
static int runFinishChild() {
    FakeLibrary::instance().reset({.eraseReports = {16384}, .downloadReports = {56}});
    testing::RecordingMessageBoxes boxes;
    std::string imageFileName;
    static UpdateDialog *shown = nullptr;
    UpdateDialog dialog(imageFileName, FakeLibrary::table(), boxes);
    shown = &dialog;
    std::atexit(
        [] { std::printf("calls at exit: %lld\n", static_cast<long long>(FakeLibrary::instance().calls().size())); });
    testing::whenReady([] { return shown->isVisible(); },
                       [] { QTest::mouseClick(control<QPushButton>(*shown, kIdUpdateButton), Qt::LeftButton); });
    testing::whenReady([] { return control<QPushButton>(*shown, kIdUpdateButton)->text() == QLatin1String("Finish"); },
                       [] {
                           std::printf("calls before finish: %lld\n",
                                       static_cast<long long>(FakeLibrary::instance().calls().size()));
                           QTest::mouseClick(control<QPushButton>(*shown, kIdUpdateButton), Qt::LeftButton);
                           std::printf("finish returned\n");
                       });
    dialog.DoModal();
    std::printf("dialog returned\n");
    return 3;
}

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--child") == 0) return runFinishChild();
    UpdateDialogTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "update_dialog_tests.moc"
