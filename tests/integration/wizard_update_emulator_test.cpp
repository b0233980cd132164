// SPDX-License-Identifier: MIT
// The update dialog through whole updates against the emulated projector,
// in process: the real download and transport libraries, the driver's
// loopback bus and the projector's device model. Each update that gets as
// far as the switch into programming mode waits out its 5-second restart
// pause, so there are few of them.
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>

#include "qrvusb.h"
#include "resource_ids.h"
#include "template_builder.h"
#include "test_support.h"
#include "test_support/loopback_bus.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "update_dialog.h"
#include "usb_driver/driver.h"

using namespace wizard;
using namespace update_sequence;

namespace {

constexpr uint32_t kImageLength = 2097152;

QString text(const QWidget &dialog, int id) { return control<QLabel>(dialog, id)->text(); }
bool checked(const QWidget &dialog, int id) { return control<QCheckBox>(dialog, id)->isChecked(); }
bool enabled(const QWidget &dialog, int id) { return control(dialog, id)->isEnabled(); }
int bar(const QWidget &dialog) { return control<QProgressBar>(dialog, kIdProgressBar)->value(); }

// The real library functions, with the progress callbacks watched: at chosen
// values the update waits (inside the download library) until the test has
// looked at the window.
struct Watch {
    std::mutex mutex;
    std::condition_variable changed;
    std::set<uint32_t> stopAt;
    uint32_t stoppedAt = 0;
    bool stopped = false;
    ProgressCallback erase = nullptr, download = nullptr;
    std::vector<uint32_t> eraseValues, downloadValues;

    bool stopAtFirstDownload = false;

    void reached(uint32_t value, bool isDownload) {
        std::unique_lock lock(mutex);
        (isDownload ? downloadValues : eraseValues).push_back(value);
        const bool first = isDownload && stopAtFirstDownload && downloadValues.size() == 1;
        if (!stopAt.count(value) && !first) return;
        stopped = true;
        stoppedAt = value;
        changed.wait(lock, [this] { return !stopped; });
    }
    bool waitingAt(uint32_t value) {
        std::lock_guard lock(mutex);
        return stopped && stoppedAt == value;
    }
    // The first download report the update waits at, or 0.
    uint32_t waitingAtFirstDownload() {
        std::lock_guard lock(mutex);
        return stopped && downloadValues.size() == 1 ? downloadValues[0] : 0;
    }
    void go() {
        std::lock_guard lock(mutex);
        stopped = false;
        changed.notify_all();
    }
};
Watch watch;

const UpdateLibrary kWatchedLibrary{
    exportedLibrary().usbInit,
    exportedLibrary().usbTerm,
    exportedLibrary().switchAppToBoot,
    [](const char *path, uint32_t start, uint32_t length, ProgressCallback onErased, ProgressCallback onProgrammed) {
        watch.erase = onErased;
        watch.download = onProgrammed;
        return exportedLibrary().loadFlash(
            path, start, length,
            [](uint32_t value, uint32_t other) {
                watch.erase(value, other);
                watch.reached(value, false);
            },
            [](uint32_t value, uint32_t other) {
                watch.download(value, other);
                watch.reached(value, true);
            });
    },
    exportedLibrary().writeProgrammingMode,
};

}  // namespace

class UpdateEmulatorTests : public QObject {
    Q_OBJECT

private slots:
    void init() {
        exits = std::make_unique<testing::ExitRecorder>();
        flash = projector_emulator::NorFlash::inMemory();
        projector_emulator::DeviceOptions options;
        options.rebootDelay = std::chrono::milliseconds(20);
        options.eraseTime = std::chrono::milliseconds(0);
        device = std::make_unique<projector_emulator::Tz4817Device>(*flash, options);
        usb_driver::testing::setBusFactory([this]() -> std::shared_ptr<usb_driver::Bus> {
            return std::make_shared<test_support::LoopbackBus>(*device);
        });
        {
            std::lock_guard lock(watch.mutex);
            watch.stopAt.clear();
            watch.stopAtFirstDownload = false;
            watch.eraseValues.clear();
            watch.downloadValues.clear();
        }
    }
    void cleanup() {
        watch.go();
        if (dialog) QTRY_VERIFY_WITH_TIMEOUT(!dialog->updateRunning(), 120000);
        dialog.reset();
        directory.reset();
        QRV_USBTerm();
        usb_driver::testing::setBusFactory({});
        usb_driver::testing::setReportedVersion(0);
        device.reset();
        flash.reset();
        exits.reset();
        QCOMPARE(testing::liveTopLevelWidgets(), QStringList());
    }

    void fullImageUpdatesTheProjectorAndEndsDone();
    void missingImageEndsFailedBeforeAnyFrame();
    void linkThatCannotOpenEndsFailedWithoutTouchingTheProjector();

private:
    void open(const QByteArray *image) {
        directory = std::make_unique<testing::ImageDirectory>();
        boxes.texts.clear();
        boxes.details.clear();
        if (image) {
            QFile file(QStringLiteral("tz4817.img"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(*image), qint64(image->size()));
        }
        dialog = std::make_unique<UpdateDialog>(imageFileName, kWatchedLibrary, boxes);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    }
    void clickUpdate() { QTest::mouseClick(control<QPushButton>(*dialog, kIdUpdateButton), Qt::LeftButton); }

    std::unique_ptr<testing::ExitRecorder> exits;
    std::unique_ptr<projector_emulator::NorFlash> flash;
    std::unique_ptr<projector_emulator::Tz4817Device> device;
    std::unique_ptr<testing::ImageDirectory> directory;
    testing::RecordingMessageBoxes boxes;
    std::string imageFileName;
    std::unique_ptr<UpdateDialog> dialog;
};

void UpdateEmulatorTests::fullImageUpdatesTheProjectorAndEndsDone() {
    QByteArray image(kImageLength, Qt::Uninitialized);
    std::mt19937 random(4817);
    for (char &byte : image) byte = static_cast<char>(random() >> 24);
    const std::vector<uint8_t> factory = projector_emulator::NorFlash::factoryPattern();
    open(&image);
    QCOMPARE(text(*dialog, kIdImageLength), QStringLiteral("2097152"));
    {
        std::lock_guard lock(watch.mutex);
        watch.stopAt = {16384, 2031616, 2080768};
        watch.stopAtFirstDownload = true;
    }
    clickUpdate();
    QVERIFY(enabled(*dialog, kIdStage1Label));
    QVERIFY(!enabled(*dialog, kIdStage2Label));

    // First erase report: stage 1 checked, stage 2 begun; the window answers
    // while the update waits inside the download library.
    QTRY_VERIFY_WITH_TIMEOUT(watch.waitingAt(16384), 60000);
    QTRY_COMPARE(text(*dialog, kIdBytes), QStringLiteral("16384"));
    QCOMPARE(text(*dialog, kIdPercent), QStringLiteral("0%"));
    QVERIFY(checked(*dialog, kIdStage1Check));
    QVERIFY(enabled(*dialog, kIdStage2Label) && enabled(*dialog, kIdStage2Check));
    QVERIFY(!checked(*dialog, kIdStage2Check));
    QVERIFY(!enabled(*dialog, kIdStage3Label));
    bool timerFired = false;
    QTimer::singleShot(0, dialog.get(), [&] { timerFired = true; });
    QTRY_VERIFY(timerFired);
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    QVERIFY(!dialog->close());
    QVERIFY(dialog->isVisible());
    watch.go();

    QTRY_VERIFY_WITH_TIMEOUT(watch.waitingAt(2031616), 60000);
    QTRY_COMPARE(text(*dialog, kIdBytes), QStringLiteral("2031616"));
    QCOMPARE(text(*dialog, kIdPercent), QStringLiteral("96%"));
    QCOMPARE(bar(*dialog), 96);
    watch.go();

    // First download report (the library reports every few kilobytes).
    QTRY_VERIFY_WITH_TIMEOUT(watch.waitingAtFirstDownload() != 0, 60000);
    const uint32_t first = watch.waitingAtFirstDownload();
    QVERIFY(first > 0 && first < 2080768);
    QTRY_COMPARE(text(*dialog, kIdBytes), QString::number(first));
    QCOMPARE(text(*dialog, kIdPercent), QStringLiteral("%1%").arg(uint64_t{first} * 100 / kImageLength));
    QVERIFY(checked(*dialog, kIdStage2Check));
    QVERIFY(enabled(*dialog, kIdStage3Label) && enabled(*dialog, kIdStage3Check));
    QVERIFY(!checked(*dialog, kIdStage3Check));
    watch.go();

    QTRY_VERIFY_WITH_TIMEOUT(watch.waitingAt(2080768), 120000);
    QTRY_COMPARE(text(*dialog, kIdBytes), QStringLiteral("2080768"));
    QCOMPARE(text(*dialog, kIdPercent), QStringLiteral("99%"));
    QCOMPARE(bar(*dialog), 99);
    watch.go();

    QTRY_VERIFY_WITH_TIMEOUT(!dialog->updateRunning(), 60000);
    QCOMPARE(text(*dialog, kIdStatusLine), QStringLiteral("Update is Done!  Press Finish Button to close window."));
    QCOMPARE(text(*dialog, kIdBytes), QStringLiteral("2097152"));
    QCOMPARE(text(*dialog, kIdPercent), QStringLiteral("100%"));
    QCOMPARE(bar(*dialog), 100);
    QVERIFY(checked(*dialog, kIdStage3Check));
    QCOMPARE(control<QPushButton>(*dialog, kIdUpdateButton)->text(), QStringLiteral("Finish"));
    QVERIFY(boxes.texts.isEmpty());

    // The erase went sector by sector from 16384; the download ended at the
    // image's end less the boot block, which stayed as it was.
    QCOMPARE(watch.eraseValues.front(), 16384u);
    QCOMPARE(watch.eraseValues.size(), size_t{34});
    QCOMPARE(watch.downloadValues.back(), 2080768u);
    const auto contents = flash->contents();
    QVERIFY(std::equal(contents.begin(), contents.begin() + 0x4000, factory.begin()));
    QVERIFY(std::equal(contents.begin() + 0x4000, contents.end(),
                       reinterpret_cast<const uint8_t *>(image.constData()) + 0x4000));
    QTRY_COMPARE(device->presence().mode, projector_emulator::Mode::Application);

    // Finish ends the process and sends nothing more to the projector.
    const uint64_t frames = device->framesReceived();
    clickUpdate();
    QCOMPARE(exits->statuses, std::vector<int>{0});
    QCOMPARE(device->framesReceived(), frames);
}

// Found when Update is pressed: the projector never sees a frame.
void UpdateEmulatorTests::missingImageEndsFailedBeforeAnyFrame() {
    open(nullptr);
    QCOMPARE(text(*dialog, kIdImageLength), QStringLiteral("0"));
    clickUpdate();
    QTRY_VERIFY_WITH_TIMEOUT(!dialog->updateRunning(), 60000);
    QCOMPARE(boxes.texts, QStringList{QStringLiteral("Failed to load flash\n")});
    QVERIFY2(boxes.details[0].endsWith("Bad file [tz4817.img]: No such file or directory\n"),
             qPrintable(boxes.details[0]));
    QCOMPARE(text(*dialog, kIdStatusLine), QStringLiteral("Update Failed!  Press Finish Button to close window."));
    QCOMPARE(text(*dialog, kIdBytes), QString());
    QCOMPARE(text(*dialog, kIdPercent), QString());
    QCOMPARE(bar(*dialog), 0);
    QVERIFY(!checked(*dialog, kIdStage1Check) && !checked(*dialog, kIdStage3Check));
    auto *button = control<QPushButton>(*dialog, kIdUpdateButton);
    QCOMPARE(button->text(), QStringLiteral("Finish"));
    QVERIFY(button->isEnabled());
    QCOMPARE(device->framesReceived(), uint64_t{0});
    QCOMPARE(device->presence().generation, 1u);
    QVERIFY(exits->statuses.empty());
}

void UpdateEmulatorTests::linkThatCannotOpenEndsFailedWithoutTouchingTheProjector() {
    usb_driver::testing::setReportedVersion(100);  // a driver too old to be used
    const QByteArray image(20000, '\x5a');
    open(&image);
    clickUpdate();
    QTRY_VERIFY_WITH_TIMEOUT(!dialog->updateRunning(), 60000);
    QCOMPARE(boxes.texts, QStringList{QStringLiteral("Failed to initialize QRV USB\nTerminating Driver\n")});
    QCOMPARE(text(*dialog, kIdStatusLine), QStringLiteral("Update Failed!  Press Finish Button to close window."));
    QVERIFY(enabled(*dialog, kIdStage1Label));
    QVERIFY(!checked(*dialog, kIdStage1Check));
    QVERIFY(control<QPushButton>(*dialog, kIdUpdateButton)->isEnabled());
    QCOMPARE(device->framesReceived(), uint64_t{0});
}

QTEST_MAIN(UpdateEmulatorTests)
#include "wizard_update_emulator_test.moc"
