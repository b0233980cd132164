// SPDX-License-Identifier: MIT
// USB/IP wire format (protocol version 0x0111): encoders and decoders for the
// operation messages (device list, import) and the URB messages (CMD_SUBMIT,
// RET_SUBMIT, CMD_UNLINK, RET_UNLINK). Shared by the USB/IP client of the
// driver and the emulator's server.
//
// Every integer on the wire is big-endian; the 8-byte setup packet travels as
// it is (USB order) and is kept here as raw bytes.
//
// Encoders append one whole message to a byte vector. Decoders take the bytes
// received so far and never read outside them: a message that does not fit is
// Error::Short (read more from the stream, or treat it as truncated at end of
// stream); anything else wrong is its own error value. A successful decode
// reports in size() how many input bytes the message took; bytes after it
// belong to the next message. Every length a peer sends is capped
// (kMaxTransferLength, kMaxDevices, kMaxInterfaces), so no peer can make a
// reader allocate more than a few MiB.
//
// No function here throws on malformed input, keeps state, or blocks; all are
// safe to call from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace usbip {

inline constexpr uint16_t kVersion = 0x0111;
inline constexpr uint16_t kDefaultPort = 3240;

// Operation codes.
inline constexpr uint16_t kOpReqDevlist = 0x8005;
inline constexpr uint16_t kOpRepDevlist = 0x0005;
inline constexpr uint16_t kOpReqImport = 0x8003;
inline constexpr uint16_t kOpRepImport = 0x0003;

// Status of an operation reply.
inline constexpr uint32_t kOpStatusOk = 0;
inline constexpr uint32_t kOpStatusNotAvailable = 1;
inline constexpr uint32_t kOpStatusBusy = 2;
inline constexpr uint32_t kOpStatusDeviceError = 3;
inline constexpr uint32_t kOpStatusNoSuchDevice = 4;
inline constexpr uint32_t kOpStatusOtherError = 5;

// URB commands (first field of every URB header).
inline constexpr uint32_t kCmdSubmit = 1;
inline constexpr uint32_t kCmdUnlink = 2;
inline constexpr uint32_t kRetSubmit = 3;
inline constexpr uint32_t kRetUnlink = 4;

// URB statuses: negative Linux errno values.
inline constexpr int32_t kUrbOk = 0;
inline constexpr int32_t kUrbNoEntry = -2;     // ENOENT
inline constexpr int32_t kUrbStall = -32;      // EPIPE
inline constexpr int32_t kUrbOverflow = -75;   // EOVERFLOW
inline constexpr int32_t kUrbUnlinked = -104;  // ECONNRESET: cancelled by CMD_UNLINK
inline constexpr int32_t kUrbShutdown = -108;  // ESHUTDOWN: device gone

// USB speeds of the device record.
inline constexpr uint32_t kSpeedLow = 1;
inline constexpr uint32_t kSpeedFull = 2;
inline constexpr uint32_t kSpeedHigh = 3;
inline constexpr uint32_t kSpeedSuper = 5;

// Fixed sizes on the wire.
inline constexpr size_t kOpHeaderSize = 8;
inline constexpr size_t kPathSize = 256;
inline constexpr size_t kBusIdSize = 32;
inline constexpr size_t kDeviceRecordSize = 312;
inline constexpr size_t kInterfaceRecordSize = 4;
inline constexpr size_t kDevlistRequestSize = kOpHeaderSize;
inline constexpr size_t kDevlistReplyFixedSize = kOpHeaderSize + 4;            // header and device count
inline constexpr size_t kImportRequestSize = kOpHeaderSize + kBusIdSize;       // 40
inline constexpr size_t kImportReplySize = kOpHeaderSize + kDeviceRecordSize;  // 320 on success
inline constexpr size_t kUrbHeaderSize = 48;
inline constexpr size_t kSetupSize = 8;

// Caps on what a peer may announce.
inline constexpr uint32_t kMaxTransferLength = 1u << 20;  // bytes of one URB's data
inline constexpr uint32_t kMaxDevices = 1024;             // devices of one device list
inline constexpr uint32_t kMaxInterfaces = 32;            // interfaces of one device

enum class Error {
    None,               // not an error (the value of a successful result)
    Short,              // the input ends before the message does
    BadVersion,         // operation header with a version other than 0x0111
    BadCode,            // unexpected operation code or URB command
    BadDirection,       // URB direction other than 0 (OUT) or 1 (IN)
    BadEndpoint,        // endpoint number above 15
    LengthTooLarge,     // a transfer length above kMaxTransferLength
    LengthOverrun,      // RET_SUBMIT actual_length above the submit's transfer_buffer_length
    TooManyDevices,     // device count above kMaxDevices
    TooManyInterfaces,  // bNumInterfaces above kMaxInterfaces
    Isochronous,        // number_of_packets announces isochronous packets
};

// A short English name of the error, for logs ("short message", ...).
const char *errorText(Error error);

// The result of a decoder: a value, or an error. size() is the number of
// input bytes the decoded message occupies (0 for results that are not a
// message of their own, such as a data length).
template <typename T>
class Result {
public:
    Result(T value, size_t size) : value_(std::move(value)), size_(size) {}
    Result(Error error) : error_(error) {}  // NOLINT: implicit on purpose

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    Error error() const { return error_; }
    size_t size() const { return size_; }

    // Only when ok().
    const T &value() const & { return *value_; }
    T &value() & { return *value_; }
    T &&value() && { return std::move(*value_); }
    const T &operator*() const & { return *value_; }
    const T *operator->() const { return &*value_; }
    T *operator->() { return &*value_; }

private:
    std::optional<T> value_;
    Error error_ = Error::None;
    size_t size_ = 0;
};

// ---------------------------------------------------------------------------
// Operation messages

struct OpHeader {
    uint16_t version = kVersion;
    uint16_t code = 0;
    uint32_t status = 0;

    bool operator==(const OpHeader &) const = default;
};

// The device record (312 bytes). Strings are NUL-padded on the wire; an
// encoder cuts them to fit with a NUL at the end, a decoder stops at the first
// NUL or at the field's end.
struct DeviceRecord {
    std::string path;   // sysfs path, informational
    std::string busId;  // e.g. "1-1"
    uint32_t busnum = 0;
    uint32_t devnum = 0;
    uint32_t speed = kSpeedFull;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    uint8_t bDeviceClass = 0;
    uint8_t bDeviceSubClass = 0;
    uint8_t bDeviceProtocol = 0;
    uint8_t bConfigurationValue = 0;
    uint8_t bNumConfigurations = 0;
    uint8_t bNumInterfaces = 0;

    bool operator==(const DeviceRecord &) const = default;
};

struct InterfaceRecord {
    uint8_t bInterfaceClass = 0;
    uint8_t bInterfaceSubClass = 0;
    uint8_t bInterfaceProtocol = 0;

    bool operator==(const InterfaceRecord &) const = default;
};

struct ListedDevice {
    DeviceRecord device;
    std::vector<InterfaceRecord> interfaces;

    bool operator==(const ListedDevice &) const = default;
};

struct DevlistReply {
    uint32_t status = kOpStatusOk;  // non-zero: no device count or devices follow
    std::vector<ListedDevice> devices;

    bool operator==(const DevlistReply &) const = default;
};

struct ImportRequest {
    std::string busId;

    bool operator==(const ImportRequest &) const = default;
};

struct ImportReply {
    uint32_t status = kOpStatusOk;
    std::optional<DeviceRecord> device;  // present exactly when status is 0

    bool operator==(const ImportReply &) const = default;
};

// devid of the URB messages for an imported device.
constexpr uint32_t makeDevid(uint32_t busnum, uint32_t devnum) { return busnum << 16 | (devnum & 0xFFFF); }

void appendOpHeader(std::vector<uint8_t> &out, uint16_t code, uint32_t status);
void appendDeviceRecord(std::vector<uint8_t> &out, const DeviceRecord &record);
void appendInterfaceRecord(std::vector<uint8_t> &out, const InterfaceRecord &record);
void appendDevlistRequest(std::vector<uint8_t> &out);
// Each device record is written with bNumInterfaces = interfaces.size() (at
// most kMaxInterfaces are written), followed by its interface records. A
// non-zero status writes the header alone.
void appendDevlistReply(std::vector<uint8_t> &out, const DevlistReply &reply);
void appendImportRequest(std::vector<uint8_t> &out, const ImportRequest &request);
// Status 0 writes the header and the device record (an empty record if
// `device` is missing); any other status writes the header alone.
void appendImportReply(std::vector<uint8_t> &out, const ImportReply &reply);

// The 8-byte common header; checks the version only.
Result<OpHeader> decodeOpHeader(std::span<const uint8_t> in);
// The total size of the request that begins with `header` (devlist 8, import
// 40); BadCode for any other code. Lets a server read a request in two steps.
Result<size_t> opRequestSize(const OpHeader &header);
Result<OpHeader> decodeDevlistRequest(std::span<const uint8_t> in);
Result<ImportRequest> decodeImportRequest(std::span<const uint8_t> in);
Result<DeviceRecord> decodeDeviceRecord(std::span<const uint8_t> in);
Result<InterfaceRecord> decodeInterfaceRecord(std::span<const uint8_t> in);
// Header, count, then each device record with its bNumInterfaces interface
// records. A server closes the connection after this reply, so a reader can
// collect bytes until end of stream (or until this stops saying Short).
Result<DevlistReply> decodeDevlistReply(std::span<const uint8_t> in);
Result<ImportReply> decodeImportReply(std::span<const uint8_t> in);

// ---------------------------------------------------------------------------
// URB messages (after a successful import)

enum class Direction : uint32_t { Out = 0, In = 1 };

// The setup packet of a control transfer, fields in host order.
struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};
SetupPacket parseSetup(const std::array<uint8_t, kSetupSize> &bytes);
std::array<uint8_t, kSetupSize> makeSetup(const SetupPacket &setup);

struct CmdSubmit {
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    Direction direction = Direction::Out;
    uint32_t endpoint = 0;  // 0..15, no direction bit
    uint32_t transferFlags = 0;
    uint32_t transferBufferLength = 0;
    int32_t startFrame = 0;
    uint32_t numberOfPackets = 0;
    int32_t interval = 0;
    std::array<uint8_t, kSetupSize> setup{};

    bool operator==(const CmdSubmit &) const = default;
};

struct RetSubmit {
    uint32_t seqnum = 0;
    int32_t status = kUrbOk;
    uint32_t actualLength = 0;
    int32_t startFrame = 0;
    uint32_t numberOfPackets = 0;
    uint32_t errorCount = 0;

    bool operator==(const RetSubmit &) const = default;
};

struct CmdUnlink {
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    uint32_t unlinkSeqnum = 0;  // the submit to cancel

    bool operator==(const CmdUnlink &) const = default;
};

struct RetUnlink {
    uint32_t seqnum = 0;  // of the CMD_UNLINK
    int32_t status = kUrbOk;

    bool operator==(const RetUnlink &) const = default;
};

using UrbHeader = std::variant<CmdSubmit, RetSubmit, CmdUnlink, RetUnlink>;

// CMD_SUBMIT. For OUT the data is appended and transfer_buffer_length is
// data.size(); for IN no data is sent, transfer_buffer_length is taken from
// the header and `data` must be empty.
void appendCmdSubmit(std::vector<uint8_t> &out, const CmdSubmit &submit, std::span<const uint8_t> data = {});
// RET_SUBMIT answering a submit of `direction`. IN: the data is appended and
// actual_length is data.size(). OUT: actual_length is taken from the header
// and `data` must be empty (OUT replies carry no data).
void appendRetSubmit(std::vector<uint8_t> &out, const RetSubmit &reply, Direction direction,
                     std::span<const uint8_t> data = {});
void appendCmdUnlink(std::vector<uint8_t> &out, const CmdUnlink &unlink);
void appendRetUnlink(std::vector<uint8_t> &out, const RetUnlink &reply);

// One 48-byte URB header of any of the four commands. Checks the command,
// direction and endpoint of a submit, transfer lengths against
// kMaxTransferLength, and rejects isochronous packet counts (any
// number_of_packets other than 0 or 0xFFFFFFFF). Fields that a command leaves
// unused are not checked. size() is 48: the data, if any, follows.
Result<UrbHeader> decodeUrbHeader(std::span<const uint8_t> in);

// Data bytes that follow a CMD_SUBMIT header: transfer_buffer_length for OUT,
// 0 for IN.
uint32_t submitDataLength(const CmdSubmit &submit);

// Checks a RET_SUBMIT against the submit it answers (found by seqnum) and says
// how many data bytes follow its header: actual_length for IN, 0 for OUT.
// LengthOverrun when actual_length exceeds `askedLength` (the submit's
// transfer_buffer_length): a protocol violation, drop the connection.
Result<uint32_t> retSubmitDataLength(const RetSubmit &reply, Direction direction, uint32_t askedLength);

}  // namespace usbip
