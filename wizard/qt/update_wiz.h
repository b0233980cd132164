// SPDX-License-Identifier: MIT
// The instruction wizard: three pages that tell the user what the program
// does, how to connect the USB cable and how to put the projector into
// update mode. It talks to no device and reads no file.
#pragma once

#include <QEvent>

#include "property_sheet.h"

namespace wizard {

class UpdateWizardStart;
class UpdateWizardConnect;
class UpdateWizardAddress;

class UpdateWiz : public PropertySheet {
public:
    UpdateWiz(const QString &caption, QWidget *parent, int startPage);

    // Creates the three pages, adds them and runs the sheet modally.
    // Cancel never returns here in the program: the Start page ends the
    // process when the sheet is reset.
    int RunWizard();

    // Creates the pages Start, Connect and Address, in this order, and adds
    // them. Once; RunWizard does it.
    void CreatePages();

    UpdateWizardStart *start = nullptr;
    UpdateWizardConnect *connectPage = nullptr;
    UpdateWizardAddress *address = nullptr;

protected:
    // Hides Back and Help.
    bool OnInitDialog() override;
    // Activation and deactivation: on the first page, Next alone is posted.
    bool event(QEvent *event) override;
};

}  // namespace wizard
