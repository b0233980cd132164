// SPDX-License-Identifier: MIT
#include "message_boxes.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextEdit>

#include "message_box.h"
#include "program_strings.h"

namespace wizard {

namespace {

// The box's details pane, made as large as the core says its lines need,
// in a fixed-pitch font; a line longer than the pane's columns wraps, and
// beyond the most lines the pane scrolls.
void fitDetailsPane(QTextEdit &pane, const QString &details) {
    const TextArea area = detailsArea(details.toStdString());
    const QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    pane.setFont(font);
    pane.setLineWrapMode(QTextEdit::FixedColumnWidth);
    pane.setLineWrapColumnOrWidth(area.columns);
    pane.setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    const QFontMetrics metrics(font);
    const int margins = 2 * (pane.frameWidth() + static_cast<int>(pane.document()->documentMargin()));
    // Room for the vertical scroll bar, which shows when the lines reach the limit.
    const int scrollBar = pane.verticalScrollBar()->sizeHint().width();
    // A column is one character cell; the extra one keeps the cursor's place.
    pane.setFixedSize(metrics.horizontalAdvance(QString(area.columns + 1, u'0')) + margins + scrollBar,
                      area.lines * metrics.lineSpacing() + margins);
}

}  // namespace

void QtMessageBoxes::show(QWidget *owner, const QString &text, const QString &details) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kProgramName), text, QMessageBox::Ok, owner);
    box.setWindowModality(Qt::WindowModal);
    if (!details.isEmpty()) {
        // The last line feed ends the last line; the pane shows no empty line after it.
        box.setDetailedText(details.endsWith(u'\n') ? details.chopped(1) : details);
        if (auto *pane = box.findChild<QTextEdit *>()) fitDetailsPane(*pane, details);
    }
    box.exec();
}

}  // namespace wizard
