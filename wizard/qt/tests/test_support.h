// SPDX-License-Identifier: MIT
// Helpers shared by the Qt face's tests: a message-box recorder, the windows
// on screen, and waiting for a window that a test opens with exec(). The
// scripted libraries, the exit recorder and the image folder are the core's
// (fakes.h).
#pragma once

#include <QApplication>
#include <QString>
#include <QStringList>
#include <functional>

#include "fakes.h"
#include "message_boxes.h"

namespace wizard::testing {

// Message boxes that record their texts and details instead of showing, and
// run `onShow` (if set) at the moment a box would be on screen.
class RecordingMessageBoxes : public MessageBoxes {
public:
    void show(QWidget *owner, const QString &text, const QString &details) override;
    QStringList texts;
    QStringList details;
    std::function<void()> onShow;
};

// The scripted library's calls so far.
QStringList libraryCalls();

// Top-level widgets that still exist (a test that leaves one has leaked it).
QStringList liveTopLevelWidgets();

// The modal or popup window on screen now, or null.
QWidget *activeModal();

// Runs `action` from the event loop as soon as `ready()` holds (checked
// every 10 ms): for windows that a test opens with exec().
void whenReady(std::function<bool()> ready, std::function<void()> action);

}  // namespace wizard::testing
