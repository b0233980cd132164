// SPDX-License-Identifier: MIT
// The Qt face's way to ask for the image (image_location.h): a file dialog
// in the working folder, showing *.img files first.
#pragma once

#include "image_location.h"

namespace wizard {

class FileDialogImageChooser : public ImageChooser {
public:
    std::optional<std::string> chooseImage() override;
};

}  // namespace wizard
