// SPDX-License-Identifier: MIT
#include "about_dialog.h"

#include <QPushButton>

#include "dialog_template.h"
#include "program_resources.h"
#include "resource_ids.h"
#include "template_builder.h"

namespace wizard {

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent) {
    const DialogTemplate &dialog = dialogTemplate(kAboutTemplate);
    setWindowTitle(QString::fromUtf8(dialog.caption));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    buildTemplate(*this, dialog);
    connect(control<QPushButton>(*this, kIdOk), &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace wizard
