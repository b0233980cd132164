// SPDX-License-Identifier: MIT
// The About box (template 100): the program's icon, name and version, and
// an OK button. OK, Escape and the close box end it.
#pragma once

#include <QDialog>

namespace wizard {

class AboutDialog : public QDialog {
public:
    explicit AboutDialog(QWidget *parent = nullptr);
};

}  // namespace wizard
