// SPDX-License-Identifier: MIT
// One device imported from a USB/IP server, and its connection: the
// transfers on it (CMD_SUBMIT / RET_SUBMIT matched by seqnum, CMD_UNLINK for
// one that outlives its time-out), the hand-over of the socket between the
// threads that read it, and the decoder of what the server sends.
//
// One thread at a time reads the socket: the caller of a transfer reads it
// itself while it waits for its reply (so the usual exchange wakes no other
// thread), a second caller waits for the first to hand the socket on, and the
// connection's reader thread takes the socket only once it has been left
// unread for a few milliseconds, so that a departure or a stray message is
// seen while no transfer is in flight. Everything the server sends is
// untrusted: lengths are checked before any copy, and a message that breaks
// the protocol ends the connection.
//
// The bus (usbip_bus.cpp) makes one when an import succeeds, runs its reader
// thread and reports the device's arrival and departure.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "usbip/protocol.h"
#include "usbip/stream_socket.h"
#include "usbip_socket.h"

namespace usb_driver {

struct ImportedDevice {
    struct Pending {
        usbip::Direction direction = usbip::Direction::Out;
        uint8_t *buffer = nullptr;
        uint32_t length = 0;
        bool complete = false;
        int32_t status = 0;
        uint32_t actual = 0;
        uint32_t unlinkSeqnum = 0;
        bool unlinked = false;
    };

    // What has arrived from the server and is not decoded yet, and a reply
    // whose header is decoded while its data is still to come. Only the
    // thread that holds the socket touches it, so whoever takes the socket
    // over next reads on where the last one stopped.
    struct Incoming {
        std::vector<uint8_t> bytes = std::vector<uint8_t>(4096);  // unread: [begin, end)
        size_t begin = 0, end = 0;
        std::optional<usbip::RetSubmit> reply;
        usbip::Direction direction = usbip::Direction::Out;
        uint32_t dataLength = 0;
    };

    // `controlTimeout` bounds control requests, `unlinkTimeout` how long a
    // cancelled transfer waits for the server's answer to the unlink before
    // the connection is given up.
    ImportedDevice(uint64_t k, std::string id, uint32_t d, usbip::SocketHandle f,
                   std::chrono::milliseconds controlTimeout, std::chrono::milliseconds unlinkTimeout)
        : key(k),
          busId(std::move(id)),
          devid(d),
          fd(f),
          controlTimeout_(controlTimeout),
          unlinkTimeout_(unlinkTimeout) {
        pending.reserve(16);
        unlinks.reserve(16);
    }
    ~ImportedDevice() { usbip::closeSocket(fd); }
    ImportedDevice(const ImportedDevice &) = delete;
    ImportedDevice &operator=(const ImportedDevice &) = delete;

    // Lists, not maps: a transfer adds and removes its entry without allocating.
    Pending *findPending(uint32_t seqnum) {
        for (auto &[s, p] : pending)
            if (s == seqnum) return p;
        return nullptr;
    }
    template <typename List>
    static void remove(List &list, uint32_t seqnum) {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].first == seqnum) {
                list[i] = list.back();
                list.pop_back();
                return;
            }
    }

    // Ends the connection; whoever reads sees the end and the device leaves.
    void drop() {
        {
            std::lock_guard lock(mutex);
            dropped = true;
        }
        usbip::shutdownSocket(fd);
        quiet.notify_all();
    }

    // The reader thread's body: reads the socket while no caller does, until
    // the connection ends, and then drops it. Returns what broke the
    // protocol, empty when the connection simply ended.
    std::string readUntilEnded();

    // One transfer on `endpoint`: submitted, its reply read (or waited for),
    // cancelled with an unlink after `timeout` (0: none). Returns a driver
    // status; `transferred` is always written.
    uint32_t submit(usbip::Direction direction, uint32_t endpoint, const std::array<uint8_t, 8> &setup, uint8_t *buffer,
                    uint32_t length, std::chrono::milliseconds timeout, uint32_t &transferred);
    // A control transfer on endpoint 0 with `setup`, bounded by the control
    // time-out.
    uint32_t control(const std::array<uint8_t, 8> &setup, uint8_t *buffer, uint32_t &transferred);

    const uint64_t key;
    const std::string busId;
    const uint32_t devid;
    const usbip::SocketHandle fd;  // closed with the last reference, never while a thread may use it
    usbip::WakeSignal wake;        // raised: the reader thread gives the socket to a caller
    std::thread reader;

    std::mutex mutex;
    std::condition_variable changed;
    bool dead = false;
    bool dropped = false;
    // Who reads the socket: nobody, the caller whose Pending this points to,
    // or the reader thread (&kReaderThread). Exactly one at a time, so every
    // byte from the server passes one decoder in order.
    const void *readerRole = nullptr;
    bool readerThreadAsked = false;  // wake raised since the reader thread took the socket
    usbip_socket::Clock::time_point idleSince = usbip_socket::Clock::now();  // the last caller gave the socket up
    std::condition_variable quiet;  // the reader thread waits here for the socket
    std::string violation;          // what broke the protocol, when something did
    Incoming incoming;
    bool opened = false;
    uint32_t nextSeqnum = 1;
    std::vector<std::pair<uint32_t, Pending *>> pending;  // submit seqnum, its transfer
    std::vector<std::pair<uint32_t, uint32_t>> unlinks;   // unlink seqnum, submit seqnum

    std::mutex writeMutex;  // one message at a time on the socket

    // Orders the arrival and departure reports of this device.
    std::mutex reportMutex;
    bool reported = false;
    bool silent = false;  // the bus is stopping: no departure report

private:
    // What one turn of reading the socket came to.
    enum class Step { Message, Waiting, Ended };
    Step readStep(const usbip_socket::Deadline &deadline, usbip::SocketHandle wakeHandle);
    // Reads the socket while this caller holds it, or waits for the caller
    // or thread that does, until done() or the deadline. Called and returns
    // with the lock held.
    template <typename Done>
    bool collect(std::unique_lock<std::mutex> &lock, const void *self, const usbip_socket::Deadline &deadline,
                 Done done);

    const std::chrono::milliseconds controlTimeout_;
    const std::chrono::milliseconds unlinkTimeout_;
};

}  // namespace usb_driver
