// SPDX-License-Identifier: MIT
// Carries the reports of an UpdateSequence running on a worker thread to the
// GUI thread, in the order they were made. The worker's calls queue a report
// and call the wake function when no wake is outstanding; the GUI thread
// takes the reports out with take(). A message waits on the worker until the
// GUI thread acknowledges it, or until the queue is closed.
//
// Used by UpdateDialogController only.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "update_sequence/update_sequence.h"

namespace wizard {

struct UpdateReport {
    enum class Kind {
        StageBegan,  // stage
        StageDone,   // stage
        Progress,    // bytes, percent
        Message,     // text, details; number: what acknowledge() takes
        Completed,   // bytes: the image length; details: the warning, or empty
        Failed,
        WorkerEnded,  // the worker's last report: it may be joined
    };
    Kind kind;
    update_sequence::Stage stage = update_sequence::Stage::Connecting;
    uint32_t bytes = 0;
    uint32_t percent = 0;
    std::string text;
    std::string details;
    uint64_t number = 0;
};

class UpdateReportQueue : public update_sequence::UpdateReporter {
public:
    // `wake` runs on the reporting thread, with the queue's lock held: it
    // must not block and must not call into the queue.
    explicit UpdateReportQueue(std::function<void()> wake);

    // From now on reports are dropped and wake is not called; a message
    // waiting for its acknowledgement returns. Any thread.
    void close();

    // The oldest waiting report, or nothing (and the next report wakes
    // again). GUI thread.
    std::optional<UpdateReport> take();
    // Lets the worker waiting on message `number` go on. GUI thread.
    void acknowledge(uint64_t number);

    // The worker has returned from the sequence. Worker thread.
    void workerEnded();

    // UpdateReporter, on the worker thread. message() blocks until the
    // message is acknowledged or the queue closed.
    void stageBegan(update_sequence::Stage stage) override;
    void stageDone(update_sequence::Stage stage) override;
    void progress(uint32_t bytes, uint32_t percent) override;
    void message(const std::string &text, const std::string &details) override;
    void completed(uint32_t imageLength, const std::string &warning) override;
    void failed() override;

private:
    // Queues `report` unless closed; returns its message number.
    uint64_t push(UpdateReport report);

    std::function<void()> wake_;
    std::mutex mutex_;
    std::condition_variable acknowledged_;
    std::deque<UpdateReport> reports_;
    bool closed_ = false;
    bool wakePending_ = false;
    uint64_t messagesQueued_ = 0;
    uint64_t messagesAcknowledged_ = 0;
};

}  // namespace wizard
