// SPDX-License-Identifier: MIT
// bitmap_convert IN.png OUT WIDTH HEIGHT
// Writes the rendered picture IN.png as the resource the program embeds:
// OUT ending in .bmp becomes a 24-bit BMP (no alpha, on white), OUT ending
// in .png a 256-colour PNG (the icon). Fails when IN is not WIDTH x HEIGHT.
#include <QImage>
#include <QPainter>
#include <cstdio>

int main(int argc, char *argv[]) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: bitmap_convert IN.png OUT WIDTH HEIGHT\n");
        return 2;
    }
    const QString in = QString::fromLocal8Bit(argv[1]);
    const QString out = QString::fromLocal8Bit(argv[2]);
    const QSize size(std::atoi(argv[3]), std::atoi(argv[4]));

    QImage image(in);
    if (image.isNull()) {
        std::fprintf(stderr, "bitmap_convert: can't read %s\n", argv[1]);
        return 1;
    }
    if (image.size() != size) {
        std::fprintf(stderr, "bitmap_convert: %s is %dx%d, not %dx%d\n", argv[1], image.width(), image.height(),
                     size.width(), size.height());
        return 1;
    }
    bool written = false;
    if (out.endsWith(QLatin1String(".bmp"))) {
        QImage flat(size, QImage::Format_RGB888);
        flat.fill(Qt::white);
        QPainter(&flat).drawImage(0, 0, image);
        written = flat.save(out, "BMP");
    } else {
        const QImage indexed = image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdAlphaDither);
        written = indexed.save(out, "PNG");
    }
    if (!written) {
        std::fprintf(stderr, "bitmap_convert: can't write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
