// SPDX-License-Identifier: MIT
#include "updater_app.h"

#include "program_strings.h"
#include "update_wiz.h"

namespace wizard {

namespace {
UpdaterApp *theApp = nullptr;
}

UpdaterApp::UpdaterApp(const update_sequence::UpdateLibrary &library, MessageBoxes &messageBoxes, std::string imagePath)
    : dialog(imageFileName, library, messageBoxes) {
    dialog.setImagePath(std::move(imagePath));
    theApp = this;
}

UpdaterApp::~UpdaterApp() {
    if (theApp == this) theApp = nullptr;
}

UpdaterApp *UpdaterApp::instance() { return theApp; }

bool UpdaterApp::InitInstance() { return runApplication(*this); }

void UpdaterApp::runWizard() {
    UpdateWiz wizard(QString::fromUtf8(kWizardCaption), nullptr, 0);
    wizard.RunWizard();
}

void UpdaterApp::runUpdateDialog() { dialog.DoModal(); }

}  // namespace wizard
