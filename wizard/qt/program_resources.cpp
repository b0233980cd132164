// SPDX-License-Identifier: MIT
#include "program_resources.h"

#include <QtGlobal>

// The resources live in a static library: make sure they are linked in and
// registered before the first lookup.
static void registerResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(wizard_resources);
        return true;
    }();
    (void)registered;
}

namespace wizard {

QIcon programIcon() {
    registerResources();
    return QIcon(QStringLiteral(":/icons/128.png"));
}

QPixmap programBitmap(int id) {
    registerResources();
    return QPixmap(QStringLiteral(":/bitmaps/%1.bmp").arg(id));
}

}  // namespace wizard
