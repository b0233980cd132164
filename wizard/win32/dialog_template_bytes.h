// SPDX-License-Identifier: MIT
// The program's dialog templates in the form the Windows dialog manager reads
// from memory (DialogBoxIndirectParamW, a property page's PSP_DLGINDIRECT):
// an extended dialog template (DLGTEMPLATEEX) followed by one extended item
// template (DLGITEMTEMPLATEEX) per control, each starting on a 4-byte
// boundary, texts in UTF-16.
//
// Plain data: this builds and is tested on every platform. The style words
// are the values of <windows.h> (a Windows build checks that they agree).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dialog_template.h"

namespace wizard::win32 {

// Window, dialog and control styles the templates use.
namespace style {
inline constexpr uint32_t kChild = 0x40000000;      // WS_CHILD
inline constexpr uint32_t kPopup = 0x80000000;      // WS_POPUP
inline constexpr uint32_t kVisible = 0x10000000;    // WS_VISIBLE
inline constexpr uint32_t kDisabled = 0x08000000;   // WS_DISABLED
inline constexpr uint32_t kCaption = 0x00C00000;    // WS_CAPTION
inline constexpr uint32_t kBorder = 0x00800000;     // WS_BORDER
inline constexpr uint32_t kSysMenu = 0x00080000;    // WS_SYSMENU
inline constexpr uint32_t kGroup = 0x00020000;      // WS_GROUP
inline constexpr uint32_t kTabStop = 0x00010000;    // WS_TABSTOP
inline constexpr uint32_t kModalFrame = 0x0080;     // DS_MODALFRAME
inline constexpr uint32_t kSetFont = 0x0040;        // DS_SETFONT
inline constexpr uint32_t kShellFont = 0x0048;      // DS_SHELLFONT (DS_SETFONT | DS_FIXEDSYS)
inline constexpr uint32_t kCentre = 0x0800;         // DS_CENTER
inline constexpr uint32_t kTextCentred = 0x0001;    // SS_CENTER
inline constexpr uint32_t kTextRight = 0x0002;      // SS_RIGHT
inline constexpr uint32_t kStaticIcon = 0x0003;     // SS_ICON
inline constexpr uint32_t kStaticBitmap = 0x000E;   // SS_BITMAP
inline constexpr uint32_t kNoPrefix = 0x0080;       // SS_NOPREFIX
inline constexpr uint32_t kPushButton = 0x0000;     // BS_PUSHBUTTON
inline constexpr uint32_t kDefaultButton = 0x0001;  // BS_DEFPUSHBUTTON
inline constexpr uint32_t kCheckBox = 0x0002;       // BS_CHECKBOX: the program alone checks it
inline constexpr uint32_t kSmoothBar = 0x0001;      // PBS_SMOOTH
}  // namespace style

// Predefined window classes, written as an ordinal (0xFFFF, atom).
inline constexpr uint16_t kButtonAtom = 0x0080;
inline constexpr uint16_t kStaticAtom = 0x0082;
inline constexpr char16_t kProgressClass[] = u"msctls_progress32";  // PROGRESS_CLASSW

// How the dialog is framed.
enum class Frame {
    // A page of a property sheet: a child window with a caption (the sheet
    // shows it as its title).
    WizardPage,
    // A modal dialog with a caption and a system menu, no minimize or
    // maximize box, centred on its monitor.
    ModalDialog,
};

// The dialog's window style for `frame`.
uint32_t frameStyle(Frame frame);
// A control's window style, class and text as the dialog manager creates it.
uint32_t controlStyle(const ControlTemplate &control);

// A template in memory, 4-byte aligned as the dialog manager requires.
class DialogTemplateBytes {
public:
    explicit DialogTemplateBytes(const std::vector<uint8_t> &bytes);
    const void *data() const { return words_.data(); }
    size_t size() const { return size_; }
    std::span<const uint8_t> bytes() const { return {reinterpret_cast<const uint8_t *>(words_.data()), size_}; }

private:
    std::vector<uint32_t> words_;
    size_t size_;
};

// The template of `dialog`, framed as `frame`, with its font (DS_SETFONT |
// DS_SHELLFONT, the template's face and point size) and its controls in
// table order. Unaddressed controls get the id 0xFFFF.
DialogTemplateBytes buildDialogTemplate(const DialogTemplate &dialog, Frame frame);

// UTF-16 of UTF-8 text; a malformed sequence becomes U+FFFD.
std::u16string utf16FromUtf8(std::string_view text);

}  // namespace wizard::win32
