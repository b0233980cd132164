// SPDX-License-Identifier: MIT
#include "projector_emulator/device.h"

#include <string_view>

#include "usb_standard/usb_standard.h"

namespace projector_emulator {

namespace {
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialString = 3;

std::vector<uint8_t> utf16Descriptor(std::string_view text) {
    std::vector<uint8_t> descriptor{static_cast<uint8_t>(2 + 2 * text.size()), usb_standard::DT_STRING};
    for (char c : text) {
        descriptor.push_back(static_cast<uint8_t>(c));
        descriptor.push_back(0);
    }
    return descriptor;
}
}  // namespace

// Laid out a field per row, as the USB descriptors are usually read.
// clang-format off
std::vector<uint8_t> deviceDescriptor(const Presence &presence) {
    const uint16_t release = presence.mode == Mode::Application ? 0x0100 : 0x0200;
    return {
        usb_standard::DT_DEVICE_SIZE, usb_standard::DT_DEVICE,
        0x00, 0x02,                               // bcdUSB 2.00
        0x00, 0x00, 0x00,                         // class in the interface
        64,                                       // bMaxPacketSize0
        static_cast<uint8_t>(presence.vendorId), static_cast<uint8_t>(presence.vendorId >> 8),
        static_cast<uint8_t>(presence.productId), static_cast<uint8_t>(presence.productId >> 8),
        static_cast<uint8_t>(release), static_cast<uint8_t>(release >> 8),
        kManufacturerString, kProductString, kSerialString,
        1,                                        // bNumConfigurations
    };
}

std::vector<uint8_t> configDescriptor() {
    return {
        usb_standard::DT_CONFIG_SIZE, usb_standard::DT_CONFIG,
        32, 0,                                    // wTotalLength
        1, 1, 0,                                  // one interface, configuration 1, no string
        0x80, 50,                                 // bus powered, 100 mA
        usb_standard::DT_INTERFACE_SIZE, usb_standard::DT_INTERFACE,
        0, 0, 2,                                  // interface 0, alternate 0, two endpoints
        0xFF, 0x00, 0x00, 0,                      // vendor specific
        usb_standard::DT_ENDPOINT_SIZE, usb_standard::DT_ENDPOINT,
        kBulkOutEndpoint, usb_standard::ENDPOINT_XFER_BULK, kBulkPacketSize, 0, 0,
        usb_standard::DT_ENDPOINT_SIZE, usb_standard::DT_ENDPOINT,
        kBulkInEndpoint, usb_standard::ENDPOINT_XFER_BULK, kBulkPacketSize, 0, 0,
    };
}
// clang-format on

std::vector<uint8_t> Tz4817Device::descriptor(uint8_t type, uint8_t index, const Presence &presence) const {
    switch (type) {
    case usb_standard::DT_DEVICE: return index == 0 ? deviceDescriptor(presence) : std::vector<uint8_t>();
    case usb_standard::DT_CONFIG: return index == 0 ? configDescriptor() : std::vector<uint8_t>();
    case usb_standard::DT_STRING: return stringDescriptor(index);
    // A full-speed-only device has no device qualifier or other-speed
    // configuration: those requests stall, as the host expects.
    default: return {};
    }
}

std::vector<uint8_t> stringDescriptor(uint8_t index) {
    switch (index) {
    case 0: return {4, usb_standard::DT_STRING, 0x09, 0x04};  // US English
    case kManufacturerString: return utf16Descriptor("tz4817 emulator");
    case kProductString: return utf16Descriptor("tz4817 Projector");
    case kSerialString: return utf16Descriptor("TZ4817-EMU-0001");
    default: return {};
    }
}

}  // namespace projector_emulator
