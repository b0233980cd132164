// SPDX-License-Identifier: MIT
// The wizard's three pages. Their handlers carry out what the core's
// wizardRequests() asks of the frame for each of the page's events
// (wizard_requests.h says which buttons that shows), then do the default:
// Next and Back move to the adjacent page.
#pragma once

#include "property_page.h"
#include "wizard_requests.h"

namespace wizard {

class UpdateWiz;

// A page of the update wizard, built on its page's template.
class UpdateWizardPage : public PropertyPage {
public:
    explicit UpdateWizardPage(WizardPage page);
    UpdateWiz *sheet = nullptr;

    int OnWizardNext() override;
    int OnWizardBack() override;
    void OnCancel() override;
    void OnPageShown() override;

private:
    void request(WizardEvent event);

    const WizardPage page_;
};

// Page 1 (template 106): what the program does. Cancel on any page ends the
// process here: the Start page always exists and answers the reset.
class UpdateWizardStart : public UpdateWizardPage {
public:
    UpdateWizardStart() : UpdateWizardPage(WizardPage::Start) {}
};

// Page 2 (template 107): connecting the USB cable.
class UpdateWizardConnect : public UpdateWizardPage {
public:
    UpdateWizardConnect() : UpdateWizardPage(WizardPage::Connect) {}
};

// Page "4" (template 109): putting the projector into update mode.
class UpdateWizardAddress : public UpdateWizardPage {
public:
    UpdateWizardAddress() : UpdateWizardPage(WizardPage::Address) {}
};

}  // namespace wizard
