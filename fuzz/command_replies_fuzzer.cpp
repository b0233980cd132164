// SPDX-License-Identifier: MIT
// The transport's check of a reply and the flash library's reading of replies,
// over a bus whose IN transfers hand over the input's bytes. The transport
// and the device commands run exactly as shipped (the static libraries), the
// driver takes the bus below them; the link is opened once and kept, the
// sequence number starts at 1 for every input.
//
// Input: a script. Each step is a selector byte, the step's arguments, and
// then, one per IN transfer the step makes, a reply: a length byte and that
// many bytes (an IN transfer past the end of the input reads nothing). Every
// OUT transfer succeeds, so every difference in the results comes from the
// replies. After each step the frames sent and the replies read decide what
// the step may have returned.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "command_frame/command_frame.h"
#include "command_script.h"
#include "fuzz_support.h"
#include "pause.h"
#include "qrv_usb.h"
#include "qrvdl.h"
#include "qrvusb.h"
#include "sector_map.h"
#include "test_support/loopback_bus.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "usb_driver/driver.h"
#include "usb_driver/driver_status.h"

namespace {

using fuzz::Bytes;
using Buffer = std::vector<uint8_t>;

using namespace command_frame;

using namespace fuzz::command_script;

// The input as a script: arguments and replies, in the order they are used.
class Script {
public:
    void start(Bytes input) { rest_ = input; }
    bool done() const { return rest_.empty(); }
    uint8_t u8() {
        if (rest_.empty()) return 0;
        const uint8_t value = rest_[0];
        rest_ = rest_.subspan(1);
        return value;
    }
    // Big-endian. Each byte is taken in a statement of its own: the operands
    // of one expression may be evaluated in any order.
    uint32_t u16() {
        const uint32_t high = u8();
        return high << 8 | u8();
    }
    uint32_t u32() {
        const uint32_t high = u16();
        return high << 16 | u16();
    }
    Bytes reply() {
        const size_t wanted = u8();
        const size_t length = std::min(wanted, rest_.size());
        const Bytes reply = rest_.first(length);
        rest_ = rest_.subspan(length);
        return reply;
    }

private:
    Bytes rest_;
};

Script script;
std::vector<Buffer> framesSent;   // OUT transfers of the current step
std::vector<Buffer> repliesRead;  // IN transfers of the current step, as delivered

// The projector's bus with its IN pipe answered by the script. Enumeration,
// the interface and pipe 0 stay the emulated projector's.
class ScriptedRepliesBus : public test_support::LoopbackBusWrapper {
public:
    using LoopbackBusWrapper::LoopbackBusWrapper;

    uint32_t transfer(uint64_t key, const usb_driver::TransferRequest &request, uint32_t &transferred) override {
        if (request.pipe == projector_emulator::kBulkOutEndpoint) {
            framesSent.emplace_back(request.buffer, request.buffer + request.length);
            transferred = request.length;
            return usb_driver::kStatusOk;
        }
        if (request.pipe == projector_emulator::kBulkInEndpoint) {
            const Bytes reply = script.reply();
            transferred = static_cast<uint32_t>(std::min<size_t>(reply.size(), request.length));
            if (transferred != 0) std::memcpy(request.buffer, reply.data(), transferred);
            repliesRead.emplace_back(reply.begin(), reply.begin() + transferred);
            return usb_driver::kStatusOk;
        }
        return inner_.transfer(key, request, transferred);
    }
};

std::string imagePath;
Buffer image;

uint8_t nextSequence(uint8_t sequence) { return sequence == 255 ? 1 : static_cast<uint8_t>(sequence + 1); }

uint32_t le16(const Buffer &bytes, size_t at) { return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8); }
uint32_t le32(const Buffer &bytes, size_t at) { return le16(bytes, at) | le16(bytes, at + 2) << 16; }

// Whether reply `index` of the step answers its frame: long enough to reach
// `end` and echoing the frame's sequence number.
bool answered(size_t index, size_t end) {
    if (index >= repliesRead.size() || index >= framesSent.size()) return false;
    const Buffer &reply = repliesRead[index];
    return reply.size() >= end && reply.size() >= 2 && reply[1] == framesSent[index][1];
}

// Every frame of the step carries the transport's sequence numbers, one after
// another. The library's own frames are ones the projector can take: their
// length field, class and checksum (with the number added) agree.
void checkFrames(uint8_t firstSequence, bool libraryFrames) {
    uint8_t sequence = firstSequence;
    for (const Buffer &frame : framesSent) {
        FUZZ_CHECK(frame.size() >= 2 && frame[1] == sequence);
        sequence = nextSequence(sequence);
        if (!libraryFrames) continue;
        FUZZ_CHECK(frame.size() >= kFrameOverhead && frame.size() <= kMaxFrameLength);
        FUZZ_CHECK((frame[kKindOffset] == kWriteFrame || frame[kKindOffset] == kReadFrame) &&
                   frame[kClassOffset] == kCommandClass);
        FUZZ_CHECK(le16(frame, kBodyLengthOffset) == frame.size() - kMinFrameLength);
        FUZZ_CHECK(frame.back() == checksum(frame));
    }
    FUZZ_CHECK(framesSent.size() == repliesRead.size());
    FUZZ_CHECK(usb_transport::testing::sequenceNumber() == sequence);
}

std::vector<std::pair<uint32_t, uint32_t>> erased, programmed;
void recordErased(uint32_t value, uint32_t other) { erased.emplace_back(value, other); }
void recordProgrammed(uint32_t value, uint32_t other) { programmed.emplace_back(value, other); }

// Flash addresses of the erase commands: each address frame followed by an erase.
std::vector<uint32_t> erasedSectors() {
    std::vector<uint32_t> sectors;
    for (size_t i = 0; i + 1 < framesSent.size(); ++i) {
        const Buffer &frame = framesSent[i];
        if (frame[kOperationOffset] == kOpFlashAddress && framesSent[i + 1][kOperationOffset] == kOpFlashSectorErase)
            sectors.push_back(le16(frame, 7) | static_cast<uint32_t>(frame[9]) << 16);
    }
    return sectors;
}

// The sectors that begin inside [start, start + length).
std::vector<uint32_t> sectorsIn(uint32_t start, uint32_t length) {
    std::vector<uint32_t> sectors;
    for (size_t i = 0; i < flash_download::kFlashSectorCount; ++i) {
        const uint32_t sector = flash_download::FlashSectorMap[i];
        if (sector >= start && sector < static_cast<uint64_t>(start) + length) sectors.push_back(sector);
    }
    return sectors;
}

Buffer downloadedData() {
    Buffer data;
    for (const Buffer &frame : framesSent)
        if (frame[kKindOffset] == kWriteFrame && frame[kOperationOffset] == kOpFlashDataDownload)
            data.insert(data.end(), frame.begin() + 7, frame.end() - 1);
    return data;
}

uint32_t byteSum(const Buffer &bytes) {
    uint32_t sum = 0;
    for (uint8_t byte : bytes) sum += byte;
    return sum;
}

void exchange() {
    const uint32_t length = 6 + script.u8() % 252;
    uint32_t capacity = script.u16() % 600;
    const uint32_t asked = capacity;
    // The buffer holds the larger of the frame and the reply capacity, no more.
    std::unique_ptr<uint8_t[]> frame(new uint8_t[std::max(length, capacity)]);
    for (uint32_t i = 0; i < length; ++i) frame[i] = script.u8();
    const uint8_t sequence = usb_transport::testing::sequenceNumber();
    const int32_t result = QRV_WriteQrvUsbCmd(frame.get(), length, &capacity);
    FUZZ_CHECK(framesSent.size() == 1 && framesSent[0].size() == length && framesSent[0][1] == sequence);
    const Buffer &reply = repliesRead.at(0);
    FUZZ_CHECK(capacity == reply.size() && capacity <= asked);
    FUZZ_CHECK(std::equal(reply.begin(), reply.end(), frame.get()));
    FUZZ_CHECK(result == (reply.size() >= 2 && reply[1] == sequence ? 0 : 1));
    FUZZ_CHECK(usb_transport::testing::sequenceNumber() == nextSequence(sequence));
}

void readStatus() {
    uint8_t status = 0xEE;
    const int32_t result = QRVDL_CmdReadStatus(&status);
    FUZZ_CHECK(framesSent.size() == 1 && framesSent[0][kOperationOffset] == kOpStatusRead);
    if (result == 0) {
        FUZZ_CHECK(answered(0, 8) && status == repliesRead[0][7]);
    } else {
        FUZZ_CHECK(result == 1 && status == 0 && !answered(0, 8));
    }
}

void readFlashDeviceId() {
    uint16_t ids[2] = {0xEEEE, 0xEEEE};
    const int32_t result = QRVDL_CmdReadFlashDeviceId(ids);
    for (const Buffer &frame : framesSent) FUZZ_CHECK(frame[kOperationOffset] == kOpFlashInformationRead);
    if (result == 0) {
        FUZZ_CHECK(framesSent.size() == 2 && answered(0, 15) && answered(1, 15));
        FUZZ_CHECK(ids[1] == le16(repliesRead[0], 13) && ids[0] == le16(repliesRead[1], 13));
    } else {
        FUZZ_CHECK(result == 1 && ids[0] == 0 && ids[1] == 0);
        FUZZ_CHECK(!answered(0, 15) || !answered(1, 15));
    }
}

void readFlashChecksum() {
    uint32_t checksum = 0xEEEEEEEE;
    const int32_t result = QRVDL_CmdReadFlashChecksum(&checksum);
    FUZZ_CHECK(framesSent.size() == 1 && framesSent[0][kOperationOffset] == kOpFlashInformationRead);
    if (result == 0) {
        FUZZ_CHECK(answered(0, 17) && checksum == le32(repliesRead[0], 13));
    } else {
        FUZZ_CHECK(result == 1 && checksum == 0 && !answered(0, 17));
    }
}

void checkAddress() {
    const uint32_t startAsked = script.u32(), lengthAsked = script.u32();
    uint32_t start = startAsked, length = lengthAsked;
    FlashSectorList sectors{-1, nullptr};
    const int32_t result = QRVDL_CheckAddress(&start, &length, &sectors);
    if (result == 0) {
        // Only a projector that named the one known flash passes.
        FUZZ_CHECK(framesSent.size() == 2 && answered(0, 15) && answered(1, 15));
        FUZZ_CHECK(le16(repliesRead[0], 13) == flash_download::kFlashManufacturer);
        FUZZ_CHECK(le16(repliesRead[1], 13) == flash_download::kFlashDevice);
        const uint32_t offset = flash_download::flashOffset(startAsked);
        FUZZ_CHECK(start <= offset &&
                   static_cast<uint64_t>(start) + length == static_cast<uint64_t>(offset) + lengthAsked);
        FUZZ_CHECK(static_cast<uint64_t>(start) + length <= flash_download::kFlashSize);
        FUZZ_CHECK(sectorsIn(start, 1).size() == 1);
        FUZZ_CHECK(sectors.count == static_cast<int32_t>(flash_download::kFlashSectorCount) &&
                   sectors.starts != nullptr);
    } else {
        FUZZ_CHECK(result == 1 && start == startAsked && length == lengthAsked);
        FUZZ_CHECK(sectors.count == 0 && sectors.starts == nullptr);
    }
}

void deviceBusy() {
    const uint32_t attempts = 1 + script.u8() % 4;
    const int32_t result = QRVDL_DeviceBusy(attempts, 0);
    auto ready = [](size_t i) { return answered(i, 8) && (repliesRead[i][7] & command_frame::kStatusBusy) == 0; };
    for (size_t i = 0; i + 1 < framesSent.size(); ++i) FUZZ_CHECK(!ready(i));
    if (result == 0) {
        FUZZ_CHECK(!framesSent.empty() && ready(framesSent.size() - 1));
    } else {
        FUZZ_CHECK(result == 1 && framesSent.size() == attempts && !ready(attempts - 1));
    }
}

// No sector outside the range is erased, each at most once, in order, and
// every one is when the erase succeeds.
void checkErase(uint32_t start, uint32_t length, int32_t result) {
    const std::vector<uint32_t> inRange = sectorsIn(start, length);
    const std::vector<uint32_t> sectors = erasedSectors();
    FUZZ_CHECK(sectors.size() <= inRange.size() && std::equal(sectors.begin(), sectors.end(), inRange.begin()));
    FUZZ_CHECK(erased.size() <= sectors.size());
    for (size_t i = 0; i < erased.size(); ++i) FUZZ_CHECK(erased[i] == std::make_pair(sectors[i], 0u));
    if (result == 0) FUZZ_CHECK(erased.size() == inRange.size());
}

void eraseFlash() {
    const uint32_t start = script.u32() % flash_download::kFlashSize;
    const uint32_t length = script.u32() % 0x30000;
    const FlashSectorList sectors{static_cast<int32_t>(flash_download::kFlashSectorCount),
                                  flash_download::FlashSectorMap};
    const int32_t result = QRVDL_EraseFlash(start, length, &sectors, &recordErased);
    FUZZ_CHECK(result == 0 || result == 1);
    checkErase(start, length, result);
}

// The data sent is the image from the offset on, never more than asked
// for, and all of it when programming succeeds; progress only goes up.
void checkProgramming(uint32_t offset, uint32_t length, int32_t result, uint32_t checksum) {
    for (const Buffer &frame : framesSent) {
        if (frame[kOperationOffset] == kOpFlashAddress) FUZZ_CHECK((le16(frame, 7) | frame[9] << 16) == offset);
        if (frame[kOperationOffset] == kOpFlashSize)
            FUZZ_CHECK((le16(frame, 7) | frame[9] << 16) == (length & 0xFFFFFF));
    }
    const Buffer data = downloadedData();
    FUZZ_CHECK(data.size() <= length);
    FUZZ_CHECK(offset + data.size() <= image.size());
    FUZZ_CHECK(std::equal(data.begin(), data.end(), image.begin() + offset));
    uint32_t done = 0;
    for (const auto &[sent, remaining] : programmed) {
        FUZZ_CHECK(sent >= done && sent <= data.size() && sent + remaining == length);
        done = sent;
    }
    if (result == 0) FUZZ_CHECK(data.size() == length && checksum == byteSum(data));
}

void programFlash() {
    const uint32_t start = script.u16() % kImageSize;
    const uint32_t length = script.u16() % 700;
    uint32_t checksum = 0;
    const int32_t result = QRVDL_ProgramFlash(imagePath.c_str(), start, length, nullptr, &checksum, &recordProgrammed);
    FUZZ_CHECK(result == 0 || result == 1);
    checkProgramming(start, length, result, checksum);
}

void calculateChecksum() {
    uint32_t checksum = 0xEEEEEEEE;
    const int32_t result = QRVDL_CalculateFlashChecksum(0, 0, &checksum);
    if (result == 0) {
        FUZZ_CHECK(framesSent.size() == 2 && answered(1, 17) && checksum == le32(repliesRead[1], 13));
    } else {
        FUZZ_CHECK(result == 1 && checksum == 0);
    }
}

void calibrationUnlock() {
    const int32_t result = QRVDL_CmdWriteCalibrationUnlock();
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(!framesSent.empty() && framesSent.size() <= 2);
}

// The whole download of a range at the start of the application area.
void loadFlash() {
    const uint32_t start = kLoadBase + script.u16() % 0x300;
    const uint32_t length = script.u16() % 700;
    const int32_t result = QRVDL_LoadFlash(imagePath.c_str(), start, length, &recordErased, &recordProgrammed);
    FUZZ_CHECK(result >= 0 && result <= 3);
    if (result == 3) {
        FUZZ_CHECK(downloadedData().empty() && erasedSectors().empty());
        return;
    }
    // The range as the address check left it: its start moved down to the
    // start of its sector, its end where it was.
    const uint32_t offset = flash_download::flashOffset(start);
    const uint32_t end = offset + (length ? length : kImageSize - offset);
    const uint32_t sector = sectorsIn(0, offset + 1).back();
    checkErase(sector, end - sector, result);
    const Buffer data = downloadedData();
    FUZZ_CHECK(data.size() <= end - sector && sector + data.size() <= image.size());
    FUZZ_CHECK(std::equal(data.begin(), data.end(), image.begin() + sector));
    if (result == 0) FUZZ_CHECK(data.size() == end - sector);
}

using StepFunction = void (*)();
constexpr StepFunction kSteps[kStepCount] = {
    exchange,   readStatus,   readFlashDeviceId, readFlashChecksum, checkAddress, deviceBusy,
    eraseFlash, programFlash, calculateChecksum, calibrationUnlock, loadFlash,
};

std::unique_ptr<projector_emulator::NorFlash> flash;
std::unique_ptr<projector_emulator::Tz4817Device> device;
std::shared_ptr<ScriptedRepliesBus> bus;
std::filesystem::path imageFolder;

void closeLink() {
    QRV_USBTerm();
    std::error_code ignored;
    std::filesystem::remove_all(imageFolder, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string folder = (std::filesystem::temp_directory_path() / "command-replies-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(folder.data()) != nullptr);
    imageFolder = folder;
    imagePath = (imageFolder / "tz4817.img").string();
    image.resize(kImageSize);
    for (uint32_t i = 0; i < kImageSize; ++i) image[i] = imageByte(i);
    std::ofstream(imagePath, std::ios::binary).write(reinterpret_cast<const char *>(image.data()), image.size());

    // The library's pauses (500 ms after a busy answer) would only slow the run.
    flash_download::testing::setPauseFunction([](uint32_t) {});
    flash = projector_emulator::NorFlash::inMemory();
    projector_emulator::DeviceOptions options;
    options.initialMode = projector_emulator::Mode::Programming;
    device = std::make_unique<projector_emulator::Tz4817Device>(*flash, options);
    bus = std::make_shared<ScriptedRepliesBus>(*device);
    usb_driver::testing::setBusFactory([] { return bus; });
    FUZZ_CHECK(QRV_USBInit() == 0);
    // Registered after everything the link uses was made, so that it runs
    // before any of it is destroyed: the link's threads stop first.
    std::atexit(closeLink);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    script.start(Bytes(data, size));
    usb_transport::testing::setSequenceNumber(1);
    while (!script.done()) {
        const uint8_t selected = script.u8() % kStepCount;
        framesSent.clear();
        repliesRead.clear();
        erased.clear();
        programmed.clear();
        const uint8_t sequence = usb_transport::testing::sequenceNumber();
        kSteps[selected]();
        // An exchange sends a frame of the input's own making.
        checkFrames(sequence, selected != kExchange);
    }
    return 0;
}
