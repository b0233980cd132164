// SPDX-License-Identifier: MIT
// The update dialog without a toolkit: the controller against a view that
// records every control change, driven the way a face drives it (its wake
// lets the test's thread, in the GUI thread's place, deliver the reports),
// with the scripted libraries on the controller's worker thread. What each
// state shows, in which order the controls change through a whole update and
// through every failure, what the button and the system menu do, and that a
// message holds the update until it is acknowledged.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h"
#include "program_strings.h"
#include "update_dialog_controller.h"

namespace wizard {
namespace {

using testing::FakeLibrary;
using testing::LibraryScript;
using Lines = std::vector<std::string>;
using State = UpdateDialogController::State;

// Every call of the controller, one line each.
class RecordingView : public UpdateDialogView {
public:
    Lines changes;
    Lines messageTexts, messageDetails;
    std::function<void()> onMessage;  // while the box would be on screen

    void setText(int id, std::string_view text) override {
        changes.push_back("text " + std::to_string(id) + " " + std::string(text));
    }
    void setEnabled(int id, bool enabled) override {
        changes.push_back((enabled ? "enable " : "disable ") + std::to_string(id));
    }
    void check(int id) override { changes.push_back("check " + std::to_string(id)); }
    void setBarRange(int low, int high) override {
        changes.push_back("range " + std::to_string(low) + " " + std::to_string(high));
    }
    void setBarPosition(int position) override { changes.push_back("position " + std::to_string(position)); }
    void appendSystemMenuItem(unsigned command, std::string_view text) override {
        changes.push_back("menu " + std::to_string(command) + " " + std::string(text));
    }
    void setProgramIcon() override { changes.push_back("icon"); }
    void showAboutBox() override { changes.push_back("about"); }
    void showMessage(std::string_view text, std::string_view details) override {
        changes.push_back("message " + std::string(text));
        messageTexts.emplace_back(text);
        messageDetails.emplace_back(details);
        if (onMessage) onMessage();
    }
};

// The face's part: wake() marks that reports wait, and the test's thread,
// standing for the GUI thread, delivers them.
class WizardUpdateDialogTest : public ::testing::Test {
protected:
    void SetUp() override { FakeLibrary::instance().reset({}); }
    void TearDown() override {
        FakeLibrary::instance().resume();
        controller.reset();
    }

    // A controller opened in a folder with an image of `imageLength` bytes
    // (none when negative); its changes so far are cleared.
    void open(int64_t imageLength, LibraryScript script = {}) {
        FakeLibrary::instance().reset(std::move(script));
        directory = std::make_unique<testing::ImageDirectory>(imageLength);
        make();
        controller->open();
        view.changes.clear();
    }
    void make() {
        controller = std::make_unique<UpdateDialogController>(view, FakeLibrary::table(), imageFileName, [this] {
            std::lock_guard lock(mutex);
            ++wakes;
            woken.notify_all();
        });
    }
    // Delivers reports as they come until `done` holds (a minute at most).
    void deliverUntil(const std::function<bool()> &done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!done()) {
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << "the update did not get there";
            {
                std::unique_lock lock(mutex);
                woken.wait_for(lock, std::chrono::milliseconds(10), [this] { return wakes > delivered; });
                delivered = wakes;
            }
            controller->deliverReports();
        }
    }
    void runToTheEnd() {
        controller->pressButton();
        deliverUntil([this] { return controller->state() != State::Running; });
    }

    std::unique_ptr<testing::ImageDirectory> directory;
    RecordingView view;
    std::string imageFileName;
    std::unique_ptr<UpdateDialogController> controller;
    std::mutex mutex;
    std::condition_variable woken;
    int wakes = 0;
    int delivered = 0;
};

// What the update changes when Update is pressed: the button off, stage 1
// on, the status line, the bar at 0 of 0..100; then the image's length as
// the check found it.
Lines started(uint32_t imageLength) {
    return {"disable 1044",
            "enable 1038",
            "enable 1041",
            "text 1037 Update in Progress",
            "position 0",
            "range 0 100",
            "text 1031 " + std::to_string(imageLength)};
}

Lines operator+(Lines lines, const Lines &more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

const Lines kFailedEnd{"text 1037 Update Failed!  Press Finish Button to close window.", "text 1044 Finish",
                       "enable 1044"};

TEST_F(WizardUpdateDialogTest, OpeningEmptiesTheValuesShowsTheLengthAndDisablesTheStages) {
    directory = std::make_unique<testing::ImageDirectory>(1000);
    make();
    controller->open();
    EXPECT_EQ(view.changes, (Lines{"text 1031 ", "text 1034 ", "text 1036 ", "menu 16 &About OstranUpdater...", "icon",
                                   "text 1031 1000", "disable 1038", "disable 1039", "disable 1040", "disable 1041",
                                   "disable 1042", "disable 1043"}));
    EXPECT_EQ(imageFileName, "tz4817.img");
    EXPECT_EQ(controller->imageLength(), 1000u);
    EXPECT_EQ(controller->state(), State::Ready);
    EXPECT_TRUE(controller->mayClose());
    controller->open();
    EXPECT_EQ(view.changes.size(), 12u) << "the dialog opens once";

    // With string 101 empty the system menu gets neither separator nor item;
    // an image that can't be measured shows 0.
    directory = std::make_unique<testing::ImageDirectory>();
    view.changes.clear();
    make();
    controller->setStringLoader([](int) { return std::string(); });
    controller->open();
    EXPECT_EQ(view.changes, (Lines{"text 1031 ", "text 1034 ", "text 1036 ", "icon", "text 1031 0", "disable 1038",
                                   "disable 1039", "disable 1040", "disable 1041", "disable 1042", "disable 1043"}));
    EXPECT_TRUE(FakeLibrary::instance().calls().empty());
}

// An image of 2 MB from the first erase report to the completion: each
// report's changes in the order they are made.
TEST_F(WizardUpdateDialogTest, FullImageChangesTheControlsInTheirOrder) {
    open(2097152, {.eraseReports = {16384, 2031616}, .downloadReports = {56, 2080768}});
    runToTheEnd();
    EXPECT_EQ(controller->state(), State::Done);
    const Lines expected = started(2097152) + Lines{
                                                  // first erase report: stage 1 done, stage 2 begins
                                                  "check 1041",
                                                  "enable 1039",
                                                  "enable 1042",
                                                  "text 1034 16384",
                                                  "text 1036 0%",
                                                  "position 0",
                                                  "text 1034 2031616",
                                                  "text 1036 96%",
                                                  "position 96",
                                                  // first download report: stage 3 begins, stage 2 done
                                                  "check 1041",
                                                  "enable 1040",
                                                  "enable 1043",
                                                  "check 1042",
                                                  "text 1034 56",
                                                  "text 1036 0%",
                                                  "position 0",
                                                  "text 1034 2080768",
                                                  "text 1036 99%",
                                                  "position 99",
                                                  // completion
                                                  "text 1034 2097152",
                                                  "text 1036 100%",
                                                  "position 100",
                                                  "text 1037 Update is Done!  Press Finish Button to close window.",
                                                  "check 1043",
                                                  "text 1044 Finish",
                                                  "enable 1044",
                                              };
    EXPECT_EQ(view.changes, expected);
    EXPECT_EQ(FakeLibrary::instance().calls(), (Lines{"QRV_USBInit", "QRVDL_SwitchAppToBoot 5000",
                                                      "QRVDL_LoadFlash private copy (2097152 bytes) 0xfe204000 0",
                                                      "QRVDL_CmdWriteProgrammingMode 2", "QRV_USBTerm"}));
    EXPECT_TRUE(view.messageTexts.empty());
}

// The image the program was started with (PATH or the file dialog's), not
// the working directory's tz4817.img: its length is shown, and it is what the
// download reads. Its folder's name is one the ANSI code page of a Western
// Windows cannot spell.
TEST_F(WizardUpdateDialogTest, ImageGivenToTheProgramIsShownAndDownloaded) {
    directory = std::make_unique<testing::ImageDirectory>(1000);
    const std::string path =
        directory->path() + "/\xd0\xbf\xd1\x80\xd0\xbe\xd1\x88\xd0\xb8\xd0\xb2\xd0\xba\xd0\xb0/chosen.img";
    std::filesystem::create_directory(update_sequence::pathFromUtf8(path).parent_path());
    std::ofstream(update_sequence::pathFromUtf8(path), std::ios::binary).close();
    std::filesystem::resize_file(update_sequence::pathFromUtf8(path), 20000);
    make();
    controller->setImagePath(path);
    controller->open();
    EXPECT_EQ(imageFileName, path);
    EXPECT_EQ(view.changes[5], "text 1031 20000");
    runToTheEnd();
    EXPECT_EQ(controller->state(), State::Done);
    EXPECT_EQ(FakeLibrary::instance().calls().at(2), "QRVDL_LoadFlash private copy (20000 bytes) 0xfe204000 0");
}

// An image that cannot be written is found when Update is pressed: the
// failure path with the reason as the box's details, and no library call.
struct BadImage {
    const char *name;
    int64_t length;
    const char *reason;
};

void PrintTo(const BadImage &image, std::ostream *out) { *out << image.name; }

class WizardUpdateDialogBadImageTest : public WizardUpdateDialogTest, public ::testing::WithParamInterface<BadImage> {};

TEST_P(WizardUpdateDialogBadImageTest, EndsFailedBeforeAnyLibraryCall) {
    open(GetParam().length);
    runToTheEnd();
    EXPECT_EQ(controller->state(), State::Failed);
    EXPECT_EQ(view.messageTexts, Lines{"Failed to load flash\n"});
    EXPECT_TRUE(view.messageDetails.at(0).ends_with(GetParam().reason)) << view.messageDetails.at(0);
    const Lines start = started(0);
    EXPECT_EQ(view.changes,
              (Lines(start.begin(), start.end() - 1) + Lines{"message Failed to load flash\n"} + kFailedEnd));
    EXPECT_TRUE(FakeLibrary::instance().calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Images, WizardUpdateDialogBadImageTest,
    ::testing::Values(BadImage{"Missing", -1, "Bad file [tz4817.img]: No such file or directory\n"},
                      BadImage{"Empty", 0, "Bad file [tz4817.img]: empty (0 bytes)\n"},
                      BadImage{"OnlyTheBootSector", 16384,
                               "Nothing to write: tz4817.img is 16384 bytes, only the boot sector, which the update "
                               "never writes\n"},
                      BadImage{"LongerThanTheFlash", 2097153,
                               "Bad file [tz4817.img]: 2097153 bytes, more than the 2097152-byte flash holds\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// Every way the update fails ends Failed: the box (if any) first, while the
// dialog still shows the update running and before the link is closed; the
// stages, counts and bar stay as the update left them.
struct Failure {
    const char *name;
    LibraryScript script;
    const char *message;  // "": none
    const char *detail;   // what the box's details hold
    Lines reports;        // the changes between the start and the box
};

void PrintTo(const Failure &failure, std::ostream *out) { *out << failure.name; }

class WizardUpdateDialogFailureTest : public WizardUpdateDialogTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(WizardUpdateDialogFailureTest, EndsFailedAfterItsMessage) {
    const Failure &failure = GetParam();
    open(2097152, failure.script);
    Lines callsAtMessage;
    Lines changesAtMessage;
    view.onMessage = [&] {
        callsAtMessage = FakeLibrary::instance().calls();
        changesAtMessage = view.changes;
    };
    runToTheEnd();
    EXPECT_EQ(controller->state(), State::Failed);
    const Lines message = *failure.message ? Lines{std::string("message ") + failure.message} : Lines{};
    EXPECT_EQ(view.changes, started(2097152) + failure.reports + message + kFailedEnd);
    if (!*failure.message) {
        EXPECT_TRUE(view.messageTexts.empty());
        return;
    }
    EXPECT_NE(view.messageDetails.at(0).find(failure.detail), std::string::npos) << view.messageDetails.at(0);
    EXPECT_EQ(std::find(callsAtMessage.begin(), callsAtMessage.end(), "QRVDL_CmdWriteProgrammingMode 2"),
              callsAtMessage.end());
    const std::string &last = callsAtMessage.back();
    EXPECT_TRUE(last == "QRV_USBInit" || last.starts_with("QRVDL_LoadFlash")) << last;
}

const Lines kFirstErase{"check 1041", "enable 1039", "enable 1042", "text 1034 16384", "text 1036 0%", "position 0"};

INSTANTIATE_TEST_SUITE_P(
    Failures, WizardUpdateDialogFailureTest,
    ::testing::Values(Failure{"LinkNotOpened",
                              {.initResult = 0x20000015},
                              "Failed to initialize QRV USB\nTerminating Driver\n",
                              "No projector was found",
                              {}},
                      Failure{"SwitchFailedLinkWouldNotClose", {.termResult = 1, .switchResult = 1}, "", "", {}},
                      Failure{"SwitchFailedLoadOnTheClosedLinkFailed",
                              {.switchResult = 1, .loadResult = 1},
                              "Failed to load flash\n",
                              "Checksum FAILED\n",
                              {}},
                      Failure{"LoadFailedWhileErasing",
                              {.loadResult = 1, .eraseReports = {16384, 1048576}},
                              "Failed to load flash\n",
                              "Checksum FAILED\n",
                              kFirstErase + Lines{"text 1034 1048576", "text 1036 50%", "position 50"}},
                      // Without erase reports the download still checks the Cleaning box,
                      // while its label never came alive.
                      Failure{"LoadFailedNothingErased",
                              {.loadResult = 3, .downloadReports = {56}},
                              "Failed to load flash\n",
                              "Checksum FAILED\n",
                              {"check 1041", "enable 1040", "enable 1043", "check 1042", "text 1034 56", "text 1036 0%",
                               "position 0"}}),
    [](const auto &info) { return std::string(info.param.name); });

// A success whose projector did not confirm leaving programming mode: Done,
// and a box that says to switch it off and on, with the warning as detail.
TEST_F(WizardUpdateDialogTest, UnconfirmedLeaveIsDoneWithAPowerCycleBox) {
    open(20000, {.leaveResult = 1, .eraseReports = {16384}, .downloadReports = {56}});
    runToTheEnd();
    EXPECT_EQ(controller->state(), State::Done);
    EXPECT_EQ(view.messageTexts, Lines{kPowerCycleMessage});
    EXPECT_TRUE(view.messageDetails.at(0).ends_with(update_sequence::kPowerCycleWarning));
    EXPECT_EQ(view.changes.back(), std::string("message ") + kPowerCycleMessage);
}

// Once the update has ended, the button ends the process and does nothing
// else; while it runs, the button does nothing and the dialog cannot close.
TEST_F(WizardUpdateDialogTest, ButtonRunsOnceThenEndsTheProcessWithStatusZero) {
    for (const LibraryScript &script :
         {LibraryScript{.eraseReports = {16384}, .downloadReports = {56}, .pauseAfter = {1}},
          LibraryScript{.initResult = 1}}) {
        testing::ExitRecorder exits;
        open(20000, script);
        controller->pressButton();
        EXPECT_FALSE(controller->mayClose());
        if (!script.pauseAfter.empty()) {
            deliverUntil([] { return FakeLibrary::instance().paused(); });
            const size_t changes = view.changes.size();
            controller->pressButton();
            EXPECT_EQ(view.changes.size(), changes);
            EXPECT_FALSE(controller->mayClose());
            FakeLibrary::instance().resume();
        }
        deliverUntil([this] { return controller->state() != State::Running; });
        EXPECT_TRUE(controller->mayClose());
        EXPECT_TRUE(exits.statuses.empty());

        const Lines calls = FakeLibrary::instance().calls();
        const Lines changes = view.changes;
        controller->pressButton();
        EXPECT_EQ(exits.statuses, std::vector<int>{0});
        EXPECT_EQ(FakeLibrary::instance().calls(), calls);
        EXPECT_EQ(view.changes, changes);
    }
}

TEST_F(WizardUpdateDialogTest, SystemCommandOpensTheAboutBoxWhateverItsLowBits) {
    open(100);
    for (unsigned command : {0x0010u, 0x0013u, 0x001Fu}) EXPECT_TRUE(controller->systemCommand(command));
    // The window's own commands (close, move) are the face's default.
    for (unsigned command : {0xF060u, 0xF010u, 0x0020u}) EXPECT_FALSE(controller->systemCommand(command));
    EXPECT_EQ(view.changes, (Lines{"about", "about", "about"}));
}

// The worker waits while the box is up: nothing more reaches the libraries
// until the user has acknowledged it.
TEST_F(WizardUpdateDialogTest, MessageHoldsTheUpdateUntilAcknowledged) {
    open(2097152, {.initResult = 1});
    Lines callsAtMessage;
    view.onMessage = [&] {
        // Whatever the worker could do meanwhile, it would have done by now.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        callsAtMessage = FakeLibrary::instance().calls();
    };
    runToTheEnd();
    EXPECT_EQ(callsAtMessage, Lines{"QRV_USBInit"});
    EXPECT_EQ(FakeLibrary::instance().calls(), (Lines{"QRV_USBInit", "QRV_USBTerm"}));
}

// Only a test ends the dialog during an update; a message the worker waits
// on then goes unshown, and the controller ends without a deadlock.
TEST_F(WizardUpdateDialogTest, DestroyedWhileAMessageWaitsEndsWithoutShowingIt) {
    open(2097152, {.initResult = 1});
    controller->pressButton();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(woken.wait_for(lock, std::chrono::minutes(1), [this] { return wakes > 0; }));
    }
    controller.reset();
    EXPECT_TRUE(view.messageTexts.empty());
    EXPECT_EQ(FakeLibrary::instance().calls(), (Lines{"QRV_USBInit", "QRV_USBTerm"}));
}

}  // namespace
}  // namespace wizard
