// Draws one key picture per entry of the legend table and writes it as
// <NAME>.ico into the directory given on the command line.

#include "keyboard/PictureLegends.h"

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

#include <cstdio>

namespace {

constexpr int IconSize = 32;

QImage drawKey(const QString &legend)
{
    QImage image(IconSize, IconSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    font.setPixelSize(22);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(image.rect(), Qt::AlignCenter, legend);
    painter.end();
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    const QDir outDir(QString::fromLocal8Bit(argv[1]));
    if (!outDir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    int failures = 0;
    for (const vortal9::keyboard::PictureLegend &picture : vortal9::keyboard::pictureLegends()) {
        const QString path = outDir.filePath(picture.name + QStringLiteral(".ico"));
        QImageWriter writer(path, "ico");
        if (!writer.write(drawKey(picture.legend))) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(writer.errorString()));
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
