// SPDX-License-Identifier: MIT
// What the WinUSB bus (winusb_bus.cpp) asks of WinUSB for each request of the
// bus interface, and what WinUSB's errors mean to the driver. Plain code
// without Windows headers, so that it builds and is tested on every platform.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "usb_driver/bus.h"

namespace usb_driver::winusb {

// The projector's two identities: application firmware and programming mode.
struct UsbIds {
    uint16_t vendorId;
    uint16_t productId;
};
inline constexpr UsbIds kProjectorIds[] = {{0xE7A2, 0x051E}, {0xE7B9, 0x2000}};

// A GUID field by field, laid out as Windows' GUID.
struct InterfaceGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// The device interface that the projector's driver package
// (packaging/windows/tz4817.inf) has WinUSB register for both identities.
inline constexpr InterfaceGuid kProjectorInterface = {
    0x8441F3D8, 0xB1A6, 0x48F0, {0x86, 0xF7, 0x86, 0x54, 0xD2, 0xA6, 0x04, 0xCB}};

// The GUID as the registry and INF files write it:
// "{8441F3D8-B1A6-48F0-86F7-8654D2A604CB}".
std::string guidText(const InterfaceGuid &guid);

// WINUSB_SETUP_PACKET, field by field.
struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    bool operator==(const SetupPacket &) const = default;
};

// One transfer as WinUSB runs it: WinUsb_ControlTransfer with `setup`, or
// WinUsb_ReadPipe / WinUsb_WritePipe on `pipe`.
struct Transfer {
    enum class Kind { Control, Read, Write };
    Kind kind = Kind::Read;
    uint8_t pipe = 0;
    SetupPacket setup;    // Control only
    uint32_t length = 0;  // bytes to move: wLength for a control transfer
};

// Checks a transfer request against the device's pipes (address ->
// bmAttributes, as the configuration declares them; endpoint 0 is not
// listed) and plans it: pipe 0 is a control transfer whose setup packet's
// direction must be the request's and whose wLength must fit the buffer;
// other pipes must exist, be bulk or interrupt pipes and have the request's
// direction. kStatusBadRecord otherwise, as the other buses answer.
uint32_t planTransfer(const TransferRequest &request, const std::map<uint8_t, uint8_t> &pipes, Transfer &plan);

// The driver status of a Windows error (GetLastError()) of SetupAPI,
// CreateFile or a WinUsb_* call.
uint32_t statusOf(uint32_t windowsError);

// The ids in a device interface path ("\\?\usb#vid_e7a2&pid_051e#...#{...}"),
// nothing when it names none.
std::optional<UsbIds> idsOfPath(const std::string &path);

// The place of a device, as the local bus on Linux names it ("1-4.2"), from
// its location path (SPDRP_LOCATION_PATHS:
// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)"): the root hub's number
// plus one, then the port numbers. Nothing when the path has no USB ports.
std::optional<std::string> placeOfLocation(const std::string &locationPath);

}  // namespace usb_driver::winusb
