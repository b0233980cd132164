// SPDX-License-Identifier: MIT
#include "usb_recording/recording_file.h"

#include "recording_file_system.h"
#include "usb_recording/recording.h"

namespace usb_recording {

std::unique_ptr<RecordingFile> RecordingFile::create(const std::string &path, std::string_view headComment,
                                                     std::string &error) {
    const int handle = file_system::open(path, file_system::Mode::Replace, error);
    if (handle < 0) return nullptr;
    std::unique_ptr<RecordingFile> file(new RecordingFile(handle, path));
    if (!file->write(recordingHead(headComment))) {
        error = "cannot write to " + path;
        return nullptr;
    }
    return file;
}

std::unique_ptr<RecordingFile> RecordingFile::append(const std::string &path, std::string_view headComment,
                                                     std::vector<uint8_t> &existing, std::string &error) {
    const int handle = file_system::open(path, file_system::Mode::Append, error);
    if (handle < 0) return nullptr;
    std::unique_ptr<RecordingFile> file(new RecordingFile(handle, path));
    if (!file_system::readAll(handle, existing, error)) return nullptr;
    if (existing.empty()) {
        if (!file->write(recordingHead(headComment))) {
            error = "cannot write to " + path;
            return nullptr;
        }
        return file;
    }
    // Only ever added to a recording: any other file is left as it is.
    std::string why;
    if (!scanRecording(
            existing, [](const Entry &) { return false; }, why)) {
        error = path + " is not a recording (" + why + ")";
        return nullptr;
    }
    return file;
}

RecordingFile::~RecordingFile() {
    file_system::sync(handle_);
    file_system::close(handle_);
}

bool RecordingFile::write(std::span<const uint8_t> blocks) { return file_system::write(handle_, blocks); }

void RecordingFile::sync() { file_system::sync(handle_); }

std::string writingProcess() {
    return file_system::programName() + " (process " + std::to_string(file_system::processId()) + ")";
}

bool readWholeFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error) {
    const int handle = file_system::open(path, file_system::Mode::Read, error);
    if (handle < 0) return false;
    const bool read = file_system::readAll(handle, bytes, error);
    file_system::close(handle);
    return read;
}

}  // namespace usb_recording
