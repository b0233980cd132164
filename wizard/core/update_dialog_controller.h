// SPDX-License-Identifier: MIT
// The update dialog (template 102) without a toolkit: its states, what its
// button does in each, whether it may close, and every change of its
// controls, in order, from the dialog's opening to the end of the update.
// A face (Qt widgets, or user32 dialogs) builds the window from the template,
// implements UpdateDialogView with one toolkit call per member, and hands
// the user's actions to UpdateDialogController.
//
// The update runs on a worker thread that the controller starts and owns.
// Its reports wait in a queue; the worker calls the face's wake function for
// them, and the face's GUI thread then calls deliverReports(), which applies
// them to the view in the order they were made. A message waits on the worker
// until the box has been shown and acknowledged, so the update goes on only
// after the user has read it.
//
// States (what the button does):
//   Ready    the template's look, button "Update": starts the update
//   Running  "Update in Progress", button disabled: nothing; the dialog cannot close
//   Done     "Update is Done!  Press Finish Button to close window.", button "Finish": ends the process, status 0
//   Failed   "Update Failed!  Press Finish Button to close window.", button "Finish": the same
// Every failure ends in Failed, after its message box; the stage lines,
// counts and bar then stay as the update left them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "update_sequence/checked_image.h"
#include "update_sequence/library_output_capture.h"
#include "update_sequence/update_sequence.h"

namespace wizard {

class UpdateReportQueue;

// What the controller asks of the window. Every member is called on the GUI
// thread (never on the worker), one at a time, and the controls are those of
// template 102 by id (resource_ids.h). Texts are UTF-8.
class UpdateDialogView {
public:
    virtual ~UpdateDialogView() = default;
    // Sets the text of static text or push button `id`. Does not block.
    virtual void setText(int id, std::string_view text) = 0;
    // Enables or disables control `id` (a disabled static text is greyed). Does not block.
    virtual void setEnabled(int id, bool enabled) = 0;
    // Checks check box `id` (it is never unchecked). Does not block.
    virtual void check(int id) = 0;
    // Sets the range of the progress bar 1030. Does not block.
    virtual void setBarRange(int low, int high) = 0;
    // Sets the position of the progress bar 1030. Does not block.
    virtual void setBarPosition(int position) = 0;
    // Appends a separator and then an item `command` with `text` to the
    // window's system menu. Does not block.
    virtual void appendSystemMenuItem(unsigned command, std::string_view text) = 0;
    // Sets the window's big and small icons to the program's icon (128). Does not block.
    virtual void setProgramIcon() = 0;
    // Runs the About box (template 100) modally to the dialog; returns when
    // the user has closed it. Blocks (the GUI thread keeps handling messages).
    virtual void showAboutBox() = 0;
    // Shows a message box (message_box.h) modally to the dialog, with
    // `details` (empty: none) sized by detailsArea(); returns when the user
    // has acknowledged it. Blocks (the GUI thread keeps handling messages, and
    // may call deliverReports() meanwhile, which then does nothing).
    virtual void showMessage(std::string_view text, std::string_view details) = 0;
};

class UpdateDialogController {
public:
    enum class State { Ready, Running, Done, Failed };

    // `view`: the face's window; `library`: the functions the update calls;
    // `imageFileName`: the application's image file name, set when the
    // dialog opens and read when the update starts. All three must outlive
    // the controller. `wake`: called on the worker thread whenever reports
    // are waiting and no wake is outstanding; it must arrange for the GUI
    // thread to call deliverReports() soon (a queued call, PostMessageW),
    // must not block and must not call into the controller. Nothing is
    // shown yet. GUI thread.
    UpdateDialogController(UpdateDialogView &view, const update_sequence::UpdateLibrary &library,
                           std::string &imageFileName, std::function<void()> wake);
    // Lets a message that the worker waits on go unshown, drops the reports
    // not yet delivered (and calls no wake from now on), and waits for the
    // worker to end: blocks while a library call runs to its end. Only a
    // test ends the dialog while an update runs. GUI thread.
    ~UpdateDialogController();
    UpdateDialogController(const UpdateDialogController &) = delete;
    UpdateDialogController &operator=(const UpdateDialogController &) = delete;

    // The image the dialog opens with (default tz4817.img of the working
    // directory): its length is shown, and the update checks and downloads
    // it. Before open(). GUI thread.
    void setImagePath(std::string path);
    // The string table that open() reads (default programString); tests
    // replace it. Before open(). GUI thread.
    void setStringLoader(std::function<std::string(int)> loader);

    // The dialog opening, once (later calls do nothing): 1031, 1034 and 1036
    // emptied; the About entry in the system menu (when string 101 is not
    // empty) and the window icons; the image file name set and the image's
    // length shown in 1031; the stage labels 1038-1040 and check boxes
    // 1041-1043 disabled. Call when the window exists, before it is first
    // shown. GUI thread; does not block.
    void open();

    // The button 1044 was pressed. Ready: the update starts (the button is
    // disabled, stage 1 begins, "Update in Progress", bar at 0 of 0..100;
    // the image is checked and, when good, its length shown; the worker
    // starts). Running: nothing. Done or Failed: the process ends with
    // status 0 through endProcess (process_exit.h), nothing else is done.
    // GUI thread; does not block (returns only when a test's exit handler does).
    void pressButton();

    // A system command (WM_SYSCOMMAND, a system menu item). With its low
    // four bits cleared, kIdmAboutBox runs the About box and returns true;
    // any other command returns false: the face gives it its default
    // processing (SC_CLOSE then tries to close the dialog). GUI thread;
    // blocks while the About box is open.
    bool systemCommand(unsigned command);

    // Whether the dialog may close now (close box, Escape, Enter, SC_CLOSE):
    // not while the update runs. GUI thread.
    bool mayClose() const { return state_ != State::Running; }

    // Applies the reports waiting in the queue to the view, in order, until
    // none waits; a message is shown and acknowledged before the next report.
    // Called again while it shows a message box (from the box's own event
    // loop), it returns at once and the outer call goes on afterwards. GUI
    // thread; blocks while a message box or the power-cycle box is shown.
    void deliverReports();

    // GUI thread.
    State state() const { return state_; }
    // The image's length as last shown in 1031 (0 when it could not be had).
    uint32_t imageLength() const { return imageLength_; }

private:
    void setStageEnabled(update_sequence::Stage stage, bool enabled);
    void showProgress(uint32_t bytes, uint32_t percent);
    void showCompleted(uint32_t imageLength, const std::string &warning);
    void showFailed();
    // A message box with the libraries' lines of this update and `reason`.
    void showMessage(const std::string &text, const std::string &reason);
    void workerEnded();
    void endCapture();

    UpdateDialogView &view_;
    const update_sequence::UpdateLibrary &library_;
    std::string &imageFileName_;
    std::string imagePath_;
    std::function<std::string(int)> loadString_;
    bool opened_ = false;
    bool delivering_ = false;
    State state_ = State::Ready;
    uint32_t imageLength_ = 0;
    // Declared in this order: the sequence reports to the queue and reads
    // the image, the worker runs the sequence, the captures keep the
    // libraries' lines while it runs.
    std::unique_ptr<UpdateReportQueue> queue_;
    std::unique_ptr<update_sequence::CheckedImage> image_;
    std::unique_ptr<update_sequence::UpdateSequence> sequence_;
    std::thread worker_;
    std::unique_ptr<update_sequence::LibraryOutputCapture> outputLines_, errorLines_;
};

}  // namespace wizard
