// SPDX-License-Identifier: MIT
// The raw descriptor bytes of a libusb device, rebuilt from libusb's parsed
// descriptors: libusb hands out structures, the driver's device information
// record wants the bytes the device sent.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

struct libusb_device_descriptor;
struct libusb_config_descriptor;

namespace usb_driver {

// The 18-byte device descriptor.
std::vector<uint8_t> deviceDescriptorBytes(const libusb_device_descriptor &descriptor);

// The whole configuration (configuration, interface and endpoint descriptors
// with every class or vendor descriptor libusb kept as "extra"), in the order
// the device sent them, except that libusb keeps the class descriptors found
// between interfaces (interface associations) in one block with the
// configuration, so they all follow it. wTotalLength is the rebuilt length;
// the counts are those of the descriptors rebuilt.
std::vector<uint8_t> configDescriptorBytes(const libusb_config_descriptor &config);

// bmAttributes of every endpoint of a configuration (all alternate settings),
// by endpoint address. Control endpoint 0 is not listed.
std::map<uint8_t, uint8_t> EndpointsOf(const std::vector<uint8_t> &config);

}  // namespace usb_driver
