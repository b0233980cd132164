// SPDX-License-Identifier: MIT
#include "message_boxes.h"

#include <QMessageBox>

namespace updater {

void QtMessageBoxes::show(QWidget *owner, const QString &text, const QString &details) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kMessageBoxTitle), text, QMessageBox::Ok, owner);
    box.setWindowModality(Qt::WindowModal);
    if (!details.isEmpty()) box.setDetailedText(details);
    box.exec();
}

}  // namespace updater
