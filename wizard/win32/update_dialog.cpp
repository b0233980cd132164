// SPDX-License-Identifier: MIT
#include "update_dialog.h"

#include <commctrl.h>

#include "about_box.h"
#include "message_box_window.h"
#include "resource_ids.h"

namespace wizard::win32 {

namespace {

// Said by Windows when it asks the user whether to shut down all the same.
constexpr wchar_t kShutdownReason[] =
    L"A projector firmware update is running. Stopping it now can leave the projector unable to start.";

// The program's string table (the About entry of the system menu).
std::string loadResourceString(int id) {
    const wchar_t *text = nullptr;
    // Length 0 asks for a pointer to the resource's own text.
    const int length = ::LoadStringW(programModule(), static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? utf8(std::wstring_view(text, static_cast<size_t>(length))) : std::string();
}

}  // namespace

class UpdateDialog::Controls : public UpdateDialogView {
public:
    explicit Controls(UpdateDialog &dialog) : dialog_(dialog) {}

    void setText(int id, std::string_view text) override { ::SetDlgItemTextW(window(), id, wide(text).c_str()); }
    void setEnabled(int id, bool enabled) override { ::EnableWindow(::GetDlgItem(window(), id), enabled); }
    void check(int id) override { ::SendDlgItemMessageW(window(), id, BM_SETCHECK, BST_CHECKED, 0); }
    void setBarRange(int low, int high) override {
        ::SendDlgItemMessageW(window(), kIdProgressBar, PBM_SETRANGE, 0, MAKELPARAM(low, high));
    }
    void setBarPosition(int position) override {
        ::SendDlgItemMessageW(window(), kIdProgressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }
    void appendSystemMenuItem(unsigned command, std::string_view text) override {
        const HMENU menu = ::GetSystemMenu(window(), FALSE);
        if (menu == nullptr) return;
        ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(menu, MF_STRING, command, wide(text).c_str());
    }
    void setProgramIcon() override {
        dialog_.bigIcon_ = loadProgramIcon(true);
        dialog_.smallIcon_ = loadProgramIcon(false);
        ::SendMessageW(window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(dialog_.bigIcon_.get()));
        ::SendMessageW(window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(dialog_.smallIcon_.get()));
    }
    void showAboutBox() override { runAboutBox(window()); }
    void showMessage(std::string_view text, std::string_view details) override {
        showMessageBox(window(), text, details);
    }

private:
    HWND window() const { return dialog_.window_; }
    UpdateDialog &dialog_;
};

UpdateDialog::UpdateDialog(const update_sequence::UpdateLibrary &library, std::string &imageFileName,
                           std::string imagePath)
    : template_(buildDialogTemplate(dialogTemplate(kUpdateDialogTemplate), Frame::ModalDialog)),
      controls_(std::make_unique<Controls>(*this)),
      // Posted from the worker thread; the window exists before the worker
      // starts, and a message to a window that is gone is dropped.
      controller_(*controls_, library, imageFileName, [this] { ::PostMessageW(window_, kReportsWaiting, 0, 0); }) {
    controller_.setImagePath(std::move(imagePath));
    controller_.setStringLoader(loadResourceString);
}

UpdateDialog::~UpdateDialog() = default;

void UpdateDialog::run() {
    ::DialogBoxIndirectParamW(programModule(), static_cast<const DLGTEMPLATE *>(template_.data()), nullptr, procedure,
                              reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK UpdateDialog::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    UpdateDialog *self = dialogObject<UpdateDialog>(window, message, lParam);
    if (self == nullptr) return FALSE;
    switch (message) {
    case WM_INITDIALOG: return self->onInitDialog(window);
    case WM_COMMAND: return self->onCommand(LOWORD(wParam), HIWORD(wParam));
    case WM_SYSCOMMAND: return self->onSysCommand(static_cast<unsigned>(wParam));
    case WM_PAINT: return self->onPaint();
    // Answered by the return value itself, like WM_INITDIALOG.
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(self->bigIcon_.get());
    case WM_QUERYENDSESSION: return self->onQueryEndSession();
    case kReportsWaiting: return self->onReportsWaiting();
    default: return FALSE;
    }
}

INT_PTR UpdateDialog::onInitDialog(HWND window) {
    window_ = window;
    texts_.fit(window);
    controller_.open();
    return TRUE;  // the system sets the focus
}

INT_PTR UpdateDialog::onCommand(int id, int notification) {
    switch (id) {
    case kIdUpdateButton:
        if (notification == BN_CLICKED) {
            controller_.pressButton();
            followRunning();
        }
        return TRUE;
    // Enter (when no push button has the focus), Escape, the close box.
    case IDOK:
    case IDCANCEL:
        if (controller_.mayClose()) ::EndDialog(window_, id);
        return TRUE;
    default: return FALSE;
    }
}

INT_PTR UpdateDialog::onSysCommand(unsigned command) {
    if (controller_.systemCommand(command)) return answer(window_, 0);
    return FALSE;  // the default: SC_CLOSE ends up as IDCANCEL above
}

INT_PTR UpdateDialog::onPaint() {
    if (!::IsIconic(window_)) return FALSE;
    PAINTSTRUCT paint;
    const HDC context = ::BeginPaint(window_, &paint);
    ::SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(context), 0);
    RECT client;
    ::GetClientRect(window_, &client);
    const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(context, x, y, bigIcon_.get());
    ::EndPaint(window_, &paint);
    return TRUE;
}

INT_PTR UpdateDialog::onQueryEndSession() { return answer(window_, controller_.mayClose()); }

INT_PTR UpdateDialog::onReportsWaiting() {
    controller_.deliverReports();
    followRunning();
    return TRUE;
}

void UpdateDialog::followRunning() {
    const bool running = !controller_.mayClose();
    if (HMENU menu = ::GetSystemMenu(window_, FALSE))
        ::EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (running ? MF_GRAYED : MF_ENABLED));
    if (running == blockingShutdown_) return;
    blockingShutdown_ = running;
    if (running)
        ::ShutdownBlockReasonCreate(window_, kShutdownReason);
    else
        ::ShutdownBlockReasonDestroy(window_);
}

}  // namespace wizard::win32
