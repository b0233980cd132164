// SPDX-License-Identifier: MIT
// The update's own part of a recording of its USB traffic (QRV_RECORD=FILE;
// tz4817-update --record FILE sets it): the run's start and its end, which
// only the program knows. The USB driver writes the traffic between them
// (usb_recording/, usb_driver's recording tap); one writer at a time, since
// the start is written before the first library call and the end after the
// last QRV_USBTerm.
//
// Start (the file's section comment and its first note):
//   tz4817 update recording
//   program: tz4817-update 1.0.0.1 (process 4711)
//   bus: USB/IP server 127.0.0.1:3240 (QRV_USBIP)
//   image: tz4817.img, 18432 bytes; sum 0x0002fa00 of its 2048 bytes from 0x4000
//   download data: recorded
// End (the last note):
//   end of the update: failed after the flash was touched
//   exit status of tz4817-update: 1
//   message: Failed to load flash
//   ... (every message the update showed, with its details, in order)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace update_sequence {

class RunRecording {
public:
    // Reads QRV_RECORD; does nothing more when it is unset or empty.
    // Otherwise creates the file (replacing one there) with the start. A
    // file that cannot be made is said on standard error, and the update
    // goes on unrecorded.
    explicit RunRecording(const std::string &imagePath);
    RunRecording(const RunRecording &) = delete;
    RunRecording &operator=(const RunRecording &) = delete;

    // Appends the end: how the run ended, the exit status tz4817-update
    // gives for it, and the messages shown (`messages`, each ending in a
    // line feed).
    void end(const std::string &outcome, int exitStatus, const std::string &messages);

private:
    std::string path_;  // empty: not recording
};

// The end of a run as its note says it.
struct RecordedEnd {
    std::string outcome;
    int exitStatus = 0;
    std::string messages;
};
// Nothing when `note` is not the end of a run.
std::optional<RecordedEnd> parseRecordedEnd(std::string_view note);

}  // namespace update_sequence
