// SPDX-License-Identifier: MIT
#include "updater_app.h"

#include "update_wiz.h"

namespace updater {

namespace {
UpdaterApp *theApp = nullptr;
}

UpdaterApp::UpdaterApp(const UpdateLibrary &library, MessageBoxes &messageBoxes, std::string imagePath)
    : dialog(imageFileName, library, messageBoxes) {
    dialog.setImagePath(std::move(imagePath));
    theApp = this;
}

UpdaterApp::~UpdaterApp() {
    if (theApp == this) theApp = nullptr;
}

UpdaterApp *UpdaterApp::instance() { return theApp; }

bool UpdaterApp::InitInstance() {
    {
        UpdateWiz wizard(QStringLiteral("Update Wizard"), nullptr, 0);
        wizard.RunWizard();
    }
    dialog.DoModal();
    return false;
}

}  // namespace updater
