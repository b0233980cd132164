#include "updater_app.h"

#include "update_wiz.h"

namespace updater {

namespace {
UpdaterApp *theApp = nullptr;
}

UpdaterApp::UpdaterApp(const UpdateLibrary &library, MessageBoxes &messageBoxes)
    : dialog(imageFileName, library, messageBoxes) {
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
