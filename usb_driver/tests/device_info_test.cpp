// SPDX-License-Identifier: MIT
// The descriptor parser and the device information block: descriptor bytes
// come from devices and network peers, so malformed ones must be refused or
// cut safely, and the block must never point outside itself.
#include <gtest/gtest.h>

#include <random>

#include "device_info.h"
#include "driver_client.h"
#include "fake_bus.h"

namespace usb_driver::test {
namespace {

std::vector<uint8_t> withTotalLength(std::vector<uint8_t> config) {
    config[2] = static_cast<uint8_t>(config.size());
    config[3] = static_cast<uint8_t>(config.size() >> 8);
    return config;
}

void append(std::vector<uint8_t> &to, std::initializer_list<uint8_t> bytes) { to.insert(to.end(), bytes); }

// Follows every pointer of a block as a reader would and checks it stays in.
void expectSelfContained(const std::vector<uint8_t> &block) {
    ASSERT_GE(block.size(), sizeof(DeviceInfo));
    const auto *info = reinterpret_cast<const DeviceInfo *>(block.data());
    ASSERT_TRUE(pointsInside(block, info->pConfigs, sizeof(Configuration)));
    ASSERT_EQ(info->pActiveConfig, info->pConfigs);
    const Configuration &config = *info->pActiveConfig;
    ASSERT_EQ(config.dwNumInterfaces, config.Descriptor.bNumInterfaces);
    ASSERT_TRUE(pointsInside(block, config.pInterfaces, config.dwNumInterfaces * sizeof(Interface)));
    for (uint32_t i = 0; i < config.dwNumInterfaces; ++i) {
        const Interface &interface = config.pInterfaces[i];
        if (i < kMaxInterfaces) {
            EXPECT_EQ(info->pActiveInterface[i], &interface);
        }
        ASSERT_TRUE(
            pointsInside(block, interface.pAlternateSettings, interface.dwNumAltSettings * sizeof(AlternateSetting)));
        ASSERT_TRUE(pointsInside(block, interface.pActiveAltSetting, sizeof(AlternateSetting)));
        for (uint32_t a = 0; a < interface.dwNumAltSettings; ++a) {
            const AlternateSetting &setting = interface.pAlternateSettings[a];
            const uint8_t endpoints = setting.Descriptor.bNumEndpoints;
            if (endpoints == 0) continue;
            ASSERT_TRUE(pointsInside(block, setting.pEndpointDescriptors, endpoints * sizeof(UsbEndpointDescriptor)));
            ASSERT_TRUE(pointsInside(block, setting.pPipes, endpoints * sizeof(PipeInfo)));
        }
    }
    for (size_t i = config.dwNumInterfaces; i < kMaxInterfaces; ++i) EXPECT_EQ(info->pActiveInterface[i], nullptr);
}

std::vector<uint8_t> blockOf(const DeviceModel &model, const ActiveAlternates &active = {}) {
    std::vector<uint8_t> block(infoBlockSize(model), 0xEE);
    fillInfoBlock(model, active, block.data());
    return block;
}

TEST(DeviceInfoTest, ProjectorDescriptorsGiveInterfaceZeroWithItsTwoBulkPipes) {
    auto model = parseDescriptors(simpleDeviceDescriptor(0xE7A2, 0x051E), simpleConfigDescriptor());
    ASSERT_TRUE(model);
    std::vector<uint8_t> block = blockOf(*model);
    expectSelfContained(block);
    const auto *info = reinterpret_cast<const DeviceInfo *>(block.data());
    EXPECT_EQ(info->Descriptor.idVendor, 0xE7A2);
    EXPECT_EQ(info->Descriptor.idProduct, 0x051E);
    EXPECT_EQ(info->Pipe0.dwMaximumPacketSize, 64u);
    EXPECT_EQ(info->Pipe0.direction, 3u);
    const AlternateSetting *active = info->pActiveInterface[0]->pActiveAltSetting;
    EXPECT_EQ(active->Descriptor.bInterfaceNumber, 0);
    ASSERT_EQ(active->Descriptor.bNumEndpoints, 2);
    EXPECT_EQ(active->pPipes[0].dwNumber, 0x01u);
    EXPECT_EQ(active->pPipes[0].direction, 2u);
    EXPECT_EQ(active->pPipes[0].type, 2u);
    EXPECT_EQ(active->pPipes[1].dwNumber, 0x81u);
    EXPECT_EQ(active->pPipes[1].direction, 1u);
    EXPECT_EQ(active->pPipes[1].dwMaximumPacketSize, 64u);
    EXPECT_TRUE(model->hasEndpoint(0x81));
    EXPECT_FALSE(model->hasEndpoint(0x82));
}

TEST(DeviceInfoTest, MalformedDescriptorsAreRefusedOrCut) {
    const std::vector<uint8_t> device = simpleDeviceDescriptor(1, 2);
    const std::vector<uint8_t> config = simpleConfigDescriptor();
    struct Case {
        const char *what;
        std::vector<uint8_t> device, config;
        bool accepted;
        size_t interfaces, endpoints;  // of interface 0's first alternate
    };
    std::vector<uint8_t> shortDevice(device.begin(), device.end() - 1);
    std::vector<uint8_t> wrongType = device;
    wrongType[1] = 2;
    std::vector<uint8_t> zeroLength = config;
    zeroLength[18] = 0;  // the first endpoint
    std::vector<uint8_t> overrun = config;
    overrun[25] = 200;  // the second endpoint claims 200 bytes
    std::vector<uint8_t> claimsMore = config;
    claimsMore[2] = 0xFF, claimsMore[3] = 0xFF;
    std::vector<uint8_t> claimsLess = config;
    claimsLess[2] = 25;  // ends inside the second endpoint
    std::vector<uint8_t> lyingCount = config;
    lyingCount[13] = 30;  // bNumEndpoints says 30, two follow
    std::vector<uint8_t> shortInterface = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 5, 4, 0, 0, 2};
    std::vector<uint8_t> endpointZero = config;
    endpointZero[20] = 0x80;

    std::vector<Case> cases = {
        {"valid", device, config, true, 1, 2},
        {"device descriptor short", shortDevice, config, false, 0, 0},
        {"device descriptor of the wrong type", wrongType, config, false, 0, 0},
        {"configuration missing", device, {}, false, 0, 0},
        {"configuration header only", device, {9, 2, 9, 0, 1, 1, 0, 0x80, 50}, false, 0, 0},
        {"configuration header short", device, {9, 2, 9}, false, 0, 0},
        {"bLength 0 stops the walk", device, zeroLength, true, 1, 0},
        {"a length that overruns stops the walk", device, overrun, true, 1, 1},
        {"wTotalLength larger than the bytes", device, claimsMore, true, 1, 2},
        {"wTotalLength smaller than the bytes", device, claimsLess, true, 1, 1},
        {"bNumEndpoints lies", device, lyingCount, true, 1, 2},
        {"interface descriptor too short", device, withTotalLength(shortInterface), false, 0, 0},
        {"endpoint 0 listed", device, endpointZero, true, 1, 1},
    };
    for (const Case &c : cases) {
        std::string why;
        auto model = parseDescriptors(c.device, c.config, &why);
        ASSERT_EQ(model.has_value(), c.accepted) << c.what << ": " << why;
        if (!model) continue;
        ASSERT_EQ(model->interfaces.size(), c.interfaces) << c.what;
        EXPECT_EQ(model->interfaces[0].alternates[0].endpoints.size(), c.endpoints) << c.what;
        expectSelfContained(blockOf(*model));
    }
}

TEST(DeviceInfoTest, CountsAreCappedAndInterfacesSorted) {
    std::vector<uint8_t> config = {9, 2, 0, 0, 60, 1, 0, 0x80, 50};
    append(config, {9, 4, 5, 0, 0, 0xFF, 0, 0, 0});
    for (int i = 0; i < 40; ++i) append(config, {9, 4, static_cast<uint8_t>(i), 0, 0, 0xFF, 0, 0, 0});
    for (int a = 1; a < 40; ++a) {
        append(config, {9, 4, 0, static_cast<uint8_t>(a), 40, 0xFF, 0, 0, 0});
        for (int e = 1; e <= 40; ++e) append(config, {7, 5, static_cast<uint8_t>(e & 0x0F), 2, 64, 0, 0});
    }
    auto model = parseDescriptors(simpleDeviceDescriptor(1, 2), withTotalLength(config));
    ASSERT_TRUE(model);
    ASSERT_EQ(model->interfaces.size(), kMaxInterfaces);
    EXPECT_EQ(model->interfaces[0].number, 0);  // listed after interface 5
    EXPECT_EQ(model->interfaces[5].number, 5);
    EXPECT_EQ(model->config.bNumInterfaces, kMaxInterfaces);
    EXPECT_EQ(model->interfaces[0].alternates.size(), kMaxAlternates);
    EXPECT_EQ(model->interfaces[0].alternates[1].endpoints.size(), kMaxEndpoints);
    EXPECT_EQ(model->interfaces[0].alternates[1].descriptor.bNumEndpoints, kMaxEndpoints);
    expectSelfContained(blockOf(*model));
}

TEST(DeviceInfoTest, ActiveAlternateFollowsTheSelection) {
    std::vector<uint8_t> config = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    append(config, {9, 4, 0, 0, 0, 0xFF, 0, 0, 0});
    append(config, {9, 4, 0, 1, 1, 0xFF, 0, 0, 0, 7, 5, 0x81, 2, 64, 0, 0});
    auto model = parseDescriptors(simpleDeviceDescriptor(1, 2), withTotalLength(config));
    ASSERT_TRUE(model);
    EXPECT_TRUE(model->hasAlternate(0, 1));
    EXPECT_FALSE(model->hasAlternate(0, 2));
    for (uint8_t alternate : {0, 1}) {
        std::vector<uint8_t> block = blockOf(*model, ActiveAlternates{alternate});
        const auto *info = reinterpret_cast<const DeviceInfo *>(block.data());
        EXPECT_EQ(info->pActiveInterface[0]->pActiveAltSetting->Descriptor.bAlternateSetting, alternate);
    }
}

TEST(DeviceInfoTest, RandomDescriptorBytesNeverEscapeTheBlock) {
    std::mt19937 random(4817);
    const std::vector<uint8_t> device = simpleDeviceDescriptor(1, 2);
    for (int round = 0; round < 3000; ++round) {
        // A plausible start, then noise biased towards interface and endpoint
        // descriptors, with some bytes flipped.
        std::vector<uint8_t> config = simpleConfigDescriptor();
        const size_t extra = random() % 200;
        for (size_t i = 0; i < extra; ++i) {
            switch (random() % 4) {
            case 0:
                append(config, {9, 4, static_cast<uint8_t>(random() % 40), static_cast<uint8_t>(random() % 20),
                                static_cast<uint8_t>(random()), 0, 0, 0, 0});
                break;
            case 1:
                append(config, {7, 5, static_cast<uint8_t>(random()), static_cast<uint8_t>(random()), 64, 0, 0});
                break;
            default: config.push_back(static_cast<uint8_t>(random())); break;
            }
        }
        if (random() % 2) config[2 + random() % 2] = static_cast<uint8_t>(random());
        const size_t flips = random() % 5;
        for (size_t i = 0; i < flips; ++i) config[random() % config.size()] = static_cast<uint8_t>(random());
        auto model = parseDescriptors(device, config);
        if (!model) continue;
        std::vector<uint8_t> block = blockOf(*model, ActiveAlternates{static_cast<uint8_t>(random() % 3)});
        expectSelfContained(block);
        if (::testing::Test::HasFatalFailure()) FAIL() << "round " << round;
    }
}

}  // namespace
}  // namespace usb_driver::test
