// SPDX-License-Identifier: MIT
// Carries the reports of an UpdateSequence running on a worker thread to
// the GUI thread: every report becomes a signal that the dialog receives
// through a queued connection, in the order the reports were made. A
// message (its text and the sequence's details) waits on the worker until
// the GUI thread has shown it and the user has acknowledged it.
#pragma once

#include <QObject>
#include <functional>
#include <mutex>

#include "update_sequence.h"

namespace updater {

class UpdateReportBridge : public QObject, public UpdateReporter {
    Q_OBJECT

public:
    // `showMessage` runs on the thread of `guiObject` (the GUI thread) for
    // each message; `guiObject` must live in that thread.
    UpdateReportBridge(QObject *guiObject, std::function<void(const QString &, const QString &)> showMessage);

    // From now on messages are not shown and do not wait. Call before
    // joining a worker thread that may still report.
    void close();

    void stageBegan(Stage stage) override;
    void stageDone(Stage stage) override;
    void progress(uint32_t bytes, uint32_t percent) override;
    void message(const std::string &text, const std::string &details) override;
    void completed(uint32_t imageLength, const std::string &warning) override;
    void failed() override;

signals:
    void stageBeganReported(int stage);
    void stageDoneReported(int stage);
    void progressReported(quint32 bytes, quint32 percent);
    void completedReported(quint32 imageLength, const QString &warning);
    void failedReported();

private:
    QObject *guiObject_;
    std::function<void(const QString &, const QString &)> showMessage_;
    std::mutex mutex_;
    bool closed_ = false;
};

}  // namespace updater
