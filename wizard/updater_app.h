// SPDX-License-Identifier: MIT
// The application: the instruction wizard, then the update dialog. Cancel in
// the wizard and Finish in the dialog end the process at once (status 0);
// closing the dialog otherwise returns from InitInstance and the program
// ends with status 0.
#pragma once

#include <string>

#include "message_boxes.h"
#include "update_dialog.h"
#include "update_sequence.h"

namespace updater {

class UpdaterApp {
public:
    // The one application object; made by main() once the toolkit is up.
    // `library` and `messageBoxes` must outlive it. `imagePath`: the image
    // the update dialog opens with.
    UpdaterApp(const UpdateLibrary &library, MessageBoxes &messageBoxes, std::string imagePath = kImageFileName);
    ~UpdaterApp();
    UpdaterApp(const UpdaterApp &) = delete;
    UpdaterApp &operator=(const UpdaterApp &) = delete;

    // The wizard, then the update dialog. Returns false: the program ends.
    bool InitInstance();

    // The application object, or null before it is made.
    static UpdaterApp *instance();

    // Set when the dialog opens, read when the update starts.
    std::string imageFileName;
    UpdateDialog dialog;
};

}  // namespace updater
