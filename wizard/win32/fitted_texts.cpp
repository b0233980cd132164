// SPDX-License-Identifier: MIT
#include "fitted_texts.h"

#include <string>

namespace wizard::win32 {

namespace {

constexpr int kMostPixelsLess = 3;

bool isText(HWND control) {
    wchar_t name[16] = {};
    ::GetClassNameW(control, name, 16);
    const LONG_PTR type = ::GetWindowLongPtrW(control, GWL_STYLE) & SS_TYPEMASK;
    return ::lstrcmpiW(name, L"Static") == 0 && (type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT);
}

// Whether the text of `control`, wrapped at its width in `font`, fits its height.
bool fits(HWND control, HFONT font) {
    const int length = ::GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    ::GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    RECT box;
    ::GetClientRect(control, &box);
    RECT needed{0, 0, box.right, 0};
    const HDC context = ::GetDC(control);
    const HGDIOBJ previous = ::SelectObject(context, font);
    UINT format = DT_CALCRECT | DT_WORDBREAK;
    if (::GetWindowLongPtrW(control, GWL_STYLE) & SS_NOPREFIX) format |= DT_NOPREFIX;
    ::DrawTextW(context, text.c_str(), length, &needed, format);
    ::SelectObject(context, previous);
    ::ReleaseDC(control, context);
    return needed.bottom <= box.bottom && needed.right <= box.right;
}

}  // namespace

void FittedTexts::fit(HWND dialog) {
    const auto dialogFont = reinterpret_cast<HFONT>(::SendMessageW(dialog, WM_GETFONT, 0, 0));
    LOGFONTW dialogLook{};
    if (dialogFont == nullptr || !::GetObjectW(dialogFont, sizeof dialogLook, &dialogLook)) return;
    for (HWND control = ::GetWindow(dialog, GW_CHILD); control != nullptr;
         control = ::GetWindow(control, GW_HWNDNEXT)) {
        if (!isText(control) || fits(control, dialogFont)) continue;
        // The dialog's face a pixel smaller at a time; a bitmap face has a
        // few sizes only, so then the shell's outline face, from the same size.
        OwnedFont chosen;
        const wchar_t *const faces[] = {dialogLook.lfFaceName, L"MS Shell Dlg"};
        for (const wchar_t *face : faces) {
            for (int less = face == faces[0] ? 1 : 0; less <= kMostPixelsLess && !chosen; ++less) {
                LOGFONTW look = dialogLook;
                ::lstrcpynW(look.lfFaceName, face, LF_FACESIZE);
                // A negative height is the character height, a positive one the cell's.
                look.lfHeight = dialogLook.lfHeight < 0 ? dialogLook.lfHeight + less : dialogLook.lfHeight - less;
                OwnedFont candidate(::CreateFontIndirectW(&look));
                if (candidate && fits(control, candidate.get())) chosen = std::move(candidate);
            }
        }
        if (!chosen) continue;  // cut off as laid out, rather than unreadably small
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(chosen.get()), FALSE);
        fonts_.push_back(std::move(chosen));
    }
}

}  // namespace wizard::win32
