// SPDX-License-Identifier: MIT
#include "dialog_template_bytes.h"

#include <cstring>

namespace wizard::win32 {

namespace {

constexpr uint16_t kUnaddressedId = 0xFFFF;
constexpr uint16_t kOrdinal = 0xFFFF;
constexpr uint16_t kFontWeightNormal = 400;  // FW_NORMAL
constexpr uint8_t kDefaultCharset = 1;       // DEFAULT_CHARSET

// Little-endian writer of the template's fields.
class Writer {
public:
    void word(uint16_t value) {
        bytes_.push_back(static_cast<uint8_t>(value));
        bytes_.push_back(static_cast<uint8_t>(value >> 8));
    }
    void dword(uint32_t value) {
        word(static_cast<uint16_t>(value));
        word(static_cast<uint16_t>(value >> 16));
    }
    void byte(uint8_t value) { bytes_.push_back(value); }
    void text(std::u16string_view value) {
        for (char16_t unit : value) word(unit);
        word(0);
    }
    void ordinal(uint16_t value) {
        word(kOrdinal);
        word(value);
    }
    // Dialog units: short coordinates.
    void position(int x, int y, int width, int height) {
        for (int value : {x, y, width, height}) word(static_cast<uint16_t>(static_cast<int16_t>(value)));
    }
    void alignToDword() {
        while (bytes_.size() % 4 != 0) bytes_.push_back(0);
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

void writeControl(Writer &out, const ControlTemplate &control) {
    out.alignToDword();
    out.dword(0);  // help id
    out.dword(0);  // extended style
    out.dword(controlStyle(control));
    out.position(control.x, control.y, control.width, control.height);
    out.dword(control.id == kUnaddressed ? kUnaddressedId : static_cast<uint32_t>(control.id));
    switch (control.kind) {
    case ControlKind::Text:
    case ControlKind::Picture:
    case ControlKind::Icon: out.ordinal(kStaticAtom); break;
    case ControlKind::CheckBox:
    case ControlKind::PushButton: out.ordinal(kButtonAtom); break;
    case ControlKind::ProgressBar: out.text(kProgressClass); break;
    }
    // A picture's text is the number of the resource it shows.
    if (control.kind == ControlKind::Picture || control.kind == ControlKind::Icon)
        out.ordinal(static_cast<uint16_t>(control.resource));
    else
        out.text(utf16FromUtf8(control.text));
    out.word(0);  // no creation data
}

}  // namespace

uint32_t frameStyle(Frame frame) {
    switch (frame) {
    case Frame::WizardPage: return style::kChild | style::kCaption | style::kShellFont;
    case Frame::ModalDialog:
        return style::kPopup | style::kCaption | style::kSysMenu | style::kModalFrame | style::kCentre |
               style::kShellFont;
    }
    return 0;
}

uint32_t controlStyle(const ControlTemplate &control) {
    uint32_t result = style::kChild | style::kVisible;
    if (control.style & kStyleDisabled) result |= style::kDisabled;
    if (control.style & kStyleBorder) result |= style::kBorder;
    switch (control.kind) {
    case ControlKind::Text:
        result |= style::kGroup;
        if (control.style & kStyleCentred) result |= style::kTextCentred;
        if (control.style & kStyleRight) result |= style::kTextRight;
        if (control.style & kStyleNoPrefix) result |= style::kNoPrefix;
        break;
    case ControlKind::Picture: result |= style::kStaticBitmap; break;
    case ControlKind::Icon: result |= style::kStaticIcon; break;
    case ControlKind::CheckBox: result |= style::kCheckBox | style::kTabStop; break;
    case ControlKind::ProgressBar:
        if (control.style & kStyleSmooth) result |= style::kSmoothBar;
        break;
    case ControlKind::PushButton:
        result |= style::kTabStop | ((control.style & kStyleDefault) ? style::kDefaultButton : style::kPushButton);
        break;
    }
    return result;
}

DialogTemplateBytes::DialogTemplateBytes(const std::vector<uint8_t> &bytes)
    : words_((bytes.size() + 3) / 4), size_(bytes.size()) {
    if (!bytes.empty()) std::memcpy(words_.data(), bytes.data(), bytes.size());
}

DialogTemplateBytes buildDialogTemplate(const DialogTemplate &dialog, Frame frame) {
    Writer out;
    out.word(1);       // template version
    out.word(0xFFFF);  // the extended form
    out.dword(0);      // help id
    out.dword(0);      // extended style
    out.dword(frameStyle(frame));
    out.word(static_cast<uint16_t>(dialog.controls.size()));
    out.position(0, 0, dialog.width, dialog.height);
    out.word(0);  // no menu
    out.word(0);  // the dialog class
    out.text(utf16FromUtf8(dialog.caption));
    out.word(static_cast<uint16_t>(dialog.fontPointSize));
    out.word(kFontWeightNormal);
    out.byte(0);  // not italic
    out.byte(kDefaultCharset);
    out.text(utf16FromUtf8(dialog.fontFamily));
    for (const ControlTemplate &control : dialog.controls) writeControl(out, control);
    return DialogTemplateBytes(out.bytes());
}

std::u16string utf16FromUtf8(std::string_view text) {
    std::u16string result;
    result.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<uint8_t>(text[at]);
        const int length = lead < 0x80           ? 1
                           : (lead >> 5) == 0x6  ? 2
                           : (lead >> 4) == 0xE  ? 3
                           : (lead >> 3) == 0x1E ? 4
                                                 : 0;
        char32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool good = length > 0 && at + length <= text.size();
        for (int i = 1; good && i < length; ++i) {
            const auto next = static_cast<uint8_t>(text[at + i]);
            good = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are malformed.
        constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (good) good = code >= kSmallest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (!good) {
            result.push_back(u'\uFFFD');
            ++at;
            continue;
        }
        if (code >= 0x10000) {
            result.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(code));
        }
        at += static_cast<size_t>(length);
    }
    return result;
}

}  // namespace wizard::win32
