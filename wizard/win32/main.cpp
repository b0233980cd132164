// SPDX-License-Identifier: MIT
// OstranUpdater for Windows: updates the firmware of a tz4817 projector over
// USB.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "dialog_template_bytes.h"
#include "qrv_version.h"
#include "resource_ids.h"

namespace {

// Writes `text` to standard output when the program has one (a redirected
// output, or the console of the command line that started it).
bool writeStandardOutput(const std::string &text) {
    HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
        if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return false;
        output = ::GetStdHandle(STD_OUTPUT_HANDLE);
        if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
    }
    DWORD written = 0;
    return ::WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    LPWSTR *arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (arguments != nullptr && count == 2 && std::wcscmp(arguments[1], L"--version") == 0) {
        writeStandardOutput("OstranUpdater " QRV_VERSION "\n");
        return 0;
    }
    const auto about = updater::win32::buildDialogTemplate(updater::dialogTemplate(updater::kAboutTemplate),
                                                           updater::win32::Frame::ModalDialog);
    ::DialogBoxIndirectParamW(
        ::GetModuleHandleW(nullptr), static_cast<const DLGTEMPLATE *>(about.data()), nullptr,
        [](HWND window, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
            if (message == WM_COMMAND && LOWORD(wParam) == IDOK) ::EndDialog(window, 0);
            if (message == WM_CLOSE) ::EndDialog(window, 0);
            return message == WM_INITDIALOG;
        },
        0);
    return 0;
}
