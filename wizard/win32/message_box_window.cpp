// SPDX-License-Identifier: MIT
#include "message_box_window.h"

#include <algorithm>
#include <array>
#include <string>

#include "dialog_template_bytes.h"
#include "message_box.h"
#include "program_strings.h"
#include "resource_ids.h"
#include "win32_support.h"

namespace wizard::win32 {

namespace {

constexpr char kShowDetails[] = "Show Details...";
constexpr wchar_t kHideDetails[] = L"Hide Details...";
constexpr wchar_t kFixedPitchFace[] = L"Courier New";

// Measures in dialog units: the margins and gaps, the buttons, the widest
// text before it wraps.
constexpr int kMargin = 7;
constexpr int kButtonWidth = 50;
constexpr int kDetailsButtonWidth = 64;
constexpr int kButtonHeight = 14;
constexpr int kTextWidth = 240;

// Line feeds as the edit control wants them.
std::wstring withCarriageReturns(const std::wstring &text) {
    std::wstring result;
    for (wchar_t c : text) {
        if (c == L'\n') result.push_back(L'\r');
        result.push_back(c);
    }
    return result;
}

class MessageBoxWindow {
public:
    MessageBoxWindow(std::string_view text, std::string_view details)
        : text_(text), details_(details), area_(detailsArea(details)) {
        // The last line feed ends the last line; the pane shows no empty line after it.
        if (!details_.empty() && details_.back() == '\n') details_.pop_back();
    }

    void run(HWND owner) {
        const DialogTemplate &look = dialogTemplate(kUpdateDialogTemplate);
        // Placed and sized when the window exists and its fonts can be
        // measured; Show Details is hidden when there are none.
        const std::array controls{
            ControlTemplate{kUnaddressed, ControlKind::Text, text_.c_str(), 0, 0, 0, 0, kStyleNoPrefix, 0},
            ControlTemplate{kIdShowDetails, ControlKind::PushButton, kShowDetails, 0, 0, 0, 0, kStyleNone, 0},
            ControlTemplate{IDOK, ControlKind::PushButton, "OK", 0, 0, 0, 0, kStyleDefault, 0},
        };
        const DialogTemplate box{0, kProgramName, 0, 0, look.fontFamily, look.fontPointSize, controls};
        const DialogTemplateBytes bytes = buildDialogTemplate(box, Frame::ModalDialog);
        ::DialogBoxIndirectParamW(programModule(), static_cast<const DLGTEMPLATE *>(bytes.data()), owner, procedure,
                                  reinterpret_cast<LPARAM>(this));
    }

private:
    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        MessageBoxWindow *self = dialogObject<MessageBoxWindow>(window, message, lParam);
        if (self == nullptr) return FALSE;
        switch (message) {
        case WM_INITDIALOG: return self->onInitDialog(window);
        case WM_COMMAND: return self->onCommand(LOWORD(wParam));
        default: return FALSE;
        }
    }

    INT_PTR onInitDialog(HWND window) {
        window_ = window;
        if (details_.empty()) {
            ::ShowWindow(::GetDlgItem(window_, kIdShowDetails), SW_HIDE);
        } else {
            makeDetailsPane();
        }
        measure();
        layout();
        centreOnOwner();
        return TRUE;
    }

    INT_PTR onCommand(int id) {
        switch (id) {
        case IDOK:
        case IDCANCEL: ::EndDialog(window_, id); return TRUE;
        case kIdShowDetails:
            expanded_ = !expanded_;
            if (expanded_) {
                ::SetDlgItemTextW(window_, kIdShowDetails, kHideDetails);
            } else {
                ::SetDlgItemTextW(window_, kIdShowDetails, wide(kShowDetails).c_str());
            }
            ::ShowWindow(::GetDlgItem(window_, kIdDetails), expanded_ ? SW_SHOW : SW_HIDE);
            layout();
            return TRUE;
        default: return FALSE;
        }
    }

    void makeDetailsPane() {
        LOGFONTW look{};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(window_, WM_GETFONT, 0, 0)), sizeof look, &look);
        look.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
        look.lfWeight = FW_NORMAL;
        ::lstrcpynW(look.lfFaceName, kFixedPitchFace, LF_FACESIZE);
        fixedFont_.reset(::CreateFontIndirectW(&look));
        // Hidden until Show Details; wraps at its width, scrolls beyond its height.
        const HWND pane =
            ::CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", withCarriageReturns(wide(details_)).c_str(),
                              WS_CHILD | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 0, 0, 0, 0, window_,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdDetails)), programModule(), nullptr);
        ::SendMessageW(pane, WM_SETFONT, reinterpret_cast<WPARAM>(fixedFont_.get()), FALSE);
    }

    // The sizes in pixels of the text, the buttons and the pane.
    void measure() {
        RECT units{kMargin, kButtonHeight, kTextWidth, kButtonWidth};
        ::MapDialogRect(window_, &units);
        margin_ = units.left;
        buttonHeight_ = units.top;
        RECT wide{kDetailsButtonWidth, 0, 0, 0};
        ::MapDialogRect(window_, &wide);
        detailsButtonWidth_ = wide.left;
        buttonWidth_ = units.bottom;

        const HWND label = ::GetWindow(window_, GW_CHILD);
        const std::wstring text = wideText(label);
        RECT needed{0, 0, units.right, 0};
        const HDC context = ::GetDC(window_);
        HGDIOBJ previous = ::SelectObject(context, reinterpret_cast<HFONT>(::SendMessageW(label, WM_GETFONT, 0, 0)));
        ::DrawTextW(context, text.c_str(), static_cast<int>(text.size()), &needed,
                    DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        textSize_ = {needed.right, needed.bottom};
        if (fixedFont_) {
            ::SelectObject(context, fixedFont_.get());
            TEXTMETRICW metrics{};
            ::GetTextMetricsW(context, &metrics);
            const int edges = 2 * ::GetSystemMetrics(SM_CXEDGE);
            // A column is one character cell; one more keeps the caret's
            // place, and the edit's own margins take a few pixels.
            pane_ = {(area_.columns + 1) * metrics.tmAveCharWidth + ::GetSystemMetrics(SM_CXVSCROLL) + edges + 8,
                     area_.lines * metrics.tmHeight + edges + 4};
        }
        ::SelectObject(context, previous);
        ::ReleaseDC(window_, context);
    }

    // Places the controls for the box as it is now (details shown or not)
    // and sizes the box around them; the box is as wide as the details
    // need either way, so that showing them only makes it taller.
    void layout() {
        const bool details = static_cast<bool>(fixedFont_);
        const int buttons = (details ? detailsButtonWidth_ + margin_ : 0) + buttonWidth_;
        const int inside =
            std::max({static_cast<int>(textSize_.cx), details ? static_cast<int>(pane_.cx) : 0, buttons});
        const int width = inside + 2 * margin_;
        ::MoveWindow(::GetWindow(window_, GW_CHILD), margin_, margin_, inside, textSize_.cy, TRUE);
        const int buttonsTop = margin_ + textSize_.cy + margin_;
        ::MoveWindow(::GetDlgItem(window_, kIdShowDetails), margin_, buttonsTop, detailsButtonWidth_, buttonHeight_,
                     TRUE);
        ::MoveWindow(::GetDlgItem(window_, IDOK), width - margin_ - buttonWidth_, buttonsTop, buttonWidth_,
                     buttonHeight_, TRUE);
        int height = buttonsTop + buttonHeight_ + margin_;
        if (details && expanded_) {
            const HWND pane = ::GetDlgItem(window_, kIdDetails);
            ::MoveWindow(pane, margin_, height, inside, pane_.cy, TRUE);
            // The scroll bar only when the lines are more than the pane shows.
            const auto lines = ::SendMessageW(pane, EM_GETLINECOUNT, 0, 0);
            ::ShowScrollBar(pane, SB_VERT, lines > area_.lines);
            height += pane_.cy + margin_;
        }
        RECT frame{0, 0, width, height};
        ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongPtrW(window_, GWL_STYLE)), FALSE,
                             static_cast<DWORD>(::GetWindowLongPtrW(window_, GWL_EXSTYLE)));
        ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    void centreOnOwner() {
        const HWND owner = ::GetWindow(window_, GW_OWNER);
        if (owner == nullptr) return;
        RECT outer, box;
        ::GetWindowRect(owner, &outer);
        ::GetWindowRect(window_, &box);
        const int x = outer.left + (outer.right - outer.left - (box.right - box.left)) / 2;
        const int y = outer.top + (outer.bottom - outer.top - (box.bottom - box.top)) / 2;
        ::SetWindowPos(window_, nullptr, std::max(0, x), std::max(0, y), 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    static std::wstring wideText(HWND control) {
        const int length = ::GetWindowTextLengthW(control);
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        ::GetWindowTextW(control, text.data(), length + 1);
        text.resize(static_cast<size_t>(length));
        return text;
    }

    std::string text_;
    std::string details_;
    TextArea area_;
    HWND window_ = nullptr;
    OwnedFont fixedFont_;
    bool expanded_ = false;
    int margin_ = 0, buttonHeight_ = 0, buttonWidth_ = 0, detailsButtonWidth_ = 0;
    SIZE textSize_{}, pane_{};
};

}  // namespace

void showMessageBox(HWND owner, std::string_view text, std::string_view details) {
    MessageBoxWindow(text, details).run(owner);
}

}  // namespace wizard::win32
