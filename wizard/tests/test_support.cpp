// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <cstdio>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QWidget>

#include "process_exit.h"

namespace updater::testing {

FakeLibrary &FakeLibrary::instance() {
    static FakeLibrary library;
    return library;
}

const UpdateLibrary &FakeLibrary::table() {
    static const UpdateLibrary library{
        [] { return instance().usbInit(); },
        [] { return instance().usbTerm(); },
        [](uint32_t pauseMs) { return instance().switchAppToBoot(pauseMs); },
        [](const char *path, uint32_t start, uint32_t length, ProgressCallback onErased,
           ProgressCallback onProgrammed) { return instance().loadFlash(path, start, length, onErased, onProgrammed); },
        [](int32_t mode) { return instance().writeProgrammingMode(mode); },
    };
    return library;
}

void FakeLibrary::reset(LibraryScript script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
    calls_.clear();
    callbacks_ = 0;
    pausedAt_ = 0;
}

QStringList FakeLibrary::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

bool FakeLibrary::paused() const {
    std::lock_guard lock(mutex_);
    return pausedAt_ != 0;
}

size_t FakeLibrary::pausedAt() const {
    std::lock_guard lock(mutex_);
    return pausedAt_;
}

void FakeLibrary::resume() {
    std::lock_guard lock(mutex_);
    pausedAt_ = 0;
    resumed_.notify_all();
}

void FakeLibrary::record(const QString &call) {
    std::lock_guard lock(mutex_);
    calls_ << call;
}

int32_t FakeLibrary::usbInit() {
    record(QStringLiteral("QRV_USBInit"));
    std::lock_guard lock(mutex_);
    return script_.initResult;
}

int32_t FakeLibrary::usbTerm() {
    record(QStringLiteral("QRV_USBTerm"));
    std::lock_guard lock(mutex_);
    return script_.termResult;
}

int32_t FakeLibrary::switchAppToBoot(uint32_t pauseMs) {
    record(QStringLiteral("QRVDL_SwitchAppToBoot %1").arg(pauseMs));
    std::lock_guard lock(mutex_);
    return script_.switchResult;
}

void FakeLibrary::callback(ProgressCallback function, uint32_t value, uint32_t other) {
    function(value, other);
    std::unique_lock lock(mutex_);
    ++callbacks_;
    if (script_.pauseAfter.count(callbacks_)) {
        pausedAt_ = callbacks_;
        resumed_.wait(lock, [this] { return pausedAt_ == 0; });
    }
}

int32_t FakeLibrary::loadFlash(const char *path, uint32_t start, uint32_t length, ProgressCallback onErased,
                               ProgressCallback onProgrammed) {
    // The update hands the download a private copy of the image it checked:
    // what matters is its size.
    QString image = QString::fromLocal8Bit(path);
    if (image.startsWith(QLatin1String("/proc/self/fd/")))
        image = QStringLiteral("private copy (%1 bytes)").arg(QFileInfo(image).size());
    record(QStringLiteral("QRVDL_LoadFlash %1 0x%2 %3").arg(image).arg(start, 0, 16).arg(length));
    std::vector<uint32_t> erase, download;
    int32_t result;
    {
        std::lock_guard lock(mutex_);
        erase = script_.eraseReports;
        download = script_.downloadReports;
        result = script_.loadResult;
    }
    // A failed load prints its reason, as the download library does.
    if (result != 0) {
        std::printf("Checksum FAILED\n");
        std::fflush(stdout);
    }
    for (uint32_t offset : erase) callback(onErased, offset, 0);
    for (uint32_t bytes : download) callback(onProgrammed, bytes, 0);
    return result;
}

int32_t FakeLibrary::writeProgrammingMode(int32_t mode) {
    record(QStringLiteral("QRVDL_CmdWriteProgrammingMode %1").arg(mode));
    std::lock_guard lock(mutex_);
    return script_.leaveResult;
}

void RecordingMessageBoxes::show(QWidget * /*owner*/, const QString &text, const QString &detail) {
    texts << text;
    details << detail;
    if (onShow) onShow();
}

ExitRecorder::ExitRecorder() {
    SetProcessExitHandler([this](int status) { statuses.push_back(status); });
}

ExitRecorder::~ExitRecorder() { SetProcessExitHandler({}); }

ImageDirectory::ImageDirectory(int64_t imageLength) : previous_(QDir::currentPath()) {
    if (imageLength >= 0) {
        QFile image(directory_.filePath(QStringLiteral("tz4817.img")));
        if (image.open(QIODevice::WriteOnly)) image.resize(imageLength);
    }
    QDir::setCurrent(directory_.path());
}

ImageDirectory::~ImageDirectory() { QDir::setCurrent(previous_); }

QStringList liveTopLevelWidgets() {
    QStringList names;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        // Menus belong to their window and go with it.
        if (widget->parentWidget()) continue;
        names << QStringLiteral("%1 \"%2\"")
                     .arg(QString::fromLatin1(widget->metaObject()->className()), widget->windowTitle());
    }
    return names;
}

QWidget *activeModal() {
    if (QWidget *popup = QApplication::activePopupWidget()) return popup;
    return QApplication::activeModalWidget();
}

void whenReady(std::function<bool()> ready, std::function<void()> action) {
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, ready = std::move(ready), action = std::move(action)] {
        if (!ready()) return;
        timer->stop();
        timer->deleteLater();
        action();
    });
    timer->start();
}

}  // namespace updater::testing
