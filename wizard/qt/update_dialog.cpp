// SPDX-License-Identifier: MIT
#include "update_dialog.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>

#include "about_dialog.h"
#include "dialog_template.h"
#include "message_boxes.h"
#include "program_resources.h"
#include "resource_ids.h"
#include "template_builder.h"

namespace wizard {

namespace {

constexpr unsigned kScClose = 0xF060;

QString fromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

UpdateDialog::UpdateDialog(std::string &imageFileName, const update_sequence::UpdateLibrary &library,
                           MessageBoxes &messageBoxes, QWidget *parent)
    : QDialog(parent),
      messageBoxes_(messageBoxes),
      systemMenu_(new QMenu(this)),
      widgets_(*this),
      // The worker's reports reach the GUI thread as a queued call; one
      // that is still queued when the dialog goes is dropped with it.
      controller_(widgets_, library, imageFileName, [this] {
          QMetaObject::invokeMethod(
              this, [this] { controller_.deliverReports(); }, Qt::QueuedConnection);
      }) {
    const DialogTemplate &dialog = dialogTemplate(kUpdateDialogTemplate);
    setWindowTitle(QString::fromUtf8(dialog.caption));
    buildTemplate(*this, dialog);
    // A modal frame with a caption and a system menu: no minimize or maximize box.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    QAction *close = systemMenu_->addAction(QStringLiteral("&Close"));
    close->setData(kScClose);
    connect(systemMenu_, &QMenu::triggered, this, [this](QAction *action) { OnSysCommand(action->data().toUInt()); });
    connect(control<QPushButton>(*this, kIdUpdateButton), &QPushButton::clicked, this, [this] { OnUpdate(); });
}

UpdateDialog::~UpdateDialog() = default;

int UpdateDialog::DoModal() { return exec(); }

void UpdateDialog::showEvent(QShowEvent *event) {
    if (!initialised_) {
        initialised_ = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

bool UpdateDialog::OnInitDialog() {
    controller_.open();
    return true;
}

void UpdateDialog::OnUpdate() { controller_.pressButton(); }

void UpdateDialog::OnSysCommand(unsigned id) {
    if (!controller_.systemCommand(id) && (id & 0xFFF0) == kScClose) close();
}

void UpdateDialog::done(int result) {
    if (!controller_.mayClose()) return;
    QDialog::done(result);
}

void UpdateDialog::keyPressEvent(QKeyEvent *event) {
    const int key = event->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Escape) {
        QDialog::keyPressEvent(event);
        return;
    }
    event->accept();
    if (!controller_.mayClose()) return;
    if (key == Qt::Key_Escape) {
        reject();
        return;
    }
    // Enter presses the focused push button, and ends the dialog when no
    // push button has the focus.
    if (auto *focused = qobject_cast<QPushButton *>(focusWidget()); focused && focused->isEnabled()) {
        focused->click();
    } else {
        accept();
    }
}

void UpdateDialog::contextMenuEvent(QContextMenuEvent *event) {
    for (QAction *action : systemMenu_->actions()) {
        if (action->data().toUInt() == kScClose) action->setEnabled(controller_.mayClose());
    }
    systemMenu_->exec(event->globalPos());
}

void UpdateDialog::Widgets::setText(int id, std::string_view text) {
    QWidget *widget = control(dialog_, id);
    if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        button->setText(fromUtf8(text));
    } else if (auto *label = qobject_cast<QLabel *>(widget)) {
        label->setText(fromUtf8(text));
    }
}

void UpdateDialog::Widgets::setEnabled(int id, bool enabled) { control(dialog_, id)->setEnabled(enabled); }

void UpdateDialog::Widgets::check(int id) { control<QCheckBox>(dialog_, id)->setChecked(true); }

void UpdateDialog::Widgets::setBarRange(int low, int high) {
    control<QProgressBar>(dialog_, kIdProgressBar)->setRange(low, high);
}

void UpdateDialog::Widgets::setBarPosition(int position) {
    control<QProgressBar>(dialog_, kIdProgressBar)->setValue(position);
}

void UpdateDialog::Widgets::appendSystemMenuItem(unsigned command, std::string_view text) {
    dialog_.systemMenu_->addSeparator();
    dialog_.systemMenu_->addAction(fromUtf8(text))->setData(command);
}

void UpdateDialog::Widgets::setProgramIcon() { dialog_.setWindowIcon(programIcon()); }

void UpdateDialog::Widgets::showAboutBox() {
    AboutDialog about(&dialog_);
    about.exec();
}

void UpdateDialog::Widgets::showMessage(std::string_view text, std::string_view details) {
    dialog_.messageBoxes_.show(&dialog_, fromUtf8(text), fromUtf8(details));
}

}  // namespace wizard
