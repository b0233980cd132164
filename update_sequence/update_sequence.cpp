// SPDX-License-Identifier: MIT
// The update of one projector, in the order both front ends run it, and what
// it reports: see update_sequence.h.
#include "update_sequence/update_sequence.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "qrvusb.h"
#include "update_sequence/run_recording.h"
#include "switch_pause.h"

namespace update_sequence {

namespace {

std::atomic<UpdateSequence *> runningSequence{nullptr};
std::atomic<uint32_t> switchPauseSetting{kSwitchPauseMs};

// What the sequence can say of a link that did not open. The transport has
// said more on standard error when it knew more (a USB/IP server that
// refused the connection or broke the protocol, a device it could not open).
std::string initFailure(int32_t status) {
    char text[128];
    if (static_cast<uint32_t>(status) == WDU_ERR_TIMEOUT)
        std::snprintf(text, sizeof text, "No projector was found before the wait ended (status 0x%08x).\n",
                      static_cast<uint32_t>(status));
    else if (static_cast<uint32_t>(status) == QRV_ERR_BUSY)
        std::snprintf(text, sizeof text,
                      "Another program is updating the projector; nothing was sent to it (status 0x%08x).\n",
                      static_cast<uint32_t>(status));
    else
        std::snprintf(text, sizeof text, "The USB link could not be opened (status 0x%08x).\n",
                      static_cast<uint32_t>(status));
    return text;
}

std::string outcomeOf(UpdateSequence::Result result) {
    switch (result) {
    case UpdateSequence::Result::Done: return "the projector was updated";
    case UpdateSequence::Result::Failed: return "failed after the flash was touched";
    case UpdateSequence::Result::FailedUntouched: return "failed, nothing was changed";
    }
    return {};
}

// The path buffer handed to the download library, as the library expects
// it: a zero-filled buffer of 260 characters. At most 259 are copied, so the
// path always ends in a zero; the image check refuses a longer path.
constexpr size_t kPathBufferSize = kMaxImagePathLength + 1;

}  // namespace

UpdateSequence::UpdateSequence(const UpdateLibrary &library, UpdateReporter &reporter, std::string imagePath,
                               uint32_t imageLength, const CheckedImage *image)
    : library_(library),
      reporter_(reporter),
      imagePath_(std::move(imagePath)),
      imageLength_(imageLength),
      image_(image) {}

UpdateSequence::~UpdateSequence() {
    UpdateSequence *self = this;
    runningSequence.compare_exchange_strong(self, nullptr);
}

UpdateSequence *UpdateSequence::running() { return runningSequence.load(); }

uint32_t switchPauseMs() { return switchPauseSetting.load(); }

void testing::setSwitchPause(std::chrono::milliseconds pause) {
    switchPauseSetting.store(pause.count() > 0 ? static_cast<uint32_t>(std::min<int64_t>(pause.count(), kSwitchPauseMs))
                                               : kSwitchPauseMs);
}

UpdateSequence::Result UpdateSequence::run() {
    UpdateSequence *none = nullptr;
    if (!runningSequence.compare_exchange_strong(none, this)) return Result::FailedUntouched;
    // Begun before the first library call, ended after the last QRV_USBTerm:
    // the driver writes to the file only in between.
    RunRecording recording(imagePath_);
    const Result result = runSteps();
    recording.end(outcomeOf(result), exitStatusOf(result), reporter_.messages());
    runningSequence.store(nullptr);
    return result;
}

int UpdateSequence::exitStatusOf(Result result) {
    switch (result) {
    case Result::Done: return 0;
    case Result::Failed: return 1;
    case Result::FailedUntouched: return 3;
    }
    return 1;
}

UpdateSequence::Result UpdateSequence::runSteps() {
    downloadLength_ = 0;

    // An image that cannot be written never gets the projector switched.
    if (image_ != nullptr && !image_->good()) {
        reporter_.message(kLoadFailedMessage, image_->problem() + "\n");
        reporter_.failed();
        return Result::FailedUntouched;
    }
    // The download reads a private copy of the image as it was checked, made
    // before the projector is touched: a file written over in place during
    // the download cannot reach the flash half old, half new. Removed when
    // the run ends.
    std::unique_ptr<ImageSnapshot> snapshot;
    if (image_ != nullptr) {
        std::string why;
        snapshot = image_->snapshot(why);
        if (!snapshot) {
            reporter_.message(kLoadFailedMessage, why + "\n");
            reporter_.failed();
            return Result::FailedUntouched;
        }
    }
    const std::string &loadPath = snapshot ? snapshot->path() : imagePath_;
    char path[kPathBufferSize] = {};
    std::memcpy(path, loadPath.data(), std::min(loadPath.size(), kPathBufferSize - 1));

    if (const int32_t status = library_.usbInit(); status != 0) {
        reporter_.message(kInitFailedMessage, initFailure(status));
        library_.usbTerm();
        reporter_.failed();
        return Result::FailedUntouched;
    }

    // A failed switch closes the link; the load still runs when the link
    // closed cleanly, and its own failure then ends the update. A link that
    // would not close leaves nothing sensible to do.
    if (library_.switchAppToBoot(switchPauseMs()) != 0 && library_.usbTerm() != 0) {
        reporter_.failed();
        return Result::FailedUntouched;
    }

    // The image announced is the one downloaded: one that has changed since
    // it was checked is refused rather than written as it was (which the
    // snapshot would still allow), so nobody takes the new image for written.
    std::string changed;
    Result failure = Result::FailedUntouched;
    bool loaded = false;
    if (image_ != nullptr && !image_->unchanged(changed)) {
        reporter_.message(kLoadFailedMessage, changed + "\n");
    } else {
        const int32_t status =
            library_.loadFlash(path, kLoadStartAddress, downloadLength_, ShowEraseProgress, ShowDownloadProgress);
        loaded = status == 0;
        // 2 (the file could not be examined) and 3 (flash identity or range
        // refused) come before the first erase command; anything else may
        // come after it.
        if (status != 2 && status != 3) failure = Result::Failed;
        if (!loaded) reporter_.message(kLoadFailedMessage, {});
    }

    // Back to the application firmware and close the link, whatever the
    // load did. A projector that does not confirm it after a good load keeps
    // the success, with a warning.
    const bool left = library_.writeProgrammingMode(2) == 0;
    library_.usbTerm();

    if (!loaded) {
        reporter_.failed();
        return failure;
    }
    reporter_.completed(imageLength_, left ? std::string() : std::string(kPowerCycleWarning));
    return Result::Done;
}

uint32_t UpdateSequence::percentOf(uint32_t bytes) const {
    // An image that could not be measured gives no percentage: the load of
    // such a file fails before reporting, but a file replaced after the
    // dialog measured it must not divide by zero or run past 100.
    if (imageLength_ == 0) return 0;
    const uint64_t percent = uint64_t{bytes} * 100 / imageLength_;
    return static_cast<uint32_t>(std::min<uint64_t>(percent, 100));
}

void UpdateSequence::eraseProgress(uint32_t offset) {
    if (firstEraseProgress_) {
        reporter_.stageDone(Stage::Connecting);
        reporter_.stageBegan(Stage::Cleaning);
        firstEraseProgress_ = false;
    }
    reporter_.progress(offset, percentOf(offset));
}

void UpdateSequence::downloadProgress(uint32_t bytes) {
    if (firstDownloadProgress_) {
        reporter_.stageDone(Stage::Connecting);
        reporter_.stageBegan(Stage::Downloading);
        reporter_.stageDone(Stage::Cleaning);
        firstDownloadProgress_ = false;
    }
    reporter_.progress(bytes, percentOf(bytes));
}

}  // namespace update_sequence

void ShowEraseProgress(uint32_t offset, uint32_t /*unused*/) {
    if (update_sequence::UpdateSequence *sequence = update_sequence::UpdateSequence::running())
        sequence->eraseProgress(offset);
}

void ShowDownloadProgress(uint32_t bytes, uint32_t /*unused*/) {
    if (update_sequence::UpdateSequence *sequence = update_sequence::UpdateSequence::running())
        sequence->downloadProgress(bytes);
}
