// Draws the on-screen keyboard of all ten countries in the unshifted, Shift
// and Alt Gr states onto one sheet, using the layout tables and the drawn key
// pictures, so the legends can be reviewed at a glance.
//
//   vortal9-contactsheet <icon directory> <output.png>

#include "keyboard/KeyTable.h"
#include "keyboard/Layouts.h"

#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QPainter>

#include <cstdio>

using namespace vortal9::keyboard;

namespace {

constexpr int Scale = 2;            // sheet pixels per screen pixel
constexpr int TwipsPerPixel = 15;
constexpr int FrameWidth = 7335;    // twips: rightmost key edge plus margin
constexpr int FrameHeight = 2175;   // twips: bottom row plus margin
constexpr int LabelHeight = 34;
constexpr int Gap = 24;

const QColor ButtonFace(0xf0, 0xf0, 0xf0);
const QColor LatchedFace(0xab, 0xab, 0xab);
const QColor Edge(0x70, 0x70, 0x70);

QRect toSheet(const QRect &twips)
{
    auto px = [](int t) { return t * Scale / TwipsPerPixel; };
    return QRect(px(twips.left()), px(twips.top()), px(twips.width()), px(twips.height()));
}

// Icons by upper-case picture name: names are matched without regard to case.
QHash<QString, QImage> loadIcons(const QDir &dir)
{
    QHash<QString, QImage> icons;
    const QStringList files = dir.entryList({QStringLiteral("*.ico"), QStringLiteral("*.ICO")},
                                            QDir::Files);
    for (const QString &file : files) {
        const QImage image(dir.filePath(file));
        if (!image.isNull())
            icons.insert(QFileInfo(file).completeBaseName().toUpper(), image);
    }
    return icons;
}

bool isLatched(int key, int state)
{
    return (state == 1 && (key == ShiftLeftKey || key == ShiftRightKey))
        || (state == 2 && key == RightAltKey);
}

// One keyboard: returns the number of pictures that could not be found.
int drawKeyboard(QPainter &p, const QPoint &origin, int country, int state,
                 const QHash<QString, QImage> &icons)
{
    int missing = 0;
    const ResolvedLayout &layout = resolvedLayout(country, state);
    QFont captionFont(QStringLiteral("DejaVu Sans"));
    captionFont.setPixelSize(11 * Scale / 2 + 2);

    for (int key = 0; key < KeyCount; ++key) {
        const KeyInfo &info = keyTable()[key];
        const QRect r = toSheet(info.twips).translated(origin);
        p.setPen(Edge);
        p.setBrush(isLatched(key, state) ? LatchedFace : ButtonFace);
        p.drawRect(r.adjusted(0, 0, -1, -1));

        if (isCharacterKey(key)) {
            const std::optional<QString> &picture = layout[key];
            if (!picture || picture->isEmpty())
                continue;
            const QImage icon = icons.value(picture->toUpper());
            if (icon.isNull()) {
                std::fprintf(stderr, "missing picture %s\n", qPrintable(*picture));
                ++missing;
                continue;
            }
            const int side = r.height() - 4;
            const QRect target(r.center().x() - side / 2 + 1, r.top() + 2, side, side);
            p.drawImage(target, icon);
            continue;
        }
        const QString caption = key == RightAltKey ? key57Caption(country) : info.caption;
        p.setFont(captionFont);
        p.setPen(Qt::black);
        p.drawText(r, Qt::AlignCenter, caption);
    }
    return missing;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <icon directory> <output.png>\n", argv[0]);
        return 2;
    }
    const QHash<QString, QImage> icons = loadIcons(QDir(QString::fromLocal8Bit(argv[1])));
    if (icons.isEmpty()) {
        std::fprintf(stderr, "no .ico files in %s\n", argv[1]);
        return 1;
    }

    const QSize panel(FrameWidth * Scale / TwipsPerPixel, FrameHeight * Scale / TwipsPerPixel);
    const int cellWidth = panel.width() + Gap;
    const int cellHeight = LabelHeight + panel.height() + Gap;
    QImage sheet(Gap + 3 * cellWidth, Gap + CountryCount * cellHeight, QImage::Format_RGB32);
    sheet.fill(Qt::white);

    const QStringList countries = countryNames();
    const QString stateNames[3] = {QStringLiteral("unshifted"), QStringLiteral("Shift"),
                                   QStringLiteral("Alt Gr")};
    QFont labelFont(QStringLiteral("DejaVu Sans"));
    labelFont.setPixelSize(20);
    labelFont.setBold(true);

    QPainter p(&sheet);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setRenderHint(QPainter::TextAntialiasing);
    int missing = 0;
    for (int country = 0; country < CountryCount; ++country) {
        for (int state = 0; state < 3; ++state) {
            const QPoint cell(Gap + state * cellWidth, Gap + country * cellHeight);
            p.setFont(labelFont);
            p.setPen(Qt::black);
            p.drawText(QRect(cell, QSize(panel.width(), LabelHeight)),
                       Qt::AlignLeft | Qt::AlignVCenter,
                       countries[country] + QStringLiteral(" \u2014 ") + stateNames[state]);
            const QRect frame(cell + QPoint(0, LabelHeight), panel);
            p.setPen(QColor(0xc0, 0xc0, 0xc0));
            p.setBrush(QColor(0xfa, 0xfa, 0xfa));
            p.drawRect(frame.adjusted(0, 0, -1, -1));
            missing += drawKeyboard(p, frame.topLeft(), country, state, icons);
        }
    }
    p.end();

    // Few colours: an indexed image keeps the file small.
    const QImage out = sheet.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
    if (!out.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return missing == 0 ? 0 : 1;
}
