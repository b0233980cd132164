// SPDX-License-Identifier: MIT
// The instruction wizard without a toolkit: what each page's handlers ask of
// the wizard frame, and what the frame makes of those requests.
//
// The wizard is a property sheet in wizard mode with three pages (Start,
// Connect, Address, templates 106, 107, 109) and the frame's buttons Back,
// Next, Finish (in Next's place), Cancel and Help. The page handlers only
// decide which buttons show; the frame moves between the pages by itself
// after each handler (Next and Back to the adjacent page, Finish closes the
// wizard accepted). A face carries out wizardRequests() in the order given:
// the Qt face on its own property sheet, which answers with frameAfter(); the
// Win32 face with PSM_SETWIZBUTTONS, PSM_SETFINISHTEXT and ShowWindow on the
// system's property sheet, which answers by itself.
//
// The buttons that result (Cancel always shown and enabled, Help never):
//   wizard opened       Start    Back hidden          Next shown   Finish hidden
//   Next on Start       Connect  Back shown, enabled  Next shown   Finish hidden
//   Next on Connect     Address  Back shown, enabled  Next hidden  Finish "Next >"
//   Back on Address     Connect  Back hidden          Next shown   Finish hidden
//   Back on Connect     Start    Back hidden          Next shown   Finish hidden
// Cancel on any page ends the process with status 0: the Start page, which
// always exists, answers the sheet's reset with an immediate exit.
#pragma once

#include <string>
#include <vector>

namespace wizard {

// Flags of a set-wizard-buttons request (PSWIZB_BACK, PSWIZB_NEXT, PSWIZB_FINISH).
inline constexpr unsigned kWizardBack = 1;
inline constexpr unsigned kWizardNext = 2;
inline constexpr unsigned kWizardFinish = 4;

// The pages, in the frame's order (the value is the page index).
enum class WizardPage { Start = 0, Connect = 1, Address = 2 };
inline constexpr int kWizardPageCount = 3;

// The dialog template of `page` (its caption is the frame's title while it is current).
int wizardPageTemplate(WizardPage page);

// What happens to the wizard.
enum class WizardEvent {
    SheetInitialised,  // the frame has been built, before it is shown (the sheet's OnInitDialog)
    SheetActivated,    // the frame is activated or deactivated (WM_ACTIVATE, either way)
    PageShown,         // the page is shown or painted; every time, idempotent
    Next,              // Next was pressed on the page, before the frame moves on
    Back,              // Back was pressed on the page, before the frame moves back
    Reset,             // the sheet is being cancelled: sent to every page created so far, in page order
};

// One request of a handler to the frame.
struct FrameRequest {
    enum class Kind {
        PostButtons,     // set wizard buttons `flags`, posted: takes effect after the page change
                         // that the running handler starts (PostMessage PSM_SETWIZBUTTONS)
        SendButtons,     // set wizard buttons `flags`, at once (SendMessage PSM_SETWIZBUTTONS)
        SendFinishText,  // set the Finish button's text to `text`, at once (PSM_SETFINISHTEXT)
        ShowBack,        // show the Back button (ShowWindow on its handle)
        HideBack,        // hide the Back button
        HideHelp,        // hide the Help button (control id 9)
        EndProcess,      // end the process at once with exit status `status` (endProcess)
    };
    Kind kind;
    unsigned flags = 0;
    std::string text;
    int status = 0;
    bool operator==(const FrameRequest &) const = default;
};

// The requests of `event`, in the order the face carries them out: for a
// page event those of `page`'s handler; for a sheet event those of the sheet,
// with `page` the current page. Empty when the handler asks nothing. Any
// thread; pure.
std::vector<FrameRequest> wizardRequests(WizardEvent event, WizardPage page);

// The frame's buttons as the user sees them (Cancel: always shown, enabled).
struct WizardButton {
    bool shown;
    bool enabled;
    bool operator==(const WizardButton &) const = default;
};
struct WizardFrameButtons {
    WizardButton back{true, true};
    WizardButton next{true, true};
    WizardButton finish{false, false};
    std::string finishText = "Finish";
    bool helpShown = true;
    bool operator==(const WizardFrameButtons &) const = default;
};

// The frame's response to `request` when it takes effect (a posted one when
// it comes out of the queue), from the buttons `frame`:
// - set wizard buttons: Back enabled exactly with kWizardBack, Next exactly
//   with kWizardNext; with kWizardFinish an enabled Finish is shown in Next's
//   place and Next hidden, without it Next shown and Finish hidden; Back's
//   visibility and Finish's text stay;
// - set finish text: Finish takes the text and is shown and enabled; Back
//   and Next are hidden;
// - show or hide Back, hide Help: that button only.
// EndProcess changes no button. Any thread; pure.
WizardFrameButtons frameAfter(WizardFrameButtons frame, const FrameRequest &request);

}  // namespace wizard
