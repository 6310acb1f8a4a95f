#include "keyboard/PictureLegends.h"

#include "keyboard/KeyTable.h"
#include "keyboard/Layouts.h"

#include <QHash>
#include <QMap>

#include <algorithm>

namespace vortal9::keyboard {

namespace {

// U.S. legends of the 48 character keys, by scan code: unshifted, Shift.
// Letters show lower case unshifted and capitals with Shift, as the keys
// type them. Code 61 is the extra key left of Z, shown with the legends of
// the backslash key.
struct UsKey
{
    const char *code;
    const char *unshifted;
    const char *shifted;
};

constexpr UsKey UsKeys[] = {
    {"0E", "`", "~"}, {"16", "1", "!"}, {"1E", "2", "@"}, {"26", "3", "#"},
    {"25", "4", "$"}, {"2E", "5", "%"}, {"36", "6", "^"}, {"3D", "7", "&"},
    {"3E", "8", "*"}, {"46", "9", "("}, {"45", "0", ")"}, {"4E", "-", "_"},
    {"55", "=", "+"}, {"15", "q", "Q"}, {"1D", "w", "W"}, {"24", "e", "E"},
    {"2D", "r", "R"}, {"2C", "t", "T"}, {"35", "y", "Y"}, {"3C", "u", "U"},
    {"43", "i", "I"}, {"44", "o", "O"}, {"4D", "p", "P"}, {"54", "[", "{"},
    {"5B", "]", "}"}, {"5D", "\\", "|"}, {"1C", "a", "A"}, {"1B", "s", "S"},
    {"23", "d", "D"}, {"2B", "f", "F"}, {"34", "g", "G"}, {"33", "h", "H"},
    {"3B", "j", "J"}, {"42", "k", "K"}, {"4B", "l", "L"}, {"4C", ";", ":"},
    {"52", "'", "\""}, {"61", "\\", "|"}, {"1A", "z", "Z"}, {"22", "x", "X"},
    {"21", "c", "C"}, {"2A", "v", "V"}, {"32", "b", "B"}, {"31", "n", "N"},
    {"3A", "m", "M"}, {"41", ",", "<"}, {"49", ".", ">"}, {"4A", "/", "?"},
};

// Where a U.S. picture stands in for a national glyph it lacks, or shows a
// dead key, the remark says so.
struct Remark
{
    const char *name;
    const char *text;
};

constexpr Remark UsRemarks[] = {
    {"0E1", "also the dead grave accent of the national layouts"},
    {"0E2", "also the dead tilde of the national layouts"},
    {"161", "stands for \u00B9 on Dutch Alt Gr key 1"},
    {"1C1", "stands for the feminine ordinal \u00AA on Spanish Shift key 0 and Portuguese "
            "Shift key 39"},
    {"1E1", "stands for \u00B2 on the Alt Gr layers (German, Dutch) and on French Shift key 0"},
    {"261", "stands for \u00B3 on the Alt Gr layers (German, Dutch)"},
    {"362", "also the dead circumflex of the national layouts"},
    {"411", "stands for the dead cedilla \u00B8 on Dutch Alt Gr key 12"},
    {"491", "stands for the middle dot \u00B7 on Spanish Shift key 3 and Dutch Alt Gr key 51"},
    {"4E2", "French key 12 shows the Belgian legend"},
    {"522", "also stands for the dead diaeresis \u00A8 (French unshifted 25, Spanish Shift 39, "
            "Dutch unshifted 25, Portuguese Alt Gr 25, Swedish unshifted 26)"},
    {"5D2", "stands for the broken bar \u00A6 on U.K. Alt Gr key 0 and Dutch Alt Gr key 42"},
    {"611", "the extra key left of Z, shown like the backslash key"},
    {"612", "the extra key left of Z, shown like the backslash key"},
};

// The national pictures: the glyph that the national keyboards show on every
// key where the tables use the picture.
struct National
{
    const char *name;
    const char *legend;
    const char *remark;
};

constexpr National NationalLegends[] = {
    {"D1A3", "\u00AB", "left guillemet"},
    {"D1B3", "\u00DF", "sharp s"},
    {"D213", "\u00A2", "cent sign"},
    {"D223", "\u00BB", "right guillemet"},
    {"D253", "\u00BC", ""},
    {"D2D3", "\u00B6", "pilcrow"},
    {"D2E3", "\u00BD", ""},
    {"D363", "\u00BE", ""},
    {"D4C2", "\u00B1", "Dutch key ; is + \u00B1"},
    {"D4C3", "\u00D6", ""},
    {"D543", "\u00E5", ""},
    {"DA4C1", "\u00E6", ""},
    {"DA4C2", "\u00C6", ""},
    {"DA521", "\u00F8", ""},
    {"DA522", "\u00D8", ""},
    {"F0E2", "\u00B3",
     "the French tables show Shift legends unshifted; the Belgian key left of 1 is \u00B2 "
     "\u00B3 (uncertain)"},
    {"F1E1", "\u00E9", ""},
    {"F243", "\u20AC", "euro sign"},
    {"F3D1", "\u00E8", ""},
    {"F451", "\u00E0", ""},
    {"F461", "\u00E7",
     "Portuguese Shift key 38 is \u00C7 on the real keyboard; every other use is the "
     "lower case \u00E7"},
    {"F4A2", "\u00A7", "section sign; \"f4a2\" is the same file"},
    {"F4E2", "\u00B0",
     "degree sign; Spanish key 0 and Portuguese key 39 really show the masculine ordinal "
     "\u00BA, the majority of uses is \u00B0"},
    {"F521", "\u00F9", ""},
    {"F5B2", "\u00A3", "pound sign"},
    {"F5B3", "\u00A4", "currency sign"},
    {"F5D2", "\u00B5", "micro sign"},
    {"G541", "\u00FC", ""},
    {"G542", "\u00DC", ""},
    {"G551", "\u00B4", "dead acute accent"},
    {"I4C1", "\u00F2", ""},
    {"I521", "\u00E4", "used only for \u00E4 (German, Swedish/Finland, Danish)"},
    {"I551", "\u00EC", ""},
    {"S4C1", "\u00F1", ""},
    {"S4C2", "\u00D1", ""},
    {"S4C3", "\u00F6", "used only for \u00F6 (German, Swedish/Finland)"},
    {"S522", "\u00C4", ""},
    {"S542", "\u00C5", ""},
    {"S551", "\u00A1", "inverted exclamation mark; the tables spell it \"s551\""},
    {"S552", "\u00BF", "inverted question mark"},
    {"S5D2", "*", "the Shift legend of the + * and ' * keys"},
    {"S5D3", "\u00C7", ""},
    {"U0E1", "\u00AC", "not sign"},
    {"U1C3", "\u00E1", ""},
    {"U3C3", "\u00FA", ""},
    {"U433", "\u00ED", ""},
    {"U443", "\u00F3", ""},
};

const char *const StateNames[3] = {"unshifted", "Shift", "Alt Gr"};

// The U.S. unshifted legend of a key, to tell a reader which physical key
// an index is.
QString physicalKey(int key)
{
    if (key == 42)
        return QStringLiteral("left of Z");
    const QString code = keyTable()[key].scanString.left(2);
    for (const UsKey &k : UsKeys) {
        if (code == QLatin1String(k.code))
            return QString::fromUtf8(k.unshifted);
    }
    return {};
}

// "German Shift key 3 (3); Italian Shift key 27 (\)" for every own entry of
// every layout that names the picture.
QMap<QString, QStringList> usesByName()
{
    QMap<QString, QStringList> uses;
    const QStringList countries = countryNames();
    for (int country = 0; country < CountryCount; ++country) {
        for (int state = 0; state < 3; ++state) {
            runOwnEntries(country, state, [&](int key, const QString &picture) {
                if (picture.isEmpty())
                    return;
                uses[picture.toUpper()].append(QStringLiteral("%1 %2 key %3 (%4)")
                                                   .arg(countries[country],
                                                        QLatin1String(StateNames[state]))
                                                   .arg(key)
                                                   .arg(physicalKey(key)));
            });
        }
    }
    return uses;
}

QList<PictureLegend> buildLegends()
{
    const QMap<QString, QStringList> uses = usesByName();
    auto noteFor = [&uses](const QString &name, const QString &remark) {
        QString note = uses.value(name).join(QStringLiteral("; "));
        if (!remark.isEmpty())
            note += QStringLiteral(" \u2014 ") + remark;
        return note;
    };

    QHash<QString, QString> usRemarks;
    for (const Remark &r : UsRemarks)
        usRemarks.insert(QLatin1String(r.name), QString::fromUtf8(r.text));

    QList<PictureLegend> legends;
    for (const UsKey &k : UsKeys) {
        for (int digit = 1; digit <= 2; ++digit) {
            const QString name = QLatin1String(k.code) + QString::number(digit);
            const QString legend = QString::fromUtf8(digit == 1 ? k.unshifted : k.shifted);
            legends.append({name, legend, noteFor(name, usRemarks.value(name))});
        }
    }
    for (const National &n : NationalLegends) {
        const QString name = QLatin1String(n.name);
        legends.append(
            {name, QString::fromUtf8(n.legend), noteFor(name, QString::fromUtf8(n.remark))});
    }
    std::sort(legends.begin(), legends.end(),
              [](const PictureLegend &a, const PictureLegend &b) { return a.name < b.name; });
    return legends;
}

} // namespace

const QList<PictureLegend> &pictureLegends()
{
    static const QList<PictureLegend> legends = buildLegends();
    return legends;
}

QString legendFor(const QString &pictureName)
{
    // Built straight from the two tables: the window names its keys by
    // legend at start-up and needs none of the reviewers' notes.
    static const QHash<QString, QString> byName = [] {
        QHash<QString, QString> map;
        for (const UsKey &k : UsKeys) {
            map.insert(QLatin1String(k.code) + QLatin1Char('1'), QString::fromUtf8(k.unshifted));
            map.insert(QLatin1String(k.code) + QLatin1Char('2'), QString::fromUtf8(k.shifted));
        }
        for (const National &n : NationalLegends)
            map.insert(QString::fromLatin1(n.name).toUpper(), QString::fromUtf8(n.legend));
        return map;
    }();
    return byName.value(pictureName.toUpper());
}

} // namespace vortal9::keyboard
