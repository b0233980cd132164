// SPDX-License-Identifier: MIT
// The instruction wizard's Qt face driven through its real buttons: what the
// buttons show after the moves that change them (the frame carrying out sent
// requests at once and posted ones after the page change), the titles,
// activation, Finish, and Cancel (button, Escape, close box) ending the
// process with status 0. Every handler's requests and the buttons of every
// situation are the core's tests (wizard/core/tests/wizard_requests_test.cpp).
#include <QContextMenuEvent>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QtTest>
#include <cstdio>

#include "resource_ids.h"
#include "test_support.h"
#include "update_dialog.h"
#include "update_wiz.h"
#include "updater_app.h"

using namespace wizard;
using wizard::testing::activeModal;
using wizard::testing::whenReady;

namespace {

const char kTitle[] = "tz4817 Projector Update Program - Page ";

// What the user sees of the wizard's frame.
struct Buttons {
    QString title;
    int page;
    bool backShown, backEnabled, nextShown, nextEnabled, finishShown, finishEnabled;
    QString finishText;
    bool operator==(const Buttons &) const = default;
};

char *toString(const Buttons &b) {
    return qstrdup(qPrintable(QStringLiteral("page %1 \"%2\" back %3/%4 next %5/%6 finish %7/%8 \"%9\"")
                                  .arg(b.page)
                                  .arg(b.title)
                                  .arg(b.backShown)
                                  .arg(b.backEnabled)
                                  .arg(b.nextShown)
                                  .arg(b.nextEnabled)
                                  .arg(b.finishShown)
                                  .arg(b.finishEnabled)
                                  .arg(b.finishText)));
}

Buttons seen(const UpdateWiz &sheet) {
    QPushButton *back = sheet.button(kIdBack);
    QPushButton *next = sheet.button(kIdNext);
    QPushButton *finish = sheet.button(kIdFinish);
    return {sheet.windowTitle(), sheet.GetActiveIndex(), back->isVisible(),
            back->isEnabled(),   next->isVisible(),      next->isEnabled(),
            finish->isVisible(), finish->isEnabled(),    finish->isVisible() ? finish->text() : QString()};
}

// Clicks a frame button and lets posted requests take effect.
void click(UpdateWiz &sheet, int id) {
    QTest::mouseClick(sheet.button(id), Qt::LeftButton);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void walk(UpdateWiz &sheet, const QString &path) {
    for (QChar step : path) click(sheet, step == u'N' ? kIdNext : step == u'B' ? kIdBack : kIdFinish);
}

}  // namespace

Q_DECLARE_METATYPE(Buttons)

class WizardSheetTests : public QObject {
    Q_OBJECT

private slots:
    void init() {
        exits = std::make_unique<testing::ExitRecorder>();
        sheet = std::make_unique<UpdateWiz>(QStringLiteral("Update Wizard"), nullptr, 0);
        sheet->CreatePages();
        sheet->Create();
        sheet->show();
        QVERIFY(QTest::qWaitForWindowExposed(sheet.get()));
        QCoreApplication::processEvents();
    }
    void cleanup() {
        sheet.reset();
        exits.reset();
        QCOMPARE(testing::liveTopLevelWidgets(), QStringList());
    }

    void buttonsFollowThePageHandlers_data();
    void buttonsFollowThePageHandlers();
    void cancelAndHelpAreFixedAndThereIsNoApply();
    void titleShowsTheCurrentPageCaption();
    void finishTextWithoutBlankNeverReachesTheScreen();
    void activationOnStartPagePostsNextAlone();
    void finishClosesTheWizardAccepted();
    void cancelResetsEveryCreatedPageInOrder_data();
    void cancelResetsEveryCreatedPageInOrder();
    void wizardHasNoSystemMenuEntries();
    void cancelEndsTheProcessWithStatusZero_data();
    void cancelEndsTheProcessWithStatusZero();
    void finishingTheWizardOpensTheUpdateDialog();

private:
    std::unique_ptr<testing::ExitRecorder> exits;
    std::unique_ptr<UpdateWiz> sheet;
};

void WizardSheetTests::buttonsFollowThePageHandlers_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<Buttons>("expected");
    const QString page1 = kTitle + QStringLiteral("1");
    const QString page2 = kTitle + QStringLiteral("2");
    const QString page4 = kTitle + QStringLiteral("4");
    const Buttons start{page1, 0, false, false, true, true, false, false, {}};
    const Buttons connect{page2, 1, true, true, true, true, false, false, {}};
    const Buttons address{page4, 2, true, true, false, false, true, true, QStringLiteral("Next >")};
    // Coming back from the Address page, the Connect page has no Back button.
    const Buttons connectFromAddress{page2, 1, false, true, true, true, false, false, {}};

    QTest::newRow("wizard opened") << QString() << start;
    QTest::newRow("next on start") << "N" << connect;
    QTest::newRow("next on connect") << "NN" << address;
    QTest::newRow("back on address") << "NNB" << connectFromAddress;
}

void WizardSheetTests::buttonsFollowThePageHandlers() {
    QFETCH(QString, path);
    QFETCH(Buttons, expected);
    walk(*sheet, path);
    Buttons actual = seen(*sheet);
    // Back is never shown on the Start page; whether it is enabled there does not show.
    if (!expected.backShown) actual.backEnabled = expected.backEnabled;
    QCOMPARE(actual, expected);
    QVERIFY(exits->statuses.empty());
}

void WizardSheetTests::cancelAndHelpAreFixedAndThereIsNoApply() {
    for (const QString &path : {QString(), QStringLiteral("N"), QStringLiteral("N"), QStringLiteral("B")}) {
        walk(*sheet, path);
        QVERIFY(sheet->button(kIdCancel)->isVisible());
        QVERIFY(sheet->button(kIdCancel)->isEnabled());
        QVERIFY(!sheet->button(kIdHelp)->isVisible());
    }
    for (QPushButton *button : sheet->findChildren<QPushButton *>()) {
        QVERIFY2(!button->text().remove(u'&').contains(QLatin1String("Apply")), qPrintable(button->text()));
    }
}

void WizardSheetTests::titleShowsTheCurrentPageCaption() {
    QStringList titles{sheet->windowTitle()};
    click(*sheet, kIdNext);
    titles << sheet->windowTitle();
    click(*sheet, kIdNext);
    titles << sheet->windowTitle();
    QCOMPARE(titles,
             (QStringList{kTitle + QStringLiteral("1"), kTitle + QStringLiteral("2"), kTitle + QStringLiteral("4")}));
}

void WizardSheetTests::finishTextWithoutBlankNeverReachesTheScreen() {
    // Record the text of the Finish button every time it is painted.
    QStringList painted;
    QPushButton *finish = sheet->button(kIdFinish);
    struct PaintRecorder : QObject {
        QStringList &painted;
        explicit PaintRecorder(QStringList &p) : painted(p) {}
        bool eventFilter(QObject *object, QEvent *event) override {
            if (event->type() == QEvent::Paint) painted << static_cast<QPushButton *>(object)->text();
            return false;
        }
    } recorder(painted);
    finish->installEventFilter(&recorder);

    walk(*sheet, QStringLiteral("NN"));
    QTRY_VERIFY(painted.contains(QStringLiteral("Next >")));  // the recorder sees what is painted
    click(*sheet, kIdBack);
    sheet->repaint();
    QCoreApplication::processEvents();
    finish->removeEventFilter(&recorder);
    QVERIFY2(!painted.contains(QStringLiteral("Next>")), qPrintable(painted.join(u'|')));
    QVERIFY(!finish->isVisible());
}

void WizardSheetTests::activationOnStartPagePostsNextAlone() {
    for (QEvent::Type type : {QEvent::WindowActivate, QEvent::WindowDeactivate}) {
        sheet->SetWizardButtons(kWizardBack | kWizardFinish);
        QEvent activation(type);
        QApplication::sendEvent(sheet.get(), &activation);
        // Posted: nothing changes until the event loop runs.
        QVERIFY(sheet->button(kIdFinish)->isVisible());
        QCoreApplication::sendPostedEvents();
        QVERIFY(!sheet->button(kIdBack)->isEnabled());
        QVERIFY(sheet->button(kIdNext)->isVisible());
        QVERIFY(sheet->button(kIdNext)->isEnabled());
        QVERIFY(!sheet->button(kIdFinish)->isVisible());
    }
}

void WizardSheetTests::finishClosesTheWizardAccepted() {
    walk(*sheet, QStringLiteral("NN"));
    click(*sheet, kIdFinish);
    QVERIFY(!sheet->isVisible());
    QCOMPARE(sheet->result(), int(QDialog::Accepted));
    QVERIFY(exits->statuses.empty());
}

void WizardSheetTests::cancelResetsEveryCreatedPageInOrder_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("how");
    QTest::addColumn<std::vector<int>>("statuses");
    // Start and Connect end the process when reset; Address does nothing.
    for (const char *how : {"button", "escape", "close box"}) {
        QTest::addRow("start, %s", how) << QString() << how << std::vector<int>{0};
        QTest::addRow("connect, %s", how) << "N" << how << std::vector<int>{0, 0};
        QTest::addRow("address, %s", how) << "NN" << how << std::vector<int>{0, 0};
        QTest::addRow("back at start, %s", how) << "NB" << how << std::vector<int>{0, 0};
    }
}

void WizardSheetTests::cancelResetsEveryCreatedPageInOrder() {
    QFETCH(QString, path);
    QFETCH(QString, how);
    QFETCH(std::vector<int>, statuses);
    walk(*sheet, path);
    if (how == QLatin1String("button")) {
        QTest::mouseClick(sheet->button(kIdCancel), Qt::LeftButton);
    } else if (how == QLatin1String("escape")) {
        QTest::keyClick(sheet.get(), Qt::Key_Escape);
    } else {
        QVERIFY(sheet->close());
    }
    QCOMPARE(exits->statuses, statuses);
    QVERIFY(!sheet->isVisible());
    QCOMPARE(sheet->result(), int(QDialog::Rejected));
}

void WizardSheetTests::wizardHasNoSystemMenuEntries() {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), sheet->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(sheet.get(), &event);
    QCoreApplication::processEvents();
    QCOMPARE(QApplication::activePopupWidget(), nullptr);
    QVERIFY(sheet->findChildren<QMenu *>().isEmpty());
}

void WizardSheetTests::cancelEndsTheProcessWithStatusZero_data() {
    QTest::addColumn<QString>("scenario");
    for (const char *scenario :
         {"cancel-start", "cancel-connect", "cancel-address", "escape-address", "close-start", "close-address"}) {
        QTest::newRow(scenario) << scenario;
    }
}

void WizardSheetTests::cancelEndsTheProcessWithStatusZero() {
    QFETCH(QString, scenario);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), scenario});
    QVERIFY(child.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QVERIFY2(output.contains(QLatin1String("wizard shown")), qPrintable(output));
    QVERIFY2(!output.contains(QLatin1String("update dialog shown")), qPrintable(output));
    QCOMPARE(child.exitCode(), 0);
}

void WizardSheetTests::finishingTheWizardOpensTheUpdateDialog() {
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), QStringLiteral("finish")});
    QVERIFY(child.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    QVERIFY2(output.contains(QLatin1String("update dialog shown")), qPrintable(output));
    QVERIFY2(output.contains(QLatin1String("init instance returned")), qPrintable(output));
    QCOMPARE(child.exitCode(), 0);
}

// The program's start-up in a child process with the real process exit:
// "<action>-<page>" walks to the page and cancels there, "finish" walks
// through the wizard and closes the update dialog that follows.
static int runChild(const QString &scenario) {
    testing::FakeLibrary::instance().reset({});
    testing::RecordingMessageBoxes boxes;
    UpdaterApp app(testing::FakeLibrary::table(), boxes);
    const QString page = scenario.section(u'-', 1);
    const QString action = scenario.section(u'-', 0, 0);

    whenReady([] { return dynamic_cast<UpdateWiz *>(activeModal()) != nullptr; },
              [=] {
                  auto *wizard = dynamic_cast<UpdateWiz *>(activeModal());
                  std::printf("wizard shown\n");
                  std::fflush(stdout);
                  const int steps = action == QLatin1String("finish")  ? 2
                                    : page == QLatin1String("connect") ? 1
                                    : page == QLatin1String("address") ? 2
                                                                       : 0;
                  for (int i = 0; i < steps; ++i) QTest::mouseClick(wizard->button(kIdNext), Qt::LeftButton);
                  QCoreApplication::sendPostedEvents();
                  if (action == QLatin1String("finish")) {
                      QTest::mouseClick(wizard->button(kIdFinish), Qt::LeftButton);
                  } else if (action == QLatin1String("cancel")) {
                      QTest::mouseClick(wizard->button(kIdCancel), Qt::LeftButton);
                  } else if (action == QLatin1String("escape")) {
                      QTest::keyClick(wizard, Qt::Key_Escape);
                  } else {
                      wizard->close();
                  }
              });
    whenReady([] { return dynamic_cast<UpdateDialog *>(activeModal()) != nullptr; },
              [] {
                  std::printf("update dialog shown\n");
                  std::fflush(stdout);
                  QTest::keyClick(activeModal(), Qt::Key_Escape);
              });
    app.InitInstance();
    std::printf("init instance returned\n");
    return 0;
}

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--child") == 0) return runChild(QString::fromLatin1(argv[2]));
    WizardSheetTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "wizard_sheet_tests.moc"
