// SPDX-License-Identifier: MIT
// The local bus's rebuild of descriptor bytes from what libusb parsed: the
// input is what a device sends (its 18-byte device descriptor, then its
// configuration), parsed into libusb's structures by the rules libusb-1.0
// applies to a configuration (descriptor.c: parse_configuration,
// parse_interface, parse_endpoint), quirks included: a descriptor that runs
// past the end keeps the interface it follows but drops what comes after,
// an alternate setting may then announce endpoints and have no array of them.
//
// The rebuilt configuration must be the bytes libusb kept, in its order (the
// configuration's class descriptors come first: libusb keeps them in one
// block), with the counts libusb kept and zeros for bytes libusb skipped; the
// endpoint table must list what libusb listed; the driver's descriptor parser
// must find no pipe the bus would refuse and build an information block that
// stays inside itself.
#include <libusb.h>

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "device_info.h"
#include "fuzz_support.h"
#include "libusb_bus/libusb_descriptors.h"

namespace {

using fuzz::Bytes;
using Buffer = std::vector<uint8_t>;

// libusb's limits on a configuration.
constexpr uint8_t kLibusbMaxInterfaces = 32;
constexpr uint8_t kLibusbMaxEndpoints = 32;

bool properDescriptor(uint8_t type) {
    return type == LIBUSB_DT_ENDPOINT || type == LIBUSB_DT_INTERFACE || type == LIBUSB_DT_CONFIG ||
           type == LIBUSB_DT_DEVICE;
}

// The first `fields` bytes of a descriptor as sent, then zeros up to its
// bLength: what a rebuild from parsed fields can give back.
Buffer keptDescriptor(Bytes raw, size_t fields) {
    Buffer kept(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(fields));
    kept.resize(raw[0], 0);
    return kept;
}

struct Endpoint {
    libusb_endpoint_descriptor descriptor{};
    Buffer bytes;  // as the rebuild must give it back
    Buffer extra;
};

struct Alternate {
    libusb_interface_descriptor descriptor{};
    Buffer bytes;
    Buffer extra;
    std::vector<Endpoint> endpoints;
    bool endpointArray = false;  // libusb gave it an endpoint array (endpoint not null)
};

struct Configuration {
    libusb_config_descriptor descriptor{};
    Buffer bytes;
    Buffer extra;
    std::vector<std::vector<Alternate>> interfaces;
};

// What the parse functions return: bytes used, 0 to stop here, or an error
// that makes libusb hand over no configuration at all.
constexpr int kError = -1;

// Class and vendor descriptors up to the next "proper" one. Sets `used` to
// the bytes passed over; false when one runs past the end (libusb then
// stops without keeping them), and `error` for a length below 2.
bool skipExtras(Bytes rest, size_t &used, bool &error) {
    used = 0;
    error = false;
    while (rest.size() - used >= 2) {
        const uint8_t length = rest[used];
        if (length < 2) {
            error = true;
            return false;
        }
        if (length > rest.size() - used) return false;
        if (properDescriptor(rest[used + 1])) break;
        used += length;
    }
    return true;
}

int parseEndpoint(Bytes rest, Endpoint &endpoint) {
    if (rest.size() < 2) return kError;
    if (rest[1] != LIBUSB_DT_ENDPOINT) return 0;
    const uint8_t length = rest[0];
    if (length < LIBUSB_DT_ENDPOINT_SIZE) return kError;
    if (length > rest.size()) return 0;
    libusb_endpoint_descriptor &d = endpoint.descriptor;
    d.bLength = length;
    d.bDescriptorType = rest[1];
    d.bEndpointAddress = rest[2];
    d.bmAttributes = rest[3];
    d.wMaxPacketSize = static_cast<uint16_t>(rest[4] | rest[5] << 8);
    d.bInterval = rest[6];
    const bool audio = length >= LIBUSB_DT_ENDPOINT_AUDIO_SIZE;
    if (audio) {
        d.bRefresh = rest[7];
        d.bSynchAddress = rest[8];
    }
    endpoint.bytes = keptDescriptor(rest, audio ? LIBUSB_DT_ENDPOINT_AUDIO_SIZE : LIBUSB_DT_ENDPOINT_SIZE);
    size_t used = 0;
    bool error = false;
    const bool complete = skipExtras(rest.subspan(length), used, error);
    if (error) return kError;
    if (complete) endpoint.extra.assign(rest.begin() + length, rest.begin() + length + used);
    return static_cast<int>(length + used);
}

int parseInterface(Bytes rest, std::vector<Alternate> &alternates) {
    size_t parsed = 0;
    int number = -1;
    while (rest.size() - parsed >= LIBUSB_DT_INTERFACE_SIZE) {
        const Bytes at = rest.subspan(parsed);
        if (at[1] != LIBUSB_DT_INTERFACE) return static_cast<int>(parsed);
        const uint8_t length = at[0];
        if (length < LIBUSB_DT_INTERFACE_SIZE) return kError;
        if (length > at.size()) return static_cast<int>(parsed);
        if (at[4] > kLibusbMaxEndpoints) return kError;
        Alternate &alternate = alternates.emplace_back();
        libusb_interface_descriptor &d = alternate.descriptor;
        d.bLength = length;
        d.bDescriptorType = at[1];
        d.bInterfaceNumber = at[2];
        d.bAlternateSetting = at[3];
        d.bNumEndpoints = at[4];
        d.bInterfaceClass = at[5];
        d.bInterfaceSubClass = at[6];
        d.bInterfaceProtocol = at[7];
        d.iInterface = at[8];
        alternate.bytes = keptDescriptor(at, LIBUSB_DT_INTERFACE_SIZE);
        if (number == -1) number = d.bInterfaceNumber;
        parsed += length;

        size_t used = 0;
        bool error = false;
        const bool complete = skipExtras(rest.subspan(parsed), used, error);
        if (error) return kError;
        // Cut short: libusb returns here, the endpoint count as the device
        // sent it and no endpoint array.
        if (!complete) return static_cast<int>(parsed + used);
        alternate.extra.assign(rest.begin() + parsed, rest.begin() + parsed + used);
        parsed += used;

        if (d.bNumEndpoints > 0) {
            alternate.endpointArray = true;
            for (uint8_t i = 0; i < d.bNumEndpoints; ++i) {
                Endpoint endpoint;
                const int r = parseEndpoint(rest.subspan(parsed), endpoint);
                if (r < 0) return kError;
                if (r == 0) {
                    d.bNumEndpoints = i;
                    break;
                }
                alternate.endpoints.push_back(std::move(endpoint));
                parsed += static_cast<size_t>(r);
            }
        }
        const Bytes next = rest.subspan(parsed);
        if (next.size() < LIBUSB_DT_INTERFACE_SIZE || next[1] != LIBUSB_DT_INTERFACE || next[2] != number)
            return static_cast<int>(parsed);
    }
    return static_cast<int>(parsed);
}

// Nothing when libusb would hand over no configuration.
std::optional<Configuration> parseConfiguration(Bytes raw) {
    if (raw.size() < LIBUSB_DT_CONFIG_SIZE) return std::nullopt;
    Configuration config;
    libusb_config_descriptor &d = config.descriptor;
    d.bLength = raw[0];
    d.bDescriptorType = raw[1];
    d.wTotalLength = static_cast<uint16_t>(raw[2] | raw[3] << 8);
    d.bNumInterfaces = raw[4];
    d.bConfigurationValue = raw[5];
    d.iConfiguration = raw[6];
    d.bmAttributes = raw[7];
    d.MaxPower = raw[8];
    if (d.bDescriptorType != LIBUSB_DT_CONFIG || d.bLength < LIBUSB_DT_CONFIG_SIZE || d.bLength > raw.size() ||
        d.bNumInterfaces > kLibusbMaxInterfaces)
        return std::nullopt;
    config.bytes = keptDescriptor(raw, LIBUSB_DT_CONFIG_SIZE);
    size_t at = d.bLength;
    for (uint8_t i = 0; i < d.bNumInterfaces; ++i) {
        size_t used = 0;
        bool error = false;
        const bool complete = skipExtras(raw.subspan(at), used, error);
        if (error) return std::nullopt;
        if (!complete) {
            d.bNumInterfaces = i;
            break;
        }
        config.extra.insert(config.extra.end(), raw.begin() + at, raw.begin() + at + used);
        at += used;
        std::vector<Alternate> alternates;
        const int r = parseInterface(raw.subspan(at), alternates);
        if (r < 0) return std::nullopt;
        if (r == 0) {
            d.bNumInterfaces = i;
            break;
        }
        config.interfaces.push_back(std::move(alternates));
        at += static_cast<size_t>(r);
    }
    return config;
}

// libusb's structures pointing into `config` (which must stay put).
struct LibusbView {
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<std::vector<libusb_interface_descriptor>> alternates;
    std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};

void makeView(Configuration &model, LibusbView &view) {
    const size_t count = model.interfaces.size();
    view.alternates.resize(count);
    view.endpoints.resize(count);
    view.interfaces.resize(count);
    for (size_t i = 0; i < count; ++i) {
        std::vector<Alternate> &alternates = model.interfaces[i];
        view.endpoints[i].resize(alternates.size());
        for (size_t a = 0; a < alternates.size(); ++a) {
            Alternate &alternate = alternates[a];
            auto &endpoints = view.endpoints[i][a];
            for (Endpoint &endpoint : alternate.endpoints) {
                libusb_endpoint_descriptor d = endpoint.descriptor;
                d.extra = endpoint.extra.empty() ? nullptr : endpoint.extra.data();
                d.extra_length = static_cast<int>(endpoint.extra.size());
                endpoints.push_back(d);
            }
            libusb_interface_descriptor d = alternate.descriptor;
            d.endpoint = alternate.endpointArray ? endpoints.data() : nullptr;
            d.extra = alternate.extra.empty() ? nullptr : alternate.extra.data();
            d.extra_length = static_cast<int>(alternate.extra.size());
            view.alternates[i].push_back(d);
        }
        view.interfaces[i].altsetting = view.alternates[i].data();
        view.interfaces[i].num_altsetting = static_cast<int>(alternates.size());
    }
    view.config = model.descriptor;
    view.config.interface = view.interfaces.data();
    view.config.extra = model.extra.empty() ? nullptr : model.extra.data();
    view.config.extra_length = static_cast<int>(model.extra.size());
}

// What the rebuild must give back: the kept bytes in libusb's order, with
// the counts libusb kept and the total length of it all.
Buffer expectedConfiguration(const Configuration &model) {
    Buffer out = model.bytes;
    out[4] = static_cast<uint8_t>(model.interfaces.size());
    out.insert(out.end(), model.extra.begin(), model.extra.end());
    for (const auto &alternates : model.interfaces) {
        for (const Alternate &alternate : alternates) {
            Buffer bytes = alternate.bytes;
            bytes[4] = static_cast<uint8_t>(alternate.endpoints.size());
            out.insert(out.end(), bytes.begin(), bytes.end());
            out.insert(out.end(), alternate.extra.begin(), alternate.extra.end());
            for (const Endpoint &endpoint : alternate.endpoints) {
                out.insert(out.end(), endpoint.bytes.begin(), endpoint.bytes.end());
                out.insert(out.end(), endpoint.extra.begin(), endpoint.extra.end());
            }
        }
    }
    out[2] = static_cast<uint8_t>(out.size());
    out[3] = static_cast<uint8_t>(out.size() >> 8);
    return out;
}

// Every pointer of the information block leads into it.
void checkInfoBlock(const uint8_t *block, size_t size) {
    auto inside = [&](const void *pointer, size_t bytes) {
        const auto *p = static_cast<const uint8_t *>(pointer);
        return p >= block && p + bytes <= block + size;
    };
    const auto *info = reinterpret_cast<const usb_driver::DeviceInfo *>(block);
    FUZZ_CHECK(inside(info->pActiveConfig, sizeof(usb_driver::Configuration)));
    const usb_driver::Configuration &config = *info->pActiveConfig;
    FUZZ_CHECK(inside(config.pInterfaces, config.dwNumInterfaces * sizeof(usb_driver::Interface)));
    for (uint32_t i = 0; i < config.dwNumInterfaces; ++i) {
        const usb_driver::Interface &interface = config.pInterfaces[i];
        FUZZ_CHECK(
            inside(interface.pAlternateSettings, interface.dwNumAltSettings * sizeof(usb_driver::AlternateSetting)));
        FUZZ_CHECK(inside(interface.pActiveAltSetting, sizeof(usb_driver::AlternateSetting)));
        for (uint32_t a = 0; a < interface.dwNumAltSettings; ++a) {
            const usb_driver::AlternateSetting &setting = interface.pAlternateSettings[a];
            const uint8_t endpoints = setting.Descriptor.bNumEndpoints;
            if (endpoints == 0) continue;
            FUZZ_CHECK(inside(setting.pEndpointDescriptors, endpoints * sizeof(usb_driver::UsbEndpointDescriptor)));
            FUZZ_CHECK(inside(setting.pPipes, endpoints * sizeof(usb_driver::PipeInfo)));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < LIBUSB_DT_DEVICE_SIZE) return 0;
    const Bytes input(data, size);

    // The device descriptor, as libusb copies it from the bytes the device sent.
    const Bytes raw = input.first(LIBUSB_DT_DEVICE_SIZE);
    libusb_device_descriptor device{};
    device.bLength = raw[0];
    device.bDescriptorType = raw[1];
    device.bcdUSB = static_cast<uint16_t>(raw[2] | raw[3] << 8);
    device.bDeviceClass = raw[4];
    device.bDeviceSubClass = raw[5];
    device.bDeviceProtocol = raw[6];
    device.bMaxPacketSize0 = raw[7];
    device.idVendor = static_cast<uint16_t>(raw[8] | raw[9] << 8);
    device.idProduct = static_cast<uint16_t>(raw[10] | raw[11] << 8);
    device.bcdDevice = static_cast<uint16_t>(raw[12] | raw[13] << 8);
    device.iManufacturer = raw[14];
    device.iProduct = raw[15];
    device.iSerialNumber = raw[16];
    device.bNumConfigurations = raw[17];
    const Buffer deviceBytes = usb_driver::deviceDescriptorBytes(device);
    Buffer expectedDevice(raw.begin(), raw.end());
    expectedDevice[0] = LIBUSB_DT_DEVICE_SIZE;
    expectedDevice[1] = LIBUSB_DT_DEVICE;
    FUZZ_CHECK(deviceBytes == expectedDevice);

    // libusb reads as much of the configuration as wTotalLength says, or as
    // the device gave.
    Bytes config = input.subspan(LIBUSB_DT_DEVICE_SIZE);
    if (config.size() >= 4) config = config.first(std::min<size_t>(config.size(), config[2] | config[3] << 8));
    auto model = parseConfiguration(config);
    if (!model) return 0;
    LibusbView view;
    makeView(*model, view);

    const Buffer rebuilt = usb_driver::configDescriptorBytes(view.config);
    FUZZ_CHECK(rebuilt == expectedConfiguration(*model));

    std::map<uint8_t, uint8_t> listed;
    for (const auto &alternates : model->interfaces)
        for (const Alternate &alternate : alternates)
            for (const Endpoint &endpoint : alternate.endpoints)
                listed[endpoint.descriptor.bEndpointAddress] = endpoint.descriptor.bmAttributes;
    const std::map<uint8_t, uint8_t> endpoints = usb_driver::EndpointsOf(rebuilt);
    FUZZ_CHECK(endpoints == listed);

    // What the driver makes of the bytes the bus reports.
    const auto described = usb_driver::parseDescriptors(deviceBytes, rebuilt);
    if (!described) return 0;
    for (const auto &interface : described->interfaces) {
        for (const auto &alternate : interface.alternates) {
            FUZZ_CHECK(alternate.endpoints.size() == alternate.descriptor.bNumEndpoints);
            for (const auto &endpoint : alternate.endpoints) FUZZ_CHECK(endpoints.count(endpoint.bEndpointAddress));
        }
    }
    const size_t blockSize = usb_driver::infoBlockSize(*described);
    // Exactly as large as asked for: a write past it is an AddressSanitizer error.
    std::unique_ptr<uint8_t[]> block(new uint8_t[blockSize]);
    usb_driver::ActiveAlternates active{};
    for (size_t i = 0; i < active.size(); ++i) active[i] = static_cast<uint8_t>(input[i % input.size()]);
    usb_driver::fillInfoBlock(*described, active, block.get());
    checkInfoBlock(block.get(), blockSize);
    return 0;
}
