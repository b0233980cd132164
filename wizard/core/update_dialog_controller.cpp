// SPDX-License-Identifier: MIT
#include "update_dialog_controller.h"

#include <algorithm>
#include <filesystem>
#include <limits>

#include "message_box.h"
#include "process_exit.h"
#include "program_strings.h"
#include "resource_ids.h"
#include "update_report_queue.h"

namespace wizard {

namespace {

constexpr int kStages = 3;

int stageLabel(update_sequence::Stage stage) { return kIdStage1Label + static_cast<int>(stage) - 1; }
int stageCheck(update_sequence::Stage stage) { return kIdStage1Check + static_cast<int>(stage) - 1; }

bool validStage(update_sequence::Stage stage) {
    return static_cast<int>(stage) >= 1 && static_cast<int>(stage) <= kStages;
}

// The image's length in bytes, 0 when it can't be had.
uint32_t fileLength(const std::string &path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(update_sequence::pathFromUtf8(path), error);
    if (error) return 0;
    return static_cast<uint32_t>(std::min<std::uintmax_t>(size, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

UpdateDialogController::UpdateDialogController(UpdateDialogView &view, const update_sequence::UpdateLibrary &library,
                                               std::string &imageFileName, std::function<void()> wake)
    : view_(view),
      library_(library),
      imageFileName_(imageFileName),
      imagePath_(update_sequence::kImageName),
      loadString_(programString),
      queue_(std::make_unique<UpdateReportQueue>(std::move(wake))) {}

UpdateDialogController::~UpdateDialogController() {
    queue_->close();
    if (worker_.joinable()) worker_.join();
    endCapture();
}

void UpdateDialogController::setImagePath(std::string path) { imagePath_ = std::move(path); }

void UpdateDialogController::setStringLoader(std::function<std::string(int)> loader) {
    loadString_ = std::move(loader);
}

void UpdateDialogController::open() {
    if (opened_) return;
    opened_ = true;
    // The three values the program shows start empty.
    view_.setText(kIdImageLength, {});
    view_.setText(kIdBytes, {});
    view_.setText(kIdPercent, {});

    const std::string about = loadString_(kAboutMenuString);
    if (!about.empty()) view_.appendSystemMenuItem(kIdmAboutBox, about);
    view_.setProgramIcon();

    imageFileName_ = imagePath_;
    imageLength_ = fileLength(imageFileName_);
    view_.setText(kIdImageLength, std::to_string(imageLength_));

    for (int stage = 1; stage <= kStages; ++stage) view_.setEnabled(stageLabel(update_sequence::Stage(stage)), false);
    for (int stage = 1; stage <= kStages; ++stage) view_.setEnabled(stageCheck(update_sequence::Stage(stage)), false);
}

void UpdateDialogController::pressButton() {
    switch (state_) {
    case State::Ready: break;
    case State::Running: return;
    case State::Done:
    case State::Failed:
        if (worker_.joinable()) worker_.join();  // it has made its last report already
        endCapture();                            // what is still written at exit reaches the real output
        endProcess(0);
        return;
    }
    state_ = State::Running;
    view_.setEnabled(kIdUpdateButton, false);
    setStageEnabled(update_sequence::Stage::Connecting, true);
    view_.setText(kIdStatusLine, kStatusRunning);
    view_.setBarPosition(0);
    view_.setBarRange(0, 100);

    // The image is checked now, before anything reaches the projector; the
    // sequence refuses a bad one at once, and one that has changed by the
    // time of the download.
    image_ = std::make_unique<update_sequence::CheckedImage>(imageFileName_);
    if (image_->good()) {
        imageLength_ = static_cast<uint32_t>(image_->size());
        view_.setText(kIdImageLength, std::to_string(imageLength_));
    }
    outputLines_ = std::make_unique<update_sequence::LibraryOutputCapture>(nullptr, 1);
    errorLines_ = std::make_unique<update_sequence::LibraryOutputCapture>(nullptr, 2);

    sequence_ = std::make_unique<update_sequence::UpdateSequence>(library_, *queue_, imageFileName_, imageLength_,
                                                                  image_.get());
    worker_ = std::thread([this] {
        sequence_->run();
        queue_->workerEnded();
    });
}

bool UpdateDialogController::systemCommand(unsigned command) {
    if ((command & 0xFFF0) != kIdmAboutBox) return false;
    view_.showAboutBox();
    return true;
}

void UpdateDialogController::deliverReports() {
    if (delivering_) return;
    delivering_ = true;
    while (std::optional<UpdateReport> report = queue_->take()) {
        switch (report->kind) {
        case UpdateReport::Kind::StageBegan: setStageEnabled(report->stage, true); break;
        case UpdateReport::Kind::StageDone:
            if (validStage(report->stage)) view_.check(stageCheck(report->stage));
            break;
        case UpdateReport::Kind::Progress: showProgress(report->bytes, report->percent); break;
        case UpdateReport::Kind::Message:
            showMessage(report->text, report->details);
            queue_->acknowledge(report->number);
            break;
        case UpdateReport::Kind::Completed: showCompleted(report->bytes, report->details); break;
        case UpdateReport::Kind::Failed: showFailed(); break;
        case UpdateReport::Kind::WorkerEnded: workerEnded(); break;
        }
    }
    delivering_ = false;
}

void UpdateDialogController::setStageEnabled(update_sequence::Stage stage, bool enabled) {
    if (!validStage(stage)) return;
    view_.setEnabled(stageLabel(stage), enabled);
    view_.setEnabled(stageCheck(stage), enabled);
}

void UpdateDialogController::showProgress(uint32_t bytes, uint32_t percent) {
    view_.setText(kIdBytes, std::to_string(bytes));
    view_.setText(kIdPercent, std::to_string(percent) + "%");
    view_.setBarPosition(static_cast<int>(percent));
}

void UpdateDialogController::showCompleted(uint32_t imageLength, const std::string &warning) {
    showProgress(imageLength, 100);
    view_.setText(kIdStatusLine, kStatusDone);
    view_.check(stageCheck(update_sequence::Stage::Downloading));
    view_.setText(kIdUpdateButton, kFinishText);
    view_.setEnabled(kIdUpdateButton, true);
    state_ = State::Done;
    if (!warning.empty()) showMessage(kPowerCycleMessage, warning);
}

void UpdateDialogController::showFailed() {
    view_.setText(kIdStatusLine, kStatusFailed);
    view_.setText(kIdUpdateButton, kFinishText);
    view_.setEnabled(kIdUpdateButton, true);
    state_ = State::Failed;
}

void UpdateDialogController::showMessage(const std::string &text, const std::string &reason) {
    const auto captured = [](const std::unique_ptr<update_sequence::LibraryOutputCapture> &capture) {
        return capture ? capture->capturedText() : std::string();
    };
    view_.showMessage(text, messageDetails(captured(outputLines_), captured(errorLines_), reason));
}

void UpdateDialogController::workerEnded() {
    if (worker_.joinable()) worker_.join();
    // A sequence that could not run (another one runs in this process)
    // reports no end of its own.
    if (state_ == State::Running) showFailed();
    endCapture();
}

void UpdateDialogController::endCapture() {
    // The libraries' output is the program's own again.
    errorLines_.reset();
    outputLines_.reset();
}

}  // namespace wizard
