// SPDX-License-Identifier: MIT
// The file dialog that asks for the image when none was given and the working
// folder has none: the system's Open dialog (GetOpenFileNameW), opened in
// the working folder, *.img files listed first.
#pragma once

#include "image_location.h"

namespace wizard::win32 {

class OpenFileImageChooser : public ImageChooser {
public:
    // The chosen file's path in UTF-8; nothing when the user cancelled.
    std::optional<std::string> chooseImage() override;
};

}  // namespace wizard::win32
