#include "endpoint_zero.h"

#include <algorithm>

namespace tz4817 {
namespace {

// bmRequestType values (direction | type | recipient) and bRequest codes.
constexpr uint8_t kInDevice = 0x80;
constexpr uint8_t kInInterface = 0x81;
constexpr uint8_t kInEndpoint = 0x82;
constexpr uint8_t kOutDevice = 0x00;
constexpr uint8_t kOutInterface = 0x01;
constexpr uint8_t kOutEndpoint = 0x02;

constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kSetInterface = 11;

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;

constexpr uint16_t kFeatureEndpointHalt = 0;

ControlResult stall() { return {usbip::kUrbStall, {}}; }

ControlResult ok(std::vector<uint8_t> data, const usbip::SetupPacket &setup, uint32_t bufferLength) {
    const size_t limit = std::min<size_t>(setup.wLength, bufferLength);
    if (data.size() > limit) data.resize(limit);
    return {usbip::kUrbOk, std::move(data)};
}

bool isDeviceEndpoint(uint16_t index) { return index == 0x00 || index == kBulkOutEndpoint || index == kBulkInEndpoint; }

ControlResult getDescriptor(const usbip::SetupPacket &setup, uint32_t bufferLength, const Presence &presence) {
    const uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
    const uint8_t index = static_cast<uint8_t>(setup.wValue);
    std::vector<uint8_t> descriptor;
    switch (type) {
    case kDescriptorDevice:
        if (index == 0) descriptor = deviceDescriptor(presence);
        break;
    case kDescriptorConfiguration:
        if (index == 0) descriptor = configDescriptor();
        break;
    case kDescriptorString: descriptor = stringDescriptor(index); break;
    default:
        // A full-speed-only device has no device qualifier or other-speed
        // configuration: those requests stall, as the host expects.
        break;
    }
    if (descriptor.empty()) return stall();
    return ok(std::move(descriptor), setup, bufferLength);
}

}  // namespace

ControlResult handleControl(const usbip::SetupPacket &setup, usbip::Direction direction, uint32_t bufferLength,
                            const Presence &presence) {
    const bool in = (setup.bmRequestType & 0x80) != 0;
    if (in != (direction == usbip::Direction::In)) return stall();

    switch (setup.bRequest) {
    case kGetDescriptor:
        if (setup.bmRequestType != kInDevice) return stall();
        return getDescriptor(setup, bufferLength, presence);
    case kGetStatus:
        // Bus powered, no remote wake-up, no halted endpoint.
        if (setup.bmRequestType == kInDevice && setup.wIndex == 0) return ok({0, 0}, setup, bufferLength);
        if (setup.bmRequestType == kInInterface && setup.wIndex == 0) return ok({0, 0}, setup, bufferLength);
        if (setup.bmRequestType == kInEndpoint && isDeviceEndpoint(setup.wIndex))
            return ok({0, 0}, setup, bufferLength);
        return stall();
    case kSetConfiguration:
        if (setup.bmRequestType == kOutDevice && setup.wValue <= 1 && setup.wIndex == 0) return {};
        return stall();
    case kSetInterface:
        if (setup.bmRequestType == kOutInterface && setup.wIndex == 0 && setup.wValue == 0) return {};
        return stall();
    case kClearFeature:
        // The bulk pipes never halt, so clearing a halt only has to succeed.
        if (setup.bmRequestType == kOutEndpoint && setup.wValue == kFeatureEndpointHalt &&
            (setup.wIndex == kBulkOutEndpoint || setup.wIndex == kBulkInEndpoint))
            return {};
        return stall();
    default: return stall();
    }
}

}  // namespace tz4817
