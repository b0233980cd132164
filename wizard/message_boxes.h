// The program's message boxes: title "OstranUpdater", the text, an OK
// button, no icon, modal to the window that owns them. Code shows them
// through this interface so that tests can put a recorder in its place.
#pragma once

#include <QString>

class QWidget;

namespace updater {

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows `text` and returns when the user has pressed OK (or closed it).
    // GUI thread only.
    virtual void show(QWidget *owner, const QString &text) = 0;
};

// Real message boxes (QMessageBox).
class QtMessageBoxes : public MessageBoxes {
public:
    void show(QWidget *owner, const QString &text) override;
};

// Title of every message box of the program.
inline constexpr const char kMessageBoxTitle[] = "OstranUpdater";

}  // namespace updater
