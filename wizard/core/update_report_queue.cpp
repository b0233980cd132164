// SPDX-License-Identifier: MIT
#include "update_report_queue.h"

namespace wizard {

UpdateReportQueue::UpdateReportQueue(std::function<void()> wake) : wake_(std::move(wake)) {}

void UpdateReportQueue::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    reports_.clear();
    acknowledged_.notify_all();
}

std::optional<UpdateReport> UpdateReportQueue::take() {
    std::lock_guard lock(mutex_);
    if (reports_.empty()) {
        wakePending_ = false;
        return std::nullopt;
    }
    UpdateReport report = std::move(reports_.front());
    reports_.pop_front();
    return report;
}

void UpdateReportQueue::acknowledge(uint64_t number) {
    std::lock_guard lock(mutex_);
    if (number > messagesAcknowledged_) messagesAcknowledged_ = number;
    acknowledged_.notify_all();
}

uint64_t UpdateReportQueue::push(UpdateReport report) {
    // Called with mutex_ held.
    if (closed_) return 0;
    if (report.kind == UpdateReport::Kind::Message) report.number = ++messagesQueued_;
    const uint64_t number = report.number;
    reports_.push_back(std::move(report));
    if (!wakePending_) {
        wakePending_ = true;
        wake_();
    }
    return number;
}

void UpdateReportQueue::workerEnded() {
    std::lock_guard lock(mutex_);
    push({UpdateReport::Kind::WorkerEnded});
}

void UpdateReportQueue::stageBegan(update_sequence::Stage stage) {
    std::lock_guard lock(mutex_);
    push({UpdateReport::Kind::StageBegan, stage});
}

void UpdateReportQueue::stageDone(update_sequence::Stage stage) {
    std::lock_guard lock(mutex_);
    push({UpdateReport::Kind::StageDone, stage});
}

void UpdateReportQueue::progress(uint32_t bytes, uint32_t percent) {
    std::lock_guard lock(mutex_);
    push({UpdateReport::Kind::Progress, update_sequence::Stage::Connecting, bytes, percent});
}

void UpdateReportQueue::message(const std::string &text, const std::string &details) {
    std::unique_lock lock(mutex_);
    const uint64_t number =
        push({UpdateReport::Kind::Message, update_sequence::Stage::Connecting, 0, 0, text, details});
    acknowledged_.wait(lock, [&] { return closed_ || messagesAcknowledged_ >= number; });
}

void UpdateReportQueue::completed(uint32_t imageLength, const std::string &warning) {
    std::lock_guard lock(mutex_);
    push({UpdateReport::Kind::Completed, update_sequence::Stage::Connecting, imageLength, 100, {}, warning});
}

void UpdateReportQueue::failed() {
    std::lock_guard lock(mutex_);
    push({UpdateReport::Kind::Failed});
}

}  // namespace wizard
