// SPDX-License-Identifier: MIT
// The standard requests and descriptors of USB 2.0 (chapter 9), as the
// emulated projector answers them and the driver's buses send and parse
// them. The names follow <linux/usb/ch9.h> without its USB_ prefix (and
// without REQ_ for requests), but the header stands alone: it builds where
// that header does not exist.
#pragma once

#include <array>
#include <cstdint>

namespace usb_standard {

// bmRequestType: direction | type | recipient.
inline constexpr uint8_t DIR_OUT = 0x00;
inline constexpr uint8_t DIR_IN = 0x80;
inline constexpr uint8_t TYPE_STANDARD = 0x00;
inline constexpr uint8_t RECIP_DEVICE = 0x00;
inline constexpr uint8_t RECIP_INTERFACE = 0x01;
inline constexpr uint8_t RECIP_ENDPOINT = 0x02;

// bRequest of the standard requests.
inline constexpr uint8_t GET_STATUS = 0x00;
inline constexpr uint8_t CLEAR_FEATURE = 0x01;
inline constexpr uint8_t SET_FEATURE = 0x03;
inline constexpr uint8_t SET_ADDRESS = 0x05;
inline constexpr uint8_t GET_DESCRIPTOR = 0x06;
inline constexpr uint8_t SET_DESCRIPTOR = 0x07;
inline constexpr uint8_t GET_CONFIGURATION = 0x08;
inline constexpr uint8_t SET_CONFIGURATION = 0x09;
inline constexpr uint8_t GET_INTERFACE = 0x0A;
inline constexpr uint8_t SET_INTERFACE = 0x0B;

// Feature selectors of CLEAR_FEATURE / SET_FEATURE: to an endpoint, to the device.
inline constexpr uint16_t ENDPOINT_HALT = 0;
inline constexpr uint16_t DEVICE_REMOTE_WAKEUP = 1;

// bDescriptorType, and the sizes of the descriptors this system reads.
inline constexpr uint8_t DT_DEVICE = 0x01;
inline constexpr uint8_t DT_CONFIG = 0x02;
inline constexpr uint8_t DT_STRING = 0x03;
inline constexpr uint8_t DT_INTERFACE = 0x04;
inline constexpr uint8_t DT_ENDPOINT = 0x05;
inline constexpr uint8_t DT_DEVICE_QUALIFIER = 0x06;  // high-speed devices only
inline constexpr uint8_t DT_DEVICE_SIZE = 18;
inline constexpr uint8_t DT_CONFIG_SIZE = 9;
inline constexpr uint8_t DT_INTERFACE_SIZE = 9;
inline constexpr uint8_t DT_ENDPOINT_SIZE = 7;

// bmAttributes of an endpoint: its transfer type.
inline constexpr uint8_t ENDPOINT_XFER_BULK = 0x02;

// wValue of GET_DESCRIPTOR: the type in the high byte, the index in the low.
constexpr uint16_t descriptorValue(uint8_t type, uint8_t index = 0) { return static_cast<uint16_t>(type << 8 | index); }

// The 8-byte setup packet of a control request, fields little-endian.
constexpr std::array<uint8_t, 8> setupPacket(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                             uint16_t length) {
    return {requestType,
            request,
            static_cast<uint8_t>(value),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index),
            static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8)};
}

// GET_DESCRIPTOR of the device, for `length` bytes.
constexpr std::array<uint8_t, 8> getDescriptor(uint8_t type, uint8_t index, uint16_t length) {
    return setupPacket(DIR_IN | TYPE_STANDARD | RECIP_DEVICE, GET_DESCRIPTOR, descriptorValue(type, index), 0, length);
}

}  // namespace usb_standard
