#include "message_boxes.h"

#include <QMessageBox>

namespace updater {

void QtMessageBoxes::show(QWidget *owner, const QString &text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kMessageBoxTitle), text, QMessageBox::Ok, owner);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}

}  // namespace updater
