// Blocking TCP helpers of the USB/IP client. Every wait is bounded by a
// deadline and ends early when `wake` (an eventfd, or -1) becomes readable,
// so the bus can stop its threads promptly. A socket blocked in a read with
// no deadline is ended by shutdown() from another thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace usb_driver::usbip_socket {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;  // nothing: wait forever

// Connects to host:port (names and literals, IPv4 or IPv6) with TCP_NODELAY
// set, keep-alive on, and sends bounded by `sendTimeout`. -1 on failure, when
// the deadline passes or when `wake` fires; `why` (when given) then says how
// in a few words: "refused the connection", "cannot be reached (...)".
int connectTo(const std::string &host, uint16_t port, Clock::time_point deadline, int wake,
              std::chrono::milliseconds sendTimeout, std::string *why = nullptr);

// Reads exactly buffer.size() bytes. False on end of stream, error, deadline
// or wake.
[[nodiscard]] bool readExact(int fd, std::span<uint8_t> buffer, const Deadline &deadline, int wake);

// Waits until `fd` is readable and takes what has arrived, at most
// buffer.size() bytes; `got` says how many. Bytes: some were read. Waiting:
// the deadline passed or `wake` fired first. Ended: end of stream or error.
enum class Received { Bytes, Waiting, Ended };
[[nodiscard]] Received receive(int fd, std::span<uint8_t> buffer, size_t &got, const Deadline &deadline, int wake);

// Appends what arrives until end of stream, at most `limit` bytes in all.
// Returns after each chunk: true while the stream is open and the limit not
// reached, so the caller can try to decode what it has.
[[nodiscard]] bool readSome(int fd, std::vector<uint8_t> &out, size_t limit, const Deadline &deadline, int wake,
                            bool &ended);

// Splits "HOST[:PORT]" ("[V6]" or "[V6]:PORT" for IPv6 literals; port 1..65535,
// 3240 when left out). Nothing when malformed.
struct ServerAddress {
    std::string host;
    uint16_t port = 3240;
};
std::optional<ServerAddress> parseServerAddress(const std::string &text);

}  // namespace usb_driver::usbip_socket
