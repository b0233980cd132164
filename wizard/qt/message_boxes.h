// SPDX-License-Identifier: MIT
// The program's message boxes as the Qt face shows them (message_box.h says
// what they hold): title "OstranUpdater", the text, an OK button, no icon,
// modal to the window that owns them; the details, when there are any,
// behind the box's "Show Details..." button in a pane sized to show them
// whole. Code shows them through this interface so that tests can put a
// recorder in its place.
#pragma once

#include <QString>

class QWidget;

namespace wizard {

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows `text` (and `details`, when not empty) and returns when the user
    // has pressed OK (or closed it). GUI thread only.
    virtual void show(QWidget *owner, const QString &text, const QString &details) = 0;
};

// Real message boxes (QMessageBox).
class QtMessageBoxes : public MessageBoxes {
public:
    void show(QWidget *owner, const QString &text, const QString &details) override;
};

}  // namespace wizard
