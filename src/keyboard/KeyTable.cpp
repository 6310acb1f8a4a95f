#include "keyboard/KeyTable.h"

namespace vortal9::keyboard {

namespace {

constexpr int KeyHeight = 375;

// Make codes of the keys in index order; "" for Tab and Caps, "S" for the
// Shift keys and "A" for right Alt, which are handled by their own rules.
constexpr const char *MakeCodes[59] = {
    "0E", "16", "1E", "26", "25", "2E", "36", "3D", "3E", "46", "45", "4E", "55", "66",
    "", "15", "1D", "24", "2D", "2C", "35", "3C", "43", "44", "4D", "54", "5B", "5D",
    "", "1C", "1B", "23", "2B", "34", "33", "3B", "42", "4B", "4C", "52", "5A",
    "S", "61", "1A", "22", "21", "2A", "32", "31", "3A", "41", "49", "4A", "S",
    "14", "11", "29", "A", "E014",
};

QString strokeOf(const QString &make)
{
    // A press and release: make, then F0 and the make again. For an extended
    // key this writes the break F0, E0, code ("E014F0E014").
    return make + QLatin1String("F0") + make;
}

QRect geometryOf(int i)
{
    auto key = [](int left, int top, int width) { return QRect(left, top, width, KeyHeight); };
    if (i <= 12)
        return key(120 + 480 * i, 240, 495);
    if (i == 13)
        return key(6360, 240, 855);
    if (i == 14)
        return key(120, 600, 855);
    if (i <= 27)
        return key(960 + 480 * (i - 15), 600, 495);
    if (i == 28)
        return key(120, 960, 975);
    if (i <= 39)
        return key(1080 + 480 * (i - 29), 960, 495);
    if (i == 40)
        return key(6360, 960, 855);
    if (i == 41)
        return key(120, 1320, 855);
    if (i <= 52)
        return key(960 + 480 * (i - 42), 1320, 495);
    if (i == 53)
        return key(6240, 1320, 975);
    switch (i) {
    case 54: return key(120, 1680, 1095);
    case 55: return key(1200, 1680, 1095);
    case 56: return key(2280, 1680, 3015);
    case 57: return key(5280, 1680, 1095);
    default: return key(6360, 1680, 855);
    }
}

QString captionOf(int i)
{
    switch (i) {
    case 13: return QStringLiteral("BackSp");
    case 14: return QStringLiteral("Tab");
    case 28: return QStringLiteral("Caps");
    case 40: return QStringLiteral("Enter");
    case 41:
    case 53: return QStringLiteral("Shift");
    case 54:
    case 58: return QStringLiteral("Ctrl");
    case 55:
    case 57: return QStringLiteral("Alt");
    default: return {};
    }
}

std::array<KeyInfo, 59> buildTable()
{
    std::array<KeyInfo, 59> table;
    for (int i = 0; i < 59; ++i) {
        const QString make = QString::fromLatin1(MakeCodes[i]);
        KeyInfo info{KeyKind::Ordinary, {}, captionOf(i), geometryOf(i)};
        if (make.isEmpty())
            info.kind = KeyKind::Inactive;
        else if (make == QLatin1String("S"))
            info.kind = KeyKind::Shift;
        else if (make == QLatin1String("A"))
            info.kind = KeyKind::RightAlt;
        else
            info.scanString = strokeOf(make);
        table[i] = info;
    }
    return table;
}

} // namespace

const std::array<KeyInfo, 59> &keyTable()
{
    static const std::array<KeyInfo, 59> table = buildTable();
    return table;
}

} // namespace vortal9::keyboard
