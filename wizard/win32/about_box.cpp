// SPDX-License-Identifier: MIT
#include "about_box.h"

#include "dialog_template_bytes.h"
#include "fitted_texts.h"
#include "resource_ids.h"
#include "win32_support.h"

namespace wizard::win32 {

namespace {

// `lParam` of WM_INITDIALOG: the fonts of texts that need a smaller one.
INT_PTR CALLBACK aboutProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: reinterpret_cast<FittedTexts *>(lParam)->fit(window); return TRUE;
    // OK, Escape, and the close box (which the dialog manager makes IDCANCEL).
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) ::EndDialog(window, LOWORD(wParam));
        return TRUE;
    default: return FALSE;
    }
}

}  // namespace

void runAboutBox(HWND owner) {
    const DialogTemplateBytes about = buildDialogTemplate(dialogTemplate(kAboutTemplate), Frame::ModalDialog);
    FittedTexts texts;
    ::DialogBoxIndirectParamW(programModule(), static_cast<const DLGTEMPLATE *>(about.data()), owner, aboutProcedure,
                              reinterpret_cast<LPARAM>(&texts));
}

}  // namespace wizard::win32
