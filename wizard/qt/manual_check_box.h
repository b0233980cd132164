// SPDX-License-Identifier: MIT
// A check box that the user cannot change: clicking it does nothing, only
// the program sets its state (a non-automatic check box).
#pragma once

#include <QCheckBox>

namespace wizard {

class ManualCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override {}
};

}  // namespace wizard
