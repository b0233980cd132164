// SPDX-License-Identifier: MIT
// The window in which the update runs (template 102). It shows the image
// length; its one button, Update, checks the image (a bad one ends the update
// at once, before the projector is touched) and starts the update on a worker
// thread and shows the three stage lines, the byte count, the percentage and
// the bar as the update reports them. The update ends Done or Failed, both
// with the button reading "Finish", which then ends the process. What a click
// means follows the dialog's state; the caption only shows it.
//
// Message boxes carry, as their details, the lines the libraries wrote on
// standard output and standard error during the update (which still reach
// both as well) and the update's own reason.
//
// While the update runs the window repaints and answers, but it cannot be
// closed: the close box, Escape and Enter do nothing.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "image_file.h"
#include "library_output_capture.h"
#include "update_sequence.h"

class QMenu;

namespace updater {

class MessageBoxes;
class UpdateReportBridge;

// Texts of the status line.
inline constexpr const char kStatusRunning[] = "Update in Progress";
inline constexpr const char kStatusDone[] = "Update is Done!  Press Finish Button to close window.";
inline constexpr const char kStatusFailed[] = "Update Failed!  Press Finish Button to close window.";
inline constexpr const char kFinishText[] = "Finish";
inline constexpr const char kImageFileName[] = "tz4817.img";
// The box after an update whose projector did not confirm leaving
// programming mode; kPowerCycleWarning is its detail.
inline constexpr const char kPowerCycleMessage[] =
    "Update is Done!\nSwitch the projector off and on again to start the new firmware.\n";

class UpdateDialog : public QDialog {
public:
    // `imageFileName`: the application's image file name, set when the
    // dialog opens and read when the update starts. The library functions
    // and the message boxes must outlive the dialog.
    UpdateDialog(std::string &imageFileName, const UpdateLibrary &library, MessageBoxes &messageBoxes,
                 QWidget *parent = nullptr);
    ~UpdateDialog() override;

    // Runs the dialog modally.
    int DoModal();

    // Dialog opening; runs once, when the dialog is first shown. True.
    bool OnInitDialog();

    // The button: in Ready the update starts; once it has ended (Done or
    // Failed) the process ends with status 0 and nothing else; while it runs,
    // nothing.
    void OnUpdate();

    // Commands of the system menu: 0x0010 (low four bits ignored) opens the
    // About box, SC_CLOSE closes the dialog (unless an update runs).
    void OnSysCommand(unsigned id);

    // The window's system menu (opened by a right click): Close, then the
    // About entry when string 101 is not empty.
    QMenu *systemMenu() const { return systemMenu_; }

    // The image the dialog opens with (tz4817.img of the working directory
    // unless set): its length is shown, and Update checks and downloads it.
    // Before the dialog is shown.
    void setImagePath(std::string path) { imagePath_ = std::move(path); }

    // The string table the dialog reads; tests replace it. Before the
    // dialog is shown.
    void setStringLoader(std::function<QString(int)> loader) { loadString_ = std::move(loader); }

    bool updateRunning() const { return state_ == State::Running; }
    uint32_t imageLength() const { return imageLength_; }

    // Ignored while an update runs.
    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    // What the dialog is at, and so what its button does.
    enum class State { Ready, Running, Done, Failed };

    void setText(int id, const QString &text);
    void setStageEnabled(int stage, bool enabled);
    void checkStage(int stage);
    void showProgress(quint32 bytes, quint32 percent);
    void showCompleted(quint32 length, const QString &warning);
    // A message box with the libraries' lines of this update and `details`.
    void showMessage(const QString &text, const QString &details);
    void showFailed();
    // Enters `state` and shows it: the status line and the button.
    void setState(State state);
    void workerFinished();

    std::string &imageFileName_;
    std::string imagePath_ = kImageFileName;
    const UpdateLibrary &library_;
    MessageBoxes &messageBoxes_;
    std::function<QString(int)> loadString_;
    QMenu *systemMenu_;
    bool initialised_ = false;
    State state_ = State::Ready;
    uint32_t imageLength_ = 0;
    // Declared in this order: the sequence reports to the bridge and reads
    // the image, the worker runs the sequence, the captures keep the
    // libraries' lines while it runs.
    std::unique_ptr<ImageFile> image_;
    std::unique_ptr<UpdateReportBridge> bridge_;
    std::unique_ptr<UpdateSequence> sequence_;
    std::thread worker_;
    std::unique_ptr<LibraryOutputCapture> outputLines_, errorLines_;
};

}  // namespace updater
