// SPDX-License-Identifier: MIT
// The application's Qt face: the instruction wizard, then the update dialog,
// in the order of the core's runApplication() (startup.h). Cancel in the
// wizard and Finish in the dialog end the process at once (status 0);
// closing the dialog otherwise returns from InitInstance and the program
// ends with status 0.
#pragma once

#include <string>

#include "update_sequence/checked_image.h"
#include "message_boxes.h"
#include "startup.h"
#include "update_dialog.h"
#include "update_sequence/update_sequence.h"

namespace wizard {

class UpdaterApp : private ApplicationFace {
public:
    // The one application object; made by main() once the toolkit is up.
    // `library` and `messageBoxes` must outlive it. `imagePath`: the image
    // the update dialog opens with.
    UpdaterApp(const update_sequence::UpdateLibrary &library, MessageBoxes &messageBoxes,
               std::string imagePath = update_sequence::kImageName);
    ~UpdaterApp() override;
    UpdaterApp(const UpdaterApp &) = delete;
    UpdaterApp &operator=(const UpdaterApp &) = delete;

    // The wizard, then the update dialog. Returns false: the program ends.
    bool InitInstance();

    // The application object, or null before it is made.
    static UpdaterApp *instance();

    // Set when the dialog opens, read when the update starts.
    std::string imageFileName;
    UpdateDialog dialog;

private:
    void runWizard() override;
    void runUpdateDialog() override;
};

}  // namespace wizard
