// SPDX-License-Identifier: MIT
// Dialog units to pixels, as the Windows dialog manager converts them: a
// horizontal unit is a quarter of the dialog font's average character width,
// a vertical unit an eighth of its character height. The average width is
// that of the 52 letters "A".."Z", "a".."z", rounded to the nearest pixel.
#pragma once

#include <QFont>
#include <QRect>

namespace wizard {

class DialogUnits {
public:
    // Base units of `font` (the font a template names, as dialogFont() found it).
    explicit DialogUnits(const QFont &font);
    // Base units given directly (tests).
    DialogUnits(int averageCharWidth, int charHeight);

    int averageCharWidth() const { return averageCharWidth_; }
    int charHeight() const { return charHeight_; }

    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    QRect toPixels(int x, int y, int width, int height) const;

private:
    int averageCharWidth_;
    int charHeight_;
};

// The font a template names (e.g. "MS Sans Serif", 8 points), or the closest
// sans font this machine has: Microsoft Sans Serif, Liberation Sans, Arimo,
// Arial, Helvetica, DejaVu Sans, then the default sans font.
QFont dialogFont(const char *family, int pointSize);

}  // namespace wizard
