// SPDX-License-Identifier: MIT
#include "update_wizard_pages.h"

#include <QPushButton>

#include "process_exit.h"
#include "resource_ids.h"
#include "update_wiz.h"

namespace updater {

UpdateWizardStart::UpdateWizardStart() : PropertyPage(kStartPageTemplate) {}

void UpdateWizardStart::OnCancel() { EndProcess(0); }

int UpdateWizardStart::OnWizardNext() {
    sheet->PostWizardButtons(kWizardBack | kWizardNext);
    sheet->backButton->show();
    return PropertyPage::OnWizardNext();
}

void UpdateWizardStart::OnPageShown() { sheet->backButton->hide(); }

UpdateWizardConnect::UpdateWizardConnect() : PropertyPage(kConnectPageTemplate) {}

void UpdateWizardConnect::OnCancel() { EndProcess(0); }

int UpdateWizardConnect::OnWizardNext() {
    sheet->PostWizardButtons(kWizardBack | kWizardFinish);
    sheet->SetFinishText(QStringLiteral("Next >"));
    return PropertyPage::OnWizardNext();
}

UpdateWizardAddress::UpdateWizardAddress() : PropertyPage(kAddressPageTemplate) {}

int UpdateWizardAddress::OnWizardBack() {
    sheet->PostWizardButtons(kWizardBack | kWizardNext);
    sheet->SetFinishText(QStringLiteral("Next>"));
    return PropertyPage::OnWizardBack();
}

void UpdateWizardAddress::OnPageShown() { sheet->backButton->show(); }

}  // namespace updater
