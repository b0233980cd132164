// SPDX-License-Identifier: MIT
#include "file_dialog_image_chooser.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QStringList>

#include "program_resources.h"
#include "program_strings.h"

namespace wizard {

std::optional<std::string> FileDialogImageChooser::chooseImage() {
    QStringList filters;
    for (const FileFilter &filter : kImageFileFilters)
        filters << QStringLiteral("%1 (%2)").arg(QString::fromUtf8(filter.name), QString::fromUtf8(filter.pattern));
    QFileDialog dialog(nullptr, QString::fromUtf8(kChooseImageTitle), QDir::currentPath(),
                       filters.join(QStringLiteral(";;")));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setWindowIcon(programIcon());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();
}

}  // namespace wizard
