// SPDX-License-Identifier: MIT
#include "wizard_requests.h"

#include "program_strings.h"
#include "resource_ids.h"

namespace wizard {

namespace {

using Kind = FrameRequest::Kind;

FrameRequest post(unsigned flags) { return {Kind::PostButtons, flags}; }
FrameRequest finishText(const char *text) { return {Kind::SendFinishText, 0, text}; }
FrameRequest exitProcess() { return {Kind::EndProcess, 0, {}, 0}; }
const FrameRequest kShowBack{Kind::ShowBack};
const FrameRequest kHideBack{Kind::HideBack};
const FrameRequest kHideHelp{Kind::HideHelp};

}  // namespace

int wizardPageTemplate(WizardPage page) {
    switch (page) {
    case WizardPage::Start: return kStartPageTemplate;
    case WizardPage::Connect: return kConnectPageTemplate;
    case WizardPage::Address: return kAddressPageTemplate;
    }
    return kStartPageTemplate;
}

std::vector<FrameRequest> wizardRequests(WizardEvent event, WizardPage page) {
    switch (event) {
    // The frame takes the Back button's handle and hides it; no help.
    case WizardEvent::SheetInitialised: return {kHideBack, kHideHelp};
    // Whether the window gains or loses the focus, the first page gets Next alone.
    case WizardEvent::SheetActivated:
        if (page == WizardPage::Start) return {post(kWizardNext)};
        return {};
    default: break;
    }
    switch (page) {
    case WizardPage::Start:
        switch (event) {
        case WizardEvent::Next: return {post(kWizardBack | kWizardNext), kShowBack};
        case WizardEvent::PageShown: return {kHideBack};
        case WizardEvent::Reset: return {exitProcess()};
        default: return {};
        }
    case WizardPage::Connect:
        switch (event) {
        // The last page's Finish button reads "Next >"; nothing on this page
        // shows Back again after it was hidden here.
        case WizardEvent::Next: return {post(kWizardBack | kWizardFinish), finishText(kNextWithBlank)};
        case WizardEvent::Reset: return {exitProcess()};
        default: return {};
        }
    case WizardPage::Address:
        switch (event) {
        // "Next>" is set and hidden again by the posted request before the
        // Connect page is drawn: it never shows.
        case WizardEvent::Back: return {post(kWizardBack | kWizardNext), finishText(kNextWithoutBlank)};
        case WizardEvent::PageShown: return {kShowBack};
        default: return {};
        }
    }
    return {};
}

WizardFrameButtons frameAfter(WizardFrameButtons frame, const FrameRequest &request) {
    switch (request.kind) {
    case Kind::PostButtons:
    case Kind::SendButtons: {
        const bool finish = request.flags & kWizardFinish;
        frame.back.enabled = request.flags & kWizardBack;
        frame.next = {!finish, static_cast<bool>(request.flags & kWizardNext)};
        frame.finish = {finish, finish};
        break;
    }
    case Kind::SendFinishText:
        frame.finishText = request.text;
        frame.finish = {true, true};
        frame.back.shown = false;
        frame.next.shown = false;
        break;
    case Kind::ShowBack: frame.back.shown = true; break;
    case Kind::HideBack: frame.back.shown = false; break;
    case Kind::HideHelp: frame.helpShown = false; break;
    case Kind::EndProcess: break;
    }
    return frame;
}

}  // namespace wizard
