// SPDX-License-Identifier: MIT
// The dialog templates as the builder makes them: every control of every
// template exists with its id, kind, text and enabled state, at its place.
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "dialog_template.h"
#include "dialog_units.h"
#include "resource_ids.h"
#include "template_builder.h"
#include "test_support.h"

using namespace wizard;

class TemplateTests : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { QCOMPARE(testing::liveTopLevelWidgets(), QStringList()); }

    void controlsExistWithTheirTextsAndStates_data();
    void controlsExistWithTheirTextsAndStates();
    void everyControlOfATemplateIsBuiltAndNamedUniquely_data();
    void everyControlOfATemplateIsBuiltAndNamedUniquely();
    void picturesKeepTheirOwnPixelSize_data();
    void picturesKeepTheirOwnPixelSize();
    void dialogUnitsRoundLikeTheDialogManager();
    void averageCharWidthRoundsTheLetterWidthToNearest();
    void textsFitTheirBoxes();
    void checkBoxesIgnoreClicks();
};

// Kinds as the test knows them.
enum Kind { TextKind, CheckKind, BarKind, ButtonKind, PictureKind };

void TemplateTests::controlsExistWithTheirTextsAndStates_data() {
    QTest::addColumn<int>("dialog");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("alignment");

    auto row = [](int dialog, const char *name, Kind kind, const char *text, bool enabled = true,
                  Qt::Alignment alignment = Qt::AlignLeft) {
        QTest::addRow("%d/%s", dialog, name) << dialog << QString::fromLatin1(name) << int(kind)
                                             << QString::fromLatin1(text) << enabled << int(alignment);
    };
    row(100, "-1.1", PictureKind, "");
    row(100, "-1.2", TextKind, "OstranUpdater Version 1.0");
    row(100, "1", ButtonKind, "OK");

    row(102, "1037", TextKind, "Press the Update button to begin updating the projector", true, Qt::AlignHCenter);
    row(102, "1045", TextKind, "Do NOT interrupt upgrade after it starts!", true, Qt::AlignHCenter);
    row(102, "1041", CheckKind, "", false);
    row(102, "1038", TextKind, "Connecting to the projector");
    row(102, "1042", CheckKind, "", false);
    row(102, "1039", TextKind, "Cleaning projector memory");
    row(102, "1043", CheckKind, "", false);
    row(102, "1040", TextKind, "Downloading upgrade image");
    row(102, "1028", TextKind,
        "NOTE:  Update will take about 3 - 7 minutes.  Please be patient.  Projector will reboot upon completion of "
        "upgrade.");
    row(102, "1032", TextKind, "Number of bytes to download:");
    row(102, "1031", TextKind, "nnn", true, Qt::AlignRight);
    row(102, "1030", BarKind, "");
    row(102, "1033", TextKind, "Bytes:");
    row(102, "1034", TextKind, "nnn", true, Qt::AlignRight);
    row(102, "1035", TextKind, "Percent:");
    row(102, "1036", TextKind, "nnn", true, Qt::AlignRight);
    row(102, "1044", ButtonKind, "Update");

    row(106, "1029", PictureKind, "");
    row(106, "1000", TextKind, "tz4817 Projector Update Program", true, Qt::AlignHCenter);
    row(106, "1001", TextKind,
        "This program helps determine whether the software inside your projector needs to be updated, then helps you "
        "update the software.");

    row(107, "1020", PictureKind, "");
    row(107, "1002", TextKind, "Connecting for software update");
    row(107, "1004", TextKind,
        "1. Connect the 'square' end of the USB cable into the projector.   The location at the back of the projector "
        "is shown in the picture.");
    row(107, "1005", TextKind,
        "2. Connect the 'flat' end of the USB cable to the  PC the software update program is running on.");
    row(107, "1006", TextKind, "3. Click Next below.");

    row(109, "1015", TextKind, "Putting Projector in Update Mode", true, Qt::AlignHCenter);
    row(109, "1018", PictureKind, "");
    row(109, "1004", TextKind, "1. Press the power button to turn off the projector.  Wait for projector to turn off.");
    row(109, "1024", TextKind, "2. Press and hold the enter button.");
    row(109, "1025", TextKind, "3. While holding the enter button, also press and hold the power button.");
    row(109, "1026", TextKind,
        "4. After about 5 to 10 seconds, when both indicator lights turn red, release the buttons.   Do not release "
        "buttons until indicator lights turn red.");
    row(109, "-1.1", TextKind,
        "    If a New Hardware window appears on your screen, follow those instructions. Select the option to search "
        "for a driver, then browse to \\Program Files\\kx\\projector\\tz4817.");
    row(109, "1027", TextKind, "5. Click Next below.");
}

void TemplateTests::controlsExistWithTheirTextsAndStates() {
    QFETCH(int, dialog);
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(QString, text);
    QFETCH(bool, enabled);
    QFETCH(int, alignment);

    QWidget parent;
    buildTemplate(parent, dialogTemplate(dialog));
    QWidget *widget = parent.findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->isEnabled(), enabled);
    switch (kind) {
    case TextKind: {
        auto *label = qobject_cast<QLabel *>(widget);
        QVERIFY(label);
        QCOMPARE(label->text(), text);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(int(label->alignment() & Qt::AlignHorizontal_Mask), alignment);
        break;
    }
    case PictureKind: {
        auto *label = qobject_cast<QLabel *>(widget);
        QVERIFY(label);
        QVERIFY(!label->pixmap().isNull());
        break;
    }
    case CheckKind: {
        auto *box = qobject_cast<QCheckBox *>(widget);
        QVERIFY(box);
        QVERIFY(box->text().isEmpty());
        QVERIFY(!box->isChecked());
        break;
    }
    case BarKind: {
        auto *bar = qobject_cast<QProgressBar *>(widget);
        QVERIFY(bar);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        break;
    }
    case ButtonKind: {
        auto *button = qobject_cast<QPushButton *>(widget);
        QVERIFY(button);
        QCOMPARE(button->text(), text);
        QCOMPARE(button->isDefault(), dialog == 100);  // OK is the About box's default; Update is no default
        break;
    }
    }
}

void TemplateTests::everyControlOfATemplateIsBuiltAndNamedUniquely_data() {
    QTest::addColumn<int>("dialog");
    QTest::addColumn<int>("controls");
    QTest::newRow("about") << 100 << 4;
    QTest::newRow("update") << 102 << 17;
    QTest::newRow("start") << 106 << 3;
    QTest::newRow("connect") << 107 << 5;
    QTest::newRow("address") << 109 << 8;
}

void TemplateTests::everyControlOfATemplateIsBuiltAndNamedUniquely() {
    QFETCH(int, dialog);
    QFETCH(int, controls);
    QWidget parent;
    const DialogUnits units = buildTemplate(parent, dialogTemplate(dialog));
    const QList<QWidget *> children = parent.findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    QCOMPARE(children.size(), controls);
    QSet<QString> names;
    for (QWidget *child : children) {
        names.insert(child->objectName());
        const int id = child->property("controlId").toInt();
        if (id != kUnaddressed) QCOMPARE(child->objectName(), QString::number(id));
    }
    QCOMPARE(names.size(), controls);
    const DialogTemplate &table = dialogTemplate(dialog);
    QCOMPARE(parent.size(), QSize(units.toPixelsX(table.width), units.toPixelsY(table.height)));
    // Controls other than pictures fill their converted boxes.
    int unaddressed = 0;
    for (const ControlTemplate &control : table.controls) {
        const int index = control.id == kUnaddressed ? ++unaddressed : 1;
        if (control.kind == ControlKind::Picture || control.kind == ControlKind::Icon) continue;
        QWidget *widget = parent.findChild<QWidget *>(controlName(control.id, index));
        QVERIFY(widget);
        QCOMPARE(widget->geometry(), units.toPixels(control.x, control.y, control.width, control.height));
    }
}

void TemplateTests::picturesKeepTheirOwnPixelSize_data() {
    QTest::addColumn<int>("dialog");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("cornerUnits");
    QTest::newRow("projector") << 106 << "1029" << QSize(318, 215) << QPoint(7, 7);
    QTest::newRow("rear panel") << 107 << "1020" << QSize(300, 195) << QPoint(17, 21);
    QTest::newRow("control panel") << 109 << "1018" << QSize(318, 211) << QPoint(7, 23);
    QTest::newRow("icon") << 100 << "-1.1" << QSize(32, 32) << QPoint(11, 17);
}

void TemplateTests::picturesKeepTheirOwnPixelSize() {
    QFETCH(int, dialog);
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QFETCH(QPoint, cornerUnits);
    QWidget parent;
    const DialogUnits units = buildTemplate(parent, dialogTemplate(dialog));
    auto *picture = parent.findChild<QLabel *>(name);
    QVERIFY(picture);
    QCOMPARE(picture->pixmap().size(), size);
    QCOMPARE(picture->geometry(),
             QRect(QPoint(units.toPixelsX(cornerUnits.x()), units.toPixelsY(cornerUnits.y())), size));
    if (dialog != 100) QCOMPARE(picture->pixmap().depth(), 32);  // loaded from a 24-bit bitmap: no alpha
    QVERIFY(!picture->pixmap().hasAlphaChannel() || dialog == 100);
}

void TemplateTests::dialogUnitsRoundLikeTheDialogManager() {
    // With base units 6 x 13 a picture box of 212 x 132 units is the 318 x 215
    // bitmap it holds; 7 units are 10.5 and 11.375 pixels, rounded to 11.
    const DialogUnits units(6, 13);
    QCOMPARE(units.toPixels(7, 7, 212, 132), QRect(11, 11, 318, 215));
    QCOMPARE(units.toPixels(1, 1, 2, 4), QRect(2, 2, 3, 7));  // 1.5 -> 2, 1.625 -> 2, 3, 6.5 -> 7
    QCOMPARE(units.toPixelsX(-1), -2);                        // half away from zero
    QCOMPARE(DialogUnits(7, 16).toPixels(4, 8, 0, 0), QRect(7, 16, 0, 0));
}

void TemplateTests::averageCharWidthRoundsTheLetterWidthToNearest() {
    const QFont font = dialogFont("MS Sans Serif", 8);
    const DialogUnits units(font);
    const double exact =
        QFontMetricsF(font).horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
        52.0;
    QVERIFY2(std::abs(units.averageCharWidth() - exact) <= 0.5 + 1.0 / 52, qPrintable(QString::number(exact)));
    QCOMPARE(units.charHeight(), QFontMetrics(font).height());
    QVERIFY(units.averageCharWidth() >= 4 && units.averageCharWidth() <= 9);
}

void TemplateTests::textsFitTheirBoxes() {
    // Every text, wrapped at its box's width, fits the box's height: no line
    // is cut off, whatever sans font stands in for the dialog font.
    for (int dialog : {100, 102, 106, 107, 109}) {
        QWidget parent;
        buildTemplate(parent, dialogTemplate(dialog));
        for (QLabel *label : parent.findChildren<QLabel *>()) {
            if (label->text().isEmpty() || label->text() == QLatin1String("nnn")) continue;
            const QRect needed =
                label->fontMetrics().boundingRect(QRect(0, 0, label->width(), 10000), Qt::TextWordWrap, label->text());
            QVERIFY2(needed.height() <= label->height(), qPrintable(QStringLiteral("%1/%2 needs %3 px, has %4")
                                                                        .arg(dialog)
                                                                        .arg(label->objectName())
                                                                        .arg(needed.height())
                                                                        .arg(label->height())));
        }
    }
}

void TemplateTests::checkBoxesIgnoreClicks() {
    QWidget parent;
    buildTemplate(parent, dialogTemplate(kUpdateDialogTemplate));
    auto *box = wizard::control<QCheckBox>(parent, kIdStage1Check);
    box->setEnabled(true);
    parent.show();
    QTest::mouseClick(box, Qt::LeftButton);
    QVERIFY(!box->isChecked());
    box->setChecked(true);
    QTest::mouseClick(box, Qt::LeftButton);
    QVERIFY(box->isChecked());
}

QTEST_MAIN(TemplateTests)
#include "template_tests.moc"
