// SPDX-License-Identifier: MIT
// The program's own resources: the string table, icon 128 and the bitmaps
// of the wizard pages, embedded through the Qt resource system.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace updater {

// String `id` of the string table; empty when there is none.
QString LoadProgramString(int id);

// Icon 128: a small picture of the projector, 32 x 32.
QIcon programIcon();

// Bitmap 130, 131 or 133 at its own pixel size; a null pixmap for other ids.
QPixmap programBitmap(int id);

}  // namespace updater
