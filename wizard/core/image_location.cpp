// SPDX-License-Identifier: MIT
#include "image_location.h"

#include <filesystem>

#include "update_sequence/checked_image.h"

namespace wizard {

ImageLocation locateImage(const std::vector<std::string> &arguments, ImageChooser &chooser) {
    using Outcome = ImageLocation::Outcome;
    for (const std::string &argument : arguments) {
        if (argument.size() > 1 && argument[0] == '-')
            return {Outcome::BadUsage, {}, "unknown option '" + argument + "'"};
    }
    if (arguments.size() > 1)
        return {Outcome::BadUsage, {}, "one image at most: '" + arguments[0] + "' and '" + arguments[1] + "'"};
    if (arguments.size() == 1) {
        if (arguments[0].empty()) return {Outcome::BadUsage, {}, "an empty PATH names no image"};
        return {Outcome::Found, update_sequence::imagePathFor(arguments[0]), {}};
    }
    std::error_code error;
    if (std::filesystem::exists(update_sequence::kImageName, error))
        return {Outcome::Found, update_sequence::kImageName, {}};
    std::optional<std::string> chosen = chooser.chooseImage();
    if (!chosen) return {Outcome::Cancelled, {}, {}};
    return {Outcome::Found, std::move(*chosen), {}};
}

}  // namespace wizard
