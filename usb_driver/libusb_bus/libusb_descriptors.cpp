// SPDX-License-Identifier: MIT
#include "libusb_descriptors.h"

#include <libusb.h>

namespace usb_driver {
namespace {

void put16(std::vector<uint8_t> &out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void putExtra(std::vector<uint8_t> &out, const unsigned char *extra, int length) {
    if (extra != nullptr && length > 0) out.insert(out.end(), extra, extra + length);
}

// A descriptor longer than the fields libusb parses keeps its length; the
// bytes libusb skipped are not known and stay zero.
void padTo(std::vector<uint8_t> &out, size_t start, uint8_t length) {
    while (out.size() - start < length) out.push_back(0);
}

void putEndpoint(std::vector<uint8_t> &out, const libusb_endpoint_descriptor &endpoint) {
    const size_t start = out.size();
    const uint8_t length = endpoint.bLength < LIBUSB_DT_ENDPOINT_SIZE ? LIBUSB_DT_ENDPOINT_SIZE : endpoint.bLength;
    out.push_back(length);
    out.push_back(endpoint.bDescriptorType);
    out.push_back(endpoint.bEndpointAddress);
    out.push_back(endpoint.bmAttributes);
    put16(out, endpoint.wMaxPacketSize);
    out.push_back(endpoint.bInterval);
    if (length >= LIBUSB_DT_ENDPOINT_AUDIO_SIZE) {
        out.push_back(endpoint.bRefresh);
        out.push_back(endpoint.bSynchAddress);
    }
    padTo(out, start, length);
    putExtra(out, endpoint.extra, endpoint.extra_length);
}

void putInterface(std::vector<uint8_t> &out, const libusb_interface_descriptor &interface) {
    // When a class descriptor after the interface runs past the end of the
    // configuration, libusb keeps the interface with the endpoint count the
    // device sent but without an endpoint array: it has no endpoints.
    const uint8_t endpoints = interface.endpoint != nullptr ? interface.bNumEndpoints : 0;
    const size_t start = out.size();
    const uint8_t length = interface.bLength < LIBUSB_DT_INTERFACE_SIZE ? LIBUSB_DT_INTERFACE_SIZE : interface.bLength;
    out.push_back(length);
    out.push_back(interface.bDescriptorType);
    out.push_back(interface.bInterfaceNumber);
    out.push_back(interface.bAlternateSetting);
    out.push_back(endpoints);
    out.push_back(interface.bInterfaceClass);
    out.push_back(interface.bInterfaceSubClass);
    out.push_back(interface.bInterfaceProtocol);
    out.push_back(interface.iInterface);
    padTo(out, start, length);
    putExtra(out, interface.extra, interface.extra_length);
    for (int i = 0; i < endpoints; ++i) putEndpoint(out, interface.endpoint[i]);
}

}  // namespace

std::vector<uint8_t> deviceDescriptorBytes(const libusb_device_descriptor &descriptor) {
    std::vector<uint8_t> out;
    out.reserve(LIBUSB_DT_DEVICE_SIZE);
    out.push_back(LIBUSB_DT_DEVICE_SIZE);
    out.push_back(LIBUSB_DT_DEVICE);
    put16(out, descriptor.bcdUSB);
    out.push_back(descriptor.bDeviceClass);
    out.push_back(descriptor.bDeviceSubClass);
    out.push_back(descriptor.bDeviceProtocol);
    out.push_back(descriptor.bMaxPacketSize0);
    put16(out, descriptor.idVendor);
    put16(out, descriptor.idProduct);
    put16(out, descriptor.bcdDevice);
    out.push_back(descriptor.iManufacturer);
    out.push_back(descriptor.iProduct);
    out.push_back(descriptor.iSerialNumber);
    out.push_back(descriptor.bNumConfigurations);
    return out;
}

std::vector<uint8_t> configDescriptorBytes(const libusb_config_descriptor &config) {
    std::vector<uint8_t> out;
    const uint8_t length = config.bLength < LIBUSB_DT_CONFIG_SIZE ? LIBUSB_DT_CONFIG_SIZE : config.bLength;
    out.push_back(length);
    out.push_back(config.bDescriptorType);
    put16(out, 0);  // wTotalLength, set below
    out.push_back(config.bNumInterfaces);
    out.push_back(config.bConfigurationValue);
    out.push_back(config.iConfiguration);
    out.push_back(config.bmAttributes);
    out.push_back(config.MaxPower);
    padTo(out, 0, length);
    putExtra(out, config.extra, config.extra_length);
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface &interface = config.interface[i];
        for (int alternate = 0; alternate < interface.num_altsetting; ++alternate)
            putInterface(out, interface.altsetting[alternate]);
    }
    const auto total = static_cast<uint16_t>(out.size() > 0xFFFF ? 0xFFFF : out.size());
    out[2] = static_cast<uint8_t>(total & 0xFF);
    out[3] = static_cast<uint8_t>(total >> 8);
    return out;
}

std::map<uint8_t, uint8_t> EndpointsOf(const std::vector<uint8_t> &config) {
    std::map<uint8_t, uint8_t> endpoints;
    size_t at = 0;
    while (at + 2 <= config.size()) {
        const uint8_t length = config[at];
        if (length < 2 || at + length > config.size()) break;
        if (config[at + 1] == LIBUSB_DT_ENDPOINT && length >= LIBUSB_DT_ENDPOINT_SIZE)
            endpoints[config[at + 2]] = config[at + 3];
        at += length;
    }
    return endpoints;
}

}  // namespace usb_driver
