// SPDX-License-Identifier: MIT
// A property sheet in wizard mode: one page at a time above a row of
// buttons Back, Next (or Finish in its place), Cancel and Help; there is no
// Apply button. The title shows the current page's caption.
//
// Button requests come in two ways, as a page handler needs them: a sent
// request (SetWizardButtons, SetFinishText) takes effect at once; a posted
// one (PostWizardButtons) is queued and takes effect after the page change
// that the running handler starts. What each request does to the buttons is
// the core's frameAfter() (wizard_requests.h); the sheet keeps the buttons'
// state and shows it.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

#include "wizard_requests.h"

class QFrame;
class QPushButton;

namespace wizard {

class PropertyPage;

class PropertySheet : public QDialog {
public:
    PropertySheet(const QString &caption, QWidget *parent, int startPage);

    // Adds a page; the sheet takes ownership. Before DoModal only.
    void AddPage(PropertyPage *page);

    // Builds the frame, runs OnInitDialog and makes the start page current,
    // once; the sheet is not shown yet.
    void Create();

    // Create, then runs the sheet modally. Returns QDialog::Accepted after Finish,
    // QDialog::Rejected after Cancel.
    int DoModal();

    // Carries out a page handler's requests in order: posted buttons are
    // queued behind whatever the caller does next, EndProcess ends the
    // process, the others take effect at once.
    void Request(const std::vector<FrameRequest> &requests);
    // Set wizard buttons (kWizardBack, kWizardNext, kWizardFinish), at once.
    void SetWizardButtons(unsigned flags);
    // The same request, queued behind whatever the caller does next.
    void PostWizardButtons(unsigned flags);
    // Finish takes `text` and is shown and enabled; Back and Next are
    // hidden. Takes effect at once.
    void SetFinishText(const QString &text);

    int GetActiveIndex() const { return active_; }
    int GetPageCount() const { return static_cast<int>(pages_.size()); }
    PropertyPage *GetPage(int index) const { return pages_.at(index); }
    PropertyPage *GetActivePage() const;

    // A button of the frame by control id (0x3023 Back, 0x3024 Next,
    // 0x3025 Finish, 2 Cancel, 9 Help).
    QPushButton *button(int id) const;

    // Cancel: asks the current page, then tells every page created so far,
    // in page order, that the sheet is reset, and closes the sheet. The
    // Cancel button, the Escape key and the close box all come here.
    void reject() override;

protected:
    // Runs once, after the frame is built and before the sheet is shown.
    // Returns true.
    virtual bool OnInitDialog();

private:
    void buildFrame();
    void setActivePage(int index);
    void next();
    void back();
    void finish();
    // Applies a request that takes effect now and shows the buttons.
    void apply(const FrameRequest &request);
    void showButtons();

    std::vector<PropertyPage *> pages_;
    std::vector<bool> created_;  // the page has been shown at least once
    int startPage_;
    int active_ = -1;
    bool built_ = false;
    QPushButton *back_ = nullptr;
    QPushButton *next_ = nullptr;
    QPushButton *finish_ = nullptr;
    QPushButton *cancel_ = nullptr;
    QPushButton *help_ = nullptr;
    QFrame *line_ = nullptr;
    WizardFrameButtons buttons_;
};

}  // namespace wizard
