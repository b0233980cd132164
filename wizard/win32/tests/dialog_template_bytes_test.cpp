// SPDX-License-Identifier: MIT
// The in-memory dialog templates read back the way the Windows dialog manager
// reads them: a field out of place, a control not on a 4-byte boundary or a
// wrong count makes it create wrong controls or none, which only shows on
// Windows. Here it fails on every platform.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "dialog_template_bytes.h"
#include "resource_ids.h"

namespace wizard::win32 {
namespace {

// A reader of the template that stops at its end.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint16_t word() {
        if (at_ + 2 > bytes_.size()) throw std::out_of_range("template ends inside a field");
        const uint16_t value = static_cast<uint16_t>(bytes_[at_] | bytes_[at_ + 1] << 8);
        at_ += 2;
        return value;
    }
    uint32_t dword() {
        const uint32_t low = word();
        return low | static_cast<uint32_t>(word()) << 16;
    }
    uint8_t byte() {
        if (at_ >= bytes_.size()) throw std::out_of_range("template ends inside a field");
        return bytes_[at_++];
    }
    std::u16string text() {
        std::u16string value;
        for (uint16_t unit = word(); unit != 0; unit = word()) value.push_back(static_cast<char16_t>(unit));
        return value;
    }
    // A class or title: an ordinal (0xFFFF, number) or a text.
    struct NameOrOrdinal {
        std::optional<uint16_t> ordinal;
        std::u16string text;
    };
    NameOrOrdinal nameOrOrdinal() {
        if (at_ + 2 <= bytes_.size() && bytes_[at_] == 0xFF && bytes_[at_ + 1] == 0xFF) {
            word();
            return {word(), {}};
        }
        return {std::nullopt, text()};
    }
    // The dialog manager skips to the next 4-byte boundary before an item.
    void alignToDword() { at_ = (at_ + 3) & ~size_t{3}; }
    size_t at() const { return at_; }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

struct ReadControl {
    uint32_t style;
    int16_t x, y, width, height;
    uint32_t id;
    Reader::NameOrOrdinal windowClass, title;
    size_t offset;
};

struct ReadDialog {
    uint32_t style;
    uint16_t count;
    int16_t width, height;
    std::u16string caption, font;
    uint16_t points;
    std::vector<ReadControl> controls;
    size_t end;
};

ReadDialog readTemplate(std::span<const uint8_t> bytes) {
    Reader in(bytes);
    ReadDialog dialog{};
    EXPECT_EQ(in.word(), 1);
    EXPECT_EQ(in.word(), 0xFFFF);
    in.dword();  // help id
    EXPECT_EQ(in.dword(), 0u);
    dialog.style = in.dword();
    dialog.count = in.word();
    EXPECT_EQ(in.word(), 0);
    EXPECT_EQ(in.word(), 0);
    dialog.width = static_cast<int16_t>(in.word());
    dialog.height = static_cast<int16_t>(in.word());
    EXPECT_EQ(in.word(), 0) << "no menu";
    EXPECT_EQ(in.word(), 0) << "the dialog class";
    dialog.caption = in.text();
    dialog.points = in.word();
    in.word();  // weight
    in.byte();  // italic
    in.byte();  // character set
    dialog.font = in.text();
    for (uint16_t i = 0; i < dialog.count; ++i) {
        in.alignToDword();
        ReadControl control{};
        control.offset = in.at();
        in.dword();  // help id
        in.dword();  // extended style
        control.style = in.dword();
        control.x = static_cast<int16_t>(in.word());
        control.y = static_cast<int16_t>(in.word());
        control.width = static_cast<int16_t>(in.word());
        control.height = static_cast<int16_t>(in.word());
        control.id = in.dword();
        control.windowClass = in.nameOrOrdinal();
        control.title = in.nameOrOrdinal();
        const uint16_t extra = in.word();
        for (uint16_t skip = 0; skip < extra; ++skip) in.byte();
        dialog.controls.push_back(control);
    }
    dialog.end = in.at();
    return dialog;
}

class DialogTemplateBytesTest : public testing::TestWithParam<std::pair<int, Frame>> {};

// Every template of the program, read back: the frame, the font, and each
// control with its id, class, style and text, on a 4-byte boundary, the last
// one ending where the template ends.
TEST_P(DialogTemplateBytesTest, ReadsBackAsTheDialogManagerReadsIt) {
    const auto [id, frame] = GetParam();
    const DialogTemplate &dialog = dialogTemplate(id);
    const DialogTemplateBytes bytes = buildDialogTemplate(dialog, frame);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(bytes.data()) % 4, 0u) << "the template itself must be DWORD-aligned";

    const ReadDialog read = readTemplate(bytes.bytes());
    EXPECT_EQ(read.end, bytes.size()) << "bytes left over after the last control";
    EXPECT_EQ(read.style, frameStyle(frame));
    EXPECT_EQ(read.style & style::kShellFont, style::kShellFont) << "the template's font must be used";
    EXPECT_EQ(read.caption, utf16FromUtf8(dialog.caption));
    EXPECT_EQ(read.font, u"MS Sans Serif");
    EXPECT_EQ(read.points, 8);
    EXPECT_EQ(read.width, dialog.width);
    EXPECT_EQ(read.height, dialog.height);
    ASSERT_EQ(read.count, dialog.controls.size());
    ASSERT_EQ(read.controls.size(), dialog.controls.size());

    for (size_t i = 0; i < dialog.controls.size(); ++i) {
        const ControlTemplate &want = dialog.controls[i];
        const ReadControl &got = read.controls[i];
        SCOPED_TRACE(testing::Message() << "control " << i << " (id " << want.id << ")");
        EXPECT_EQ(got.offset % 4, 0u);
        EXPECT_EQ(got.id, want.id == kUnaddressed ? 0xFFFFu : static_cast<uint32_t>(want.id));
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.width, want.width);
        EXPECT_EQ(got.height, want.height);
        EXPECT_EQ(got.style, controlStyle(want));
        EXPECT_TRUE(got.style & style::kChild);
        EXPECT_TRUE(got.style & style::kVisible);
        EXPECT_EQ((got.style & style::kDisabled) != 0, (want.style & kStyleDisabled) != 0);
        switch (want.kind) {
        case ControlKind::Text:
            EXPECT_EQ(got.windowClass.ordinal, kStaticAtom);
            EXPECT_EQ(got.title.text, utf16FromUtf8(want.text));
            EXPECT_EQ(got.style & 0x1F, (want.style & kStyleCentred) ? style::kTextCentred
                                        : (want.style & kStyleRight) ? style::kTextRight
                                                                     : 0u);
            EXPECT_EQ((got.style & style::kNoPrefix) != 0, (want.style & kStyleNoPrefix) != 0);
            break;
        case ControlKind::Picture:
        case ControlKind::Icon:
            EXPECT_EQ(got.windowClass.ordinal, kStaticAtom);
            EXPECT_EQ(got.style & 0x1F, want.kind == ControlKind::Picture ? style::kStaticBitmap : style::kStaticIcon);
            EXPECT_EQ(got.title.ordinal, want.resource) << "a picture names its resource by number";
            break;
        case ControlKind::CheckBox:
            EXPECT_EQ(got.windowClass.ordinal, kButtonAtom);
            EXPECT_EQ(got.style & 0x0F, style::kCheckBox) << "not an automatic check box";
            EXPECT_EQ(got.title.text, u"");
            break;
        case ControlKind::PushButton:
            EXPECT_EQ(got.windowClass.ordinal, kButtonAtom);
            EXPECT_EQ(got.style & 0x0F, (want.style & kStyleDefault) ? style::kDefaultButton : style::kPushButton);
            EXPECT_EQ(got.title.text, utf16FromUtf8(want.text));
            break;
        case ControlKind::ProgressBar:
            EXPECT_EQ(got.windowClass.text, u"msctls_progress32");
            EXPECT_TRUE(got.style & style::kSmoothBar);
            EXPECT_TRUE(got.style & style::kBorder);
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryTemplate, DialogTemplateBytesTest,
                         testing::Values(std::pair{kAboutTemplate, Frame::ModalDialog},
                                         std::pair{kUpdateDialogTemplate, Frame::ModalDialog},
                                         std::pair{kStartPageTemplate, Frame::WizardPage},
                                         std::pair{kConnectPageTemplate, Frame::WizardPage},
                                         std::pair{kAddressPageTemplate, Frame::WizardPage}),
                         [](const testing::TestParamInfo<std::pair<int, Frame>> &info) {
                             return "Template" + std::to_string(info.param.first);
                         });

// The update dialog has no minimize or maximize box and no close-less frame;
// a page is a child with a caption (the sheet's title).
TEST(DialogFrameTest, FramesHaveTheirCaptionsAndNoMinimizeBox) {
    constexpr uint32_t kMinimizeBox = 0x00020000, kMaximizeBox = 0x00010000;
    const uint32_t dialog = frameStyle(Frame::ModalDialog);
    EXPECT_EQ(dialog & (kMinimizeBox | kMaximizeBox), 0u);
    EXPECT_EQ(dialog & (style::kPopup | style::kCaption | style::kSysMenu | style::kModalFrame),
              style::kPopup | style::kCaption | style::kSysMenu | style::kModalFrame);
    const uint32_t page = frameStyle(Frame::WizardPage);
    EXPECT_EQ(page & (style::kChild | style::kCaption | style::kPopup), style::kChild | style::kCaption);
}

// Texts are UTF-8 in the tables and UTF-16 in the template; a malformed
// sequence must not swallow the characters after it.
TEST(Utf16FromUtf8Test, ConvertsEveryLengthAndReplacesMalformedSequences) {
    const struct {
        std::string_view utf8;
        std::u16string utf16;
    } cases[] = {
        {"Next >", u"Next >"},
        {"\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x93\xBD", u"\U0001F4FD"},
        {"a\xFFz", u"a\uFFFDz"},
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // a surrogate
        {"\xE2\x82", u"\uFFFD\uFFFD"},            // cut short
        {"", u""},
    };
    for (const auto &c : cases) EXPECT_EQ(utf16FromUtf8(c.utf8), c.utf16) << c.utf8;
}

}  // namespace
}  // namespace wizard::win32
