// SPDX-License-Identifier: MIT
// The update dialog's Qt face (template 102): the widgets of the template,
// the view that the core's UpdateDialogController draws on, and the user's
// actions handed to it (the button, Escape, Enter, the close box, the system
// menu opened by a right click). The states, the control changes of every
// report, the update's worker thread and the message boxes' details are the
// controller's (update_dialog_controller.h).
#pragma once

#include <QDialog>
#include <string>

#include "update_dialog_controller.h"

class QMenu;

namespace wizard {

class MessageBoxes;

class UpdateDialog : public QDialog {
public:
    // `imageFileName`: the application's image file name, set when the
    // dialog opens and read when the update starts. The library functions
    // and the message boxes must outlive the dialog.
    UpdateDialog(std::string &imageFileName, const update_sequence::UpdateLibrary &library, MessageBoxes &messageBoxes,
                 QWidget *parent = nullptr);
    ~UpdateDialog() override;

    // Runs the dialog modally.
    int DoModal();

    // Dialog opening; runs once, when the dialog is first shown. True.
    bool OnInitDialog();

    // The button: what it does follows the controller's state, never its caption.
    void OnUpdate();

    // Commands of the system menu: 0x0010 (low four bits ignored) opens the
    // About box, SC_CLOSE closes the dialog (unless an update runs).
    void OnSysCommand(unsigned id);

    // The window's system menu (opened by a right click): Close, then the
    // About entry when string 101 is not empty.
    QMenu *systemMenu() const { return systemMenu_; }

    // The image the dialog opens with (tz4817.img of the working directory
    // unless set). Before the dialog is shown.
    void setImagePath(std::string path) { controller_.setImagePath(std::move(path)); }

    bool updateRunning() const { return controller_.state() == UpdateDialogController::State::Running; }
    uint32_t imageLength() const { return controller_.imageLength(); }

    // Ignored while an update runs.
    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    // What the controller draws on: the dialog's widgets by control id.
    class Widgets : public UpdateDialogView {
    public:
        explicit Widgets(UpdateDialog &dialog) : dialog_(dialog) {}
        void setText(int id, std::string_view text) override;
        void setEnabled(int id, bool enabled) override;
        void check(int id) override;
        void setBarRange(int low, int high) override;
        void setBarPosition(int position) override;
        void appendSystemMenuItem(unsigned command, std::string_view text) override;
        void setProgramIcon() override;
        void showAboutBox() override;
        void showMessage(std::string_view text, std::string_view details) override;

    private:
        UpdateDialog &dialog_;
    };

    MessageBoxes &messageBoxes_;
    QMenu *systemMenu_;
    bool initialised_ = false;
    Widgets widgets_;
    UpdateDialogController controller_;
};

}  // namespace wizard
