// SPDX-License-Identifier: MIT
// What the program's tests put in place of the two libraries, of the
// process exit and of the user's working folder; for the core's tests and the
// faces' tests alike.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "update_sequence/update_sequence.h"

namespace wizard::testing {

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
// A failed load prints "Checksum FAILED" to standard output first, as the
// download library prints its reason.
class FakeLibrary {
public:
    static FakeLibrary &instance();
    // The table to hand to the program.
    static const update_sequence::UpdateLibrary &table();

    void reset(LibraryScript script);
    // Calls so far, e.g. "QRV_USBInit", "QRVDL_SwitchAppToBoot 5000",
    // "QRVDL_LoadFlash private copy (2097152 bytes) 0xfe204000 0", "QRVDL_CmdWriteProgrammingMode 2".
    std::vector<std::string> calls() const;
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
    void record(std::string call);
    void callback(ProgressCallback function, uint32_t value, uint32_t other);

    mutable std::mutex mutex_;
    std::condition_variable resumed_;
    LibraryScript script_;
    std::vector<std::string> calls_;
    size_t callbacks_ = 0;
    size_t pausedAt_ = 0;  // 0: not paused
};

// Records endProcess calls instead of ending the process, while it lives.
class ExitRecorder {
public:
    ExitRecorder();
    ~ExitRecorder();
    std::vector<int> statuses;
};

// A temporary folder made the working folder while the object lives,
// optionally with an image file "tz4817.img" of `imageLength` bytes.
class ImageDirectory {
public:
    explicit ImageDirectory(int64_t imageLength = -1);
    ~ImageDirectory();
    ImageDirectory(const ImageDirectory &) = delete;
    ImageDirectory &operator=(const ImageDirectory &) = delete;
    std::string path() const { return directory_.string(); }

private:
    std::filesystem::path directory_;
    std::filesystem::path previous_;
};

}  // namespace wizard::testing
