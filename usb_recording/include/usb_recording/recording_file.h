// SPDX-License-Identifier: MIT
// The file a recording is written to. One writer at a time: the program's
// update code creates it and writes the run's start, the USB driver appends
// while its bus lives, the update code appends the run's end.
//
// Each write() is one system call with whole blocks, so the file holds every
// block up to the last one written if the process ends at any moment (a crash,
// a kill). What a power cut keeps is what the system had on disk: sync()
// asks for that, and costs a few hundred microseconds here, so writers call
// it now and then rather than for every block (see the README).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace usb_recording {

class RecordingFile {
public:
    // Creates `path` (replacing a file there) and writes the recording's head
    // with `headComment`. Null, with `error` set, when it cannot.
    static std::unique_ptr<RecordingFile> create(const std::string &path, std::string_view headComment,
                                                 std::string &error);

    // Opens `path` to add to it. A missing or empty file is given the head
    // with `headComment` first. A file that holds something must be a
    // recording (it is read: `existing` receives its bytes), else nothing is
    // written to it. Null, with `error` set, when it cannot be used.
    static std::unique_ptr<RecordingFile> append(const std::string &path, std::string_view headComment,
                                                 std::vector<uint8_t> &existing, std::string &error);

    ~RecordingFile();  // sync(), close
    RecordingFile(const RecordingFile &) = delete;
    RecordingFile &operator=(const RecordingFile &) = delete;

    // Appends `blocks` with one write. False when the system refused it (a
    // full disk): the file then ends at the block before.
    bool write(std::span<const uint8_t> blocks);
    // Has the system put what was written on disk (fdatasync, _commit).
    void sync();

    const std::string &path() const { return path_; }

private:
    RecordingFile(int handle, std::string path) : handle_(handle), path_(std::move(path)) {}
    int handle_;
    std::string path_;
};

// "tz4817-update (process 4711)": the program writing, for the notes.
std::string writingProcess();

}  // namespace usb_recording
