// SPDX-License-Identifier: MIT
// Small pieces every window of the Windows face uses: text in the platform's
// UTF-16 and back, owners of the handles the windows keep, the program's
// module, and the answer of a dialog procedure.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>

namespace wizard::win32 {

// UTF-16 of UTF-8 text (the core's texts and paths).
std::wstring wide(std::string_view text);
// UTF-8 of UTF-16 text (the command line, a chosen file's path).
std::string utf8(std::wstring_view text);

// Owns one handle and closes it with `Close` when it goes (icons: DestroyIcon,
// fonts: DeleteObject).
template <typename Handle, typename Close>
class Owned {
public:
    Owned() = default;
    explicit Owned(Handle handle) : handle_(handle) {}
    ~Owned() { reset(); }
    Owned(Owned &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Owned &operator=(Owned &&other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset(Handle handle = nullptr) {
        if (handle_ != nullptr) Close{}(handle_);
        handle_ = handle;
    }

private:
    Handle handle_ = nullptr;
};
struct DestroyIcon {
    void operator()(HICON icon) const { ::DestroyIcon(icon); }
};
using OwnedIcon = Owned<HICON, DestroyIcon>;
struct DeleteFont {
    void operator()(HFONT font) const { ::DeleteObject(font); }
};
using OwnedFont = Owned<HFONT, DeleteFont>;

// The program's module: its resources (icon 128, bitmaps, string 101).
HINSTANCE programModule();

// The program's icon at the system's size for `big` (the caption, Alt+Tab,
// the minimized window) or small (the caption's corner) icons.
OwnedIcon loadProgramIcon(bool big);

// A dialog procedure's answer to a message whose result is not its return
// value (WM_NOTIFY, WM_QUERYENDSESSION, ...): stores `result` and says the
// message was handled.
INT_PTR answer(HWND dialog, LRESULT result);

// The object of a dialog procedure: stored from WM_INITDIALOG's `lParam`
// (`fromInit`, the object given to DialogBoxIndirectParamW) into DWLP_USER,
// and read from there for every later message. Null before WM_INITDIALOG.
template <typename Object>
Object *dialogObject(HWND dialog, UINT message, LPARAM fromInit) {
    if (message == WM_INITDIALOG) ::SetWindowLongPtrW(dialog, DWLP_USER, fromInit);
    return reinterpret_cast<Object *>(::GetWindowLongPtrW(dialog, DWLP_USER));
}

}  // namespace wizard::win32
