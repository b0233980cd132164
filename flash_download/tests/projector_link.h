// SPDX-License-Identifier: MIT
// Test harness: an emulated projector on a loopback bus behind the real
// transport, so that the library's frames travel the whole stack. The test
// sees every frame the device received, can inject the device's faults, can
// rewrite replies on their way in (for answers the device never gives, such
// as a foreign flash identity), and replaces the library's pauses by a record.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "command_frame/command_frame.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "usb_driver/bus.h"

namespace flash_test {

using Bytes = std::vector<uint8_t>;

// Operation bytes (byte 6 of a frame), as the tests look for them.
inline constexpr uint8_t kInformation = command_frame::kOpFlashInformationRead, kStatus = command_frame::kOpStatusRead,
                         kMode = command_frame::kOpProgrammingMode, kAddress = command_frame::kOpFlashAddress,
                         kErase = command_frame::kOpFlashSectorErase, kSize = command_frame::kOpFlashSize,
                         kDownload = command_frame::kOpFlashDataDownload,
                         kCalculate = command_frame::kOpFlashChecksumCalculation;

// Changes reply bytes that arrive on the IN pipe, in place.
using ReplyRewriter = std::function<void(std::span<uint8_t> reply)>;

// A frame as a command builder leaves it, with the sequence number `sequence`
// stamped into byte 1 and added to the checksum: what must be on the wire.
Bytes stamped(Bytes frame, uint8_t sequence);

// Standard output of `body`, every byte of it (the library flushes each line).
std::string captureStdout(const std::function<void()> &body);

// A file in a fresh temporary directory, removed with the fixture.
class TempFile {
public:
    explicit TempFile(const Bytes &contents, const std::string &name = "tz4817.img");
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::string &path() const { return path_; }

private:
    std::filesystem::path directory_;
    std::string path_;
};

// `size` bytes that differ from the factory flash and from 0xFF nearly
// everywhere; byte i depends on i, so misplaced data shows.
Bytes imagePattern(size_t size, uint32_t seed = 0x5A17);

// 32-bit wrap-around sum of the bytes.
uint32_t byteSum(std::span<const uint8_t> bytes);

class ProjectorLink : public ::testing::Test {
protected:
    // A projector in programming mode (reboot 5 ms, erase 0 ms) with the link
    // open, the pause record empty.
    void SetUp() override;
    // Closes the link and restores the driver's bus and the real pause.
    void TearDown() override;

public:
    // Replaces the projector (closing and re-opening the link).
    void restart(projector_emulator::DeviceOptions options);

    // Frames the device received since the last forgetFrames().
    std::vector<projector_emulator::FrameRecord> frames() const;
    std::vector<Bytes> frameBytes() const;
    void forgetFrames();
    // Operation bytes (frame byte 6) of frames(), in order.
    Bytes operations() const;
    // Data bytes of the download frames (operation 0x25) of frames(), joined.
    Bytes downloadedData() const;

    // Number of the next frame the device will receive, for fault ranges.
    uint64_t nextFrame() const { return device_->framesReceived() + 1; }
    void fault(projector_emulator::Fault::Kind kind, uint64_t first, uint64_t last, uint32_t value = 0,
               uint32_t offset = 0);

    void setRewriter(ReplyRewriter rewriter);
    // The read transfer that follows the next frame with this operation byte
    // fails on the host's side (the device's reply is lost), as a broken
    // cable would make it.
    void failReadAfter(uint8_t operation);

    struct BusHooks;  // what the buses given to the driver are asked to do
    // True while the driver still holds the bus the link was opened on: the
    // link has not been closed since.
    bool busAlive() const { return !bus_.expired(); }
    // Makes every later bus the driver asks for unavailable (null).
    void refuseNewBuses();
    void allowNewBuses();

    std::unique_ptr<projector_emulator::NorFlash> flash_;
    std::unique_ptr<projector_emulator::Tz4817Device> device_;
    std::vector<uint32_t> pauses_;  // every pause the library asked for, in ms

private:
    void installDevice(projector_emulator::DeviceOptions options);

    // Devices replaced by restart(): a bus may still refer to them until the
    // link is closed for good.
    std::vector<std::unique_ptr<projector_emulator::Tz4817Device>> retired_;
    mutable std::mutex mutex_;
    std::vector<projector_emulator::FrameRecord> frames_;
    std::shared_ptr<BusHooks> hooks_;
    std::weak_ptr<usb_driver::Bus> bus_;
    bool refuseBuses_ = false;
};

// What the progress callbacks were called with, in order (a plain function
// pointer carries no context, so these are process-wide; cleared by SetUp).
using Calls = std::vector<std::pair<uint32_t, uint32_t>>;
extern Calls erasedCalls;
extern Calls programmedCalls;
void recordErased(uint32_t value, uint32_t other);
void recordProgrammed(uint32_t value, uint32_t other);

// Default options of the harness's projector.
projector_emulator::DeviceOptions fastProjector(projector_emulator::Mode mode = projector_emulator::Mode::Programming);

}  // namespace flash_test
