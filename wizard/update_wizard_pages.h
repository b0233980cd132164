// SPDX-License-Identifier: MIT
// The wizard's three pages. Their handlers only decide which wizard buttons
// show: Back is hidden on the Start page and on the Connect page after
// coming back from the Address page, and the Address page's Finish button
// reads "Next >".
#pragma once

#include "property_page.h"

namespace updater {

class UpdateWiz;

// Page 1 (template 106): what the program does.
class UpdateWizardStart : public PropertyPage {
public:
    UpdateWizardStart();
    UpdateWiz *sheet = nullptr;

    // Ends the process with status 0: the Start page always exists, so
    // Cancel on any page ends the program here.
    void OnCancel() override;
    int OnWizardNext() override;
    void OnPageShown() override;
};

// Page 2 (template 107): connecting the USB cable.
class UpdateWizardConnect : public PropertyPage {
public:
    UpdateWizardConnect();
    UpdateWiz *sheet = nullptr;

    void OnCancel() override;
    int OnWizardNext() override;
};

// Page "4" (template 109): putting the projector into update mode.
class UpdateWizardAddress : public PropertyPage {
public:
    UpdateWizardAddress();
    UpdateWiz *sheet = nullptr;

    int OnWizardBack() override;
    void OnPageShown() override;
};

}  // namespace updater
