// SPDX-License-Identifier: MIT
// One page of a wizard-mode PropertySheet, built on its own dialog
// template. Pages override the hooks; the defaults move to the adjacent page,
// accept Finish and allow Cancel.
#pragma once

#include <QString>
#include <QWidget>

namespace wizard {

class PropertyPage : public QWidget {
public:
    explicit PropertyPage(int templateId);

    // The template's caption; the sheet shows it as its title while the
    // page is current.
    QString caption() const { return caption_; }

    // Next pressed: 0 moves to the next page, -1 stays. Default 0.
    virtual int OnWizardNext();
    // Back pressed: 0 moves to the previous page, -1 stays. Default 0.
    virtual int OnWizardBack();
    // Finish pressed: true lets the sheet close as accepted. Default true.
    virtual bool OnWizardFinish();
    // Cancel pressed while this page is current: whether the sheet may be
    // cancelled. Default true.
    virtual bool OnQueryCancel();
    // The sheet is being cancelled (sent to every page created so far, in
    // page order): calls OnCancel.
    virtual void OnReset();
    // Default: nothing.
    virtual void OnCancel();
    // The page has been shown (it becomes current, or the sheet appears with
    // it); runs every time. Default: nothing.
    virtual void OnPageShown();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QString caption_;
};

}  // namespace wizard
