// SPDX-License-Identifier: MIT
#include "winusb_requests.h"

#include <cctype>
#include <cstdio>

#include "usb_driver/driver_status.h"
#include "usb_standard/usb_standard.h"

namespace usb_driver::winusb {
namespace {

// The Windows error codes that mean something of their own to the driver.
constexpr uint32_t kErrorFileNotFound = 2;           // ERROR_FILE_NOT_FOUND: the device has left
constexpr uint32_t kErrorAccessDenied = 5;           // ERROR_ACCESS_DENIED
constexpr uint32_t kErrorInvalidHandle = 6;          // ERROR_INVALID_HANDLE: its handle was closed
constexpr uint32_t kErrorBadCommand = 22;            // ERROR_BAD_COMMAND: the device does not answer
constexpr uint32_t kErrorGenFailure = 31;            // ERROR_GEN_FAILURE: WinUSB's stalled pipe
constexpr uint32_t kErrorSharingViolation = 32;      // ERROR_SHARING_VIOLATION: opened elsewhere
constexpr uint32_t kErrorSemTimeout = 121;           // ERROR_SEM_TIMEOUT: the pipe's time-out passed
constexpr uint32_t kErrorBusy = 170;                 // ERROR_BUSY
constexpr uint32_t kErrorNoSuchDevice = 433;         // ERROR_NO_SUCH_DEVICE
constexpr uint32_t kErrorOperationAborted = 995;     // ERROR_OPERATION_ABORTED: WinUsb_AbortPipe
constexpr uint32_t kErrorDeviceNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED

constexpr uint8_t kTransferTypeMask = 0x03;
constexpr uint8_t kTransferTypeInterrupt = 0x03;

// The hexadecimal number of four digits after `key` ("vid_") in `lower`.
std::optional<uint16_t> hexAfter(const std::string &lower, const std::string &key) {
    const size_t at = lower.find(key);
    if (at == std::string::npos || at + key.size() + 4 > lower.size()) return std::nullopt;
    uint16_t value = 0;
    for (size_t i = at + key.size(); i < at + key.size() + 4; ++i) {
        const char c = lower[i];
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value =
            static_cast<uint16_t>(value << 4 | (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'a' + 10));
    }
    return value;
}

}  // namespace

uint32_t planTransfer(const TransferRequest &request, const std::map<uint8_t, uint8_t> &pipes, Transfer &plan) {
    if (request.length > 0 && request.buffer == nullptr) return kStatusBadRecord;
    if (request.length > 0x7FFFFFFF) return kStatusBadRecord;
    plan = Transfer{};
    if (request.pipe == 0) {
        const uint8_t *setup = request.setup;
        plan.kind = Transfer::Kind::Control;
        plan.setup = {setup[0], setup[1], static_cast<uint16_t>(setup[2] | setup[3] << 8),
                      static_cast<uint16_t>(setup[4] | setup[5] << 8), static_cast<uint16_t>(setup[6] | setup[7] << 8)};
        const bool in = (setup[0] & usb_standard::DIR_IN) != 0;
        if (plan.setup.length > request.length || in != request.in) return kStatusBadRecord;
        plan.length = plan.setup.length;
        return kStatusOk;
    }
    const auto pipe = pipes.find(static_cast<uint8_t>(request.pipe));
    if (request.pipe > 0xFF || pipe == pipes.end()) return kStatusBadRecord;
    if (((request.pipe & usb_standard::DIR_IN) != 0) != request.in) return kStatusBadRecord;
    const uint8_t type = pipe->second & kTransferTypeMask;
    if (type != usb_standard::ENDPOINT_XFER_BULK && type != kTransferTypeInterrupt) return kStatusBadRecord;
    plan.kind = request.in ? Transfer::Kind::Read : Transfer::Kind::Write;
    plan.pipe = static_cast<uint8_t>(request.pipe);
    plan.length = request.length;
    return kStatusOk;
}

uint32_t statusOf(uint32_t windowsError) {
    switch (windowsError) {
    case 0: return kStatusOk;
    case kErrorSemTimeout: return kStatusTimeout;
    case kErrorGenFailure: return kStatusStall;
    case kErrorFileNotFound:
    case kErrorInvalidHandle:
    case kErrorBadCommand:
    case kErrorNoSuchDevice:
    case kErrorDeviceNotConnected: return kStatusDeviceNotFound;
    case kErrorAccessDenied: return kStatusAccessDenied;
    case kErrorSharingViolation:
    case kErrorBusy: return kStatusBusy;
    case kErrorOperationAborted:
    default: return kStatusTransferFailed;
    }
}

std::string guidText(const InterfaceGuid &guid) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.data1, guid.data2,
                  guid.data3, guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4], guid.data4[5],
                  guid.data4[6], guid.data4[7]);
    return text;
}

std::optional<UsbIds> idsOfPath(const std::string &path) {
    std::string lower(path);
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto vendor = hexAfter(lower, "vid_");
    const auto product = hexAfter(lower, "pid_");
    if (!vendor || !product) return std::nullopt;
    return UsbIds{*vendor, *product};
}

std::optional<std::string> placeOfLocation(const std::string &locationPath) {
    // "USBROOT(n)" then "USB(port)" for each hub on the way.
    std::string place;
    size_t at = 0;
    const auto numberIn = [&](const std::string &node) -> std::optional<unsigned long> {
        const size_t found = locationPath.find(node, at);
        if (found == std::string::npos || (found > 0 && locationPath[found - 1] != '#')) return std::nullopt;
        const size_t start = found + node.size();
        const size_t end = locationPath.find(')', start);
        if (end == std::string::npos || end == start || end - start > 3) return std::nullopt;
        for (size_t i = start; i < end; ++i)
            if (!std::isdigit(static_cast<unsigned char>(locationPath[i]))) return std::nullopt;
        at = end + 1;
        return std::stoul(locationPath.substr(start, end - start));
    };
    const auto root = numberIn("USBROOT(");
    if (!root) return std::nullopt;
    place = std::to_string(*root + 1);
    bool first = true;
    while (const auto port = numberIn("USB(")) {
        place += first ? '-' : '.';
        place += std::to_string(*port);
        first = false;
    }
    if (first || place.size() > kMaxPlaceLength) return std::nullopt;
    return place;
}

}  // namespace usb_driver::winusb
