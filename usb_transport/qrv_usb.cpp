// SPDX-License-Identifier: MIT
// The exported transport: opens the USB link through the device manager,
// takes one projector, and exchanges command frames with it on bulk pipes
// 0x01 (frame out) and 0x81 (reply in), each frame stamped with a sequence
// number that the reply must echo.
#include "qrvusb.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "command_frame/command_frame.h"
#include "device_manager.h"
#include "exchange_notes.h"
#include "os_helpers.h"
#include "qrv_usb.h"
#include "trace.h"

namespace usb_transport {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kPipeOut = 0x01;
constexpr uint32_t kPipeIn = 0x81;
constexpr uint32_t kDirectionWrite = 0;
constexpr uint32_t kDirectionRead = 1;
constexpr uint32_t kTransferTimeoutMs = 2000;
constexpr auto kResetPause = 10ms;
// QRV_WriteQrvUsb gives the device time before each transfer.
constexpr auto kRequestWritePause = 10ms;
constexpr auto kRequestReadPause = 30ms;

using command_frame::kMaxFrameLength;
using command_frame::kMinFrameLength;

// Request record of QRV_WriteQrvUsb: its payload goes into a frame of
// payload + 9 bytes (write) or payload + 11 bytes (read), at most 257.
constexpr uint8_t kMaxWritePayload = 248;
constexpr uint8_t kMaxReadPayload = 246;
// Holds any request frame and any reply (at most 255 data bytes + 8).
constexpr size_t kWorkBufferSize = command_frame::kFrameBufferSize;

// Opening the link reads away the replies that no command of this process
// asked for. A reply already in the projector's IN endpoint comes at the
// pipe's next poll (a millisecond on USB, a round trip over USB/IP); the
// time-out bounds the read that finds nothing, which every open pays once.
constexpr uint32_t kStaleReplyTimeoutMs = 50;
// More than the projector's endpoint can hold: a device that never stops
// sending is read no further, and its replies fail the echo check.
constexpr int kMaxStaleReplies = 16;

// The projector in application firmware and in programming mode.
const MatchEntry kMatchTable[] = {
    {0xE7A2, 0x051E, {}},
    {0xE7B9, 0x2000, {}},
};

// How long QRV_USBInit waits for a projector to be taken. Tests that expect
// no projector shorten it (testing::setAttachWait); nothing else changes it.
constexpr std::chrono::seconds kAttachWait{30};
std::atomic<std::chrono::seconds::rep> gAttachWaitSeconds{kAttachWait.count()};

// Shared between the caller's thread and the event thread, which runs the
// attach and detach callbacks: every field is atomic.
struct AttachContext {
    std::atomic<uint32_t> interfaceNumber;   // wanted: 0
    std::atomic<uint32_t> alternateSetting;  // wanted: 0
    std::atomic<DeviceCtx *> device;         // the device taken, null when none
    std::atomic<OsEventHandle> attachEvent;  // signalled by the attach callback
    // Of WDU_SetInterface in the callback, or of a failed bus: non-zero ends
    // QRV_USBInit's wait with that status.
    std::atomic<uint32_t> interfaceStatus;
};

AttachContext gAttach;
// Null at load; kInvalidDriverHandle when none is open. Caller's thread only.
DriverCtx *gDriver = nullptr;
// 1..255, never 0; runs on across QRV_USBInit and QRV_USBTerm. Caller's thread only.
uint8_t gSequence = 1;

uint8_t nextSequence(uint8_t sequence) { return sequence == 255 ? 1 : static_cast<uint8_t>(sequence + 1); }

// bInterfaceNumber of the device's first active interface; -1 when the
// information block does not lead to one.
int firstInterfaceNumber(const DeviceInfo *info) {
    if (info == nullptr || info->pActiveInterface[0] == nullptr) return -1;
    const usb_driver::AlternateSetting *setting = info->pActiveInterface[0]->pActiveAltSetting;
    if (setting == nullptr) return -1;
    return setting->Descriptor.bInterfaceNumber;
}

uint32_t deviceAttached(DeviceCtx *device, DeviceInfo *info, void *userData) {
    auto *context = static_cast<AttachContext *>(userData);
    const uint32_t interfaceNumber = context->interfaceNumber.load();
    if (firstInterfaceNumber(info) != static_cast<int>(interfaceNumber)) return 0;
    if (context->device.load() != nullptr) return 0;  // one device at a time
    context->device.store(device);
    const uint32_t status = WDU_SetInterface(device, interfaceNumber, context->alternateSetting.load());
    context->interfaceStatus.store(status);
    if (status != WDU_OK) {
        context->device.store(nullptr);
        (void)OsEventSignal(context->attachEvent.load());  // fails only for a null event
        return 0;
    }
    (void)OsEventSignal(context->attachEvent.load());  // fails only for a null event
    return 1;
}

void deviceDetached(DeviceCtx *device, void *userData) {
    auto *context = static_cast<AttachContext *>(userData);
    // Only the device taken is handed to this context's callbacks, but a
    // stale handle must never clear a newer one.
    DeviceCtx *expected = device;
    context->device.compare_exchange_strong(expected, nullptr);
}

// No projector will come: the driver's bus has failed (a USB/IP server broke
// the protocol), or the projector is another process's, which is updating
// it. A QRV_USBInit still waiting ends now with the status. A device
// already taken goes on until its transfers fail.
void noDeviceWillCome(uint32_t status, void *userData) {
    auto *context = static_cast<AttachContext *>(userData);
    if (context->device.load() != nullptr) return;
    context->interfaceStatus.store(status);
    (void)OsEventSignal(context->attachEvent.load());  // fails only for a null event
}

void closeLink() {
    // The driver context goes first: WDU_Uninit joins the event thread, so no
    // callback can signal the attach event after it is closed.
    WDU_Uninit(gDriver);
    gDriver = kInvalidDriverHandle;
    gAttach.device.store(nullptr);
    OsEventClose(gAttach.attachEvent.exchange(nullptr));
}

// The presence check before an exchange: the taken device is still there.
uint32_t checkPresence() {
    DeviceInfo *info = nullptr;
    const uint32_t status = WDU_GetDeviceInfo(gAttach.device.load(), &info);
    std::free(info);  // also the block that a failed second fetch leaves
    return status;
}

// After a failed transfer: clear both pipes, OUT first. Their statuses do not
// matter; the next transfer tells.
void resetPipes() {
    std::this_thread::sleep_for(kResetPause);
    (void)WDU_ResetPipe(gAttach.device.load(), kPipeOut);
    (void)WDU_ResetPipe(gAttach.device.load(), kPipeIn);
}

void reportFailedTransfer() {
    std::printf("Reseting USB\n");
    std::fflush(stdout);
}

uint32_t transfer(uint32_t pipe, uint32_t direction, uint8_t *buffer, uint32_t length, uint32_t *transferred,
                  uint32_t timeoutMs = kTransferTimeoutMs) {
    return WDU_Transfer(gAttach.device.load(), pipe, direction, 0, buffer, length, transferred, nullptr, timeoutMs);
}

// Reads the IN pipe until a read finds nothing. A run that ended between a
// frame and its reply (killed, crashed, the laptop's lid closed) leaves that
// reply in the projector's IN endpoint, which keeps it until it is read or the
// projector restarts: the next run would take it for the reply to its own
// first command, and each command after for the reply to the one before.
// Clearing the pipe's halt resets its data toggle but need not empty the
// endpoint, so the replies are read and dropped. False when the device left
// meanwhile: a projector that a dead run had told to switch modes restarts
// once that acknowledgement has been read.
bool discardStaleReplies() {
    uint8_t reply[kWorkBufferSize];
    for (int count = 0; count < kMaxStaleReplies; ++count) {
        uint32_t bytesRead = 0;
        const uint32_t status =
            transfer(kPipeIn, kDirectionRead, reply, sizeof reply, &bytesRead, kStaleReplyTimeoutMs);
        if (status == WDU_ERR_TIMEOUT) return true;
        if (status == WDU_ERR_DEVICE_NOT_FOUND) return false;
        if (status != WDU_OK) {
            // A stalled or failing pipe: cleared as after a failed exchange;
            // the first command tells whether the link works.
            resetPipes();
            return true;
        }
    }
    return true;
}

// The reply echoes the sequence number in byte 1. Fewer than two bytes read
// carry no echo: byte 1 would still hold the frame's own number.
bool echoMatches(const uint8_t *reply, uint32_t bytesRead, uint8_t sequence) {
    return bytesRead > command_frame::kSequenceOffset && reply[command_frame::kSequenceOffset] == sequence;
}

}  // namespace

namespace testing {

uint8_t sequenceNumber() { return gSequence; }

void setSequenceNumber(uint8_t value) { gSequence = value == 0 ? 1 : value; }

bool deviceTaken() { return gAttach.device.load() != nullptr; }

void setAttachWait(std::chrono::seconds wait) {
    gAttachWaitSeconds.store(wait.count() > 0 ? wait.count() : kAttachWait.count());
}

}  // namespace testing
}  // namespace usb_transport

using namespace usb_transport;

extern "C" int32_t QRV_USBInit(void) {
    // Whatever an earlier QRV_USBInit left open without a QRV_USBTerm is
    // closed first, so that no event thread or event is left behind.
    closeLink();

    gAttach.interfaceNumber.store(0);
    gAttach.alternateSetting.store(0);
    gAttach.device.store(nullptr);
    gAttach.interfaceStatus.store(0);
    OsEventHandle event = nullptr;
    if (OsEventCreate(&event) != WDU_OK) return static_cast<int32_t>(WDU_ERR_NO_RESOURCES);
    gAttach.attachEvent.store(event);

    const EventTable table = {&deviceAttached, &deviceDetached, nullptr, &gAttach, &noDeviceWillCome};
    uint32_t status = WDU_Init(&gDriver, kMatchTable, 2, &table, usb_driver::EVENT_OPT_ACKNOWLEDGE);
    if (status != WDU_OK) return static_cast<int32_t>(status);  // QRV_USBTerm closes the event

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(gAttachWaitSeconds.load());
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return static_cast<int32_t>(WDU_ERR_TIMEOUT);
        status = OsEventWait(event, static_cast<uint32_t>(left.count()));
        if (status == WDU_ERR_TIMEOUT) return static_cast<int32_t>(WDU_ERR_TIMEOUT);
        if (status != WDU_OK) return static_cast<int32_t>(WDU_ERR_SYSTEM);

        status = gAttach.interfaceStatus.load();
        if (status != WDU_OK) {
            // The device was declined after all (its interface could not be
            // selected), the bus failed, or the projector is another
            // process's. Report why.
            closeLink();
            return static_cast<int32_t>(status);
        }
        DeviceCtx *device = gAttach.device.load();
        if (device != nullptr && discardStaleReplies()) return 0;
        // The device taken has already left again, or left while its stale
        // replies were read: wait for the next one. The detach callback
        // clears the handle too, but perhaps not yet.
        gAttach.device.compare_exchange_strong(device, nullptr);
    }
}

extern "C" int32_t QRV_USBTerm(void) {
    closeLink();
    return 0;
}

extern "C" int32_t QRV_WriteQrvUsbCmd(uint8_t *frame, uint32_t length, uint32_t *replyCapacity) {
    if (frame == nullptr || replyCapacity == nullptr || length < kMinFrameLength || length > kMaxFrameLength) return 1;
    // Every failure leaves a line on standard error that names the command;
    // the reply overwrites the frame, so what names it is kept first.
    const CommandIdentity command = identifyCommand(frame, length);
    uint32_t status = checkPresence();
    if (status != WDU_OK) {
        noteNotSent(command, status);
        return static_cast<int32_t>(status);
    }

    // The builder computed the checksum with byte 1 at 0; adding the number
    // keeps the sum right without recomputing it.
    const uint8_t sequence = gSequence;
    frame[command_frame::kSequenceOffset] = sequence;
    frame[length - 1] = static_cast<uint8_t>(frame[length - 1] + sequence);

    uint32_t written = 0;
    status = transfer(kPipeOut, kDirectionWrite, frame, length, &written);
    traceFrame("out", frame, length, status);
    if (status != WDU_OK) {
        // Not returned: the read that follows decides.
        noteWriteFailed(command, status, kTransferTimeoutMs);
        reportFailedTransfer();
        resetPipes();
    }

    uint32_t bytesRead = 0;
    status = transfer(kPipeIn, kDirectionRead, frame, *replyCapacity, &bytesRead);
    traceFrame("in", frame, bytesRead, status);
    *replyCapacity = bytesRead;
    if (status != WDU_OK) {
        noteReadFailed(command, status, kTransferTimeoutMs);
        reportFailedTransfer();
        resetPipes();
        return static_cast<int32_t>(status);  // the number is sent again next time
    }
    const bool echoed = echoMatches(frame, bytesRead, sequence);
    if (!echoed) noteWrongEcho(command, bytesRead, bytesRead >= 2 ? frame[1] : 0, sequence);
    gSequence = nextSequence(sequence);
    return echoed ? 0 : 1;
}

extern "C" int32_t QRV_WriteQrvUsb(uint8_t *request) {
    if (request == nullptr) return 1;
    const uint8_t code = request[0];
    const uint8_t arguments[2] = {request[1], request[2]};
    const uint8_t payloadLength = request[3];
    const uint8_t wanted = request[4];
    const uint8_t *payload = request + 5;
    // The lowest bit of the code selects a read; the rest is the command class.
    const bool isWrite = code == command_frame::kGenericClass || code == command_frame::kCommandClass;
    const bool isRead = code == (command_frame::kGenericClass | 1) || code == (command_frame::kCommandClass | 1);
    if ((isWrite && payloadLength > kMaxWritePayload) || (isRead && payloadLength > kMaxReadPayload)) return 1;

    uint32_t status = checkPresence();
    if (status != WDU_OK) return static_cast<int32_t>(status);
    if (!isWrite && !isRead) return 1;

    uint8_t work[kWorkBufferSize] = {};
    const uint8_t sequence = gSequence;
    uint32_t length = 0;
    uint32_t replyLength = 0;
    work[command_frame::kSequenceOffset] = sequence;
    if (isWrite) {
        work[0] = command_frame::kWriteFrame;
        work[3] = static_cast<uint8_t>(payloadLength + 3);
        work[5] = code;
        work[6] = arguments[0];
        work[7] = arguments[1];
        std::memcpy(work + 8, payload, payloadLength);
        length = payloadLength + 9u;
        replyLength = command_frame::kWriteReplyLength;
    } else {
        work[0] = command_frame::kReadFrame;
        work[3] = static_cast<uint8_t>(payloadLength + 5);
        work[5] = static_cast<uint8_t>(code - 1);
        work[6] = payloadLength != 0 ? 0x03 : 0x02;
        work[7] = wanted;
        work[8] = arguments[0];
        work[9] = arguments[1];
        std::memcpy(work + 10, payload, payloadLength);
        length = payloadLength + 11u;
        replyLength = wanted + command_frame::kReadReplyOverhead;
    }
    work[length - 1] = command_frame::checksum(std::span<const uint8_t>(work, length));

    std::this_thread::sleep_for(kRequestWritePause);
    uint32_t written = 0;
    status = transfer(kPipeOut, kDirectionWrite, work, length, &written);
    traceFrame("out", work, length, status);
    if (status != WDU_OK) resetPipes();

    std::this_thread::sleep_for(kRequestReadPause);
    uint32_t bytesRead = 0;
    status = transfer(kPipeIn, kDirectionRead, work, replyLength, &bytesRead);
    traceFrame("in", work, bytesRead, status);
    if (status != WDU_OK) {
        resetPipes();
        return static_cast<int32_t>(status);
    }

    if (echoMatches(work, bytesRead, sequence)) {
        // Byte 3 is the reply's body length: two leading bytes, then the
        // data. A reply with no data returns a count of 0.
        const uint8_t bodyLength = work[3];
        uint32_t count = 0;
        if (bodyLength >= 3) {
            const uint32_t overhead = command_frame::kReadReplyOverhead;
            const uint32_t delivered = bytesRead > overhead ? bytesRead - overhead : 0;
            count = std::min<uint32_t>({bodyLength - 2u, delivered, wanted});
            std::memcpy(request + 5, work + command_frame::kReplyDataOffset, count);
        }
        request[4] = static_cast<uint8_t>(count);
    }
    gSequence = nextSequence(sequence);
    return 0;
}
