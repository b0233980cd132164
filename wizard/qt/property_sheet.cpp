// SPDX-License-Identifier: MIT
#include "property_sheet.h"

#include <QFrame>
#include <QMetaObject>
#include <QPushButton>
#include <algorithm>

#include "dialog_units.h"
#include "process_exit.h"
#include "property_page.h"
#include "resource_ids.h"
#include "template_builder.h"

namespace wizard {

namespace {

// The frame's own measures, in dialog units.
constexpr int kMargin = 7;
constexpr int kButtonWidth = 50;
constexpr int kButtonHeight = 14;
constexpr int kButtonGap = 7;

}  // namespace

PropertySheet::PropertySheet(const QString &caption, QWidget *parent, int startPage)
    : QDialog(parent), startPage_(startPage) {
    setWindowTitle(caption);
    setFont(dialogFont("MS Sans Serif", 8));
}

void PropertySheet::AddPage(PropertyPage *page) {
    page->setParent(this);
    page->hide();
    pages_.push_back(page);
    created_.push_back(false);
}

PropertyPage *PropertySheet::GetActivePage() const { return active_ >= 0 ? pages_.at(active_) : nullptr; }

QPushButton *PropertySheet::button(int id) const {
    switch (id) {
    case kIdBack: return back_;
    case kIdNext: return next_;
    case kIdFinish: return finish_;
    case kIdCancel: return cancel_;
    case kIdHelp: return help_;
    default: return nullptr;
    }
}

void PropertySheet::Create() {
    if (built_) return;
    built_ = true;
    buildFrame();
    OnInitDialog();
    if (!pages_.empty()) setActivePage(std::clamp(startPage_, 0, GetPageCount() - 1));
}

int PropertySheet::DoModal() {
    Create();
    return exec();
}

bool PropertySheet::OnInitDialog() { return true; }

void PropertySheet::buildFrame() {
    const DialogUnits units(font());
    int pageWidth = 0;
    int pageHeight = 0;
    for (const PropertyPage *page : pages_) {
        pageWidth = std::max(pageWidth, page->width());
        pageHeight = std::max(pageHeight, page->height());
    }
    const int marginX = units.toPixelsX(kMargin);
    const int marginY = units.toPixelsY(kMargin);
    for (PropertyPage *page : pages_) page->move(marginX, marginY);

    const int width = marginX + pageWidth + marginX;
    const int lineY = marginY + pageHeight + marginY;
    line_ = new QFrame(this);
    line_->setFrameShape(QFrame::HLine);
    line_->setFrameShadow(QFrame::Sunken);
    line_->setGeometry(marginX, lineY, width - 2 * marginX, 2);

    // Back and Next (Finish in Next's place) side by side, then Cancel and
    // Help, right-aligned; Help keeps its place when hidden.
    const int buttonWidth = units.toPixelsX(kButtonWidth);
    const int buttonHeight = units.toPixelsY(kButtonHeight);
    const int gap = units.toPixelsX(kButtonGap);
    const int buttonY = lineY + 2 + marginY;
    const int helpX = width - marginX - buttonWidth;
    const int cancelX = helpX - gap - buttonWidth;
    const int nextX = cancelX - gap - buttonWidth;
    const int backX = nextX - buttonWidth;

    auto makeButton = [&](const char *text, int id, int x) {
        auto *button = new QPushButton(QString::fromUtf8(text), this);
        button->setObjectName(controlName(id));
        button->setProperty("controlId", id);
        button->setGeometry(x, buttonY, buttonWidth, buttonHeight);
        return button;
    };
    back_ = makeButton("< &Back", kIdBack, backX);
    next_ = makeButton("&Next >", kIdNext, nextX);
    finish_ = makeButton("Finish", kIdFinish, nextX);
    cancel_ = makeButton("Cancel", kIdCancel, cancelX);
    help_ = makeButton("&Help", kIdHelp, helpX);
    showButtons();
    setFixedSize(width, buttonY + buttonHeight + marginY);

    connect(back_, &QPushButton::clicked, this, [this] { back(); });
    connect(next_, &QPushButton::clicked, this, [this] { next(); });
    connect(finish_, &QPushButton::clicked, this, [this] { finish(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });
}

void PropertySheet::setActivePage(int index) {
    if (index < 0 || index >= GetPageCount() || index == active_) return;
    if (PropertyPage *old = GetActivePage()) old->hide();
    active_ = index;
    created_[index] = true;
    PropertyPage *page = pages_[index];
    setWindowTitle(page->caption());
    page->show();
}

void PropertySheet::next() {
    PropertyPage *page = GetActivePage();
    if (page && page->OnWizardNext() == 0) setActivePage(active_ + 1);
}

void PropertySheet::back() {
    PropertyPage *page = GetActivePage();
    if (page && page->OnWizardBack() == 0) setActivePage(active_ - 1);
}

void PropertySheet::finish() {
    PropertyPage *page = GetActivePage();
    if (!page || page->OnWizardFinish()) accept();
}

void PropertySheet::reject() {
    if (PropertyPage *page = GetActivePage(); page && !page->OnQueryCancel()) return;
    for (size_t i = 0; i < pages_.size(); ++i) {
        if (created_[i]) pages_[i]->OnReset();
    }
    QDialog::reject();
}

void PropertySheet::Request(const std::vector<FrameRequest> &requests) {
    for (const FrameRequest &request : requests) {
        switch (request.kind) {
        case FrameRequest::Kind::PostButtons:
            QMetaObject::invokeMethod(
                this, [this, request] { apply(request); }, Qt::QueuedConnection);
            break;
        case FrameRequest::Kind::EndProcess: endProcess(request.status); break;
        default: apply(request); break;
        }
    }
}

void PropertySheet::SetWizardButtons(unsigned flags) { Request({{FrameRequest::Kind::SendButtons, flags}}); }

void PropertySheet::PostWizardButtons(unsigned flags) { Request({{FrameRequest::Kind::PostButtons, flags}}); }

void PropertySheet::SetFinishText(const QString &text) {
    Request({{FrameRequest::Kind::SendFinishText, 0, text.toStdString()}});
}

void PropertySheet::apply(const FrameRequest &request) {
    buttons_ = frameAfter(buttons_, request);
    showButtons();
}

void PropertySheet::showButtons() {
    const auto show = [](QPushButton *button, const WizardButton &state) {
        button->setVisible(state.shown);
        button->setEnabled(state.enabled);
    };
    show(back_, buttons_.back);
    show(next_, buttons_.next);
    show(finish_, buttons_.finish);
    finish_->setText(QString::fromStdString(buttons_.finishText));
    help_->setVisible(buttons_.helpShown);
    // Enter presses the button in Next's place.
    (buttons_.finish.shown ? finish_ : next_)->setDefault(true);
}

}  // namespace wizard
