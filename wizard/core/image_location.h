// SPDX-License-Identifier: MIT
// Where OstranUpdater takes its image from: the PATH it was started with (the
// image file, or a folder holding tz4817.img); without one, tz4817.img in the
// working directory; and when there is none there (a program started from the
// desktop's menu works in the home folder), the file the user chooses.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace wizard {

// Asks the user for the image: each face with its own file dialog (title
// and filters in program_strings.h, opened in the working folder). Code asks
// through this interface so that tests can answer in the user's place.
class ImageChooser {
public:
    virtual ~ImageChooser() = default;
    // The file the user chose, or nothing when the user cancelled. GUI thread;
    // blocks until the user has answered.
    virtual std::optional<std::string> chooseImage() = 0;
};

struct ImageLocation {
    enum class Outcome {
        Found,      // `path` is the image to show and download
        Cancelled,  // the user cancelled the file dialog: the program ends, status 0
        BadUsage,   // `error` says why in one line: the program ends, status 2
    };
    Outcome outcome = Outcome::Found;
    std::string path;
    std::string error;
};

// `arguments`: the program's arguments after its name, the toolkit's own
// options taken out. Asks `chooser` only when no PATH was given and the
// working directory has no tz4817.img; a PATH that names nothing is kept
// (the update's image check says what is wrong with it). GUI thread; blocks
// while the chooser asks.
ImageLocation locateImage(const std::vector<std::string> &arguments, ImageChooser &chooser);

}  // namespace wizard
