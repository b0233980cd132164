// SPDX-License-Identifier: MIT
#include "template_builder.h"

#include <QFontInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "manual_check_box.h"
#include "program_resources.h"

namespace wizard {

namespace {

QLabel *makeText(QWidget &parent, const ControlTemplate &control) {
    auto *label = new QLabel(QString::fromUtf8(control.text), &parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    Qt::Alignment horizontal = Qt::AlignLeft;
    if (control.style & kStyleCentred) horizontal = Qt::AlignHCenter;
    if (control.style & kStyleRight) horizontal = Qt::AlignRight;
    label->setAlignment(horizontal | Qt::AlignTop);
    return label;
}

// Whether `label`'s text, wrapped at its width, fits its height.
bool textFits(const QLabel &label) {
    const QRect needed =
        label.fontMetrics().boundingRect(QRect(0, 0, label.width(), 100000), Qt::TextWordWrap, label.text());
    return needed.height() <= label.height();
}

// The boxes were laid out for the dialog font; a substitute font may set a
// text wider than its box allows, and a wrapped line that does not fit the
// box's height would be cut off. Such a text gets a slightly smaller font,
// so that every word stays visible.
void shrinkToFit(QLabel &label) {
    constexpr int kMaxSteps = 3;
    for (int step = 0; step < kMaxSteps && !textFits(label); ++step) {
        QFont font = label.font();
        font.setPixelSize(QFontInfo(font).pixelSize() - 1);
        label.setFont(font);
    }
}

QLabel *makeImage(QWidget &parent, const QPixmap &pixmap) {
    auto *label = new QLabel(&parent);
    label->setPixmap(pixmap);
    return label;
}

QWidget *makeControl(QWidget &parent, const ControlTemplate &control) {
    switch (control.kind) {
    case ControlKind::Text: return makeText(parent, control);
    case ControlKind::Picture: return makeImage(parent, programBitmap(control.resource));
    case ControlKind::Icon: return makeImage(parent, programIcon().pixmap(32, 32));
    case ControlKind::CheckBox: return new ManualCheckBox(&parent);
    case ControlKind::ProgressBar: {
        auto *bar = new QProgressBar(&parent);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        return bar;
    }
    case ControlKind::PushButton: {
        auto *button = new QPushButton(QString::fromUtf8(control.text), &parent);
        button->setDefault(control.style & kStyleDefault);
        return button;
    }
    }
    return nullptr;
}

}  // namespace

QString controlName(int id, int unaddressedIndex) {
    if (id == kUnaddressed) return QStringLiteral("-1.%1").arg(unaddressedIndex);
    return QString::number(id);
}

DialogUnits buildTemplate(QWidget &parent, const DialogTemplate &dialog) {
    const QFont font = dialogFont(dialog.fontFamily, dialog.fontPointSize);
    parent.setFont(font);
    const DialogUnits units(font);
    parent.setFixedSize(units.toPixelsX(dialog.width), units.toPixelsY(dialog.height));

    int unaddressed = 0;
    for (const ControlTemplate &control : dialog.controls) {
        QWidget *widget = makeControl(parent, control);
        const QRect box = units.toPixels(control.x, control.y, control.width, control.height);
        // Pictures and icons keep their own pixel size, at the box's corner.
        if (control.kind == ControlKind::Picture || control.kind == ControlKind::Icon) {
            widget->setGeometry(QRect(box.topLeft(), widget->sizeHint()));
        } else {
            widget->setGeometry(box);
        }
        if (control.kind == ControlKind::Text) shrinkToFit(*static_cast<QLabel *>(widget));
        widget->setObjectName(controlName(control.id, control.id == kUnaddressed ? ++unaddressed : 1));
        widget->setProperty("controlId", control.id);
        widget->setEnabled(!(control.style & kStyleDisabled));
    }
    return units;
}

}  // namespace wizard
