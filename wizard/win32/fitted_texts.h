// SPDX-License-Identifier: MIT
// The templates' boxes were laid out for the dialog font; where another font
// stands in for it (Wine's, or a substitute on a localized system), a text
// may need more room than its box has, and a wrapped line that does not fit
// the box's height is cut off. Such a text gets a slightly smaller font (or
// the shell's face, where the dialog's is a bitmap face without smaller
// sizes), so that every word stays visible.
#pragma once

#include <windows.h>

#include <vector>

#include "win32_support.h"

namespace wizard::win32 {

class FittedTexts {
public:
    // Gives each static text of `dialog` that does not fit its box a font in
    // which it does, at most three pixels smaller. The fonts live as long as
    // this object: keep it until the dialog is gone. GUI thread.
    void fit(HWND dialog);

private:
    std::vector<OwnedFont> fonts_;
};

}  // namespace wizard::win32
