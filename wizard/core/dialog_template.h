// SPDX-License-Identifier: MIT
// Dialog templates as data: each dialog and wizard page of the program is
// one table of controls with their ids, texts, positions and styles, the way
// a resource script describes a dialog. Each face builds its windows from
// these tables (the Qt face with buildTemplate, template_builder.h).
#pragma once

#include <cstdint>
#include <span>

namespace wizard {

// The id of controls the program never addresses.
inline constexpr int kUnaddressed = -1;

enum class ControlKind {
    Text,         // static text
    Picture,      // static control showing bitmap `resource` at its own pixel size
    Icon,         // static control showing icon `resource`
    CheckBox,     // check box without text; only the program checks it
    ProgressBar,  // progress bar, range 0..100
    PushButton,
};

// Style bits; combine with |.
enum ControlStyle : uint32_t {
    kStyleNone = 0,
    kStyleCentred = 1u << 0,   // text centred in its box
    kStyleRight = 1u << 1,     // text right-aligned in its box
    kStyleDisabled = 1u << 2,  // created disabled (a disabled text is drawn greyed)
    kStyleSmooth = 1u << 3,    // progress bar as one smooth bar, not blocks
    kStyleBorder = 1u << 4,    // drawn with a border
    kStyleDefault = 1u << 5,   // the default push button (Enter presses it)
    kStyleNoPrefix = 1u << 6,  // '&' is shown as it is, not as a mnemonic
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char *text;  // exactly as shown; "" for none
    // Position and size in dialog units.
    int x, y, width, height;
    uint32_t style;
    int resource;  // bitmap or icon resource of a Picture or Icon, else 0
};

struct DialogTemplate {
    int id;
    const char *caption;
    int width, height;  // dialog units
    const char *fontFamily;
    int fontPointSize;
    std::span<const ControlTemplate> controls;
};

// The program's templates: 100 (About box), 102 (update dialog), 106, 107
// and 109 (wizard pages). Any other id is a programming error (aborts).
const DialogTemplate &dialogTemplate(int id);

}  // namespace wizard
