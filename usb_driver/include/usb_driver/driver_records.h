// SPDX-License-Identifier: MIT
// The request codes and records of the driver boundary. The device manager
// fills them and the driver reads and writes them in place. Records without
// pointers have the same size on every build; records with pointers carry
// native pointers and keep the documented layout on 32-bit builds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace usb_driver {

// Request codes.
inline constexpr uint32_t IOCTL_VERSION = 0x95382443;
inline constexpr uint32_t IOCTL_DEVICE_INFO = 0x95382603;
inline constexpr uint32_t IOCTL_SET_INTERFACE = 0x95382607;
inline constexpr uint32_t IOCTL_RESET_PIPE = 0x9538260B;
inline constexpr uint32_t IOCTL_TRANSFER = 0x9538260F;
inline constexpr uint32_t IOCTL_EVENT_REGISTER = 0x9538261B;
inline constexpr uint32_t IOCTL_EVENT_UNREGISTER = 0x9538261F;
inline constexpr uint32_t IOCTL_EVENT_PULL = 0x95382623;
inline constexpr uint32_t IOCTL_EVENT_ACK = 0x95382627;
inline constexpr uint32_t IOCTL_WAIT_ENABLE = 0x9538247B;
inline constexpr uint32_t IOCTL_WAIT = 0x9538252F;
inline constexpr uint32_t IOCTL_WAIT_DISABLE = 0x9538247F;

// The driver's own requests, beside the table above, on a connection of the
// caller's (both take a PlaceRecord):
// - IOCTL_LIMIT_PLACE: registrations made on this connection from now on
//   take only devices at cPlace (an empty place lifts the limit), and the
//   bus reaches for no other device on their behalf. dwUniqueID is unused.
// - IOCTL_DEVICE_PLACE: cPlace of the device dwUniqueID, which a
//   registration holds or is being offered (kStatusDeviceNotFound otherwise).
inline constexpr uint32_t IOCTL_LIMIT_PLACE = 0x95382683;
inline constexpr uint32_t IOCTL_DEVICE_PLACE = 0x95382687;

// Event actions and options.
inline constexpr uint32_t EVENT_ATTACH = 0x1;
inline constexpr uint32_t EVENT_DETACH = 0x2;
inline constexpr uint32_t EVENT_POWER_MASK = 0x3FF0;
// The driver's own action: no device will come to the registration. Either
// the bus has failed (it serves no more devices; dwReserved1[0] carries
// kStatusProtocolError), sent once to each registration that asked for
// EVENT_ATTACH; or a device it wants sits at a place that another process
// has claimed (kStatusBusy), sent once to each registration that wants it.
inline constexpr uint32_t EVENT_BUS_FAILED = 0x10000;
inline constexpr uint32_t EVENT_OPT_ACKNOWLEDGE = 0x1;
inline constexpr uint32_t EVENT_OPT_ACCEPT = 0x2;
inline constexpr uint32_t BUS_USB = 0xFFFFFFFE;
inline constexpr uint32_t WAIT_STATUS_STOPPED = 1;
inline constexpr uint32_t WAIT_STATUS_IDLE = 2;
inline constexpr uint32_t WAIT_STATUS_PENDING = 3;

#pragma pack(push, 1)
// One device the registration wants to hear about. 10 bytes, packed.
struct MatchEntry {
    uint16_t wVendorId;
    uint16_t wProductId;
    uint8_t bMatch[6];  // further match bytes, zero here
};
#pragma pack(pop)
static_assert(sizeof(MatchEntry) == 10);

struct VersionRecord {  // 132 bytes
    uint32_t dwVersion;
    char cVer[128];
};
static_assert(sizeof(VersionRecord) == 132);

// The registration record and every pulled event. 68 bytes for up to one
// match entry; a registration of n > 1 entries is 68 + 10 * (n - 1) bytes but
// is always sent with size 68: the driver reads the entries by dwNumMatchTables.
struct EventRecord {
    uint32_t hEvent;            // 0  registration handle
    uint32_t dwAction;          // 4  wanted actions / the action that happened
    uint32_t dwReserved1[2];    // 8  [0]: the status of EVENT_BUS_FAILED
    uint32_t dwBusType;         // 16 BUS_USB
    uint32_t dwReserved2;       // 20
    uint32_t dwOptions;         // 24
    uint32_t dwReserved3[2];    // 28
    uint32_t dwUniqueID;        // 36
    uint32_t dwReserved4[2];    // 40
    uint32_t dwVersion;         // 48 always 1
    uint32_t dwNumMatchTables;  // 52
    uint8_t matchTables[12];    // 56 n MatchEntry items of 10 bytes, then padding
};
static_assert(sizeof(EventRecord) == 68);
static_assert(offsetof(EventRecord, dwUniqueID) == 36);
static_assert(offsetof(EventRecord, matchTables) == 56);
inline constexpr uint32_t kEventRecordSize = 68;
// The driver reads no more match entries than this from a registration.
inline constexpr uint32_t kMaxMatchEntries = 64;

// The place of a device ("1-4.2", a USB/IP bus id), NUL-terminated. 36 bytes.
inline constexpr size_t kPlaceSize = 32;
struct PlaceRecord {
    uint32_t dwUniqueID;
    char cPlace[kPlaceSize];
};
static_assert(sizeof(PlaceRecord) == 36);

struct WaitRecord {           // 48 bytes
    uint32_t hEvent;          // 0  registration handle
    uint32_t dwReserved[10];  // 4
    uint32_t dwStatus;        // 44 WAIT_STATUS_*
};
static_assert(sizeof(WaitRecord) == 48);

struct DeviceInfoQuery {  // 16 bytes on 32-bit builds
    uint32_t dwUniqueID;
    void *pBuf;        // null for the size query
    uint32_t dwBytes;  // written by the driver: the size needed
    uint32_t dwReserved;
};

struct SetInterfaceRecord {  // 16 bytes
    uint32_t dwUniqueID;
    uint32_t dwInterfaceNum;
    uint32_t dwAlternateSetting;
    uint32_t dwReserved;
};
static_assert(sizeof(SetInterfaceRecord) == 16);

struct ResetPipeRecord {  // 12 bytes
    uint32_t dwUniqueID;
    uint32_t dwPipeNum;
    uint32_t dwReserved;
};
static_assert(sizeof(ResetPipeRecord) == 12);

struct TransferRecord {  // 40 bytes on 32-bit builds
    uint32_t dwUniqueID;
    uint32_t dwPipeNum;  // 0 control, 0x01 out, 0x81 in
    uint32_t fRead;      // 1 from the device, 0 to it
    uint32_t dwOptions;
    void *pBuffer;
    uint32_t dwBufferSize;
    uint32_t dwBytesTransferred;  // written by the driver, whatever the status
    uint8_t SetupPacket[8];       // zero when none is given
    uint32_t dwTimeout;           // milliseconds
};

// The device information block that IOCTL_DEVICE_INFO fills. Every pointer in
// it points into the same block. Field names follow USB's descriptors.
struct UsbDeviceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};
static_assert(sizeof(UsbDeviceDescriptor) == 18);

struct UsbConfigDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumInterfaces;
    uint8_t bConfigurationValue;
    uint8_t iConfiguration;
    uint8_t bmAttributes;
    uint8_t MaxPower;
};

struct UsbInterfaceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
};
static_assert(sizeof(UsbInterfaceDescriptor) == 9);

struct UsbEndpointDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bEndpointAddress;
    uint8_t bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
};

struct PipeInfo {
    uint32_t dwNumber;  // endpoint address, 0 for the control pipe
    uint32_t dwMaximumPacketSize;
    uint32_t type;       // 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint32_t direction;  // 1 in, 2 out, 3 both (control)
    uint32_t dwInterval;
};
static_assert(sizeof(PipeInfo) == 20);

struct AlternateSetting {
    UsbInterfaceDescriptor Descriptor;
    UsbEndpointDescriptor *pEndpointDescriptors;
    PipeInfo *pPipes;
};

struct Interface {
    AlternateSetting *pAlternateSettings;
    uint32_t dwNumAltSettings;
    AlternateSetting *pActiveAltSetting;  // offset 8 on 32-bit builds
};

struct Configuration {
    UsbConfigDescriptor Descriptor;
    uint32_t dwNumInterfaces;
    Interface *pInterfaces;
};

inline constexpr size_t kMaxInterfaces = 30;

struct DeviceInfo {
    UsbDeviceDescriptor Descriptor;
    PipeInfo Pipe0;
    Configuration *pConfigs;
    Configuration *pActiveConfig;
    Interface *pActiveInterface[kMaxInterfaces];  // offset 48 on 32-bit builds
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(DeviceInfoQuery) == 16);
static_assert(sizeof(TransferRecord) == 40);
static_assert(offsetof(TransferRecord, dwBytesTransferred) == 24);
static_assert(offsetof(TransferRecord, dwTimeout) == 36);
static_assert(offsetof(DeviceInfo, pActiveInterface) == 48);
static_assert(offsetof(Interface, pActiveAltSetting) == 8);
#endif

}  // namespace usb_driver
