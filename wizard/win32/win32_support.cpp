// SPDX-License-Identifier: MIT
#include "win32_support.h"

#include <commctrl.h>

#include "dialog_template_bytes.h"
#include "resource_ids.h"

namespace wizard::win32 {

std::wstring wide(std::string_view text) {
    const std::u16string units = utf16FromUtf8(text);
    return std::wstring(units.begin(), units.end());
}

std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, result.data(), bytes, nullptr, nullptr);
    return result;
}

HINSTANCE programModule() { return ::GetModuleHandleW(nullptr); }

OwnedIcon loadProgramIcon(bool big) {
    const int width = ::GetSystemMetrics(big ? SM_CXICON : SM_CXSMICON);
    const int height = ::GetSystemMetrics(big ? SM_CYICON : SM_CYSMICON);
    return OwnedIcon(static_cast<HICON>(
        ::LoadImageW(programModule(), MAKEINTRESOURCEW(kProgramIcon), IMAGE_ICON, width, height, LR_DEFAULTCOLOR)));
}

INT_PTR answer(HWND dialog, LRESULT result) {
    ::SetWindowLongPtrW(dialog, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace wizard::win32

// The template builder's style words are plain numbers, so that it builds
// everywhere: they must be the system's.
namespace wizard::win32::style {
static_assert(kChild == WS_CHILD && kPopup == WS_POPUP && kVisible == WS_VISIBLE && kDisabled == WS_DISABLED);
static_assert(kCaption == WS_CAPTION && kBorder == WS_BORDER && kSysMenu == WS_SYSMENU && kGroup == WS_GROUP);
static_assert(kTabStop == WS_TABSTOP && kModalFrame == DS_MODALFRAME && kSetFont == DS_SETFONT);
static_assert(kShellFont == DS_SHELLFONT && kCentre == DS_CENTER);
static_assert(kTextCentred == SS_CENTER && kTextRight == SS_RIGHT && kStaticIcon == SS_ICON);
static_assert(kStaticBitmap == SS_BITMAP && kNoPrefix == SS_NOPREFIX);
static_assert(kPushButton == BS_PUSHBUTTON && kDefaultButton == BS_DEFPUSHBUTTON && kCheckBox == BS_CHECKBOX);
static_assert(kSmoothBar == PBS_SMOOTH);
}  // namespace wizard::win32::style
