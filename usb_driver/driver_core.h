// SPDX-License-Identifier: MIT
// The process-wide driver object behind driverOpen/DriverIoctl/driverClose:
// connections, registrations with their event queues and waits, the devices
// the bus reports and who holds them. Its code: driver_core.cpp (connections,
// the request table, registrations), device_offers.cpp (the bus's devices
// offered, arriving and leaving; claims and places), event_queue.cpp (events
// pulled and acknowledged, waits), device_operations.cpp (information block,
// interface, pipe reset, transfer).
//
// Devices. A device the bus reports is free until the driver offers it to
// one registration (the oldest matching one that has not declined it): the
// driver opens it on the bus and queues an ATTACH event. The registration
// takes it by acknowledging with EVENT_OPT_ACCEPT (or at pull time when it
// asked for no acknowledgements); a decline closes it and offers it to the
// next registration, else it stays free for registrations made later.
//
// Threads. One mutex guards everything; one condition variable wakes waits.
// The bus is never called with the mutex held. Work that needs the bus
// (opening offered devices, closing departed ones) is done by whichever
// caller thread comes next (a wait, a pull, an acknowledgement, a
// registration): the bus's own threads only record what happened and wake
// the waits.
//
// Places. A registration made on a connection limited to a place
// (IOCTL_LIMIT_PLACE) is offered only devices at that place, and tells the
// bus it wants no other: a USB/IP bus imports nothing else for it.
//
// Failure. When the bus fails (busFailed), every registration that wants
// attach events gets one EVENT_BUS_FAILED event, registrations made later
// too, until the last registration closes and the bus is stopped.
//
// Claims. Before a device is opened for a registration, the driver claims
// its place for this process, system-wide (place_claim.h), and keeps the
// claim for the rest of the process once a registration has taken a device
// there: the device that leaves and comes back at that place (a projector's
// switch into programming mode) cannot be taken by another process
// meanwhile. A claim on a device that no registration took is given up
// again. A device at a place another process holds is neither reached for
// (the bus asks wanted() first: a USB/IP bus would import it) nor opened;
// each registration that wants it gets one EVENT_BUS_FAILED event with
// kStatusBusy, and one line on standard error names the holder.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device_info.h"
#include "usb_driver/bus.h"
#include "usb_driver/driver_records.h"

namespace usb_driver {

// A connection object is kept for the life of the process and reused once
// closed, so that opening a connection per transfer allocates nothing.
struct Connection {
    uint64_t id = 0;  // non-zero while open
};

class Driver : public BusListener {
public:
    static Driver &instance();

    Connection *open();
    void close(Connection *connection);
    [[nodiscard]] uint32_t ioctl(Connection *connection, uint32_t code, void *record, uint32_t size);

    bool wanted(uint16_t vendorId, uint16_t productId, const std::string &place) override;
    void deviceArrived(const BusDevice &device) override;
    void deviceLeft(uint64_t key) override;
    void busFailed(uint32_t status) override;

private:
    enum class Holding { Free, Opening, Offered, Owned, Closing };

    // Fields of an EventRecord (driver_records.h), read and written in place.
    static constexpr size_t kHandle = offsetof(EventRecord, hEvent);
    static constexpr size_t kAction = offsetof(EventRecord, dwAction);
    static constexpr size_t kOptions = offsetof(EventRecord, dwOptions);
    static constexpr size_t kUniqueId = offsetof(EventRecord, dwUniqueID);
    static constexpr size_t kMatchCount = offsetof(EventRecord, dwNumMatchTables);
    static constexpr size_t kMatches = offsetof(EventRecord, matchTables);
    static constexpr size_t kFailureStatus = offsetof(EventRecord, dwReserved1);

    struct Event {
        uint32_t action;
        uint32_t uniqueId;
        uint32_t status = 0;  // EVENT_BUS_FAILED: the bus's status
    };

    struct Registration {
        uint32_t handle = 0;
        uint64_t connection = 0;
        uint32_t mask = 0;
        uint32_t options = 0;
        std::vector<MatchEntry> matches;
        std::string place;  // only devices here; empty: anywhere
        std::deque<Event> queue;
        bool armed = false;
        bool toldBusy = false;     // has had its event of a place held by another process
        uint64_t changesSeen = 0;  // device changes this registration's waits have reported
        bool wants(uint16_t vendorId, uint16_t productId, const std::string &where) const;
    };

    struct Device {
        uint32_t uniqueId = 0;
        uint64_t key = 0;
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        std::string place;
        std::shared_ptr<const DeviceModel> model;
        Holding holding = Holding::Free;
        uint32_t holder = 0;        // registration handle when not free
        bool attachPulled = false;  // the holder has pulled its ATTACH event
        std::set<uint32_t> declinedBy;
        ActiveAlternates active{};
    };

    // A device operation's view of a device, taken under the lock.
    struct Target {
        std::shared_ptr<Bus> bus;
        uint64_t key = 0;
        std::shared_ptr<const DeviceModel> model;
    };

    Driver() = default;

    [[nodiscard]] uint32_t registerEvents(uint64_t connection, void *record);
    [[nodiscard]] uint32_t unregisterEvents(void *record);
    [[nodiscard]] uint32_t pull(void *record);
    [[nodiscard]] uint32_t acknowledge(void *record);
    [[nodiscard]] uint32_t waitEnable(void *record, bool enable);
    [[nodiscard]] uint32_t wait(void *record);
    [[nodiscard]] uint32_t deviceInfo(void *record);
    [[nodiscard]] uint32_t setInterface(void *record);
    [[nodiscard]] uint32_t resetPipe(void *record);
    [[nodiscard]] uint32_t transfer(void *record);
    [[nodiscard]] uint32_t limitPlace(uint64_t connection, void *record);
    [[nodiscard]] uint32_t devicePlace(void *record);
    // Queues the bus's failure for a registration that wants attach events.
    void tellFailureLocked(Registration &registration);

    // Opens and offers free devices and closes departed ones until there is
    // nothing left to do. Takes the lock itself; call without it.
    void service();
    // Cancels registrations (unregistration, closed connection): their
    // devices are closed and become free, their waits end. The last
    // registration stops the bus. Call with lifecycleMutex_ held, not mutex_.
    void cancel(const std::vector<uint32_t> &handles);
    // Lets go of devices marked Closing (unique id, bus key): close on the
    // bus, then free. Call without the lock.
    void release(const std::shared_ptr<Bus> &bus, const std::vector<std::pair<uint32_t, uint64_t>> &devices);

    // Tells the registrations `handles` (once each) that the device they
    // want at `place` is held by another process, and says so on standard
    // error. Call without the lock.
    void refuseClaimed(const place_claim::Scope &scope, const std::string &place, const place_claim::Holder &holder,
                       const std::string &why, const std::vector<uint32_t> &handles);
    // The claim on `place` stays for the rest of the process.
    void keepClaim(const std::shared_ptr<Bus> &bus, const std::string &place);
    // Gives up the claim on `place` unless it is kept or a device there is
    // being opened, offered or held. Call without the lock.
    void dropClaimIfUnused(const std::shared_ptr<Bus> &bus, const std::string &place);

    bool offerLocked(uint32_t &uniqueId, uint32_t &handle);
    bool workPendingLocked();
    Device *deviceLocked(uint32_t uniqueId);
    [[nodiscard]] uint32_t target(uint32_t uniqueId, Target &target);
    void changedLocked();
    // Forgets the device of bus key `key` as it leaves: its holder is told,
    // a device the bus still holds open is closed later. False for a key
    // the driver does not know; else `place` is where it sat.
    bool departLocked(uint64_t key, std::string &place);

    // Serialises bus creation, start, stop and destruction; taken before mutex_.
    std::mutex lifecycleMutex_;
    std::mutex mutex_;
    std::condition_variable changed_;

    // The connection of `connection` when it is one of ours and open, else 0.
    uint64_t connectionIdLocked(Connection *connection) const;

    std::shared_ptr<Bus> bus_;
    bool started_ = false;
    std::set<Connection *> allConnections_;  // every object ever handed out
    std::vector<Connection *> freeConnections_;
    size_t openConnections_ = 0;
    uint64_t nextConnection_ = 1;
    std::map<uint64_t, std::string> connectionPlaces_;  // IOCTL_LIMIT_PLACE, by connection id
    uint32_t busFailure_ = 0;                           // the bus's failure status, 0 while it serves
    std::map<uint32_t, Registration> registrations_;    // by handle: oldest first
    uint32_t nextHandle_ = 1;
    std::map<uint32_t, Device> devices_;  // by unique id
    std::map<uint64_t, uint32_t> byKey_;
    uint32_t nextUniqueId_ = 1;
    std::vector<uint64_t> keysToClose_;  // departed devices the bus still holds open
    std::set<std::string> keptClaims_;   // scope key and place of the claims kept for the process
    uint64_t changes_ = 0;               // device arrivals, departures, declines, releases
};

// The bus for a new driver: the testing factory's, else makeDefaultBus().
std::shared_ptr<Bus> makeBus();
// The version IOCTL_VERSION reports.
uint32_t reportedVersion();

}  // namespace usb_driver
