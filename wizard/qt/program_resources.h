// SPDX-License-Identifier: MIT
// The program's pictures as the Qt face shows them: icon 128 and the
// bitmaps of the wizard pages, embedded through the Qt resource system from
// wizard/resources/. The string table is the core's (program_strings.h).
#pragma once

#include <QIcon>
#include <QPixmap>

namespace wizard {

// Icon 128: a small picture of the projector, 32 x 32.
QIcon programIcon();

// Bitmap 130, 131 or 133 at its own pixel size; a null pixmap for other ids.
QPixmap programBitmap(int id);

}  // namespace wizard
