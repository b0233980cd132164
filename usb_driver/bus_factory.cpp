// SPDX-License-Identifier: MIT
// Which bus the driver uses: the USB/IP client when QRV_USBIP names a server,
// else the local bus (on libusb, or on WinUSB on Windows). When libusb cannot be initialised (or the
// build has no local bus) there is none, and opening the driver fails. With
// QRV_RECORD set, the recording tap goes around whichever bus it is.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "usb_driver/driver.h"
#include "usb_driver/driver_status.h"
#include "usb_driver/survey.h"
#include "recording_tap.h"
#include "usbip_bus/usbip_bus.h"
#ifdef QRV_HAVE_LIBUSB_BUS
#include "libusb_bus/libusb_bus.h"
#endif
#ifdef QRV_HAVE_WINUSB_BUS
#include "winusb_bus/winusb_bus.h"
#endif

namespace usb_driver {
namespace {

struct Choice {
    std::shared_ptr<Bus> bus;
    std::string name;     // where the bus looks for devices
    std::string server;   // HOST:PORT of a USB/IP server
    std::string problem;  // why there is no bus
    bool badAddress = false;
};

Choice chooseBus() {
    Choice choice;
    const char *server = std::getenv("QRV_USBIP");
    if (server && *server) {
        auto address = parseServerAddress(server);
        if (!address) {
            choice.problem = std::string("QRV_USBIP='") + server +
                             "' is not of the form HOST[:PORT] (PORT 1..65535, 3240 when left out; "
                             "[ADDRESS] for IPv6)";
            choice.badAddress = true;
            return choice;
        }
        choice.server = (address->host.find(':') != std::string::npos ? "[" + address->host + "]" : address->host) +
                        ":" + std::to_string(address->port);
        choice.name = "USB/IP server " + choice.server;
        choice.bus = std::make_shared<UsbipBus>(UsbipBus::Options{address->host, address->port});
        return choice;
    }
    choice.name = "this computer's USB ports";
#ifdef QRV_HAVE_LIBUSB_BUS
    choice.bus = LibusbBus::create();  // says itself why it could not be had
    if (!choice.bus) choice.problem = "libusb could not be initialised";
#elif defined(QRV_HAVE_WINUSB_BUS)
    choice.bus = WinusbBus::create();
#else
    choice.problem = "this build has no local USB bus; set QRV_USBIP to a USB/IP server";
#endif
    return choice;
}

}  // namespace

std::shared_ptr<Bus> makeDefaultBus() {
    Choice choice = chooseBus();
    // A bad QRV_USBIP is said at once, not found out after the attach wait.
    if (choice.badAddress) std::fprintf(stderr, "tz4817: %s\n", choice.problem.c_str());
    return tapWhenRecording(choice.bus, choice.name);
}

std::shared_ptr<Bus> tapWhenRecording(std::shared_ptr<Bus> bus, const std::string &busName) {
    const char *path = std::getenv("QRV_RECORD");
    if (!bus || !path || !*path) return bus;
    const char *withoutData = std::getenv("QRV_RECORD_WITHOUT_DATA");
    return RecordingTap::wrap(std::move(bus), {path, withoutData && std::string(withoutData) == "1", busName});
}

Survey surveyDefaultBus() {
    Choice choice = chooseBus();
    Survey survey;
    survey.bus = choice.name;
    survey.server = choice.server;
    survey.badAddress = choice.badAddress;
    if (!choice.bus) {
        survey.status = kStatusDeviceNotFound;
        survey.problem = choice.problem;
        return survey;
    }
    std::vector<BusDevice> devices;
    survey.status = choice.bus->list(devices, survey.problem);
    const place_claim::Scope scope = choice.bus->claimScope();
    for (const BusDevice &device : devices) {
        SurveyedDevice surveyed{device.place, device.vendorId, device.productId, std::nullopt};
        if (place_claim::Holder holder; place_claim::heldElsewhere(scope, device.place, holder)) surveyed.busy = holder;
        survey.devices.push_back(std::move(surveyed));
    }
    return survey;
}

}  // namespace usb_driver
