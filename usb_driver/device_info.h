// SPDX-License-Identifier: MIT
// The device information block (driver_records.h: DeviceInfo and the records
// it points to), built from a device's descriptor bytes.
//
// Descriptor bytes come from the bus, and a USB/IP bus gets them from a
// network peer: the parser trusts no length in them. It stops at a descriptor
// whose bLength is below 2 or runs past the end, skips descriptors too short
// for their type, and keeps at most kMaxInterfaces interfaces,
// kMaxAlternates alternate settings per interface and kMaxEndpoints endpoints
// per alternate setting. The counts in the copied descriptors
// (bNumInterfaces, bNumEndpoints) are set to what the block really holds, so
// a reader that trusts them stays inside the block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "usb_driver/driver_records.h"

namespace usb_driver {

inline constexpr size_t kMaxAlternates = 16;
inline constexpr size_t kMaxEndpoints = 30;

struct AlternateModel {
    UsbInterfaceDescriptor descriptor{};
    std::vector<UsbEndpointDescriptor> endpoints;
};

struct InterfaceModel {
    uint8_t number = 0;
    std::vector<AlternateModel> alternates;  // in the order the device lists them
};

// What the driver knows of a device's descriptors; immutable once parsed.
struct DeviceModel {
    UsbDeviceDescriptor device{};
    UsbConfigDescriptor config{};
    std::vector<InterfaceModel> interfaces;  // ascending interface number

    // Whether `address` is an endpoint of some alternate setting (0 is the
    // control pipe and always there).
    bool hasEndpoint(uint32_t address) const;
    // Whether interface `number` has alternate setting `alternate`.
    bool hasAlternate(uint32_t number, uint32_t alternate) const;
};

// Parses an 18-byte device descriptor and a configuration descriptor with its
// interfaces and endpoints. Nothing, with `why` set, when the device cannot be
// described: a device descriptor of the wrong size or type, a configuration
// header that is not one, or no interface at all (a device without interface
// 0 cannot be used by anyone).
std::optional<DeviceModel> parseDescriptors(std::span<const uint8_t> device, std::span<const uint8_t> config,
                                            std::string *why = nullptr);

// Active alternate setting per interface position (index into
// DeviceModel::interfaces); 0 at first. A fixed array: reading it costs no
// allocation on the exchange path.
using ActiveAlternates = std::array<uint8_t, kMaxInterfaces>;

// Bytes the block needs.
size_t infoBlockSize(const DeviceModel &model);

// Builds the block in `block`, which holds at least infoBlockSize(model)
// bytes and is aligned to alignof(DeviceInfo). Every pointer written points
// into the block.
void fillInfoBlock(const DeviceModel &model, const ActiveAlternates &active, void *block);

}  // namespace usb_driver
