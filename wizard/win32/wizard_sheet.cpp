// SPDX-License-Identifier: MIT
#include "wizard_sheet.h"

#include <commctrl.h>
#include <prsht.h>

#include <string>

#include "process_exit.h"
#include "program_strings.h"
#include "resource_ids.h"
#include "win32_support.h"

namespace wizard::win32 {

namespace {

constexpr UINT_PTR kSheetSubclass = 1;

DialogTemplateBytes pageTemplate(WizardPage page) {
    return buildDialogTemplate(dialogTemplate(wizardPageTemplate(page)), Frame::WizardPage);
}

}  // namespace

WizardSheet::WizardSheet()
    : pages_{Page{this, WizardPage::Start, pageTemplate(WizardPage::Start)},
             Page{this, WizardPage::Connect, pageTemplate(WizardPage::Connect)},
             Page{this, WizardPage::Address, pageTemplate(WizardPage::Address)}} {}

void WizardSheet::run() {
    std::array<PROPSHEETPAGEW, kWizardPageCount> sheetPages{};
    for (size_t i = 0; i < pages_.size(); ++i) {
        PROPSHEETPAGEW &page = sheetPages[i];
        page.dwSize = sizeof page;
        // The template's caption is the page's title; the pictures are the
        // program's bitmaps.
        page.dwFlags = PSP_DLGINDIRECT;
        page.hInstance = programModule();
        page.pResource = static_cast<const DLGTEMPLATE *>(pages_[i].bytes.data());
        page.pfnDlgProc = pageProcedure;
        page.lParam = reinterpret_cast<LPARAM>(&pages_[i]);
    }
    const std::wstring caption = wide(kWizardCaption);
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_WIZARD | PSH_NOAPPLYNOW | PSH_PROPSHEETPAGE;
    header.hInstance = programModule();
    header.pszCaption = caption.c_str();
    header.nPages = kWizardPageCount;
    header.nStartPage = static_cast<UINT>(WizardPage::Start);
    header.ppsp = sheetPages.data();
    // The result is not looked at: the update dialog follows however the
    // wizard was left without cancelling.
    ::PropertySheetW(&header);
}

INT_PTR CALLBACK WizardSheet::pageProcedure(HWND window, UINT message, WPARAM, LPARAM lParam) {
    const LPARAM page = message == WM_INITDIALOG ? reinterpret_cast<const PROPSHEETPAGEW *>(lParam)->lParam : 0;
    Page *self = dialogObject<Page>(window, message, page);
    if (self == nullptr) return FALSE;
    switch (message) {
    case WM_INITDIALOG:
        self->sheet->texts_.fit(window);
        self->sheet->attach(::GetParent(window));
        return TRUE;
    // Every time the page is drawn, which it is whenever it is shown; the
    // drawing itself is the default.
    case WM_PAINT: self->sheet->handle(WizardEvent::PageShown, self->page); return FALSE;
    case WM_NOTIFY: return onNotify(window, *self, *reinterpret_cast<const NMHDR *>(lParam));
    default: return FALSE;
    }
}

INT_PTR WizardSheet::onNotify(HWND page, const Page &self, const NMHDR &notification) {
    switch (notification.code) {
    // The handlers' requests first, then the frame's default: the adjacent page.
    case PSN_WIZNEXT: self.sheet->handle(WizardEvent::Next, self.page); return answer(page, 0);
    case PSN_WIZBACK: self.sheet->handle(WizardEvent::Back, self.page); return answer(page, 0);
    // Sent to every page created so far, in page order, when the sheet is cancelled.
    case PSN_RESET: self.sheet->handle(WizardEvent::Reset, self.page); return answer(page, 0);
    default: return FALSE;  // the default: Finish accepts, Cancel may go ahead
    }
}

LRESULT CALLBACK WizardSheet::sheetProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                             DWORD_PTR sheet) {
    auto *self = reinterpret_cast<WizardSheet *>(sheet);
    switch (message) {
    case WM_ACTIVATE: {
        // The default first; then, gained or lost, the current page's turn.
        const LRESULT result = ::DefSubclassProc(window, message, wParam, lParam);
        const auto current = reinterpret_cast<WPARAM>(PropSheet_GetCurrentPageHwnd(window));
        const int index = static_cast<int>(::SendMessageW(window, PSM_HWNDTOINDEX, current, 0));
        if (index >= 0 && index < kWizardPageCount) self->handle(WizardEvent::SheetActivated, WizardPage(index));
        return result;
    }
    case WM_NCDESTROY: ::RemoveWindowSubclass(window, sheetProcedure, kSheetSubclass); break;
    default: break;
    }
    return ::DefSubclassProc(window, message, wParam, lParam);
}

void WizardSheet::attach(HWND sheet) {
    if (window_ != nullptr) return;
    window_ = sheet;
    backButton_ = ::GetDlgItem(sheet, kIdBack);
    ::SetWindowSubclass(sheet, sheetProcedure, kSheetSubclass, reinterpret_cast<DWORD_PTR>(this));
    handle(WizardEvent::SheetInitialised, WizardPage::Start);
}

void WizardSheet::handle(WizardEvent event, WizardPage page) { carryOut(wizardRequests(event, page)); }

void WizardSheet::carryOut(const std::vector<FrameRequest> &requests) {
    for (const FrameRequest &request : requests) {
        switch (request.kind) {
        case FrameRequest::Kind::PostButtons: ::PostMessageW(window_, PSM_SETWIZBUTTONS, 0, request.flags); break;
        case FrameRequest::Kind::SendButtons: ::SendMessageW(window_, PSM_SETWIZBUTTONS, 0, request.flags); break;
        case FrameRequest::Kind::SendFinishText: {
            const std::wstring text = wide(request.text);
            ::SendMessageW(window_, PSM_SETFINISHTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
            break;
        }
        case FrameRequest::Kind::ShowBack: ::ShowWindow(backButton_, SW_SHOW); break;
        case FrameRequest::Kind::HideBack: ::ShowWindow(backButton_, SW_HIDE); break;
        case FrameRequest::Kind::HideHelp: ::ShowWindow(::GetDlgItem(window_, kIdHelp), SW_HIDE); break;
        case FrameRequest::Kind::EndProcess: endProcess(request.status); break;
        }
    }
}

}  // namespace wizard::win32
