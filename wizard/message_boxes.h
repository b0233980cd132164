// SPDX-License-Identifier: MIT
// The program's message boxes: title "OstranUpdater", the text, an OK
// button, no icon, modal to the window that owns them; details (the
// libraries' lines of the update, the reason of a failure) behind the box's
// "Show Details..." button when there are any. Code shows them through this
// interface so that tests can put a recorder in its place.
#pragma once

#include <QString>

class QWidget;

namespace updater {

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

// Title of every message box of the program.
inline constexpr const char kMessageBoxTitle[] = "OstranUpdater";

}  // namespace updater
