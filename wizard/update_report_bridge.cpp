// SPDX-License-Identifier: MIT
#include "update_report_bridge.h"

#include <QMetaObject>
#include <future>
#include <memory>

namespace updater {

UpdateReportBridge::UpdateReportBridge(QObject *guiObject,
                                       std::function<void(const QString &, const QString &)> showMessage)
    : guiObject_(guiObject), showMessage_(std::move(showMessage)) {}

void UpdateReportBridge::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
}

void UpdateReportBridge::stageBegan(Stage stage) { emit stageBeganReported(static_cast<int>(stage)); }

void UpdateReportBridge::stageDone(Stage stage) { emit stageDoneReported(static_cast<int>(stage)); }

void UpdateReportBridge::progress(uint32_t bytes, uint32_t percent) { emit progressReported(bytes, percent); }

void UpdateReportBridge::completed(uint32_t imageLength, const std::string &warning) {
    emit completedReported(imageLength, QString::fromStdString(warning));
}

void UpdateReportBridge::failed() { emit failedReported(); }

void UpdateReportBridge::message(const std::string &text, const std::string &details) {
    // The only owner of the promise is the queued call: when the call runs,
    // the box has been acknowledged; when the call is dropped unrun (its
    // receiver is destroyed, or the dialog removes its pending calls), the
    // promise breaks, which wakes the worker just the same.
    auto acknowledged = std::make_shared<std::promise<void>>();
    std::future<void> done = acknowledged->get_future();
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        QMetaObject::invokeMethod(
            guiObject_,
            [this, text = QString::fromStdString(text), details = QString::fromStdString(details),
             acknowledged = std::move(acknowledged)] {
                showMessage_(text, details);
                acknowledged->set_value();
            },
            Qt::QueuedConnection);
    }
    done.wait();
}

}  // namespace updater
