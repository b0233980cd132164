// SPDX-License-Identifier: MIT
#include "fakes.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "process_exit.h"

namespace wizard::testing {

FakeLibrary &FakeLibrary::instance() {
    static FakeLibrary library;
    return library;
}

const update_sequence::UpdateLibrary &FakeLibrary::table() {
    static const update_sequence::UpdateLibrary library{
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

std::vector<std::string> FakeLibrary::calls() const {
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

void FakeLibrary::record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
}

int32_t FakeLibrary::usbInit() {
    record("QRV_USBInit");
    std::lock_guard lock(mutex_);
    return script_.initResult;
}

int32_t FakeLibrary::usbTerm() {
    record("QRV_USBTerm");
    std::lock_guard lock(mutex_);
    return script_.termResult;
}

int32_t FakeLibrary::switchAppToBoot(uint32_t pauseMs) {
    record("QRVDL_SwitchAppToBoot " + std::to_string(pauseMs));
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
    std::string image = path;
    if (image.starts_with("/proc/self/fd/")) {
        std::error_code error;
        image = "private copy (" + std::to_string(std::filesystem::file_size(image, error)) + " bytes)";
    }
    char arguments[64];
    std::snprintf(arguments, sizeof arguments, " 0x%x %u", start, length);
    record("QRVDL_LoadFlash " + image + arguments);
    std::vector<uint32_t> erase, download;
    int32_t result;
    {
        std::lock_guard lock(mutex_);
        erase = script_.eraseReports;
        download = script_.downloadReports;
        result = script_.loadResult;
    }
    if (result != 0) {
        std::printf("Checksum FAILED\n");
        std::fflush(stdout);
    }
    for (uint32_t offset : erase) callback(onErased, offset, 0);
    for (uint32_t bytes : download) callback(onProgrammed, bytes, 0);
    return result;
}

int32_t FakeLibrary::writeProgrammingMode(int32_t mode) {
    record("QRVDL_CmdWriteProgrammingMode " + std::to_string(mode));
    std::lock_guard lock(mutex_);
    return script_.leaveResult;
}

ExitRecorder::ExitRecorder() {
    SetProcessExitHandler([this](int status) { statuses.push_back(status); });
}

ExitRecorder::~ExitRecorder() { SetProcessExitHandler({}); }

ImageDirectory::ImageDirectory(int64_t imageLength) : previous_(std::filesystem::current_path()) {
    std::random_device random;
    do {
        directory_ = std::filesystem::temp_directory_path() / ("wizard-test-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(directory_));
    if (imageLength >= 0) {
        std::ofstream(directory_ / "tz4817.img", std::ios::binary).close();
        std::filesystem::resize_file(directory_ / "tz4817.img", static_cast<uintmax_t>(imageLength));
    }
    std::filesystem::current_path(directory_);
}

ImageDirectory::~ImageDirectory() {
    std::error_code error;
    std::filesystem::current_path(previous_, error);
    std::filesystem::remove_all(directory_, error);
}

}  // namespace wizard::testing
