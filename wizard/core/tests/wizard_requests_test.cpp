// SPDX-License-Identifier: MIT
// The wizard without a toolkit: what every handler asks of the frame, what
// the frame makes of each request, and, walking through the pages on a frame
// that carries out sent requests at once and posted ones after the page
// change, the buttons the user sees in every situation and the exit of
// Cancel.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "wizard_requests.h"

namespace wizard {

// Found by the test framework beside the type.
void PrintTo(const FrameRequest &request, std::ostream *out) {
    *out << "{kind " << static_cast<int>(request.kind) << " flags " << request.flags << " text \"" << request.text
         << "\" status " << request.status << "}";
}

namespace {

using Kind = FrameRequest::Kind;
using Requests = std::vector<FrameRequest>;

struct HandlerCase {
    WizardEvent event;
    WizardPage page;
    Requests requests;
};

void PrintTo(const HandlerCase &handler, std::ostream *out) {
    *out << "event " << static_cast<int>(handler.event) << " page " << static_cast<int>(handler.page);
}

class WizardRequestsHandlerTest : public ::testing::TestWithParam<HandlerCase> {};

TEST_P(WizardRequestsHandlerTest, HandlerAsksTheFrameForItsButtons) {
    EXPECT_EQ(wizardRequests(GetParam().event, GetParam().page), GetParam().requests);
}

const FrameRequest kShowBack{Kind::ShowBack};
const FrameRequest kHideBack{Kind::HideBack};
const FrameRequest kExit{Kind::EndProcess, 0, {}, 0};

INSTANTIATE_TEST_SUITE_P(
    EveryEventOfEveryPage, WizardRequestsHandlerTest,
    ::testing::Values(
        // The sheet.
        HandlerCase{WizardEvent::SheetInitialised, WizardPage::Start, {kHideBack, {Kind::HideHelp}}},
        HandlerCase{WizardEvent::SheetActivated, WizardPage::Start, {{Kind::PostButtons, kWizardNext}}},
        HandlerCase{WizardEvent::SheetActivated, WizardPage::Connect, {}},
        HandlerCase{WizardEvent::SheetActivated, WizardPage::Address, {}},
        // Start.
        HandlerCase{WizardEvent::Next, WizardPage::Start, {{Kind::PostButtons, kWizardBack | kWizardNext}, kShowBack}},
        HandlerCase{WizardEvent::Back, WizardPage::Start, {}},
        HandlerCase{WizardEvent::PageShown, WizardPage::Start, {kHideBack}},
        HandlerCase{WizardEvent::Reset, WizardPage::Start, {kExit}},
        // Connect.
        HandlerCase{WizardEvent::Next,
                    WizardPage::Connect,
                    {{Kind::PostButtons, kWizardBack | kWizardFinish}, {Kind::SendFinishText, 0, "Next >"}}},
        HandlerCase{WizardEvent::Back, WizardPage::Connect, {}},
        HandlerCase{WizardEvent::PageShown, WizardPage::Connect, {}},
        HandlerCase{WizardEvent::Reset, WizardPage::Connect, {kExit}},
        // Address.
        HandlerCase{WizardEvent::Next, WizardPage::Address, {}},
        HandlerCase{WizardEvent::Back,
                    WizardPage::Address,
                    {{Kind::PostButtons, kWizardBack | kWizardNext}, {Kind::SendFinishText, 0, "Next>"}}},
        HandlerCase{WizardEvent::PageShown, WizardPage::Address, {kShowBack}},
        HandlerCase{WizardEvent::Reset, WizardPage::Address, {}}));

TEST(WizardRequestsFrame, AnswersEachRequestWithItsButtonsOnly) {
    WizardFrameButtons frame;
    frame.finishText = "Next >";
    const auto after = [&](FrameRequest request) { return frameAfter(frame, request); };

    WizardFrameButtons expected = frame;
    expected.back.enabled = false;
    expected.next = {true, true};
    EXPECT_EQ(after({Kind::SendButtons, kWizardNext}), expected);
    EXPECT_EQ(after({Kind::PostButtons, kWizardNext}), expected);

    // Finish in Next's place, with the text it had; Back's visibility stays.
    frame.back.shown = false;
    expected = frame;
    expected.next = {false, false};
    expected.finish = {true, true};
    EXPECT_EQ(after({Kind::SendButtons, kWizardBack | kWizardFinish}), expected);
    expected.next = {false, true};
    EXPECT_EQ(after({Kind::SendButtons, kWizardBack | kWizardNext | kWizardFinish}), expected);

    frame = {};
    expected = frame;
    expected.finishText = "Next>";
    expected.finish = {true, true};
    expected.back.shown = false;
    expected.next.shown = false;
    EXPECT_EQ(after({Kind::SendFinishText, 0, "Next>"}), expected);

    expected = frame;
    expected.helpShown = false;
    EXPECT_EQ(after({Kind::HideHelp}), expected);
    frame.back.shown = false;
    expected = frame;
    expected.back.shown = true;
    EXPECT_EQ(after(kShowBack), expected);
    EXPECT_EQ(frameAfter(expected, kHideBack), frame);
    EXPECT_EQ(after(kExit), frame);
}

// A wizard frame as the system's property sheet behaves: sent requests at
// once, posted ones after the page change that the handler starts, the page
// shown after every change, activation when the sheet appears.
class FrameModel {
public:
    FrameModel() {
        apply(wizardRequests(WizardEvent::SheetInitialised, WizardPage::Start));
        show(WizardPage::Start);
        apply(wizardRequests(WizardEvent::SheetActivated, page));
        flushPosted();
    }
    void press(char button) {
        const WizardEvent event = button == 'N' ? WizardEvent::Next : WizardEvent::Back;
        apply(wizardRequests(event, page));
        show(static_cast<WizardPage>(static_cast<int>(page) + (button == 'N' ? 1 : -1)));
        flushPosted();
    }
    void cancel() {
        for (int index = 0; index < kWizardPageCount; ++index) {
            if (created[index]) apply(wizardRequests(WizardEvent::Reset, static_cast<WizardPage>(index)));
        }
    }

    WizardPage page = WizardPage::Start;
    WizardFrameButtons buttons;
    std::vector<int> exits;

private:
    void show(WizardPage shown) {
        page = shown;
        created[static_cast<int>(shown)] = true;
        apply(wizardRequests(WizardEvent::PageShown, shown));
    }
    void apply(const Requests &requests) {
        for (const FrameRequest &request : requests) {
            if (request.kind == Kind::PostButtons)
                posted.push_back(request);
            else if (request.kind == Kind::EndProcess)
                exits.push_back(request.status);
            else
                buttons = frameAfter(buttons, request);
        }
    }
    void flushPosted() {
        for (const FrameRequest &request : posted) buttons = frameAfter(buttons, request);
        posted.clear();
    }

    Requests posted;
    bool created[kWizardPageCount] = {};
};

struct Walk {
    const char *name;
    const char *path;  // N: Next, B: Back
    WizardPage page;
    bool backShown, nextShown, finishShown;
    const char *finishText;  // when shown
};

void PrintTo(const Walk &walk, std::ostream *out) { *out << walk.name; }

class WizardRequestsWalkTest : public ::testing::TestWithParam<Walk> {};

TEST_P(WizardRequestsWalkTest, ButtonsOfEachSituation) {
    const Walk &walk = GetParam();
    FrameModel frame;
    for (const char *step = walk.path; *step; ++step) frame.press(*step);
    EXPECT_EQ(frame.page, walk.page);
    const WizardFrameButtons &buttons = frame.buttons;
    EXPECT_EQ(buttons.back.shown, walk.backShown);
    if (walk.backShown) {
        EXPECT_TRUE(buttons.back.enabled);
    }
    EXPECT_EQ(buttons.next, (WizardButton{walk.nextShown, walk.nextShown}));
    EXPECT_EQ(buttons.finish, (WizardButton{walk.finishShown, walk.finishShown}));
    if (walk.finishShown) {
        EXPECT_EQ(buttons.finishText, walk.finishText);
    }
    EXPECT_FALSE(buttons.helpShown);
    EXPECT_TRUE(frame.exits.empty());

    // Cancel, wherever it is pressed, ends the process with status 0 (the
    // Start page first; the Connect page too once it was created).
    frame.cancel();
    ASSERT_FALSE(frame.exits.empty());
    for (int status : frame.exits) EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WizardRequestsWalkTest,
    ::testing::Values(Walk{"Opened", "", WizardPage::Start, false, true, false, ""},
                      Walk{"NextOnStart", "N", WizardPage::Connect, true, true, false, ""},
                      Walk{"BackOnConnect", "NB", WizardPage::Start, false, true, false, ""},
                      Walk{"NextOnConnect", "NN", WizardPage::Address, true, false, true, "Next >"},
                      // Coming back from the Address page, the Connect page has no Back button.
                      Walk{"BackOnAddress", "NNB", WizardPage::Connect, false, true, false, ""},
                      Walk{"NextAgainAfterBackOnAddress", "NNBN", WizardPage::Address, true, false, true, "Next >"},
                      Walk{"BackToStartFromAddress", "NNBB", WizardPage::Start, false, true, false, ""},
                      Walk{"StartConnectAndBackAgain", "NBN", WizardPage::Connect, true, true, false, ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(WizardRequestsPages, PagesAreBuiltOnTheirTemplates) {
    EXPECT_EQ(wizardPageTemplate(WizardPage::Start), 106);
    EXPECT_EQ(wizardPageTemplate(WizardPage::Connect), 107);
    EXPECT_EQ(wizardPageTemplate(WizardPage::Address), 109);
}

}  // namespace
}  // namespace wizard
