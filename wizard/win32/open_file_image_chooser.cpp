// SPDX-License-Identifier: MIT
#include "open_file_image_chooser.h"

#include <windows.h>

#include <commdlg.h>

#include <filesystem>
#include <vector>

#include "program_strings.h"
#include "win32_support.h"

namespace wizard::win32 {

namespace {

// The dialog's filter list: "name (pattern)", pattern, ..., each ended by a
// NUL, the list by another.
std::wstring filterList() {
    std::wstring list;
    for (const FileFilter &filter : kImageFileFilters) {
        list += wide(filter.name) + L" (" + wide(filter.pattern) + L")";
        list.push_back(L'\0');
        list += wide(filter.pattern);
        list.push_back(L'\0');
    }
    return list;
}

}  // namespace

std::optional<std::string> OpenFileImageChooser::chooseImage() {
    const std::wstring title = wide(kChooseImageTitle);
    const std::wstring filters = filterList();
    std::error_code error;
    const std::wstring folder = std::filesystem::current_path(error).wstring();
    // Room for the longest path Windows has.
    std::vector<wchar_t> path(32768, L'\0');

    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.lpstrFilter = filters.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = static_cast<DWORD>(path.size());
    dialog.lpstrInitialDir = error ? nullptr : folder.c_str();
    dialog.lpstrTitle = title.c_str();
    dialog.Flags =
        OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_ENABLESIZING;
    if (!::GetOpenFileNameW(&dialog)) return std::nullopt;
    return utf8(path.data());
}

}  // namespace wizard::win32
