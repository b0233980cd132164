// SPDX-License-Identifier: MIT
// The update dialog (template 102) on the Windows dialog manager: a modal
// dialog whose controls the core's UpdateDialogController changes through
// its view (UpdateDialogView), one user32 call per change, and which hands the
// controller the button, the system menu and the reports of the update's
// worker thread (posted to the dialog as kReportsWaiting).
//
// Of the window itself: the About entry of the system menu opens the About
// box; the big and small icons are the program's, drawn centred when the
// dialog is minimized and given for dragging; while the update runs the close
// box (greyed), Escape and Enter do nothing, and Windows is asked not to shut
// down or log off (ShutdownBlockReasonCreate; WM_QUERYENDSESSION is refused).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "dialog_template_bytes.h"
#include "fitted_texts.h"
#include "update_dialog_controller.h"
#include "win32_support.h"

namespace wizard::win32 {

class UpdateDialog {
public:
    // The reports of the worker are waiting: the controller delivers them.
    static constexpr UINT kReportsWaiting = WM_APP + 1;

    // `imagePath`: the image the dialog shows and the update downloads.
    // `library` and `imageFileName` must outlive the dialog.
    UpdateDialog(const update_sequence::UpdateLibrary &library, std::string &imageFileName, std::string imagePath);
    ~UpdateDialog();

    // Runs the dialog modally; returns when it was closed (close box,
    // Escape, Enter). Finish ends the process inside.
    void run();

private:
    // The core's view of this dialog: one user32 call for each change
    // (update_dialog.cpp).
    class Controls;

    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR onInitDialog(HWND window);
    INT_PTR onCommand(int id, int notification);
    INT_PTR onSysCommand(unsigned command);
    INT_PTR onPaint();
    INT_PTR onQueryEndSession();
    INT_PTR onReportsWaiting();
    // After every step of the controller: the close box and the refusal of
    // a shutdown follow whether the update runs.
    void followRunning();

    HWND window_ = nullptr;
    DialogTemplateBytes template_;
    FittedTexts texts_;
    OwnedIcon bigIcon_, smallIcon_;
    bool blockingShutdown_ = false;
    std::unique_ptr<Controls> controls_;
    // Last: the controller's destructor waits for the worker, whose wake
    // posts to window_.
    UpdateDialogController controller_;
};

}  // namespace wizard::win32
