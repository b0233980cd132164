// SPDX-License-Identifier: MIT
#include "dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

namespace wizard {

namespace {

// Multiplies and divides rounding half away from zero, as the dialog
// manager's conversion does.
int mulDivRounded(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : -((-product + half) / denominator));
}

}  // namespace

DialogUnits::DialogUnits(const QFont &font) {
    const QFontMetrics metrics(font);
    const int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // The width of 52 letters halved twice with rounding: (w / 26 + 1) / 2.
    averageCharWidth_ = (letters / 26 + 1) / 2;
    charHeight_ = metrics.height();
}

DialogUnits::DialogUnits(int averageCharWidth, int charHeight)
    : averageCharWidth_(averageCharWidth), charHeight_(charHeight) {}

int DialogUnits::toPixelsX(int units) const { return mulDivRounded(units, averageCharWidth_, 4); }

int DialogUnits::toPixelsY(int units) const { return mulDivRounded(units, charHeight_, 8); }

QRect DialogUnits::toPixels(int x, int y, int width, int height) const {
    return QRect(toPixelsX(x), toPixelsY(y), toPixelsX(width), toPixelsY(height));
}

QFont dialogFont(const char *family, int pointSize) {
    QFont font;
    font.setFamilies(QStringList{QString::fromLatin1(family), QStringLiteral("Microsoft Sans Serif"),
                                 QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial"),
                                 QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(pointSize);
    return font;
}

}  // namespace wizard
