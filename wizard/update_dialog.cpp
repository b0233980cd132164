// SPDX-License-Identifier: MIT
#include "update_dialog.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <filesystem>
#include <limits>

#include "about_dialog.h"
#include "dialog_template.h"
#include "message_boxes.h"
#include "process_exit.h"
#include "program_resources.h"
#include "resource_ids.h"
#include "template_builder.h"
#include "update_report_bridge.h"

namespace updater {

namespace {

constexpr unsigned kScClose = 0xF060;

int stageLabel(int stage) { return kIdStage1Label + stage - 1; }
int stageCheck(int stage) { return kIdStage1Check + stage - 1; }

// The image's length in bytes, 0 when it can't be had.
uint32_t fileLength(const std::string &path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) return 0;
    return static_cast<uint32_t>(std::min<std::uintmax_t>(size, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

UpdateDialog::UpdateDialog(std::string &imageFileName, const UpdateLibrary &library, MessageBoxes &messageBoxes,
                           QWidget *parent)
    : QDialog(parent),
      imageFileName_(imageFileName),
      library_(library),
      messageBoxes_(messageBoxes),
      loadString_(LoadProgramString),
      systemMenu_(new QMenu(this)) {
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

UpdateDialog::~UpdateDialog() {
    if (worker_.joinable()) {
        // Only a test ends the dialog while an update runs: let a waiting
        // message go, then wait for the update to end.
        bridge_->close();
        QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
        worker_.join();
    }
    errorLines_.reset();
    outputLines_.reset();
}

int UpdateDialog::DoModal() { return exec(); }

void UpdateDialog::showEvent(QShowEvent *event) {
    if (!initialised_) {
        initialised_ = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

bool UpdateDialog::OnInitDialog() {
    // The three values the program shows start empty.
    setText(kIdImageLength, QString());
    setText(kIdBytes, QString());
    setText(kIdPercent, QString());

    const QString about = loadString_(kAboutMenuString);
    if (!about.isEmpty()) {
        systemMenu_->addSeparator();
        systemMenu_->addAction(about)->setData(kIdmAboutBox);
    }
    setWindowIcon(programIcon());

    imageFileName_ = imagePath_;
    imageLength_ = fileLength(imageFileName_);
    setText(kIdImageLength, QString::number(imageLength_));

    for (int stage = 1; stage <= 3; ++stage) {
        control(*this, stageLabel(stage))->setEnabled(false);
        control(*this, stageCheck(stage))->setEnabled(false);
    }
    return true;
}

void UpdateDialog::OnUpdate() {
    switch (state_) {
    case State::Ready: break;
    case State::Running: return;
    case State::Done:
    case State::Failed:
        if (worker_.joinable()) worker_.join();  // it has reported its end already
        EndProcess(0);
        return;
    }
    setState(State::Running);
    setStageEnabled(1, true);
    auto *bar = control<QProgressBar>(*this, kIdProgressBar);
    bar->setValue(0);
    bar->setRange(0, 100);

    // The image is checked now, before anything reaches the projector; the
    // sequence refuses a bad one at once, and one that has changed by the
    // time of the download.
    image_ = std::make_unique<ImageFile>(imageFileName_);
    if (image_->good()) {
        imageLength_ = static_cast<uint32_t>(image_->size());
        setText(kIdImageLength, QString::number(imageLength_));
    }
    outputLines_ = std::make_unique<LibraryOutputCapture>(nullptr, 1);
    errorLines_ = std::make_unique<LibraryOutputCapture>(nullptr, 2);

    bridge_ = std::make_unique<UpdateReportBridge>(
        this, [this](const QString &text, const QString &details) { showMessage(text, details); });
    connect(
        bridge_.get(), &UpdateReportBridge::stageBeganReported, this,
        [this](int stage) { setStageEnabled(stage, true); }, Qt::QueuedConnection);
    connect(
        bridge_.get(), &UpdateReportBridge::stageDoneReported, this, [this](int stage) { checkStage(stage); },
        Qt::QueuedConnection);
    connect(
        bridge_.get(), &UpdateReportBridge::progressReported, this,
        [this](quint32 bytes, quint32 percent) { showProgress(bytes, percent); }, Qt::QueuedConnection);
    connect(
        bridge_.get(), &UpdateReportBridge::completedReported, this,
        [this](quint32 length, const QString &warning) { showCompleted(length, warning); }, Qt::QueuedConnection);
    connect(
        bridge_.get(), &UpdateReportBridge::failedReported, this, [this] { showFailed(); }, Qt::QueuedConnection);

    sequence_ = std::make_unique<UpdateSequence>(library_, *bridge_, imageFileName_, imageLength_, image_.get());
    worker_ = std::thread([this] {
        sequence_->run();
        QMetaObject::invokeMethod(
            this, [this] { workerFinished(); }, Qt::QueuedConnection);
    });
}

void UpdateDialog::workerFinished() {
    if (worker_.joinable()) worker_.join();
    // The libraries' output is the program's own again.
    errorLines_.reset();
    outputLines_.reset();
}

void UpdateDialog::showMessage(const QString &text, const QString &details) {
    QString lines;
    for (const auto &capture : {outputLines_.get(), errorLines_.get()})
        if (capture) lines += QString::fromLocal8Bit(capture->capturedText());
    messageBoxes_.show(this, text, lines + details);
}

void UpdateDialog::setText(int id, const QString &text) { control<QLabel>(*this, id)->setText(text); }

void UpdateDialog::setStageEnabled(int stage, bool enabled) {
    if (stage < 1 || stage > 3) return;
    control(*this, stageLabel(stage))->setEnabled(enabled);
    control(*this, stageCheck(stage))->setEnabled(enabled);
}

void UpdateDialog::checkStage(int stage) {
    if (stage < 1 || stage > 3) return;
    control<QCheckBox>(*this, stageCheck(stage))->setChecked(true);
}

void UpdateDialog::showProgress(quint32 bytes, quint32 percent) {
    setText(kIdBytes, QString::number(bytes));
    setText(kIdPercent, QStringLiteral("%1%").arg(percent));
    control<QProgressBar>(*this, kIdProgressBar)->setValue(static_cast<int>(percent));
}

void UpdateDialog::showCompleted(quint32 length, const QString &warning) {
    showProgress(length, 100);
    checkStage(3);
    setState(State::Done);
    if (!warning.isEmpty()) showMessage(QString::fromLatin1(kPowerCycleMessage), warning);
}

void UpdateDialog::showFailed() { setState(State::Failed); }

void UpdateDialog::setState(State state) {
    state_ = state;
    auto *button = control<QPushButton>(*this, kIdUpdateButton);
    switch (state) {
    case State::Ready: break;  // as the template shows it
    case State::Running:
        setText(kIdStatusLine, QString::fromLatin1(kStatusRunning));
        button->setEnabled(false);
        break;
    case State::Done:
    case State::Failed:
        setText(kIdStatusLine, QString::fromLatin1(state == State::Done ? kStatusDone : kStatusFailed));
        button->setText(QString::fromLatin1(kFinishText));
        button->setEnabled(true);
        break;
    }
}

void UpdateDialog::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0) == kIdmAboutBox) {
        AboutDialog about(this);
        about.exec();
        return;
    }
    if ((id & 0xFFF0) == kScClose) close();
}

void UpdateDialog::done(int result) {
    if (state_ == State::Running) return;
    QDialog::done(result);
}

void UpdateDialog::keyPressEvent(QKeyEvent *event) {
    const int key = event->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Escape) {
        QDialog::keyPressEvent(event);
        return;
    }
    event->accept();
    if (state_ == State::Running) return;
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
        if (action->data().toUInt() == kScClose) action->setEnabled(state_ != State::Running);
    }
    systemMenu_->exec(event->globalPos());
}

}  // namespace updater
