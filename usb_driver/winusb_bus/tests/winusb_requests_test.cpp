// SPDX-License-Identifier: MIT
// What the WinUSB bus asks of WinUSB and how it reads WinUSB's answers: the
// part of the Windows local bus that runs without Windows. The bus itself
// needs Windows' USB stack and a projector bound to WinUSB.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "usb_driver/driver_status.h"
#include "winusb_bus/winusb_requests.h"

namespace usb_driver::winusb {
namespace {

TEST(WinusbRequestsTest, TransfersArePlannedOrRefusedAsTheOtherBusesDo) {
    // The projector's pipes, and an isochronous one it does not have.
    const std::map<uint8_t, uint8_t> pipes = {{0x01, 0x02}, {0x81, 0x02}, {0x83, 0x03}, {0x84, 0x01}};
    uint8_t buffer[64] = {};
    struct Case {
        const char *name;
        TransferRequest request;
        uint32_t status;
        Transfer::Kind kind;
        uint8_t pipe;
        uint32_t length;
        SetupPacket setup;
    };
    const auto request = [&](uint32_t pipe, bool in, uint32_t length, std::array<uint8_t, 8> setup = {}) {
        TransferRequest r;
        r.pipe = pipe;
        r.in = in;
        r.buffer = buffer;
        r.length = length;
        std::copy(setup.begin(), setup.end(), r.setup);
        return r;
    };
    TransferRequest noBuffer = request(0x01, false, 6);
    noBuffer.buffer = nullptr;
    const Case cases[] = {
        {"bulk OUT", request(0x01, false, 6), kStatusOk, Transfer::Kind::Write, 0x01, 6, {}},
        {"bulk IN", request(0x81, true, 64), kStatusOk, Transfer::Kind::Read, 0x81, 64, {}},
        {"interrupt IN", request(0x83, true, 8), kStatusOk, Transfer::Kind::Read, 0x83, 8, {}},
        {"GET_DESCRIPTOR on pipe 0",
         request(0, true, 64, {0x80, 6, 0x00, 0x01, 0, 0, 18, 0}),
         kStatusOk,
         Transfer::Kind::Control,
         0,
         18,
         {0x80, 6, 0x0100, 0, 18}},
        {"vendor OUT on pipe 0",
         request(0, false, 4, {0x41, 0x22, 0x34, 0x12, 0x78, 0x56, 4, 0}),
         kStatusOk,
         Transfer::Kind::Control,
         0,
         4,
         {0x41, 0x22, 0x1234, 0x5678, 4}},
        {"wLength beyond the buffer",
         request(0, true, 8, {0x80, 6, 0, 1, 0, 0, 18, 0}),
         kStatusBadRecord,
         {},
         0,
         0,
         {}},
        {"setup direction against the request's",
         request(0, false, 64, {0x80, 6, 0, 1, 0, 0, 18, 0}),
         kStatusBadRecord,
         {},
         0,
         0,
         {}},
        {"pipe the device lacks", request(0x02, false, 6), kStatusBadRecord, {}, 0, 0, {}},
        {"IN pipe written", request(0x81, false, 6), kStatusBadRecord, {}, 0, 0, {}},
        {"isochronous pipe", request(0x84, true, 6), kStatusBadRecord, {}, 0, 0, {}},
        {"pipe number above a byte", request(0x101, false, 6), kStatusBadRecord, {}, 0, 0, {}},
        {"no buffer", noBuffer, kStatusBadRecord, {}, 0, 0, {}},
    };
    for (const Case &c : cases) {
        Transfer plan;
        ASSERT_EQ(planTransfer(c.request, pipes, plan), c.status) << c.name;
        if (c.status != kStatusOk) continue;
        EXPECT_EQ(plan.kind, c.kind) << c.name;
        EXPECT_EQ(plan.pipe, c.pipe) << c.name;
        EXPECT_EQ(plan.length, c.length) << c.name;
        EXPECT_EQ(plan.setup, c.setup) << c.name;
    }
}

TEST(WinusbRequestsTest, WindowsErrorsBecomeDriverStatuses) {
    const std::pair<uint32_t, uint32_t> table[] = {
        {0, kStatusOk},
        {121, kStatusTimeout},          // ERROR_SEM_TIMEOUT
        {31, kStatusStall},             // ERROR_GEN_FAILURE
        {2, kStatusDeviceNotFound},     // ERROR_FILE_NOT_FOUND
        {22, kStatusDeviceNotFound},    // ERROR_BAD_COMMAND
        {433, kStatusDeviceNotFound},   // ERROR_NO_SUCH_DEVICE
        {1167, kStatusDeviceNotFound},  // ERROR_DEVICE_NOT_CONNECTED
        {5, kStatusAccessDenied},       // ERROR_ACCESS_DENIED
        {32, kStatusBusy},              // ERROR_SHARING_VIOLATION
        {170, kStatusBusy},             // ERROR_BUSY
        {995, kStatusTransferFailed},   // ERROR_OPERATION_ABORTED
        {87, kStatusTransferFailed},    // ERROR_INVALID_PARAMETER
    };
    for (auto [error, status] : table) EXPECT_EQ(statusOf(error), status) << error;
}

TEST(WinusbRequestsTest, DevicePathsAndLocationsNameTheProjectorAndItsPlace) {
    const auto ids = idsOfPath("\\\\?\\usb#vid_E7B9&pid_2000#5&1a2b3c&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->vendorId, 0xE7B9);
    EXPECT_EQ(ids->productId, 0x2000);
    for (const char *bad : {"\\\\?\\usb#vid_e7b9#5&1a2b", "\\\\?\\usb#vid_e7g9&pid_2000#", "\\\\?\\usb#vid_e7&pid_2"})
        EXPECT_FALSE(idsOfPath(bad)) << bad;

    const std::pair<const char *, const char *> places[] = {
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)", "1-4"},
        {"PCIROOT(0)#PCI(1400)#USBROOT(1)#USB(4)#USB(2)", "2-4.2"},
        {"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#USBROOT(0)#USB(12)#USB(3)#USB(1)", "1-12.3.1"},
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)", nullptr},  // a root hub, no port
        {"PCIROOT(0)#PCI(1400)", nullptr},
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4x)", nullptr},
        {"", nullptr},
    };
    for (auto [location, place] : places) {
        const auto found = placeOfLocation(location);
        if (place == nullptr)
            EXPECT_FALSE(found) << location;
        else
            EXPECT_EQ(found.value_or("none"), place) << location;
    }
}

TEST(WinusbRequestsTest, TheDriverPackageGivesTheInterfaceTheBusLooksFor) {
    // GUID_DEVINTERFACE_USB_DEVICE, as Windows writes it.
    EXPECT_EQ(guidText({0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}}),
              "{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    std::ifstream file(QRV_DRIVER_INF);
    ASSERT_TRUE(file) << QRV_DRIVER_INF;
    std::string line;
    bool found = false;
    while (std::getline(file, line))
        if (line.find("DeviceInterfaceGUIDs") != std::string::npos)
            found = found || line.find('"' + guidText(kProjectorInterface) + '"') != std::string::npos;
    EXPECT_TRUE(found) << "no DeviceInterfaceGUIDs line of " << QRV_DRIVER_INF << " names "
                       << guidText(kProjectorInterface);
}

}  // namespace
}  // namespace usb_driver::winusb
