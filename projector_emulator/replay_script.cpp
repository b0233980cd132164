// SPDX-License-Identifier: MIT
#include "replay_script.h"

#include <map>

#include "usb_recording/notes.h"
#include "usb_recording/recording.h"
#include "usb_standard/usb_standard.h"

namespace projector_emulator {
namespace {

namespace usbmon = usb_recording::usbmon;
using usb_recording::notes::DeviceNote;

constexpr uint8_t kBulkOut = 0x01;
constexpr uint8_t kBulkIn = 0x81;

// A read that ended without the device answering: nothing to replay.
bool noAnswer(int32_t status) {
    return status == usbmon::kTimedOut || status == usbmon::kNoDevice || status == usbmon::kUnlinked ||
           status == usbmon::kNoEntry || status == usbmon::kShutdown;
}

class Builder {
public:
    bool take(const usb_recording::Entry &entry) {
        if (entry.kind == usb_recording::Entry::Kind::Note) {
            note(entry);
        } else if (entry.usb.transferType == usbmon::kControl) {
            control(entry);
        } else if (entry.usb.transferType == usbmon::kBulk) {
            bulk(entry);
        }
        return true;
    }

    std::optional<ReplayScript> finish(std::string &error) {
        if (script_.appearances.empty()) {
            error = "the recording opens no device";
            return std::nullopt;
        }
        for (const ReplayAppearance &appearance : script_.appearances) {
            const auto &device = appearance.deviceDescriptor;
            const auto &config = appearance.configDescriptor;
            if (device.size() != usb_standard::DT_DEVICE_SIZE || device[1] != usb_standard::DT_DEVICE ||
                config.size() < usb_standard::DT_CONFIG_SIZE || config[1] != usb_standard::DT_CONFIG) {
                error = "the recording lacks the descriptors of device " + std::to_string(appearance.number);
                return std::nullopt;
            }
        }
        std::vector<ReplayStep> kept;
        for (ReplayStep &step : script_.steps)
            if (!(step.kind == ReplayStep::Kind::Frame && step.status == usbmon::kNoDevice))
                kept.push_back(std::move(step));
        script_.steps = std::move(kept);
        // Numbered as the device received them.
        for (ReplayStep &step : script_.steps)
            if (step.kind == ReplayStep::Kind::Frame) step.frame = ++script_.frames;
        return std::move(script_);
    }

private:
    struct Known {
        size_t appearance = 0;
        bool left = false;
    };

    // The appearance a USB event belongs to, while it is on the bus.
    const Known *present(uint8_t number) const {
        auto found = devices_.find(number);
        return found == devices_.end() || found->second.left ? nullptr : &found->second;
    }

    void note(const usb_recording::Entry &entry) {
        if (usb_recording::notes::leftDataOut(entry.comment)) script_.withoutData = true;
        const auto device = usb_recording::notes::parseDeviceNote(entry.comment);
        if (!device) return;
        if (device->what == DeviceNote::What::Arrived) arrived_[device->number] = entry.timestampUs;
        auto known = devices_.find(device->number);
        if (device->what == DeviceNote::What::Left && known != devices_.end() && !known->second.left) {
            known->second.left = true;
            add(ReplayStep::Kind::Leave, known->second.appearance, entry.timestampUs);
        }
    }

    void control(const usb_recording::Entry &entry) {
        const usbmon::Header &usb = entry.usb;
        if (usb.event == usbmon::kSubmit) {
            if (const auto opened = usb_recording::notes::parseDeviceNote(entry.comment);
                opened && opened->what == DeviceNote::What::Opened && opened->number == usb.device)
                open(*opened, entry.timestampUs);
            if (usb.setupPresent && usb.setup[1] == usb_standard::GET_DESCRIPTOR)
                descriptorRequests_[usb.urbId] = usb.setup[3];
            return;
        }
        auto request = descriptorRequests_.find(usb.urbId);
        if (request == descriptorRequests_.end()) return;
        const Known *device = present(usb.device);
        if (device && usb.status == 0) {
            ReplayAppearance &appearance = script_.appearances[device->appearance];
            auto &descriptor =
                request->second == usb_standard::DT_DEVICE ? appearance.deviceDescriptor : appearance.configDescriptor;
            if (request->second == usb_standard::DT_DEVICE || request->second == usb_standard::DT_CONFIG)
                descriptor.assign(entry.data.begin(), entry.data.end());
        }
        descriptorRequests_.erase(request);
    }

    void open(const DeviceNote &opened, uint64_t timeUs) {
        if (devices_.count(opened.number)) return;  // opened again: the same appearance
        ReplayAppearance appearance;
        appearance.number = opened.number;
        appearance.place = opened.place;
        appearance.vendorId = opened.vendorId;
        appearance.productId = opened.productId;
        script_.appearances.push_back(std::move(appearance));
        devices_[opened.number] = Known{script_.appearances.size() - 1, false};
        const auto arrival = arrived_.find(opened.number);
        add(ReplayStep::Kind::Appear, script_.appearances.size() - 1,
            arrival != arrived_.end() ? arrival->second : timeUs);
    }

    void bulk(const usb_recording::Entry &entry) {
        const usbmon::Header &usb = entry.usb;
        if (usb.endpoint == kBulkOut && usb.event == usbmon::kSubmit) {
            const Known *device = present(usb.device);
            if (!device) return;
            ReplayStep &step = add(ReplayStep::Kind::Frame, device->appearance, entry.timestampUs);
            step.packet = entry.packet;
            step.bytes.assign(entry.data.begin(), entry.data.end());
            frameSteps_[usb.urbId] = script_.steps.size() - 1;
        } else if (usb.endpoint == kBulkOut && usb.event == usbmon::kComplete) {
            auto step = frameSteps_.find(usb.urbId);
            if (step == frameSteps_.end()) return;
            script_.steps[step->second].status = usb.status;
            frameSteps_.erase(step);
        } else if (usb.endpoint == kBulkIn && usb.event == usbmon::kComplete && !noAnswer(usb.status)) {
            const Known *device = present(usb.device);
            if (!device) return;
            ReplayStep &step = add(ReplayStep::Kind::Reply, device->appearance, entry.timestampUs);
            step.status = usb.status;
            step.bytes.assign(entry.data.begin(), entry.data.end());
        }
    }

    ReplayStep &add(ReplayStep::Kind kind, size_t appearance, uint64_t timeUs) {
        ReplayStep step;
        step.kind = kind;
        step.appearance = appearance;
        step.timeUs = timeUs;
        script_.steps.push_back(std::move(step));
        return script_.steps.back();
    }

    ReplayScript script_;
    std::map<uint8_t, Known> devices_;                // by device number, once opened
    std::map<uint8_t, uint64_t> arrived_;             // by device number: when it arrived
    std::map<uint64_t, uint8_t> descriptorRequests_;  // by URB id: the descriptor type asked for
    std::map<uint64_t, size_t> frameSteps_;           // by URB id: the step of a frame not yet completed
};

}  // namespace

std::optional<ReplayScript> buildReplayScript(std::span<const uint8_t> recording, std::string &error) {
    Builder builder;
    if (!usb_recording::scanRecording(
            recording, [&](const usb_recording::Entry &entry) { return builder.take(entry); }, error))
        return std::nullopt;
    return builder.finish(error);
}

}  // namespace projector_emulator
