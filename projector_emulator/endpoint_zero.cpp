// SPDX-License-Identifier: MIT
#include "endpoint_zero.h"

#include <algorithm>

#include "projector_emulator/device.h"
#include "usb_standard/usb_standard.h"

namespace projector_emulator {
namespace {

// The bmRequestType of each standard request this device answers.
constexpr uint8_t kInDevice = usb_standard::DIR_IN | usb_standard::TYPE_STANDARD | usb_standard::RECIP_DEVICE;
constexpr uint8_t kInInterface = usb_standard::DIR_IN | usb_standard::TYPE_STANDARD | usb_standard::RECIP_INTERFACE;
constexpr uint8_t kInEndpoint = usb_standard::DIR_IN | usb_standard::TYPE_STANDARD | usb_standard::RECIP_ENDPOINT;
constexpr uint8_t kOutDevice = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_DEVICE;
constexpr uint8_t kOutInterface = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_INTERFACE;
constexpr uint8_t kOutEndpoint = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_ENDPOINT;

ControlResult stall() { return {usbip::kUrbStall, {}}; }

ControlResult ok(std::vector<uint8_t> data, const usbip::SetupPacket &setup, uint32_t bufferLength) {
    const size_t limit = std::min<size_t>(setup.wLength, bufferLength);
    if (data.size() > limit) data.resize(limit);
    return {usbip::kUrbOk, std::move(data)};
}

bool isDeviceEndpoint(uint16_t index) { return index == 0x00 || index == kBulkOutEndpoint || index == kBulkInEndpoint; }

ControlResult getDescriptor(const usbip::SetupPacket &setup, uint32_t bufferLength, const EmulatedDevice &device,
                            const Presence &presence) {
    const uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
    const uint8_t index = static_cast<uint8_t>(setup.wValue);
    std::vector<uint8_t> descriptor = device.descriptor(type, index, presence);
    if (descriptor.empty()) return stall();
    return ok(std::move(descriptor), setup, bufferLength);
}

}  // namespace

ControlResult handleControl(const usbip::SetupPacket &setup, usbip::Direction direction, uint32_t bufferLength,
                            const EmulatedDevice &device, const Presence &presence) {
    const bool in = (setup.bmRequestType & usb_standard::DIR_IN) != 0;
    if (in != (direction == usbip::Direction::In)) return stall();

    switch (setup.bRequest) {
    case usb_standard::GET_DESCRIPTOR:
        if (setup.bmRequestType != kInDevice) return stall();
        return getDescriptor(setup, bufferLength, device, presence);
    case usb_standard::GET_STATUS:
        // Bus powered, no remote wake-up, no halted endpoint.
        if (setup.bmRequestType == kInDevice && setup.wIndex == 0) return ok({0, 0}, setup, bufferLength);
        if (setup.bmRequestType == kInInterface && setup.wIndex == 0) return ok({0, 0}, setup, bufferLength);
        if (setup.bmRequestType == kInEndpoint && isDeviceEndpoint(setup.wIndex))
            return ok({0, 0}, setup, bufferLength);
        return stall();
    case usb_standard::SET_CONFIGURATION:
        if (setup.bmRequestType == kOutDevice && setup.wValue <= 1 && setup.wIndex == 0) return {};
        return stall();
    case usb_standard::SET_INTERFACE:
        if (setup.bmRequestType == kOutInterface && setup.wIndex == 0 && setup.wValue == 0) return {};
        return stall();
    case usb_standard::CLEAR_FEATURE:
        // The bulk pipes never halt, so clearing a halt only has to succeed.
        // On a real device it resets the data toggle and nothing more: a
        // reply waiting in the IN endpoint stays, as firmware that does not
        // flush its endpoint buffer on this request leaves it.
        if (setup.bmRequestType == kOutEndpoint && setup.wValue == usb_standard::ENDPOINT_HALT &&
            (setup.wIndex == kBulkOutEndpoint || setup.wIndex == kBulkInEndpoint))
            return {};
        return stall();
    default: return stall();
    }
}

}  // namespace projector_emulator
