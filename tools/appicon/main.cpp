// Saves the program's icon, as the program itself draws it, into files:
//   <dir>/hicolor/<n>x<n>/apps/vortal9-setup.png for every drawn size, and
//   <dir>/vortal9-setup.ico with all of them (Windows resources and folder).

#include "ui/Program.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageWriter>
#include <QList>
#include <QSaveFile>
#include <QtEndian>

#include <cstdio>

namespace {

constexpr int DirectoryHeaderSize = 6; // reserved, type, count
constexpr int DirectoryEntrySize = 16; // size, colours, planes, bits, length, offset

// One image as Qt's ico writer encodes it: its directory entry and its data.
struct IcoImage
{
    QByteArray entry;
    QByteArray data;
};

bool encodeIco(const QImage &image, IcoImage &out)
{
    QByteArray file;
    QBuffer buffer(&file);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "ico");
    if (!writer.write(image) || file.size() < DirectoryHeaderSize + DirectoryEntrySize)
        return false;
    out.entry = file.mid(DirectoryHeaderSize, DirectoryEntrySize);
    const auto offset = qFromLittleEndian<quint32>(out.entry.constData() + 12);
    out.data = file.mid(offset);
    return true;
}

// An .ico with one directory entry per image, the data in the same order.
QByteArray joinIco(const QList<IcoImage> &images)
{
    QByteArray header(DirectoryHeaderSize, '\0');
    qToLittleEndian<quint16>(1, header.data() + 2);
    qToLittleEndian<quint16>(static_cast<quint16>(images.size()), header.data() + 4);
    QByteArray entries;
    QByteArray data;
    quint32 offset = DirectoryHeaderSize + DirectoryEntrySize * images.size();
    for (const IcoImage &image : images) {
        QByteArray entry = image.entry;
        qToLittleEndian<quint32>(offset + data.size(), entry.data() + 12);
        entries += entry;
        data += image.data;
    }
    return header + entries + data;
}

bool save(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    return true;
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
    const QIcon icon = vortal9::applicationIcon();

    QList<IcoImage> icoImages;
    for (const QSize &size : icon.availableSizes()) {
        const QImage image = icon.pixmap(size).toImage();
        const QString dir = QStringLiteral("hicolor/%1x%2/apps").arg(size.width()).arg(size.height());
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        IcoImage ico;
        if (!outDir.mkpath(dir) || !image.save(&buffer, "PNG")
            || !save(outDir.filePath(dir + QStringLiteral("/vortal9-setup.png")), png) || !encodeIco(image, ico)) {
            std::fprintf(stderr, "cannot write the %dx%d icon\n", size.width(), size.height());
            return 1;
        }
        icoImages.append(ico);
    }
    if (icoImages.isEmpty())
        return 1;
    return save(outDir.filePath(QStringLiteral("vortal9-setup.ico")), joinIco(icoImages)) ? 0 : 1;
}
