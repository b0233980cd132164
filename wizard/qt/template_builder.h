// SPDX-License-Identifier: MIT
// Makes the widgets of a dialog template. Every control becomes a child of
// the given widget at its converted position, with objectName = its decimal
// control id and the int property "controlId" = the id. Controls with the id
// -1 are named "-1.1", "-1.2", ... in table order, so that names stay unique.
#pragma once

#include <QString>
#include <QWidget>

#include "dialog_template.h"
#include "dialog_units.h"

namespace wizard {

// Builds `dialog`'s controls into `parent`, gives `parent` the dialog font
// and a fixed client size of the template's size, and returns the dialog
// units used.
DialogUnits buildTemplate(QWidget &parent, const DialogTemplate &dialog);

// The objectName a control of `id` gets (`unaddressedIndex` counts -1
// controls from 1).
QString controlName(int id, int unaddressedIndex = 1);

// The control `id` below `parent`, or null.
template <typename Widget = QWidget>
Widget *control(const QWidget &parent, int id) {
    return parent.findChild<Widget *>(controlName(id));
}

}  // namespace wizard
