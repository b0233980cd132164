// SPDX-License-Identifier: MIT
// Writes the seed corpus of every fuzz target from a real update: the shipped
// libraries update an emulated projector over USB/IP (the driver's own bus,
// QRV_USBIP) through a recording proxy, and the bytes that crossed the
// proxy, the frames and replies the projector saw and its descriptors become
// inputs in each target's format.
//
//   fuzz_seed_capture FOLDER     (FOLDER/<target>/<seed>, usually fuzz/corpus)
//
// The update is deterministic (sequence numbers, devnums, flash contents, the
// image), so the seeds come out the same every time.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "command_frame/command_frame.h"
#include "command_script.h"
#include "fuzz_support.h"
#include "qrvdl.h"
#include "qrvusb.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "projector_emulator/usbip_server.h"
#include "usbip/protocol.h"
#include "usbip/stream_socket.h"

namespace {

using Buffer = std::vector<uint8_t>;
using fuzz::Bytes;
namespace script = fuzz::command_script;

// One TCP connection through the proxy: what each side sent.
struct Connection {
    Buffer fromClient;
    Buffer fromServer;
};

// Relays connections from clients to the server and records both directions.
class RecordingProxy {
public:
    explicit RecordingProxy(uint16_t serverPort) : serverPort_(serverPort), thread_([this] { acceptLoop(); }) {}
    ~RecordingProxy() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        // A connection that arrives now ends the accept loop.
        ::close(fuzz::connectLoopback(listener_.port()));
        thread_.join();
        for (auto &relay : relays_) relay.join();
    }
    uint16_t port() const { return listener_.port(); }
    std::deque<Connection> connections() {
        std::lock_guard lock(mutex_);
        return connections_;
    }

private:
    void acceptLoop() {
        for (;;) {
            const int client = listener_.accept(-1);
            std::lock_guard lock(mutex_);
            if (stopping_) {
                ::close(client);
                return;
            }
            const size_t index = connections_.size();
            connections_.emplace_back();
            relays_.emplace_back([this, client, index] { relay(client, index); });
        }
    }
    void relay(int client, size_t index) {
        const int server = fuzz::connectLoopback(serverPort_);
        std::array<uint8_t, 4096> buffer;
        for (bool open = server >= 0; open;) {
            pollfd entries[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(entries, 2, -1) < 0) break;
            for (int side = 0; side < 2 && open; ++side) {
                if (!entries[side].revents) continue;
                const int from = side == 0 ? client : server, to = side == 0 ? server : client;
                const ssize_t got = ::recv(from, buffer.data(), buffer.size(), 0);
                if (got <= 0) {
                    open = false;
                    break;
                }
                {
                    std::lock_guard lock(mutex_);
                    Buffer &record = side == 0 ? connections_[index].fromClient : connections_[index].fromServer;
                    record.insert(record.end(), buffer.begin(), buffer.begin() + got);
                }
                open = usbip::writeAll(to, Bytes(buffer.data(), static_cast<size_t>(got)));
            }
        }
        ::close(client);
        if (server >= 0) ::close(server);
    }

    const uint16_t serverPort_;
    fuzz::LoopbackListener listener_;
    std::mutex mutex_;
    bool stopping_ = false;
    std::deque<Connection> connections_;
    std::vector<std::thread> relays_;
    std::thread thread_;
};

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "fuzz_seed_capture: %s\n", what.c_str());
    std::exit(1);
}

std::filesystem::path output;

void writeSeed(const std::string &target, const std::string &name, Bytes bytes) {
    const auto folder = output / target;
    std::filesystem::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::printf("%s/%s: %zu bytes\n", target.c_str(), name.c_str(), bytes.size());
}

// The URB messages of one direction of an imported connection, each with its
// data; `asked` gives the direction and length of the submits (by seqnum) so
// that replies can be cut.
std::vector<Buffer> messages(Bytes stream, const std::vector<usbip::CmdSubmit> &asked) {
    std::vector<Buffer> out;
    while (!stream.empty()) {
        const auto header = usbip::decodeUrbHeader(stream);
        if (!header) die("a recorded URB stream does not decode");
        size_t data = 0;
        if (const auto *submit = std::get_if<usbip::CmdSubmit>(&*header)) {
            data = usbip::submitDataLength(*submit);
        } else if (const auto *reply = std::get_if<usbip::RetSubmit>(&*header)) {
            for (const auto &submit : asked)
                if (submit.seqnum == reply->seqnum && submit.direction == usbip::Direction::In)
                    data = reply->actualLength;
        }
        out.emplace_back(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(usbip::kUrbHeaderSize + data));
        stream = stream.subspan(usbip::kUrbHeaderSize + data);
    }
    return out;
}

std::vector<usbip::CmdSubmit> submitsOf(const std::vector<Buffer> &clientMessages) {
    std::vector<usbip::CmdSubmit> submits;
    for (const Buffer &message : clientMessages) {
        const auto header = usbip::decodeUrbHeader(message);
        if (const auto *submit = std::get_if<usbip::CmdSubmit>(&*header)) submits.push_back(*submit);
    }
    return submits;
}

// One session of the bus with the projector in one mode: the device list
// that showed it, and the connection that imported it.
void writeSession(const std::deque<Connection> &connections, uint16_t productId, const std::string &name) {
    const Connection *list = nullptr;
    for (const Connection &connection : connections) {
        const auto header = usbip::decodeOpHeader(connection.fromClient);
        if (!header) continue;
        if (header->code == usbip::kOpReqDevlist) {
            const auto reply = usbip::decodeDevlistReply(connection.fromServer);
            if (reply && !reply->devices.empty() && reply->devices[0].device.idProduct == productId) list = &connection;
            continue;
        }
        const auto import = usbip::decodeImportReply(connection.fromServer);
        if (!list || !import || !import->device || import->device->idProduct != productId) continue;

        const Bytes client = Bytes(connection.fromClient).subspan(usbip::kImportRequestSize);
        const Bytes server = Bytes(connection.fromServer).subspan(usbip::kImportReplySize);
        const std::vector<Buffer> requests = messages(client, {});
        const std::vector<Buffer> replies = messages(server, submitsOf(requests));

        writeSeed("usbip_codec", "devlist-request", Bytes(list->fromClient));
        writeSeed("usbip_codec", "devlist-reply-" + name, Bytes(list->fromServer));
        writeSeed("usbip_codec", "import-request-" + name,
                  Bytes(connection.fromClient).first(usbip::kImportRequestSize));
        writeSeed("usbip_codec", "import-reply-" + name, Bytes(connection.fromServer).first(usbip::kImportReplySize));
        // Both directions in turn, as the codec target reads a conversation.
        Buffer conversation;
        for (size_t i = 0; i < std::min<size_t>({requests.size(), replies.size(), 12}); ++i) {
            conversation.insert(conversation.end(), requests[i].begin(), requests[i].end());
            conversation.insert(conversation.end(), replies[i].begin(), replies[i].end());
        }
        writeSeed("usbip_codec", "urb-conversation-" + name, conversation);

        // The client target answers the bus's messages one chunk each: the
        // descriptors, set interface and the first exchanges are enough.
        Buffer chunks;
        fuzz::appendChunk(list->fromServer, chunks);
        fuzz::appendChunk(Bytes(connection.fromServer).first(usbip::kImportReplySize), chunks);
        for (size_t i = 0; i < std::min<size_t>(replies.size(), 12); ++i) fuzz::appendChunk(replies[i], chunks);
        writeSeed("usbip_client", "update-" + name, chunks);

        // The server target's projector is a fresh one, in its first
        // generation: the client's messages name its devid.
        Buffer stream(connection.fromClient.begin(), connection.fromClient.begin() + usbip::kImportRequestSize);
        const uint32_t devid =
            usbip::makeDevid(projector_emulator::kUsbipBusNumber, projector_emulator::usbipDevnum(1));
        for (Buffer message : requests) {
            for (int i = 0; i < 4; ++i) message[8 + i] = static_cast<uint8_t>(devid >> (24 - 8 * i));
            stream.insert(stream.end(), message.begin(), message.end());
        }
        writeSeed("usbip_server", "devlist-request", Bytes(list->fromClient));
        writeSeed("usbip_server", "update-" + name, stream);
        return;
    }
    die("no session of the projector as " + name);
}

// A step of the command_replies script with the replies it reads, their
// sequence numbers renumbered from 1 as the target numbers them.
void writeStep(const std::string &name, Buffer step, const std::vector<projector_emulator::FrameRecord> &frames) {
    uint8_t sequence = 1;
    for (const projector_emulator::FrameRecord &frame : frames) {
        Buffer reply = frame.reply;
        if (reply.size() >= 2) {
            reply.back() = static_cast<uint8_t>(reply.back() - reply[1] + sequence);
            reply[1] = sequence;
        }
        step.push_back(static_cast<uint8_t>(reply.size()));
        step.insert(step.end(), reply.begin(), reply.end());
        sequence = sequence == 255 ? 1 : static_cast<uint8_t>(sequence + 1);
    }
    writeSeed("command_replies", name, step);
}

Buffer be(uint32_t value, int bytes) {
    Buffer out;
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
    return out;
}

Buffer operator+(Buffer a, const Buffer &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The frames of the download, cut into the steps the command_replies target
// runs on their own.
void writeCommandSeeds(const std::vector<projector_emulator::FrameRecord> &download, uint32_t start, uint32_t length) {
    using namespace script;
    auto frames = [&](size_t first, size_t count) {
        return std::vector<projector_emulator::FrameRecord>(download.begin() + static_cast<std::ptrdiff_t>(first),
                                                            download.begin() +
                                                                static_cast<std::ptrdiff_t>(first + count));
    };
    auto find = [&](size_t from, uint8_t operation) {
        for (size_t i = from; i < download.size(); ++i)
            if (download[i].bytes.size() > command_frame::kOperationOffset &&
                download[i].bytes[command_frame::kOperationOffset] == operation)
                return i;
        die("the download has no frame with operation " + std::to_string(operation));
    };
    // Identity (2), status, programming mode, erase..., programming mode,
    // address, size, downloads..., checksum calculation, checksum read.
    const size_t erase = find(0, command_frame::kOpFlashAddress);
    const size_t program = find(erase, command_frame::kOpProgrammingMode);
    const size_t checksum = find(program, command_frame::kOpFlashChecksumCalculation);
    const uint32_t offset = start & 0x01DFFFFF;

    writeStep("load-flash", Buffer{kLoadFlash} + be(start - kLoadBase, 2) + be(length, 2), download);
    writeStep("check-address", Buffer{kCheckAddress} + be(start, 4) + be(length, 4), frames(0, 2));
    writeStep("read-flash-device-id", Buffer{kReadFlashDeviceId}, frames(0, 2));
    writeStep("read-status", Buffer{kReadStatus}, frames(2, 1));
    writeStep("device-busy", Buffer{kDeviceBusy, 0}, frames(program - 1, 1));
    writeStep("erase-flash", Buffer{kEraseFlash} + be(offset, 4) + be(length, 4), frames(erase, program - erase));
    writeStep("program-flash", Buffer{kProgramFlash} + be(offset, 2) + be(length, 2),
              frames(program, checksum - program));
    writeStep("calculate-checksum", Buffer{kCalculateChecksum}, frames(checksum, 2));
    writeStep("read-flash-checksum", Buffer{kReadFlashChecksum}, frames(checksum + 1, 1));
    const projector_emulator::FrameRecord &status = download[2];
    writeStep("exchange", Buffer{kExchange, static_cast<uint8_t>(status.bytes.size() - 6)} + be(255, 2) + status.bytes,
              frames(2, 1));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    output = argv[1];

    // The image: the same bytes the command_replies target's image holds.
    const auto work = std::filesystem::temp_directory_path() / ("fuzz-seed-capture-" + std::to_string(::getpid()));
    std::filesystem::create_directories(work);
    const uint32_t length = 112;  // two download frames
    const std::string imagePath = (work / "tz4817.img").string();
    {
        Buffer image(0x4000 + length);
        for (uint32_t i = 0; i < image.size(); ++i) image[i] = script::imageByte(i);
        std::ofstream(imagePath, std::ios::binary)
            .write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    }

    auto flash = projector_emulator::NorFlash::inMemory();
    projector_emulator::DeviceOptions options;
    options.rebootDelay = std::chrono::milliseconds(100);
    options.eraseTime = std::chrono::milliseconds(0);
    projector_emulator::Tz4817Device device(*flash, options);
    std::mutex framesMutex;
    std::vector<projector_emulator::FrameRecord> frames;
    device.setFrameObserver([&](const projector_emulator::FrameRecord &record) {
        std::lock_guard lock(framesMutex);
        frames.push_back(record);
    });
    projector_emulator::UsbipServerOptions serverOptions;
    serverOptions.port = 0;
    projector_emulator::UsbipServer server(device, serverOptions);
    std::string error;
    if (!server.start(error)) die(error);

    std::deque<Connection> connections;
    std::vector<projector_emulator::FrameRecord> download;
    {
        RecordingProxy proxy(server.port());
        ::setenv("QRV_USBIP", ("127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
        const uint32_t start = 0xFE204000;
        if (QRV_USBInit() != 0) die("QRV_USBInit failed");
        if (QRVDL_SwitchAppToBoot(200) != 0) die("QRVDL_SwitchAppToBoot failed");
        size_t before;
        {
            std::lock_guard lock(framesMutex);
            before = frames.size();
        }
        if (QRVDL_LoadFlash(imagePath.c_str(), start, length, nullptr, nullptr) != 0) die("QRVDL_LoadFlash failed");
        {
            std::lock_guard lock(framesMutex);
            download.assign(frames.begin() + static_cast<std::ptrdiff_t>(before), frames.end());
        }
        (void)QRVDL_CmdWriteProgrammingMode(2);
        QRV_USBTerm();
        connections = proxy.connections();
        writeCommandSeeds(download, start, length);
    }
    server.stop();
    std::filesystem::remove_all(work);

    writeSession(connections, projector_emulator::kAppProductId, "application-mode");
    writeSession(connections, projector_emulator::kBootProductId, "programming-mode");

    for (const projector_emulator::Mode mode :
         {projector_emulator::Mode::Application, projector_emulator::Mode::Programming}) {
        projector_emulator::Presence presence;
        presence.mode = mode;
        presence.vendorId = mode == projector_emulator::Mode::Application ? projector_emulator::kAppVendorId
                                                                          : projector_emulator::kBootVendorId;
        presence.productId = mode == projector_emulator::Mode::Application ? projector_emulator::kAppProductId
                                                                           : projector_emulator::kBootProductId;
        const Buffer descriptors =
            projector_emulator::deviceDescriptor(presence) + projector_emulator::configDescriptor();
        writeSeed("libusb_descriptors",
                  mode == projector_emulator::Mode::Application ? "projector-application-mode"
                                                                : "projector-programming-mode",
                  descriptors);
    }
    return 0;
}
