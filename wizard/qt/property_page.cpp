// SPDX-License-Identifier: MIT
#include "property_page.h"

#include "dialog_template.h"
#include "template_builder.h"

namespace wizard {

PropertyPage::PropertyPage(int templateId) {
    const DialogTemplate &page = dialogTemplate(templateId);
    caption_ = QString::fromUtf8(page.caption);
    buildTemplate(*this, page);
}

int PropertyPage::OnWizardNext() { return 0; }
int PropertyPage::OnWizardBack() { return 0; }
bool PropertyPage::OnWizardFinish() { return true; }
bool PropertyPage::OnQueryCancel() { return true; }
void PropertyPage::OnReset() { OnCancel(); }
void PropertyPage::OnCancel() {}
void PropertyPage::OnPageShown() {}

void PropertyPage::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    OnPageShown();
}

}  // namespace wizard
