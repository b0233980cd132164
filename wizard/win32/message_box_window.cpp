// SPDX-License-Identifier: MIT
#include "message_box_window.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

#include "message_box.h"
#include "program_strings.h"
#include "win32_support.h"

namespace updater::win32 {

namespace {

constexpr wchar_t kShowDetails[] = L"Show Details...";
constexpr wchar_t kHideDetails[] = L"Hide Details...";
// A dialog unit is a quarter of the dialog font's average character width;
// the box's margins and the width of a box without details.
constexpr int kUnitsPerCharacter = 4;
constexpr int kMarginUnits = 24;
constexpr int kLeastWidthUnits = 180;

}  // namespace

void showMessageBox(HWND owner, std::string_view text, std::string_view details) {
    const std::wstring title = wide(kProgramName);
    const std::wstring content = wide(text);
    // The last line feed ends the last line; the box shows no empty line after it.
    if (!details.empty() && details.back() == '\n') details.remove_suffix(1);
    const std::wstring expanded = wide(details);

    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    config.hInstance = programModule();
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
    config.dwCommonButtons = TDCBF_OK_BUTTON;
    config.pszWindowTitle = title.c_str();
    config.pszContent = content.c_str();
    if (!details.empty()) {
        config.pszExpandedInformation = expanded.c_str();
        config.pszCollapsedControlText = kShowDetails;
        config.pszExpandedControlText = kHideDetails;
        const TextArea area = detailsArea(details);
        config.cxWidth =
            static_cast<UINT>(std::max(kLeastWidthUnits, area.columns * kUnitsPerCharacter + kMarginUnits));
    }
    int pressed = 0;
    ::TaskDialogIndirect(&config, &pressed, nullptr, nullptr);
}

}  // namespace updater::win32
