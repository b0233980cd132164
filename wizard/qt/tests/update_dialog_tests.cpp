// SPDX-License-Identifier: MIT
// The update dialog's Qt face driven through its real button against
// scripted libraries: what its widgets show at each moment of an update, the
// message box with its details, that the window answers while the update
// runs and cannot be closed then, Finish ending the real process, and the
// About entry of its system menu. The order of every control
// change, each failure and the button's states are the core's tests
// (wizard/core/tests/update_dialog_controller_test.cpp).
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <cstdlib>

#include "about_dialog.h"
#include "resource_ids.h"
#include "template_builder.h"
#include "test_support.h"
#include "update_dialog.h"

using namespace wizard;
using testing::FakeLibrary;
using testing::libraryCalls;

namespace {

const QString kReady = QStringLiteral("Press the Update button to begin updating the projector");
const QString kRunning = QStringLiteral("Update in Progress");
const QString kDone = QStringLiteral("Update is Done!  Press Finish Button to close window.");

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
    void stageTableAtEachMomentOfAFullImage();
    void messageBoxShowsItsDetailsWholeAndIsModal();
    void finishEndsTheRealProcessWithStatusZero();
    void captionDoesNotDecideWhatTheButtonDoes();
    void windowAnswersButCannotBeClosedWhileTheUpdateRuns();
    void dialogClosesByKeyOrCloseBoxWhenNoUpdateRuns_data();
    void dialogClosesByKeyOrCloseBoxWhenNoUpdateRuns();
    void systemMenuOffersTheAboutBox();

private:
    void open(int64_t imageLength);
    void clickUpdate() { QTest::mouseClick(control<QPushButton>(*dialog, kIdUpdateButton), Qt::LeftButton); }

    std::unique_ptr<testing::ExitRecorder> exits;
    std::unique_ptr<testing::ImageDirectory> directory;
    testing::RecordingMessageBoxes boxes;
    std::string imageFileName;
    std::unique_ptr<UpdateDialog> dialog;
};

void UpdateDialogTests::open(int64_t imageLength) {
    directory = std::make_unique<testing::ImageDirectory>(imageLength);
    boxes.texts.clear();
    boxes.details.clear();
    boxes.onShow = nullptr;
    imageFileName.clear();
    dialog = std::make_unique<UpdateDialog>(imageFileName, FakeLibrary::table(), boxes);
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
    QVERIFY(libraryCalls().isEmpty());
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
    QCOMPARE(libraryCalls(), (QStringList{"QRV_USBInit", "QRVDL_SwitchAppToBoot 5000",
                                          "QRVDL_LoadFlash private copy (2097152 bytes) 0xfe204000 0",
                                          "QRVDL_CmdWriteProgrammingMode 2", "QRV_USBTerm"}));
    QVERIFY(boxes.texts.isEmpty());
}

// The real box: modal to the dialog, titled with the program's name, and
// its details (a typical failure: the libraries' lines, a USB/IP server's
// address with its status, the reason) readable at a glance once shown: no
// line cut at the side (the long one wraps), none below, the pane whole
// inside the box on an 800-pixel screen.
void UpdateDialogTests::messageBoxShowsItsDetailsWholeAndIsModal() {
    FakeLibrary::instance().reset({});
    open(100);
    const QString details = QStringLiteral(
        "Reseting USB\n"
        "File[tz4817.img] Size[2097152]\n"
        "Failed to read flash device ID\n"
        "Reseting USB\n"
        "Failed to erase flash\n"
        "Reseting USB\n"
        "Checksum calculation failed\n"
        "tz4817: 192.168.100.200:3240 cannot be reached (No route to host); trying again until the wait for a "
        "projector ends\n"
        "No projector was found before the wait ended (status 0x20000015).\n");
    struct Seen {
        QString title, text;
        Qt::WindowModality modality = Qt::NonModal;
        QWidget *parent = nullptr;
        bool paneShown = false, paneInsideTheBox = false;
        int horizontalScroll = -1, verticalScroll = -1;
        QString lastLineShown;
    } seen;
    testing::whenReady([] { return qobject_cast<QMessageBox *>(testing::activeModal()) != nullptr; },
                       [&] {
                           auto *box = qobject_cast<QMessageBox *>(testing::activeModal());
                           seen.title = box->windowTitle();
                           seen.text = box->text();
                           seen.modality = box->windowModality();
                           seen.parent = box->parentWidget();
                           for (QAbstractButton *button : box->buttons()) {
                               if (box->buttonRole(button) == QMessageBox::ActionRole) button->click();
                           }
                           QCoreApplication::processEvents();
                           auto *pane = box->findChild<QTextEdit *>();
                           seen.paneShown = pane && pane->isVisible();
                           if (pane) {
                               seen.paneInsideTheBox =
                                   box->rect().contains(QRect(pane->mapTo(box, QPoint(0, 0)), pane->size()));
                               seen.horizontalScroll = pane->horizontalScrollBar()->maximum();
                               seen.verticalScroll = pane->verticalScrollBar()->maximum();
                               // The last line's bottom is inside the pane.
                               QTextCursor end(pane->document());
                               end.movePosition(QTextCursor::End);
                               const QRect line = pane->cursorRect(end);
                               if (pane->viewport()->rect().contains(line)) seen.lastLineShown = end.block().text();
                           }
                           box->button(QMessageBox::Ok)->click();
                       });
    QtMessageBoxes real;
    real.show(dialog.get(), QStringLiteral("Failed to initialize QRV USB\nTerminating Driver\n"), details);
    QCOMPARE(seen.title, QStringLiteral("OstranUpdater"));
    QCOMPARE(seen.text, QStringLiteral("Failed to initialize QRV USB\nTerminating Driver\n"));
    QCOMPARE(seen.modality, Qt::WindowModal);
    QCOMPARE(seen.parent, dialog.get());
    QVERIFY(seen.paneShown);
    QVERIFY(seen.paneInsideTheBox);
    QCOMPARE(seen.horizontalScroll, 0);
    QCOMPARE(seen.verticalScroll, 0);
    QCOMPARE(seen.lastLineShown, QStringLiteral("No projector was found before the wait ended (status 0x20000015)."));
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
    QVERIFY(libraryCalls().contains(QStringLiteral("QRV_USBInit")));

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
