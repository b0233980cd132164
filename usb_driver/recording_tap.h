// SPDX-License-Identifier: MIT
// The recording tap: a Bus around the bus the driver chose (whichever it
// is), which passes every operation and event through unchanged and writes
// each to a recording (usb_recording/) as it happens. QRV_RECORD=FILE turns
// it on (bus_factory.cpp); QRV_RECORD_WITHOUT_DATA=1 writes the download
// frames' data as zeros (usb_recording/download_data.h).
//
// What it writes: a note when the bus starts and stops; a device's arrival
// and departure as notes, each appearance under a device number of its own
// (usb_recording/notes.h); at each open the descriptors the bus read, as the
// GET_DESCRIPTOR requests that read them, the first one's comment naming the
// device and its place; SET_INTERFACE and CLEAR_FEATURE(ENDPOINT_HALT) as
// the control requests they are; every transfer as its submission (setup,
// length asked, OUT data) and completion (status, length transferred, IN
// data). Each block is one write to the file, made before the operation
// begins (submission) and as soon as it ends (completion).
//
// Threads: as any Bus; the tap's own state and the file are guarded by one
// lock, never held while the bus or the listener is called. A thread of the
// tap's own has the system put the file on disk once a second, so that the
// transfers never wait for a disk.
//
// Place it in the driver's core: bus_factory.cpp puts it around every bus
// the driver makes when QRV_RECORD names a file.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "usb_driver/bus.h"
#include "usb_recording/recording_file.h"
#include "usb_recording/usbmon.h"

namespace usb_driver {

class RecordingTap final : public Bus, private BusListener {
public:
    struct Options {
        std::string path;          // QRV_RECORD
        bool withoutData = false;  // QRV_RECORD_WITHOUT_DATA=1
        std::string busName;       // "USB/IP server 127.0.0.1:3240"
    };

    // The tap around `inner`; `inner` itself when the file cannot be used
    // (not a recording, not writable), which is said once on standard error.
    static std::shared_ptr<Bus> wrap(std::shared_ptr<Bus> inner, const Options &options);
    ~RecordingTap() override;

    [[nodiscard]] uint32_t start(BusListener &listener) override;
    [[nodiscard]] uint32_t list(std::vector<BusDevice> &devices, std::string &why) override;
    // The wrapped bus's: recording a run must not lift its claim.
    [[nodiscard]] place_claim::Scope claimScope() const override { return inner_->claimScope(); }
    void stop() override;
    [[nodiscard]] uint32_t open(uint64_t key) override;
    void close(uint64_t key) override;
    [[nodiscard]] uint32_t setInterface(uint64_t key, uint32_t interface, uint32_t alternate) override;
    [[nodiscard]] uint32_t resetPipe(uint64_t key, uint32_t pipe) override;
    [[nodiscard]] uint32_t transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) override;

    // The usbmon status (0 or a negative errno) a driver status is recorded as.
    static int32_t urbStatusOf(uint32_t status);

private:
    struct Appearance {
        uint8_t number = 0;
        uint16_t bus = 0;
        std::string place;
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        std::vector<uint8_t> deviceDescriptor;
        std::vector<uint8_t> configDescriptor;
        bool opened = false;
        bool left = false;
    };

    RecordingTap(std::shared_ptr<Bus> inner, Options options, std::unique_ptr<usb_recording::RecordingFile> file,
                 uint8_t lastNumber, uint64_t lastUrb);

    bool wanted(uint16_t vendorId, uint16_t productId, const std::string &place) override;
    void deviceArrived(const BusDevice &device) override;
    void deviceLeft(uint64_t key) override;
    void busFailed(uint32_t status) override;

    // A standard request the bus makes (`operation`), written as the control
    // transfer it is.
    template <typename Operation>
    uint32_t control(uint64_t key, const std::array<uint8_t, 8> &setup, Operation operation);
    // The submission of a transfer; its URB id.
    uint64_t submitLocked(const Appearance *device, uint8_t type, uint8_t endpoint, const uint8_t *setup,
                          uint32_t length, std::span<const uint8_t> data, std::string_view comment);
    void completeLocked(const Appearance *device, uint64_t urb, uint8_t type, uint8_t endpoint, uint32_t status,
                        uint32_t transferred, std::span<const uint8_t> data);
    void noteLocked(std::string_view text);
    void flushLocked(bool sync);
    // The syncing thread: the file on disk once a second while it changes.
    void syncNowAndThen();
    const Appearance *findLocked(uint64_t key) const;

    const std::shared_ptr<Bus> inner_;
    const Options options_;
    BusListener *listener_ = nullptr;  // set by start(), used until stop()

    std::mutex mutex_;                                    // everything below
    std::shared_ptr<usb_recording::RecordingFile> file_;  // null once a write failed
    std::map<uint64_t, Appearance> devices_;              // by bus key
    uint8_t lastNumber_;
    uint64_t lastUrb_;
    bool unsynced_ = false;  // written since the last sync
    bool stopping_ = false;
    std::condition_variable syncWake_;
    std::thread syncer_;  // syncNowAndThen()
    std::vector<uint8_t> block_;  // the blocks of one write, reused
    std::vector<uint8_t> frame_;  // an OUT frame with its data left out, reused
};

}  // namespace usb_driver

namespace usb_driver {
// `bus` with a RecordingTap around it when QRV_RECORD names a file (with
// QRV_RECORD_WITHOUT_DATA=1 the download data left out), else `bus`.
// `busName` says what the bus is, for the recording's notes. Defined where
// the driver chooses its bus (bus_factory.cpp), which reads the variables.
std::shared_ptr<Bus> tapWhenRecording(std::shared_ptr<Bus> bus, const std::string &busName);
}  // namespace usb_driver
