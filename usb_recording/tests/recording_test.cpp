// SPDX-License-Identifier: MIT
// Recordings written and read back, the notes' forms, the download data left
// out, and the files a reader must refuse (or read only up to where they
// were cut off).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "usb_recording/download_data.h"
#include "usb_recording/notes.h"
#include "usb_recording/pcapng.h"
#include "usb_recording/recording.h"
#include "usb_recording/recording_file.h"

namespace usb_recording::test {
namespace {

using Bytes = std::vector<uint8_t>;

usbmon::Header bulkIn(uint64_t urb, char event, int32_t status, uint32_t length) {
    usbmon::Header header;
    header.urbId = urb;
    header.event = event;
    header.transferType = usbmon::kBulk;
    header.endpoint = 0x81;
    header.device = 3;
    header.bus = 1;
    header.status = status;
    header.urbLength = length;
    return header;
}

const Bytes kReply = {0x02, 0x05, 0x00, 0x00, 0x00, 0x05};

// A recording: the head, a note, an IN submission and its completion with a reply.
Bytes sample() {
    Bytes bytes = recordingHead("start of the run");
    appendNote(bytes, 1'000'000, "bus started: a bus; download data recorded");
    appendUsbEvent(bytes, 1'000'010, bulkIn(7, usbmon::kSubmit, usbmon::kInProgress, 255), {}, "");
    usbmon::Header done = bulkIn(7, usbmon::kComplete, 0, 6);
    done.dataLength = static_cast<uint32_t>(kReply.size());
    appendUsbEvent(bytes, 1'000'250, done, kReply, "the reply");
    return bytes;
}

std::vector<Entry> entriesOf(const Bytes &bytes, std::string &error, bool *cutShort = nullptr) {
    std::vector<Entry> entries;
    std::string head;
    if (!scanRecording(
            bytes, [&](const Entry &e) { return entries.push_back(e), true; }, error, &head, cutShort))
        entries.clear();
    return entries;
}

void put32(Bytes &bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(RecordingTest, WhatIsWrittenIsReadBackInOrder) {
    const Bytes bytes = sample();
    std::string error, head;
    bool cutShort = true;
    std::vector<Entry> entries;
    ASSERT_TRUE(scanRecording(
        bytes, [&](const Entry &e) { return entries.push_back(e), true; }, error, &head, &cutShort))
        << error;
    EXPECT_EQ(head, "start of the run");
    EXPECT_FALSE(cutShort);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].kind, Entry::Kind::Note);
    EXPECT_EQ(entries[0].comment, "bus started: a bus; download data recorded");
    EXPECT_EQ(entries[0].timestampUs, 1'000'000u);
    EXPECT_EQ(entries[1].kind, Entry::Kind::Usb);
    EXPECT_EQ(entries[1].usb.event, usbmon::kSubmit);
    EXPECT_EQ(entries[1].usb.status, usbmon::kInProgress);
    EXPECT_EQ(entries[1].usb.urbLength, 255u);
    EXPECT_TRUE(entries[1].data.empty());
    const Entry &reply = entries[2];
    EXPECT_EQ(reply.packet, 3u);
    EXPECT_EQ(reply.timestampUs, 1'000'250u);
    EXPECT_EQ(reply.comment, "the reply");
    EXPECT_EQ(reply.usb.urbId, 7u);
    EXPECT_EQ(reply.usb.endpoint, 0x81);
    EXPECT_TRUE(reply.usb.in());
    EXPECT_EQ(reply.usb.device, 3);
    EXPECT_EQ(Bytes(reply.data.begin(), reply.data.end()), kReply);
}

// Every way a file can be wrong, each against the same good recording.
TEST(RecordingTest, MalformedFilesAreRefusedNamingWhatIsWrong) {
    const Bytes good = sample();
    const size_t head = recordingHead("start of the run").size();
    Bytes noteOnly = recordingHead("start of the run");
    appendNote(noteOnly, 1, "bus started: a bus; download data recorded");
    const size_t note = noteOnly.size() - head;  // the first packet block
    const size_t usb = head + note;              // the IN submission's block
    Bytes sectionHeader;
    pcapng::appendSectionHeader(sectionHeader, "start of the run");
    const size_t firstInterface = sectionHeader.size();
    struct Case {
        const char *what;
        std::function<void(Bytes &)> change;
        const char *error;
    };
    const std::vector<Case> cases = {
        {"an empty file", [](Bytes &b) { b.clear(); }, "not a pcapng file"},
        {"no section header first", [](Bytes &b) { b[0] = 0x01; }, "not a pcapng file"},
        {"a big-endian section", [](Bytes &b) { put32(b, 8, 0x4D3C2B1A); }, "big-endian"},
        {"a block length not a multiple of four", [&](Bytes &b) { put32(b, head + 4, 33); }, "impossible"},
        {"a block length below the framing", [&](Bytes &b) { put32(b, head + 4, 8); }, "impossible"},
        {"two block lengths that differ", [&](Bytes &b) { b[head + note - 4] ^= 0x04; }, "lengths differ"},
        {"a second section", [&](Bytes &b) { b.insert(b.end(), sectionHeader.begin(), sectionHeader.end()); },
         "second section"},
        {"a packet of an interface never described", [&](Bytes &b) { put32(b, head + 8, 5); }, "not described"},
        {"a captured length past the block", [&](Bytes &b) { put32(b, usb + 20, 4000); }, "runs past the block"},
        {"a packet cut when it was captured", [&](Bytes &b) { put32(b, usb + 24, 80); }, "cut short"},
        {"an option past the block", [&](Bytes &b) { b[head + 35] = 0xFF; }, "option runs past"},
        {"a USB packet shorter than a usbmon header",
         [&](Bytes &b) {
             Bytes bad = recordingHead("x");
             const uint8_t four[4] = {};
             pcapng::appendEnhancedPacket(bad, kUsbInterface, 1, four, {}, "");
             b = bad;
         },
         "not a usbmon event"},
        {"a usbmon header announcing other data", [&](Bytes &b) { put32(b, usb + 28 + 36, 9); }, "not a usbmon event"},
        {"one interface only",
         [](Bytes &b) {
             b.clear();
             pcapng::appendSectionHeader(b, "");
             pcapng::appendInterfaceDescription(b, usbmon::kLinkType, "usb", "");
         },
         "interfaces"},
        {"an interface of another link type", [&](Bytes &b) { b[firstInterface + 8] = 1; }, "interfaces"},
    };
    for (const Case &c : cases) {
        Bytes bytes = good;
        c.change(bytes);
        std::string error;
        bool read = scanRecording(
            bytes, [](const Entry &) { return true; }, error);
        EXPECT_FALSE(read) << c.what;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
}

// A run that ended while it wrote (or a copy cut off) is read up to its last
// whole block.
TEST(RecordingTest, AFileCutInsideItsLastBlockIsReadUpToThatBlock) {
    const Bytes good = sample();
    for (size_t cut : {size_t{3}, size_t{40}, size_t{90}}) {
        Bytes bytes(good.begin(), good.end() - static_cast<std::ptrdiff_t>(cut));
        std::string error;
        bool cutShort = false;
        const auto entries = entriesOf(bytes, error, &cutShort);
        EXPECT_TRUE(error.empty()) << error;
        EXPECT_TRUE(cutShort) << cut;
        EXPECT_EQ(entries.size(), 2u) << cut;
    }
}

TEST(NotesTest, DeviceNotesAreReadBackAndOthersAreNot) {
    using What = notes::DeviceNote::What;
    for (What what : {What::Arrived, What::Opened, What::Left, What::Closed}) {
        const notes::DeviceNote note{what, 12, "3-4.2", 0xE7B9, 0x2000};
        const auto parsed = notes::parseDeviceNote(notes::describe(note));
        ASSERT_TRUE(parsed) << notes::describe(note);
        EXPECT_EQ(parsed->what, what);
        EXPECT_EQ(parsed->number, 12);
        EXPECT_EQ(parsed->place, "3-4.2");
        EXPECT_EQ(parsed->vendorId, 0xE7B9);
        EXPECT_EQ(parsed->productId, 0x2000);
    }
    EXPECT_EQ(notes::describe({What::Left, 2, "1-1", 0xE7A2, 0x051E}), "device 2 at 1-1 (e7a2:051e): left the bus");
    for (const char *text : {"device 0 at 1-1 (e7a2:051e): opened", "device 128 at 1-1 (e7a2:051e): opened",
                             "device 2 at 1-1 (e7a2:05): opened", "device 2 at 1-1 (e7a2:051e): vanished",
                             "device 2 at  (e7a2:051e): opened", "device x at 1-1 (e7a2:051e): opened", "bus stopped"})
        EXPECT_FALSE(notes::parseDeviceNote(text)) << text;
    EXPECT_TRUE(notes::leftDataOut(notes::busStarted("USB/IP server 127.0.0.1:3240", true)));
    EXPECT_FALSE(notes::leftDataOut(notes::busStarted("USB/IP server 127.0.0.1:3240", false)));
}

Bytes downloadFrame(std::vector<uint8_t> data, uint8_t sequence) {
    Bytes frame = {0x02, sequence, 0x00, static_cast<uint8_t>(data.size() + 2), 0x00, 0x34, 0x25};
    frame.insert(frame.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (size_t i = 1; i < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
    frame.push_back(sum);
    return frame;
}

TEST(DownloadDataTest, OnlyTheDataOfDownloadFramesIsLeftOutAndNotCompared) {
    Bytes frame = downloadFrame({0xDE, 0xAD, 0xBE, 0xEF}, 7);
    leaveOutData(frame);
    EXPECT_EQ(frame, downloadFrame({0, 0, 0, 0}, 7));  // zeros, and the checksum of zeros

    Bytes status = {0x04, 0x07, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x40};
    const Bytes before = status;
    leaveOutData(status);
    EXPECT_EQ(status, before);

    const Bytes sent = downloadFrame({1, 2, 3, 4}, 7);
    EXPECT_TRUE(sameApartFromData(frame, sent));
    EXPECT_FALSE(sameApartFromData(frame, downloadFrame({1, 2, 3, 4}, 8)));     // sequence
    EXPECT_FALSE(sameApartFromData(frame, downloadFrame({1, 2, 3, 4, 5}, 7)));  // length
    EXPECT_FALSE(sameApartFromData(status, Bytes{0x04, 0x07, 0x00, 0x03, 0x00, 0x34, 0x01, 0x02, 0x41}));
    EXPECT_TRUE(sameApartFromData(status, before));
}

class RecordingFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = (std::filesystem::temp_directory_path() /
                 ("recording-file-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                    .string();
        std::filesystem::remove(path_);
    }
    void TearDown() override { std::filesystem::remove(path_); }
    Bytes contents() {
        std::ifstream file(path_, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(file), {});
    }
    std::string path_;
};

TEST_F(RecordingFileTest, AppendingGoesOnWhereTheRunBeganAndNeverWritesIntoAnotherFile) {
    std::string error;
    Bytes note;
    appendNote(note, 5, "a note");
    {
        auto file = RecordingFile::create(path_, "the start", error);
        ASSERT_TRUE(file) << error;
        ASSERT_TRUE(file->write(note));
    }
    Bytes existing;
    {
        auto file = RecordingFile::append(path_, "not used", existing, error);
        ASSERT_TRUE(file) << error;
        EXPECT_EQ(existing.size(), recordingHead("the start").size() + note.size());
        ASSERT_TRUE(file->write(note));
    }
    const auto entries = entriesOf(contents(), error);
    EXPECT_EQ(entries.size(), 2u) << error;

    // A missing file is begun with the head it is given.
    std::filesystem::remove(path_);
    ASSERT_TRUE(RecordingFile::append(path_, "begun by the driver", existing, error)) << error;
    EXPECT_EQ(contents(), recordingHead("begun by the driver"));

    // Anything else is left as it is.
    std::ofstream(path_, std::ios::binary) << "not a capture";
    EXPECT_FALSE(RecordingFile::append(path_, "x", existing, error));
    EXPECT_NE(error.find("is not a recording"), std::string::npos) << error;
    const Bytes text = contents();
    EXPECT_EQ(std::string(text.begin(), text.end()), "not a capture");
}

}  // namespace
}  // namespace usb_recording::test
