// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <QTimer>
#include <QWidget>

namespace wizard::testing {

void RecordingMessageBoxes::show(QWidget * /*owner*/, const QString &text, const QString &detail) {
    texts << text;
    details << detail;
    if (onShow) onShow();
}

QStringList libraryCalls() {
    QStringList calls;
    for (const std::string &call : FakeLibrary::instance().calls()) calls << QString::fromStdString(call);
    return calls;
}

QStringList liveTopLevelWidgets() {
    QStringList names;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        // Menus belong to their window and go with it.
        if (widget->parentWidget()) continue;
        names << QStringLiteral("%1 \"%2\"")
                     .arg(QString::fromLatin1(widget->metaObject()->className()), widget->windowTitle());
    }
    return names;
}

QWidget *activeModal() {
    if (QWidget *popup = QApplication::activePopupWidget()) return popup;
    return QApplication::activeModalWidget();
}

void whenReady(std::function<bool()> ready, std::function<void()> action) {
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, ready = std::move(ready), action = std::move(action)] {
        if (!ready()) return;
        timer->stop();
        timer->deleteLater();
        action();
    });
    timer->start();
}

}  // namespace wizard::testing
