// SPDX-License-Identifier: MIT
// ostran_screenshots OUTPUT_DIR
// Renders the program's screens, each in a plain window frame with its
// title, as PNG files: the three wizard pages, the update dialog Ready,
// Running, Done and Failed, and the About box. The update runs against a
// scripted stand-in for the libraries, so no projector is needed. Run with
// QT_QPA_PLATFORM=offscreen (tools/render-screenshots.sh does).
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cstdio>

#include "about_dialog.h"
#include "message_boxes.h"
#include "resource_ids.h"
#include "template_builder.h"
#include "update_dialog.h"
#include "update_wiz.h"

using namespace wizard;

namespace {

constexpr uint32_t kImageLength = 2097152;
std::atomic<bool> holdLoad{false};
std::atomic<int32_t> loadResult{0};

// A projector that answers at once: the erase reports every sector, the
// download reports half the image and (while holdLoad is set) waits there.
const update_sequence::UpdateLibrary kScriptedLibrary{
    [] { return int32_t{0}; },
    [] { return int32_t{0}; },
    [](uint32_t) { return int32_t{0}; },
    [](const char *, uint32_t, uint32_t, ProgressCallback onErased, ProgressCallback onProgrammed) {
        for (uint32_t sector = 0x4000; sector < kImageLength;
             sector = sector < 0x10000 ? sector + (sector < 0x8000 ? 0x2000 : 0x8000) : sector + 0x10000) {
            onErased(sector, 0);
        }
        const uint32_t half = loadResult == 0 ? kImageLength / 2 : 3 * kImageLength / 4;
        for (uint32_t done = 4096; done <= half; done += 4096) onProgrammed(done, kImageLength - 0x4000 - done);
        while (holdLoad) QThread::msleep(5);
        if (loadResult == 0) onProgrammed(kImageLength - 0x4000, 0);
        return loadResult.load();
    },
    [](int32_t) { return int32_t{0}; },
};

class SilentMessageBoxes : public MessageBoxes {
public:
    void show(QWidget *, const QString &, const QString &) override {}
};

// The window's contents in a simple frame: border, title bar with icon,
// title and close box.
QImage framed(QWidget &window) {
    const QPixmap contents = window.grab();
    constexpr int kTitle = 24;
    QImage image(contents.width() + 2, contents.height() + kTitle + 1, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(image.rect(), QColor(0x50, 0x50, 0x50));
    QLinearGradient title(0, 0, image.width(), 0);
    title.setColorAt(0, QColor(0x1f, 0x3d, 0x7a));
    title.setColorAt(1, QColor(0x5a, 0x7f, 0xbf));
    painter.fillRect(QRect(1, 1, image.width() - 2, kTitle - 1), title);
    int textX = 8;
    if (!window.windowIcon().isNull()) {
        painter.drawPixmap(6, 4, window.windowIcon().pixmap(16, 16));
        textX = 28;
    }
    QFont font = window.font();
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(textX, 1, image.width() - textX - 30, kTitle - 1), Qt::AlignVCenter, window.windowTitle());
    painter.drawText(QRect(image.width() - 26, 1, 22, kTitle - 1), Qt::AlignCenter, QStringLiteral("\u2715"));
    painter.drawPixmap(1, kTitle, contents);
    return image;
}

bool save(QWidget &window, const QString &directory, const char *name) {
    QCoreApplication::processEvents();
    const QString path = QDir(directory).filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
    if (!framed(window).save(path)) {
        std::fprintf(stderr, "ostran_screenshots: can't write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s\n", qPrintable(path));
    return true;
}

// Waits, running the event loop, until `ready` holds.
template <typename Ready>
void waitFor(Ready ready) {
    while (!ready()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
}

QString labelText(const QWidget &dialog, int id) { return control<QLabel>(dialog, id)->text(); }

bool renderWizard(const QString &out) {
    UpdateWiz wizard(QStringLiteral("Update Wizard"), nullptr, 0);
    wizard.CreatePages();
    wizard.Create();
    wizard.show();
    bool ok = save(wizard, out, "wizard-page1");
    wizard.button(kIdNext)->click();
    ok = save(wizard, out, "wizard-page2") && ok;
    wizard.button(kIdNext)->click();
    ok = save(wizard, out, "wizard-page4") && ok;
    wizard.hide();
    return ok;
}

bool renderUpdate(const QString &out, bool fail) {
    SilentMessageBoxes boxes;
    std::string imageFileName;
    UpdateDialog dialog(imageFileName, kScriptedLibrary, boxes);
    dialog.show();
    bool ok = fail || save(dialog, out, "update-ready");
    holdLoad = true;
    loadResult = fail ? 1 : 0;
    control<QPushButton>(dialog, kIdUpdateButton)->click();
    const QString target = QString::number(fail ? 3 * kImageLength / 4 : kImageLength / 2);
    waitFor([&] { return labelText(dialog, kIdBytes) == target; });
    if (!fail) ok = save(dialog, out, "update-running") && ok;
    holdLoad = false;
    waitFor([&] { return !dialog.updateRunning(); });
    ok = save(dialog, out, fail ? "update-failed" : "update-done") && ok;
    dialog.hide();
    return ok;
}

}  // namespace

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: ostran_screenshots OUTPUT_DIR\n");
        return 2;
    }
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(out);

    // The dialog measures the image in the current directory.
    QTemporaryDir work;
    QFile image(work.filePath(QStringLiteral("tz4817.img")));
    if (!image.open(QIODevice::WriteOnly) || !image.resize(kImageLength)) return 1;
    image.close();
    QDir::setCurrent(work.path());

    bool ok = renderWizard(out);
    ok = renderUpdate(out, false) && ok;
    ok = renderUpdate(out, true) && ok;
    AboutDialog about;
    about.show();
    ok = save(about, out, "about") && ok;
    about.hide();
    QDir::setCurrent(QDir::rootPath());
    return ok ? 0 : 1;
}
