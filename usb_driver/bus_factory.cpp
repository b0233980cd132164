// Which bus the driver uses: the USB/IP client when QRV_USBIP names a server,
// else the local bus on libusb. When libusb cannot be initialised (or the
// build has no local bus) there is none, and opening the driver fails.
#include <cstdlib>
#include <string>

#include "usb_driver/driver.h"
#include "usbip_bus.h"
#ifdef QRV_HAVE_LIBUSB_BUS
#include "usb_driver/libusb_bus.h"
#endif

namespace usb_driver {

std::shared_ptr<Bus> MakeDefaultBus() {
    const char *server = std::getenv("QRV_USBIP");
    if (server && *server) {
        auto address = parseServerAddress(server);
        if (!address) return nullptr;
        return std::make_shared<UsbipBus>(UsbipBus::Options{address->host, address->port});
    }
#ifdef QRV_HAVE_LIBUSB_BUS
    return LibusbBus::create();
#else
    return nullptr;
#endif
}

}  // namespace usb_driver
