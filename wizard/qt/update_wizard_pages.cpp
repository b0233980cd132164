// SPDX-License-Identifier: MIT
#include "update_wizard_pages.h"

#include "update_wiz.h"

namespace wizard {

UpdateWizardPage::UpdateWizardPage(WizardPage page) : PropertyPage(wizardPageTemplate(page)), page_(page) {}

void UpdateWizardPage::request(WizardEvent event) { sheet->Request(wizardRequests(event, page_)); }

int UpdateWizardPage::OnWizardNext() {
    request(WizardEvent::Next);
    return PropertyPage::OnWizardNext();
}

int UpdateWizardPage::OnWizardBack() {
    request(WizardEvent::Back);
    return PropertyPage::OnWizardBack();
}

void UpdateWizardPage::OnCancel() { request(WizardEvent::Reset); }

void UpdateWizardPage::OnPageShown() { request(WizardEvent::PageShown); }

}  // namespace wizard
