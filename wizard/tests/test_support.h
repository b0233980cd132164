// SPDX-License-Identifier: MIT
// Helpers shared by the program's Qt tests: a scripted stand-in for the two
// libraries, a message-box recorder, an exit recorder and the test main.
#pragma once

#include <QApplication>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "message_boxes.h"
#include "update_sequence.h"

namespace updater::testing {

// What the scripted libraries answer and report.
struct LibraryScript {
    int32_t initResult = 0;
    int32_t termResult = 0;
    int32_t switchResult = 0;
    int32_t loadResult = 0;
    int32_t leaveResult = 0;                // of programming mode 2
    std::vector<uint32_t> eraseReports;     // values given to the erase callback, in order
    std::vector<uint32_t> downloadReports;  // then to the programming callback
    // Callback numbers (from 1, erase and download counted together) after
    // which the load waits until resume() is called.
    std::set<size_t> pauseAfter;
};

// One process-wide scripted library; its functions may run on any thread.
class FakeLibrary {
public:
    static FakeLibrary &instance();
    // The table to hand to the program.
    static const UpdateLibrary &table();

    void reset(LibraryScript script);
    // Calls so far, e.g. "QRV_USBInit", "QRVDL_SwitchAppToBoot 5000",
    // "QRVDL_LoadFlash private copy (2097152 bytes) 0xfe204000 0", "QRVDL_CmdWriteProgrammingMode 2".
    QStringList calls() const;
    // Whether the load waits at a pause point now, and the callback number.
    bool paused() const;
    size_t pausedAt() const;
    void resume();

    // Library entry points (public for the table).
    int32_t usbInit();
    int32_t usbTerm();
    int32_t switchAppToBoot(uint32_t pauseMs);
    int32_t loadFlash(const char *path, uint32_t start, uint32_t length, ProgressCallback onErased,
                      ProgressCallback onProgrammed);
    int32_t writeProgrammingMode(int32_t mode);

private:
    void record(const QString &call);
    void callback(ProgressCallback function, uint32_t value, uint32_t other);

    mutable std::mutex mutex_;
    std::condition_variable resumed_;
    LibraryScript script_;
    QStringList calls_;
    size_t callbacks_ = 0;
    size_t pausedAt_ = 0;  // 0: not paused
};

// Message boxes that record their texts and details instead of showing, and
// run `onShow` (if set) at the moment a box would be on screen.
class RecordingMessageBoxes : public MessageBoxes {
public:
    void show(QWidget *owner, const QString &text, const QString &details) override;
    QStringList texts;
    QStringList details;
    std::function<void()> onShow;
};

// Records EndProcess calls instead of ending the process, while it lives.
class ExitRecorder {
public:
    ExitRecorder();
    ~ExitRecorder();
    std::vector<int> statuses;
};

// A temporary directory made current while the object lives, optionally
// with an image file "tz4817.img" of `imageLength` bytes.
class ImageDirectory {
public:
    explicit ImageDirectory(int64_t imageLength = -1);
    ~ImageDirectory();
    QString path() const { return directory_.path(); }

private:
    QTemporaryDir directory_;
    QString previous_;
};

// Top-level widgets that still exist (a test that leaves one has leaked it).
QStringList liveTopLevelWidgets();

// The modal or popup window on screen now, or null.
QWidget *activeModal();

// Runs `action` from the event loop as soon as `ready()` holds (checked
// every 10 ms): for windows that a test opens with exec().
void whenReady(std::function<bool()> ready, std::function<void()> action);

}  // namespace updater::testing
