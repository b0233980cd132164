// SPDX-License-Identifier: MIT
// The emulator's USB/IP server as the victim of a client: one connection to a
// UsbipServer (on a loopback port of its own) carries the input as the
// client's whole byte stream, while the answers are read and dropped. The
// projector is in programming mode with a factory flash. Afterwards the
// flash must be as it was unless the stream held a well-formed sector erase
// or flash download frame that the projector took in programming mode, and
// the server must have closed the connection, stopped every thread and left
// no descriptor open.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command_frame/command_frame.h"
#include "fuzz_support.h"
#include "projector_emulator/clock.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "projector_emulator/usbip_server.h"
#include "usbip/protocol.h"

namespace {

using fuzz::Bytes;

using namespace command_frame;

// A frame the projector takes as a command: its lengths and checksum agree,
// it is a write of the command class with at least `parameters` parameter
// bytes.
bool wellFormedWrite(Bytes frame, uint8_t operation, size_t parameters) {
    const size_t n = frame.size();
    if (n < kFrameOverhead ||
        static_cast<size_t>(frame[kBodyLengthOffset] | frame[kBodyLengthOffset + 1] << 8) + kMinFrameLength != n)
        return false;
    if (checksum(frame) != frame[n - 1]) return false;
    return frame[kKindOffset] == kWriteFrame && frame[kClassOffset] == kCommandClass &&
           frame[kOperationOffset] == operation && n - kFrameOverhead >= parameters;
}

// Whether the client's stream holds a frame that may change the flash: an
// erase or a download of at least one byte, sent on the bulk OUT endpoint of
// an imported connection before anything that ends it (a message the server
// refuses, a switch out of programming mode). Reads the stream as the server
// does, with the same codec.
bool mayChangeFlash(Bytes stream, uint32_t devid) {
    const auto import = usbip::decodeImportRequest(stream);
    if (!import || import->busId != projector_emulator::kUsbipBusId) return false;
    stream = stream.subspan(import.size());
    for (;;) {
        const auto header = usbip::decodeUrbHeader(stream);
        if (!header) return false;
        stream = stream.subspan(usbip::kUrbHeaderSize);
        if (const auto *unlink = std::get_if<usbip::CmdUnlink>(&*header)) {
            if (unlink->devid != devid) return false;
            continue;
        }
        const auto *submit = std::get_if<usbip::CmdSubmit>(&*header);
        if (!submit || submit->devid != devid) return false;
        const uint32_t length = usbip::submitDataLength(*submit);
        if (stream.size() < length) return false;
        const Bytes frame = stream.first(length);
        stream = stream.subspan(length);
        if (submit->endpoint != (projector_emulator::kBulkOutEndpoint & 0x0F) ||
            submit->direction != usbip::Direction::Out)
            continue;
        if (wellFormedWrite(frame, kOpFlashSectorErase, 0) || wellFormedWrite(frame, kOpFlashDataDownload, 1))
            return true;
        // Acknowledged, the switch takes the projector off the bus: no later
        // frame reaches it.
        if (wellFormedWrite(frame, kOpProgrammingMode, 1) && frame[kParameterOffset] == kModeApplication) return false;
    }
}

// Sends the whole stream, reading (and dropping) whatever comes back at the
// same time, then half-closes and reads until the server closes.
void converse(int fd, Bytes stream) {
    std::vector<uint8_t> sink(4096);
    bool halfClosed = false;
    for (;;) {
        if (stream.empty() && !halfClosed) {
            ::shutdown(fd, SHUT_WR);
            halfClosed = true;
        }
        pollfd entry{fd, static_cast<short>(POLLIN | (halfClosed ? 0 : POLLOUT)), 0};
        const int ready = ::poll(&entry, 1, -1);
        if (ready < 0 && errno == EINTR) continue;  // libFuzzer's timer
        FUZZ_CHECK(ready > 0);
        if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::recv(fd, sink.data(), sink.size(), 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return;  // closed by the server
        }
        if (!halfClosed && (entry.revents & POLLOUT)) {
            const ssize_t sent = ::send(fd, stream.data(), stream.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno != EAGAIN && errno != EINTR) return;  // the server has gone
            if (sent > 0) stream = stream.subspan(static_cast<size_t>(sent));
        }
    }
}

std::unique_ptr<projector_emulator::NorFlash> flash;
std::vector<uint8_t> factory;
projector_emulator::ManualClock frozen;  // the projector's time stands still: nothing depends on when a frame comes

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    flash = projector_emulator::NorFlash::inMemory();
    factory = projector_emulator::NorFlash::factoryPattern();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Bytes stream(data, size);
    const size_t descriptors = fuzz::openDescriptors();
    {
        projector_emulator::DeviceOptions options;
        options.initialMode = projector_emulator::Mode::Programming;
        options.eraseTime = std::chrono::milliseconds(0);
        options.clock = &frozen;
        projector_emulator::Tz4817Device device(*flash, options);
        const projector_emulator::Presence presence = device.presence();
        projector_emulator::UsbipServerOptions serverOptions;
        serverOptions.port = 0;
        projector_emulator::UsbipServer server(device, serverOptions);
        std::string error;
        FUZZ_CHECK(server.start(error));

        const int fd = fuzz::connectLoopback(server.port());
        FUZZ_CHECK(fd >= 0);
        converse(fd, stream);
        ::close(fd);

        // The server has closed the connection: no frame reaches the device any more.
        const auto contents = flash->contents();
        if (std::memcmp(factory.data(), contents.data(), factory.size()) != 0) {
            FUZZ_CHECK(mayChangeFlash(stream, usbip::makeDevid(projector_emulator::kUsbipBusNumber,
                                                               projector_emulator::usbipDevnum(presence.generation))));
            // Back to the factory contents for the next input, block by block.
            constexpr uint32_t kBlock = 4096;
            for (uint32_t block = 0; block < projector_emulator::kFlashSize; block += kBlock) {
                if (std::memcmp(factory.data() + block, contents.data() + block, kBlock) == 0) continue;
                for (uint32_t offset = block; offset < block + kBlock; ++offset)
                    if (contents[offset] != factory[offset]) flash->corrupt(offset, factory[offset]);
            }
        }

        // The connection's helper threads sleep on the device in slices; a
        // device that leaves the bus wakes them at once, so stopping does not
        // wait for the slice to end.
        const projector_emulator::Presence now = device.presence();
        if (now.onBus) {
            projector_emulator::Fault leave{projector_emulator::Fault::Kind::Leave};
            leave.first = leave.last = device.framesReceived() + 1;
            device.addFault(leave);
            (void)device.bulkOut(now.generation, {});
        }
        server.stop();
    }
    FUZZ_CHECK(fuzz::openDescriptors() == descriptors);
    return 0;
}
