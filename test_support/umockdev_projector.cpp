// SPDX-License-Identifier: MIT
#include "test_support/umockdev_projector.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>

#include "usb_driver/place_claim.h"
#include "usb_standard/usb_standard.h"

namespace test_support {
namespace {

constexpr int kBusNumber = 1;

// One testbed for the process (umockdev gives the process one /sys and one
// /dev), shared by the projectors that sit on its bus side by side; device
// numbers are handed out across all of them, as a bus does.
struct SharedTestbed {
    std::mutex mutex;
    UMockdevTestbed *testbed = nullptr;
    int users = 0;
    int nextNumber = 2;
    std::string root;  // the testbed's folder while there is one; with `mutex`
};

SharedTestbed &sharedTestbed() {
    static SharedTestbed *shared = new SharedTestbed;  // never destroyed: used until the last projector goes
    return *shared;
}

UMockdevTestbed *acquireTestbed() {
    SharedTestbed &shared = sharedTestbed();
    std::lock_guard lock(shared.mutex);
    if (shared.users++ == 0) {
        shared.testbed = umockdev_testbed_new();
        // The testbed's USB ports are this process's alone: their places are
        // claimed in a scope of their own, so that tests running side by
        // side, all with a projector at 1-1, do not refuse each other.
        gchar *root = umockdev_testbed_get_root_dir(shared.testbed);
        shared.root = root;
        usb_driver::place_claim::testing::setLocalScopeKey(std::string("umockdev ") + root);
        g_free(root);
    }
    return shared.testbed;
}

void releaseTestbed() {
    SharedTestbed &shared = sharedTestbed();
    std::lock_guard lock(shared.mutex);
    if (--shared.users == 0) {
        g_object_unref(shared.testbed);
        shared.testbed = nullptr;
        shared.root.clear();
    }
}

int nextDeviceNumber() {
    SharedTestbed &shared = sharedTestbed();
    std::lock_guard lock(shared.mutex);
    return shared.nextNumber++;
}

// What the kernel reports a device can do; REAP_AFTER_DISCONNECT lets the
// host collect the URBs that ended when the device left.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

struct DataRef {
    UMockdevIoctlData *data = nullptr;
    explicit DataRef(UMockdevIoctlData *d) : data(d) {}
    ~DataRef() {
        if (data) umockdev_ioctl_data_unref(data);
    }
    DataRef(const DataRef &) = delete;
    DataRef &operator=(const DataRef &) = delete;
};

std::string hex(const std::vector<uint8_t> &bytes) {
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

usbdevfs_urb *urbOf(UMockdevIoctlData *data) { return reinterpret_cast<usbdevfs_urb *>(data->data); }

}  // namespace

struct Appearance {
    projector_emulator::Presence presence;
    int number = 0;
    std::string node;
    bool gone = false;
    std::deque<UMockdevIoctlData *> pending;  // bulk IN URBs waiting for a reply
    std::deque<UMockdevIoctlData *> done;     // completed, waiting to be reaped
};

struct UmockdevProjector::State {
    State(projector_emulator::Tz4817Device &d, int port)
        : device(d), sysPath("/sys/devices/usb1/" + std::to_string(kBusNumber) + "-" + std::to_string(port)) {}

    projector_emulator::Tz4817Device &device;
    const std::string sysPath;  // "/sys/devices/usb1/1-2": the port the projector is plugged into
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;

    std::mutex mutex;  // everything below; the handler runs on umockdev's worker thread
    std::map<std::string, std::shared_ptr<Appearance>> byNode;
    std::shared_ptr<Appearance> current;
    int count = 0;
    int claimError = 0;
    int inError = 0;
    std::vector<unsigned long> unknown;
    std::vector<unsigned> halts;
    std::vector<unsigned> selections;

    std::mutex testbedMutex;  // one testbed change at a time
    bool cablePulled = false;
    std::thread follower;
    std::atomic<bool> stopping{false};

    void plug(const projector_emulator::Presence &presence);
    void removeCurrent();
    void sync(const projector_emulator::Presence &presence);
    void follow();

    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
        return static_cast<State *>(self)->handle(client);
    }
    gboolean handle(UMockdevIoctlClient *client);
    void submit(UMockdevIoctlClient *client, Appearance &appearance);
    void reap(UMockdevIoctlClient *client, Appearance &appearance);
    void serviceIn(Appearance &appearance);
    int control(Appearance &appearance, usbdevfs_urb &urb);
};

void UmockdevProjector::State::plug(const projector_emulator::Presence &presence) {
    auto appearance = std::make_shared<Appearance>();
    appearance->presence = presence;
    char node[64];
    {
        std::lock_guard lock(mutex);
        appearance->number = nextDeviceNumber();
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", kBusNumber, appearance->number);
        appearance->node = node;
        byNode[appearance->node] = appearance;
        current = appearance;
    }
    std::vector<uint8_t> descriptors = projector_emulator::deviceDescriptor(presence);
    const std::vector<uint8_t> config = projector_emulator::configDescriptor();
    descriptors.insert(descriptors.end(), config.begin(), config.end());

    // The ioctl handler first, so that libusb can open the node as soon as
    // it sees the "add" uevent.
    umockdev_testbed_attach_ioctl(testbed, node, handler, nullptr);
    char text[1024];
    std::snprintf(text, sizeof text,
                  "P: %s\n"
                  "N: bus/usb/%03d/%03d\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DRIVER=usb\n"
                  "E: BUSNUM=%03d\n"
                  "E: DEVNUM=%03d\n"
                  "E: DEVNAME=%s\n"
                  "E: PRODUCT=%x/%x/%x\n"
                  "A: busnum=%d\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: idVendor=%04x\\n\n"
                  "A: idProduct=%04x\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: bNumConfigurations=1\\n\n"
                  "A: speed=12\\n\n"
                  "H: descriptors=%s\n",
                  sysPath.c_str() + 4, kBusNumber, appearance->number, kBusNumber, appearance->number, node,
                  presence.vendorId, presence.productId, descriptors[12] | (descriptors[13] << 8), kBusNumber,
                  appearance->number, presence.vendorId, presence.productId, hex(descriptors).c_str());
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, text, &error)) {
        std::fprintf(stderr, "umockdev: cannot add the projector: %s\n", error ? error->message : "?");
        if (error) g_error_free(error);
    }
    // Counted once it is in the testbed: a test that waits for a new
    // appearance may then list the devices and find it.
    std::lock_guard lock(mutex);
    ++count;
}

void UmockdevProjector::State::removeCurrent() {
    std::shared_ptr<Appearance> appearance;
    {
        std::lock_guard lock(mutex);
        appearance = std::move(current);
        current.reset();
        if (!appearance) return;
        // The kernel ends every URB of a device that left with -ESHUTDOWN
        // and answers everything else on its node with ENODEV.
        appearance->gone = true;
        for (UMockdevIoctlData *urb : appearance->pending) {
            urbOf(urb)->status = -ESHUTDOWN;
            urbOf(urb)->actual_length = 0;
            appearance->done.push_back(urb);
        }
        appearance->pending.clear();
    }
    umockdev_testbed_uevent(testbed, sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, sysPath.c_str());
}

void UmockdevProjector::State::sync(const projector_emulator::Presence &presence) {
    std::lock_guard testbedLock(testbedMutex);
    bool stale = false;
    bool absent = false;
    {
        std::lock_guard lock(mutex);
        stale = current && (!presence.onBus || current->presence.generation != presence.generation);
        absent = !current || stale;
    }
    if (stale) removeCurrent();
    if (absent && presence.onBus && !cablePulled) plug(presence);
}

void UmockdevProjector::State::follow() {
    projector_emulator::Presence known = device.presence();
    while (!stopping.load()) {
        const auto deadline = device.clock().now() + std::chrono::milliseconds(20);
        const projector_emulator::Presence now = device.waitForPresenceChange(known, deadline);
        if (now.onBus != known.onBus || now.generation != known.generation) {
            sync(now);
            known = now;
        }
    }
}

gboolean UmockdevProjector::State::handle(UMockdevIoctlClient *client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    const std::string node = umockdev_ioctl_client_get_devnode(client);

    std::unique_lock lock(mutex);
    auto it = byNode.find(node);
    if (it == byNode.end()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    Appearance &appearance = *it->second;

    auto intArgument = [&](unsigned &value) {
        DataRef data(umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr));
        value = data.data ? *reinterpret_cast<unsigned *>(data.data->data) : 0;
    };
    auto finish = [&](int error) { umockdev_ioctl_client_complete(client, error ? -1 : 0, error); };

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        DataRef data(umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr));
        if (data.data) *reinterpret_cast<uint32_t *>(data.data->data) = kCapabilities;
        finish(0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: {
        unsigned interface = 0;
        intArgument(interface);  // the interface number comes first in both records
        if (appearance.gone) return finish(ENODEV), TRUE;
        if (claimError != 0) {
            const int error = claimError;
            claimError = 0;
            return finish(error), TRUE;
        }
        finish(interface == 0 ? 0 : ENOENT);
        return TRUE;
    }
    case USBDEVFS_SETINTERFACE: {
        DataRef data(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr));
        if (appearance.gone) return finish(ENODEV), TRUE;
        const auto *selection = reinterpret_cast<usbdevfs_setinterface *>(data.data->data);
        selections.push_back(selection->interface << 8 | selection->altsetting);
        finish(selection->interface == 0 && selection->altsetting == 0 ? 0 : EINVAL);
        return TRUE;
    }
    case USBDEVFS_CLEAR_HALT: {
        unsigned endpoint = 0;
        intArgument(endpoint);
        if (appearance.gone) return finish(ENODEV), TRUE;
        halts.push_back(endpoint);
        finish(0);
        return TRUE;
    }
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET: finish(appearance.gone ? ENODEV : 0); return TRUE;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        // No kernel driver is bound to the projector's interface.
        finish(appearance.gone ? ENODEV : ENODATA);
        return TRUE;
    case USBDEVFS_SUBMITURB: submit(client, appearance); return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: reap(client, appearance); return TRUE;
    case USBDEVFS_DISCARDURB: {
        const unsigned long address = *reinterpret_cast<unsigned long *>(arg->data);
        for (auto urb = appearance.pending.begin(); urb != appearance.pending.end(); ++urb) {
            if ((*urb)->client_addr != address) continue;
            urbOf(*urb)->status = -ENOENT;
            urbOf(*urb)->actual_length = 0;
            appearance.done.push_back(*urb);
            appearance.pending.erase(urb);
            return finish(0), TRUE;
        }
        finish(EINVAL);  // already completed
        return TRUE;
    }
    default:
        unknown.push_back(request);
        finish(ENOTTY);
        return TRUE;
    }
}

void UmockdevProjector::State::submit(UMockdevIoctlClient *client, Appearance &appearance) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (data == nullptr) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    usbdevfs_urb &urb = *urbOf(data);
    if (urb.buffer_length < 0) {
        umockdev_ioctl_data_unref(data);
        return umockdev_ioctl_client_complete(client, -1, EINVAL);
    }
    // Resolving points urb.buffer at a local copy that goes back to the
    // client when the URB is reaped.
    if (urb.buffer_length > 0) {
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                                                static_cast<gsize>(urb.buffer_length), nullptr);
        if (buffer) umockdev_ioctl_data_unref(buffer);
    }
    if (appearance.gone) {
        umockdev_ioctl_data_unref(data);
        return umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
    urb.status = 0;
    urb.actual_length = 0;
    auto *bytes = static_cast<uint8_t *>(urb.buffer);
    const auto length = static_cast<size_t>(urb.buffer_length);

    if (urb.type == USBDEVFS_URB_TYPE_CONTROL && urb.endpoint == 0) {
        if (length < 8) {
            umockdev_ioctl_data_unref(data);
            return umockdev_ioctl_client_complete(client, -1, EINVAL);
        }
        urb.status = control(appearance, urb);
        appearance.done.push_back(data);
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == projector_emulator::kBulkOutEndpoint) {
        const auto result = device.bulkOut(appearance.presence.generation, std::span<const uint8_t>(bytes, length));
        if (result == projector_emulator::TransferStatus::Ok)
            urb.actual_length = urb.buffer_length;
        else
            urb.status = -ESHUTDOWN;  // left before the bridge removed its node
        appearance.done.push_back(data);
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == projector_emulator::kBulkInEndpoint) {
        if (inError != 0) {
            urb.status = inError;
            inError = 0;
            appearance.done.push_back(data);
        } else {
            appearance.pending.push_back(data);
        }
    } else {
        umockdev_ioctl_data_unref(data);
        return umockdev_ioctl_client_complete(client, -1, ENOENT);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

// Standard requests on endpoint 0; the setup packet leads the buffer.
int UmockdevProjector::State::control(Appearance &appearance, usbdevfs_urb &urb) {
    auto *bytes = static_cast<uint8_t *>(urb.buffer);
    const uint8_t requestType = bytes[0];
    const uint8_t request = bytes[1];
    const uint16_t value = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
    const uint16_t wanted = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
    const size_t room = std::min<size_t>(wanted, static_cast<size_t>(urb.buffer_length) - 8);
    std::vector<uint8_t> reply;
    const uint8_t inDevice = usb_standard::DIR_IN | usb_standard::TYPE_STANDARD | usb_standard::RECIP_DEVICE;
    if (requestType == inDevice && request == usb_standard::GET_DESCRIPTOR) {
        switch (value >> 8) {
        case usb_standard::DT_DEVICE: reply = projector_emulator::deviceDescriptor(appearance.presence); break;
        case usb_standard::DT_CONFIG: reply = projector_emulator::configDescriptor(); break;
        case usb_standard::DT_STRING:
            reply = projector_emulator::stringDescriptor(static_cast<uint8_t>(value & 0xFF));
            break;
        default: break;
        }
        if (reply.empty()) return -EPIPE;
    } else if (requestType == inDevice && request == usb_standard::GET_STATUS) {
        reply = {0, 0};
    } else if ((requestType & ~usb_standard::DIR_IN) <= usb_standard::RECIP_ENDPOINT &&
               (request == usb_standard::CLEAR_FEATURE || request == usb_standard::SET_CONFIGURATION ||
                request == usb_standard::SET_INTERFACE)) {
        // Standard requests to the device, an interface or an endpoint: accepted.
    } else {
        return -EPIPE;
    }
    const size_t count = std::min(room, reply.size());
    std::memcpy(bytes + 8, reply.data(), count);
    urb.actual_length = static_cast<int>(count);
    return 0;
}

void UmockdevProjector::State::serviceIn(Appearance &appearance) {
    while (!appearance.pending.empty()) {
        UMockdevIoctlData *data = appearance.pending.front();
        usbdevfs_urb &urb = *urbOf(data);
        size_t length = 0;
        const auto result = device.bulkIn(
            appearance.presence.generation,
            std::span<uint8_t>(static_cast<uint8_t *>(urb.buffer), static_cast<size_t>(urb.buffer_length)), length);
        if (result == projector_emulator::TransferStatus::NoReply) return;
        urb.actual_length = static_cast<int>(length);
        urb.status = result == projector_emulator::TransferStatus::Ok         ? 0
                     : result == projector_emulator::TransferStatus::Overflow ? -EOVERFLOW
                     : result == projector_emulator::TransferStatus::Stall    ? -EPIPE
                                                                              : -ESHUTDOWN;
        appearance.done.push_back(data);
        appearance.pending.pop_front();
    }
}

void UmockdevProjector::State::reap(UMockdevIoctlClient *client, Appearance &appearance) {
    if (!appearance.gone) serviceIn(appearance);
    if (appearance.done.empty()) return umockdev_ioctl_client_complete(client, -1, appearance.gone ? ENODEV : EAGAIN);
    UMockdevIoctlData *urb = appearance.done.front();
    appearance.done.pop_front();
    UMockdevIoctlData *pointer =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void *), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(pointer);
    umockdev_ioctl_data_unref(urb);
}

// umockdev's worker thread and GLib synchronise through GMutex and GMainContext,
// which wait on futexes directly: ThreadSanitizer cannot see that and would
// report their hand-offs as races. libudev (used by umockdev on the test's
// threads and by libusb's hotplug thread) fills a process-wide random seed
// without a lock, which is harmless.
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_suppressions() {
    return "race:libumockdev.so\n"
           "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libudev.so\n";
}

// umockdev sends each uevent to every listener's socket in the testbed
// (libudev's monitors: libusb keeps one while its context lives): it lists
// the sockets, then connects to each and sends. A listener that closes in
// between (libusb ends its context at QRV_USBTerm of the switch into
// programming mode, just as the projector leaves the bus to restart) makes
// the connect fail (the socket's file is gone, or nobody listens on it) or
// the send (refused), and umockdev 0.17 then ends the process. Newer umockdev
// takes such a listener for gone: so does this, for the testbed's event
// sockets alone. A connect to a gone listener is taken as done and its socket
// remembered, so that the send on it is taken as delivered.
namespace {

bool listenerGone(int error) { return error == ECONNREFUSED || error == ENOENT; }

// The path of `address` when it is a listener's socket in the testbed.
std::optional<std::string> testbedListener(const void *address) {
    if (address == nullptr) return std::nullopt;
    const auto *local = static_cast<const sockaddr_un *>(address);
    if (local->sun_family != AF_UNIX) return std::nullopt;
    std::string path(local->sun_path, strnlen(local->sun_path, sizeof local->sun_path));
    SharedTestbed &shared = sharedTestbed();
    std::lock_guard lock(shared.mutex);
    if (shared.root.empty() || path.rfind(shared.root + "/event", 0) != 0) return std::nullopt;
    return path;
}

struct GoneListeners {
    std::mutex mutex;
    std::set<int> sockets;
};

GoneListeners &goneListeners() {
    static auto *gone = new GoneListeners;  // outlives every thread umockdev sends from
    return *gone;
}

// Whether `fd` was connected to a gone listener; forgets it.
bool takeGoneListener(int fd) {
    GoneListeners &gone = goneListeners();
    std::lock_guard lock(gone.mutex);
    return gone.sockets.erase(fd) != 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int connect(int fd, const struct sockaddr *address,
                                                              socklen_t length) {
    using Connect = int (*)(int, const struct sockaddr *, socklen_t);
    static const Connect next = reinterpret_cast<Connect>(dlsym(RTLD_NEXT, "connect"));
    const int result = next(fd, address, length);
    const int error = errno;
    if (result == 0) {
        takeGoneListener(fd);
        return result;
    }
    const std::optional<std::string> path = listenerGone(error) ? testbedListener(address) : std::nullopt;
    if (!path) {
        errno = error;
        return result;
    }
    if (error == ECONNREFUSED) ::unlink(path->c_str());
    GoneListeners &gone = goneListeners();
    std::lock_guard lock(gone.mutex);
    gone.sockets.insert(fd);
    return 0;
}

extern "C" __attribute__((visibility("default"))) ssize_t sendmsg(int fd, const struct msghdr *message, int flags) {
    using Send = ssize_t (*)(int, const struct msghdr *, int);
    static const Send next = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "sendmsg"));
    const auto delivered = [message] {
        ssize_t length = 0;
        for (size_t i = 0; i < message->msg_iovlen; ++i) length += static_cast<ssize_t>(message->msg_iov[i].iov_len);
        return length;
    };
    if (message != nullptr && takeGoneListener(fd)) return delivered();
    const ssize_t sent = next(fd, message, flags);
    if (sent >= 0 || !listenerGone(errno) || message == nullptr) return sent;
    const int error = errno;
    const std::optional<std::string> path = testbedListener(message->msg_name);
    if (!path) {
        errno = error;
        return sent;
    }
    if (error == ECONNREFUSED) ::unlink(path->c_str());
    return delivered();
}

bool umockdevLoaded() {
    void *library = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return false;
    dlclose(library);
    return true;
}

UmockdevProjector::UmockdevProjector(projector_emulator::Tz4817Device &device, int port)
    : state_(std::make_unique<State>(device, port)) {
    State &state = *state_;
    state.testbed = acquireTestbed();
    state.handler = umockdev_ioctl_base_new();
    g_signal_connect(state.handler, "handle-ioctl", G_CALLBACK(&State::onIoctl), &state);
    const projector_emulator::Presence presence = device.presence();
    state.sync(presence);
    state.follower = std::thread([&state] { state.follow(); });
}

UmockdevProjector::~UmockdevProjector() {
    State &state = *state_;
    state.stopping = true;
    state.follower.join();
    {
        // This projector leaves the shared testbed: its last appearance, and
        // the bridge of every node it had.
        std::lock_guard testbedLock(state.testbedMutex);
        state.cablePulled = true;
        state.removeCurrent();
        for (const auto &[node, appearance] : state.byNode)
            umockdev_testbed_detach_ioctl(state.testbed, node.c_str(), nullptr);
    }
    // URBs nobody reaped.
    for (auto &[node, appearance] : state.byNode) {
        for (UMockdevIoctlData *urb : appearance->pending) umockdev_ioctl_data_unref(urb);
        for (UMockdevIoctlData *urb : appearance->done) umockdev_ioctl_data_unref(urb);
    }
    releaseTestbed();
    g_object_unref(state.handler);
}

void UmockdevProjector::unplug() {
    std::lock_guard testbedLock(state_->testbedMutex);
    state_->cablePulled = true;
    state_->removeCurrent();
}

void UmockdevProjector::replug() {
    {
        std::lock_guard testbedLock(state_->testbedMutex);
        state_->cablePulled = false;
    }
    state_->sync(state_->device.presence());
}

std::string UmockdevProjector::deviceNode() {
    std::lock_guard lock(state_->mutex);
    return state_->current ? state_->current->node : std::string();
}

std::string UmockdevProjector::deviceNodeFile() {
    const std::string node = deviceNode();
    if (node.empty()) return node;
    gchar *root = umockdev_testbed_get_root_dir(state_->testbed);
    std::string path = std::string(root) + node;
    g_free(root);
    return path;
}

int UmockdevProjector::appearances() {
    std::lock_guard lock(state_->mutex);
    return state_->count;
}

void UmockdevProjector::failNextClaim(int error) {
    std::lock_guard lock(state_->mutex);
    state_->claimError = error;
}

void UmockdevProjector::failNextIn(int urbStatus) {
    std::lock_guard lock(state_->mutex);
    state_->inError = urbStatus;
}

size_t UmockdevProjector::outstandingUrbs() {
    std::lock_guard lock(state_->mutex);
    size_t count = 0;
    for (auto &[node, appearance] : state_->byNode) count += appearance->pending.size() + appearance->done.size();
    return count;
}

std::vector<unsigned long> UmockdevProjector::unknownRequests() {
    std::lock_guard lock(state_->mutex);
    return state_->unknown;
}

std::vector<unsigned> UmockdevProjector::clearedHalts() {
    std::lock_guard lock(state_->mutex);
    return state_->halts;
}

std::vector<unsigned> UmockdevProjector::interfaceSelections() {
    std::lock_guard lock(state_->mutex);
    return state_->selections;
}

}  // namespace test_support
