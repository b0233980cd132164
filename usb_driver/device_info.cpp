// SPDX-License-Identifier: MIT
#include "device_info.h"

#include <algorithm>
#include <cstring>

#include "usb_standard/usb_standard.h"

namespace usb_driver {
namespace {

uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void fail(std::string *why, const char *text) {
    if (why) *why = text;
}

UsbInterfaceDescriptor interfaceFrom(const uint8_t *p) {
    UsbInterfaceDescriptor d{};
    d.bLength = p[0];
    d.bDescriptorType = p[1];
    d.bInterfaceNumber = p[2];
    d.bAlternateSetting = p[3];
    d.bNumEndpoints = p[4];
    d.bInterfaceClass = p[5];
    d.bInterfaceSubClass = p[6];
    d.bInterfaceProtocol = p[7];
    d.iInterface = p[8];
    return d;
}

UsbEndpointDescriptor endpointFrom(const uint8_t *p) {
    UsbEndpointDescriptor d{};
    d.bLength = p[0];
    d.bDescriptorType = p[1];
    d.bEndpointAddress = p[2];
    d.bmAttributes = p[3];
    d.wMaxPacketSize = le16(p + 4);
    d.bInterval = p[6];
    return d;
}

size_t alignUp(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// Offsets of the arrays inside the block.
struct Layout {
    size_t config = 0, interfaces = 0, alternates = 0, endpoints = 0, pipes = 0, size = 0;
    size_t alternateCount = 0, endpointCount = 0;
};

Layout layoutOf(const DeviceModel &model) {
    Layout l;
    for (const InterfaceModel &i : model.interfaces) {
        l.alternateCount += i.alternates.size();
        for (const AlternateModel &a : i.alternates) l.endpointCount += a.endpoints.size();
    }
    l.config = alignUp(sizeof(DeviceInfo), alignof(Configuration));
    l.interfaces = alignUp(l.config + sizeof(Configuration), alignof(Interface));
    l.alternates = alignUp(l.interfaces + model.interfaces.size() * sizeof(Interface), alignof(AlternateSetting));
    l.endpoints = alignUp(l.alternates + l.alternateCount * sizeof(AlternateSetting), alignof(UsbEndpointDescriptor));
    l.pipes = alignUp(l.endpoints + l.endpointCount * sizeof(UsbEndpointDescriptor), alignof(PipeInfo));
    l.size = alignUp(l.pipes + l.endpointCount * sizeof(PipeInfo), alignof(DeviceInfo));
    return l;
}

PipeInfo pipeOf(const UsbEndpointDescriptor &e) {
    PipeInfo p{};
    p.dwNumber = e.bEndpointAddress;
    p.dwMaximumPacketSize = e.wMaxPacketSize & 0x7FF;
    p.type = e.bmAttributes & 0x3;
    p.direction = (e.bEndpointAddress & 0x80) ? 1 : 2;
    p.dwInterval = e.bInterval;
    return p;
}

}  // namespace

bool DeviceModel::hasEndpoint(uint32_t address) const {
    if (address == 0) return true;
    for (const InterfaceModel &i : interfaces)
        for (const AlternateModel &a : i.alternates)
            for (const UsbEndpointDescriptor &e : a.endpoints)
                if (e.bEndpointAddress == address) return true;
    return false;
}

bool DeviceModel::hasAlternate(uint32_t number, uint32_t alternate) const {
    for (const InterfaceModel &i : interfaces) {
        if (i.number != number) continue;
        for (const AlternateModel &a : i.alternates)
            if (a.descriptor.bAlternateSetting == alternate) return true;
    }
    return false;
}

std::optional<DeviceModel> parseDescriptors(std::span<const uint8_t> device, std::span<const uint8_t> config,
                                            std::string *why) {
    DeviceModel model;
    if (device.size() < usb_standard::DT_DEVICE_SIZE || device[0] < usb_standard::DT_DEVICE_SIZE ||
        device[1] != usb_standard::DT_DEVICE) {
        fail(why, "bad device descriptor");
        return std::nullopt;
    }
    const uint8_t *d = device.data();
    model.device = UsbDeviceDescriptor{d[0],        d[1],         le16(d + 2),  d[4],  d[5],  d[6],  d[7],
                                       le16(d + 8), le16(d + 10), le16(d + 12), d[14], d[15], d[16], d[17]};

    if (config.size() < usb_standard::DT_CONFIG_SIZE || config[0] < usb_standard::DT_CONFIG_SIZE ||
        config[1] != usb_standard::DT_CONFIG) {
        fail(why, "bad configuration descriptor");
        return std::nullopt;
    }
    const uint8_t *c = config.data();
    model.config = UsbConfigDescriptor{c[0], c[1], le16(c + 2), c[4], c[5], c[6], c[7], c[8]};
    // wTotalLength may claim more than was sent, or less: read what both allow.
    const size_t total = std::min<size_t>(config.size(), std::max<size_t>(model.config.wTotalLength, c[0]));

    AlternateModel *current = nullptr;  // the alternate that endpoints belong to
    for (size_t at = c[0]; at + 2 <= total;) {
        const uint8_t length = config[at];
        const uint8_t type = config[at + 1];
        if (length < 2 || at + length > total) break;  // nothing after this can be trusted
        const uint8_t *p = config.data() + at;
        at += length;

        if (type == usb_standard::DT_INTERFACE) {
            current = nullptr;
            if (length < usb_standard::DT_INTERFACE_SIZE) continue;
            UsbInterfaceDescriptor descriptor = interfaceFrom(p);
            auto it = std::find_if(model.interfaces.begin(), model.interfaces.end(),
                                   [&](const InterfaceModel &i) { return i.number == descriptor.bInterfaceNumber; });
            if (it == model.interfaces.end()) {
                if (model.interfaces.size() >= kMaxInterfaces) continue;
                model.interfaces.push_back(InterfaceModel{descriptor.bInterfaceNumber, {}});
                it = model.interfaces.end() - 1;
            }
            const bool duplicate =
                std::any_of(it->alternates.begin(), it->alternates.end(), [&](const AlternateModel &a) {
                    return a.descriptor.bAlternateSetting == descriptor.bAlternateSetting;
                });
            if (duplicate || it->alternates.size() >= kMaxAlternates) continue;
            it->alternates.push_back(AlternateModel{descriptor, {}});
            current = &it->alternates.back();
        } else if (type == usb_standard::DT_ENDPOINT && current) {
            if (length < usb_standard::DT_ENDPOINT_SIZE || current->endpoints.size() >= kMaxEndpoints) continue;
            UsbEndpointDescriptor e = endpointFrom(p);
            if ((e.bEndpointAddress & 0x0F) == 0) continue;  // endpoint 0 is not described here
            current->endpoints.push_back(e);
        }
        // Class-specific and other descriptors are skipped.
    }

    std::sort(model.interfaces.begin(), model.interfaces.end(),
              [](const InterfaceModel &a, const InterfaceModel &b) { return a.number < b.number; });
    for (InterfaceModel &i : model.interfaces)
        for (AlternateModel &a : i.alternates) a.descriptor.bNumEndpoints = static_cast<uint8_t>(a.endpoints.size());
    if (model.interfaces.empty()) {
        fail(why, "no interface");
        return std::nullopt;
    }
    model.config.bNumInterfaces = static_cast<uint8_t>(model.interfaces.size());
    return model;
}

size_t infoBlockSize(const DeviceModel &model) { return layoutOf(model).size; }

void fillInfoBlock(const DeviceModel &model, const ActiveAlternates &active, void *block) {
    const Layout l = layoutOf(model);
    auto *base = static_cast<uint8_t *>(block);
    std::memset(base, 0, l.size);
    auto *config = reinterpret_cast<Configuration *>(base + l.config);
    auto *interfaces = reinterpret_cast<Interface *>(base + l.interfaces);
    auto *alternates = reinterpret_cast<AlternateSetting *>(base + l.alternates);
    auto *endpoints = reinterpret_cast<UsbEndpointDescriptor *>(base + l.endpoints);
    auto *pipes = reinterpret_cast<PipeInfo *>(base + l.pipes);

    DeviceInfo info{};
    info.Descriptor = model.device;
    info.Pipe0 = PipeInfo{0, model.device.bMaxPacketSize0, 0, 3, 0};
    info.pConfigs = config;
    info.pActiveConfig = config;

    size_t alternate = 0, endpoint = 0;
    for (size_t n = 0; n < model.interfaces.size(); ++n) {
        const InterfaceModel &source = model.interfaces[n];
        const uint8_t wanted = n < active.size() ? active[n] : 0;  // interfaces never exceed it
        Interface target{};
        target.pAlternateSettings = alternates + alternate;
        target.dwNumAltSettings = static_cast<uint32_t>(source.alternates.size());
        target.pActiveAltSetting = alternates + alternate;  // the first, unless the wanted one is listed
        for (const AlternateModel &a : source.alternates) {
            AlternateSetting setting{};
            setting.Descriptor = a.descriptor;
            if (!a.endpoints.empty()) {
                setting.pEndpointDescriptors = endpoints + endpoint;
                setting.pPipes = pipes + endpoint;
            }
            for (const UsbEndpointDescriptor &e : a.endpoints) {
                std::memcpy(endpoints + endpoint, &e, sizeof e);
                const PipeInfo pipe = pipeOf(e);
                std::memcpy(pipes + endpoint, &pipe, sizeof pipe);
                ++endpoint;
            }
            if (a.descriptor.bAlternateSetting == wanted) target.pActiveAltSetting = alternates + alternate;
            std::memcpy(alternates + alternate, &setting, sizeof setting);
            ++alternate;
        }
        std::memcpy(interfaces + n, &target, sizeof target);
        if (n < kMaxInterfaces) info.pActiveInterface[n] = interfaces + n;
    }

    Configuration c{};
    c.Descriptor = model.config;
    c.dwNumInterfaces = static_cast<uint32_t>(model.interfaces.size());
    c.pInterfaces = interfaces;
    std::memcpy(config, &c, sizeof c);
    std::memcpy(base, &info, sizeof info);
}

}  // namespace usb_driver
