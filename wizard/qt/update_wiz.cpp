// SPDX-License-Identifier: MIT
#include "update_wiz.h"

#include "update_wizard_pages.h"

namespace wizard {

UpdateWiz::UpdateWiz(const QString &caption, QWidget *parent, int startPage)
    : PropertySheet(caption, parent, startPage) {}

void UpdateWiz::CreatePages() {
    if (start) return;
    start = new UpdateWizardStart;
    connectPage = new UpdateWizardConnect;
    address = new UpdateWizardAddress;
    start->sheet = this;
    connectPage->sheet = this;
    address->sheet = this;
    AddPage(start);
    AddPage(connectPage);
    AddPage(address);
}

int UpdateWiz::RunWizard() {
    CreatePages();
    return DoModal();
}

bool UpdateWiz::OnInitDialog() {
    const bool result = PropertySheet::OnInitDialog();
    Request(wizardRequests(WizardEvent::SheetInitialised, WizardPage::Start));
    return result;
}

bool UpdateWiz::event(QEvent *event) {
    const bool handled = PropertySheet::event(event);
    if ((event->type() == QEvent::WindowActivate || event->type() == QEvent::WindowDeactivate) &&
        GetActiveIndex() >= 0) {
        Request(wizardRequests(WizardEvent::SheetActivated, static_cast<WizardPage>(GetActiveIndex())));
    }
    return handled;
}

}  // namespace wizard
