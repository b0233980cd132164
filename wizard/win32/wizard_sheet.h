// SPDX-License-Identifier: MIT
// The instruction wizard on the Windows property sheet (PropertySheetW in
// wizard mode): the three pages from their templates (106, 107, 109), each
// page's caption the sheet's title while it is current. Each page's dialog
// procedure hands the page events to the core (wizard_requests.h) and carries
// out its requests on the sheet: a posted request with PostMessageW, a sent
// one with SendMessageW (PSM_SETWIZBUTTONS, PSM_SETFINISHTEXTW), the Back
// button shown and hidden through its handle. The sheet's own events (its
// initialisation, WM_ACTIVATE) reach the core through a subclass of the sheet.
#pragma once

#include <windows.h>

#include <array>
#include <vector>

#include "dialog_template_bytes.h"
#include "fitted_texts.h"
#include "wizard_requests.h"

namespace wizard::win32 {

class WizardSheet {
public:
    WizardSheet();
    // Runs the wizard modally from its first page; returns when it was
    // finished. Cancel, Escape and the close box end the process inside.
    void run();

private:
    struct Page {
        WizardSheet *sheet;
        WizardPage page;
        DialogTemplateBytes bytes;
    };

    static INT_PTR CALLBACK pageProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK sheetProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                           DWORD_PTR sheet);
    static INT_PTR onNotify(HWND page, const Page &self, const NMHDR &notification);
    // The sheet of a page that is being created: taken once.
    void attach(HWND sheet);
    void handle(WizardEvent event, WizardPage page);
    void carryOut(const std::vector<FrameRequest> &requests);

    HWND window_ = nullptr;
    HWND backButton_ = nullptr;
    std::array<Page, kWizardPageCount> pages_;
    FittedTexts texts_;
};

}  // namespace wizard::win32
