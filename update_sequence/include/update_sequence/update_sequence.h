// SPDX-License-Identifier: MIT
// The update of one projector, without any user interface: open the USB
// link, switch the projector into programming mode, load the image into its
// flash, leave programming mode and close the link. Both front ends run it:
// the dialog of OstranUpdater and the headless tz4817-update. It reports what
// happens to an UpdateReporter, which shows it.
//
// Threads: run() calls every library function on the thread that calls it,
// and the download library calls the progress callbacks on that same thread;
// every UpdateReporter call comes from that thread too. A front end with a
// window runs it on a worker thread and forwards the reports to its widgets.
// One sequence runs at a time in a process (the USB link is process-wide).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "update_sequence/checked_image.h"
#include "qrvdl.h"

namespace update_sequence {

// The stages shown as check-box lines, in their order.
enum class Stage {
    Connecting = 1,   // "Connecting to the projector"
    Cleaning = 2,     // "Cleaning projector memory"
    Downloading = 3,  // "Downloading upgrade image"
};

// The library functions the sequence calls. exportedLibrary() gives the real
// exports of qrvusbdll and qrvdldll; tests give their own.
struct UpdateLibrary {
    int32_t (*usbInit)();
    int32_t (*usbTerm)();
    int32_t (*switchAppToBoot)(uint32_t pauseMs);
    int32_t (*loadFlash)(const char *path, uint32_t start, uint32_t length, ProgressCallback onErased,
                         ProgressCallback onProgrammed);
    int32_t (*writeProgrammingMode)(int32_t mode);
};

// QRV_USBInit, QRV_USBTerm, QRVDL_SwitchAppToBoot, QRVDL_LoadFlash and
// QRVDL_CmdWriteProgrammingMode. Defined in its own file so that programs
// which never call it need not link the two libraries.
const UpdateLibrary &exportedLibrary();

// Message texts, each ending in a line feed.
inline constexpr const char kInitFailedMessage[] = "Failed to initialize QRV USB\nTerminating Driver\n";
inline constexpr const char kLoadFailedMessage[] = "Failed to load flash\n";
// The flash is right but the projector did not confirm the command that
// takes it out of programming mode: it may stay there until switched off.
inline constexpr const char kPowerCycleWarning[] =
    "Warning: the projector did not confirm leaving programming mode; switch it off and on again to start the "
    "new firmware.\n";

// The image is loaded from this device address (flash offset 0x4000 = 16384,
// which is also the file position where programming starts): the first
// 16 KB sector, the boot block, is never touched.
inline constexpr uint32_t kLoadStartAddress = 0xFE204000;
// Pause given to the switch into programming mode while the projector restarts.
inline constexpr uint32_t kSwitchPauseMs = 5000;

// What a front end shows. Every call comes from the thread running
// UpdateSequence::run(), in the order of the update; none may throw.
class UpdateReporter {
public:
    virtual ~UpdateReporter() = default;
    // The stage's line comes alive (its label and check box are enabled).
    virtual void stageBegan(Stage stage) = 0;
    // The stage's check box is checked (also for a stage that never began).
    virtual void stageDone(Stage stage) = 0;
    // Bytes reached in the current stage (a sector start offset while
    // cleaning, bytes programmed while downloading) and that count as a
    // percentage of the image length, 0..100.
    virtual void progress(uint32_t bytes, uint32_t percent) = 0;
    // A message for the user (kInitFailedMessage or kLoadFailedMessage), and
    // what the sequence itself knows of the reason: lines ending in a line
    // feed ("No projector was found ..."), or empty (the libraries' own lines
    // then say why). Returns once the user has acknowledged it; the update
    // waits meanwhile.
    virtual void message(const std::string &text, const std::string &details) = 0;
    // The update succeeded: show `imageLength` bytes and 100%, check the
    // download stage. `warning` is kPowerCycleWarning when the projector did
    // not confirm leaving programming mode, else empty. Last call of a
    // successful run.
    virtual void completed(uint32_t imageLength, const std::string &warning) = 0;
    // The update failed; what the stages, counts and bar show stays as it
    // is. Last call of a failed run, after the message if there is one.
    virtual void failed() = 0;
};

// Passes every report on to the front end's reporter and keeps the messages
// shown (message() with its details, the warning of completed()), for the
// end of a recording (run_recording.h).
class RecordingReporter : public UpdateReporter {
public:
    explicit RecordingReporter(UpdateReporter &shown) : shown_(shown) {}

    void stageBegan(Stage stage) override { shown_.stageBegan(stage); }
    void stageDone(Stage stage) override { shown_.stageDone(stage); }
    void progress(uint32_t bytes, uint32_t percent) override { shown_.progress(bytes, percent); }
    void message(const std::string &text, const std::string &details) override {
        messages_ += text + details;
        shown_.message(text, details);
    }
    void completed(uint32_t imageLength, const std::string &warning) override {
        messages_ += warning;
        shown_.completed(imageLength, warning);
    }
    void failed() override { shown_.failed(); }

    const std::string &messages() const { return messages_; }

private:
    UpdateReporter &shown_;
    std::string messages_;
};

class UpdateSequence {
public:
    // `imagePath`: the image file.
    // `imageLength`: the image's length in bytes as the front end found it;
    // percentages are taken against it (0 when the file could not be read).
    // `image`: the image as the front end opened and checked it (at
    // `imagePath`), or null. A bad image fails the run before any library
    // call; so does one of which no snapshot can be made, or that was written
    // before the snapshot was complete. The load reads the snapshot. One that
    // has changed by the time of the download fails the run then, before the
    // load. It must outlive the run. Without it the load is given `imagePath`
    // as it is.
    UpdateSequence(const UpdateLibrary &library, UpdateReporter &reporter, std::string imagePath, uint32_t imageLength,
                   const CheckedImage *image = nullptr);
    UpdateSequence(const UpdateSequence &) = delete;
    UpdateSequence &operator=(const UpdateSequence &) = delete;
    ~UpdateSequence();

    // How a run ended. Failed: the load failed after its identity and range
    // checks passed, so an erase command may have been sent and the flash may
    // be partly erased or written: the projector needs another update.
    // FailedUntouched: it failed before anything could change the flash (no
    // projector, a bad or changed image, a switch that failed, a load refused
    // at its identity or range check).
    enum class Result { Done, Failed, FailedUntouched };

    // Runs the update from opening the link to closing it; blocks for the
    // whole update (minutes). The caller shows the Connecting stage as begun
    // before calling. Ends with exactly one completed() or failed() report.
    // Returns FailedUntouched at once, reporting nothing, when another
    // sequence of this process is running. With QRV_RECORD set, the run's
    // start and end go to the recording (run_recording.h).
    Result run();

    // Progress of the erase (a sector's start offset) and of the programming
    // (bytes programmed so far). The free callbacks ShowEraseProgress and
    // ShowDownloadProgress forward here; public for them and for tests.
    void eraseProgress(uint32_t offset);
    void downloadProgress(uint32_t bytes);

    // The sequence running in this process, or null.
    static UpdateSequence *running();

    // The exit status tz4817-update gives for `result`: 0 done, 1 failed
    // after the flash was touched, 3 nothing was changed.
    static int exitStatusOf(Result result);

private:
    uint32_t percentOf(uint32_t bytes) const;
    Result runSteps();

    const UpdateLibrary &library_;
    RecordingReporter reporter_;
    const std::string imagePath_;
    const uint32_t imageLength_;
    const CheckedImage *const image_;
    // Length handed to the load: 0 means from the start offset to the end of the file.
    uint32_t downloadLength_ = 0;
    // Cleared by the first report of each kind; never set again.
    bool firstEraseProgress_ = true;
    bool firstDownloadProgress_ = true;
};

}  // namespace update_sequence

// The progress callbacks passed to QRVDL_LoadFlash: they forward the first
// value to the running sequence (the second is ignored). Called by the
// download library on the thread running the sequence.
void ShowEraseProgress(uint32_t offset, uint32_t unused);
void ShowDownloadProgress(uint32_t bytes, uint32_t unused);
