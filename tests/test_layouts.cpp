// Country layout tables and key-picture legends.

#include "keyboard/Layouts.h"
#include "keyboard/PictureLegends.h"

#include <gtest/gtest.h>

#include <QSet>

#include <optional>
#include <ostream>
#include <vector>

void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

using namespace vortal9::keyboard;

enum { US, German, French, UK, Spanish, Italian, Dutch, Portuguese, Swedish, Danish };

struct Load
{
    int key;
    QString picture;
};

std::vector<Load> chainLoads(int country, int state)
{
    std::vector<Load> loads;
    runLayoutChain(country, state, [&loads](int key, const QString &picture) {
        loads.push_back({key, picture});
    });
    return loads;
}

// ---------------------------------------------------------------- pictures per key

struct KeyCase
{
    const char *name;
    int country;
    int state;
    int key;
    const char *picture;
};

class KeyPicture : public ::testing::TestWithParam<KeyCase>
{
};

TEST_P(KeyPicture, ShowsExpectedPicture)
{
    const KeyCase &c = GetParam();
    const std::optional<QString> &shown = resolvedLayout(c.country, c.state)[c.key];
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(*shown, QString::fromLatin1(c.picture));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, KeyPicture,
    ::testing::Values(
        KeyCase{"US_key0", US, 0, 0, "0E1"},
        KeyCase{"US_key42_extraKey", US, 0, 42, "611"},
        KeyCase{"US_key52", US, 0, 52, "4A1"},
        KeyCase{"US_shift_key1", US, 1, 1, "162"},
        KeyCase{"US_shift_key29", US, 1, 29, "1C2"},
        KeyCase{"German_key20_swappedY", German, 0, 20, "1A1"},
        KeyCase{"German_key43_swappedZ", German, 0, 43, "351"},
        KeyCase{"German_key0_circumflex", German, 0, 0, "362"},
        KeyCase{"German_key1_keepsUS", German, 0, 1, "161"},
        KeyCase{"German_shift_key3_lowerCaseName", German, 1, 3, "f4a2"},
        KeyCase{"Danish_key38", Danish, 0, 38, "DA4C1"},
        KeyCase{"Danish_key39", Danish, 0, 39, "DA521"},
        KeyCase{"Danish_key0_overridesSwedish", Danish, 0, 0, "D2E3"},
        KeyCase{"Danish_key12_fromSwedish", Danish, 0, 12, "G551"},
        KeyCase{"Danish_key25_fromSwedish", Danish, 0, 25, "D543"},
        KeyCase{"Italian_shift_key2_fromUK", Italian, 1, 2, "522"},
        KeyCase{"Italian_shift_key0_overridesUK", Italian, 1, 0, "5D2"},
        KeyCase{"Spanish_key12_lowerCaseName", Spanish, 0, 12, "s551"},
        KeyCase{"Spanish_altgr_key17_fromGerman", Spanish, 2, 17, "F243"},
        KeyCase{"Portuguese_shift_key2_fromUKviaItalian", Portuguese, 1, 2, "522"},
        KeyCase{"Dutch_altgr_key25_blanked", Dutch, 2, 25, ""},
        KeyCase{"Swedish_altgr_key4_fromPortuguese", Swedish, 2, 4, "F4A2"}),
    [](const ::testing::TestParamInfo<KeyCase> &info) { return std::string(info.param.name); });

TEST(Layouts, Key57CaptionIsAltOnlyForUS)
{
    EXPECT_EQ(key57Caption(US), QStringLiteral("Alt"));
    for (int country = German; country <= Danish; ++country)
        EXPECT_EQ(key57Caption(country), QStringLiteral("Alt Gr")) << country;
}

TEST(Layouts, CountryNamesInListOrder)
{
    EXPECT_EQ(countryNames(),
              (QStringList{"U.S.", "German", "French/Belgian", "U.K. English", "Spanish",
                           "Italian", "Dutch", "Portuguese", "Swedish/Finland", "Danish"}));
}

TEST(Layouts, GermanAltGrShowsExactlyTwelvePictures)
{
    const QSet<int> withPicture{2, 3, 7, 8, 9, 10, 11, 15, 17, 26, 42, 49};
    const ResolvedLayout &layout = resolvedLayout(German, 2);
    int blanks = 0;
    for (int key = 0; key < KeyCount; ++key) {
        if (!isCharacterKey(key))
            continue;
        ASSERT_TRUE(layout[key].has_value()) << "key " << key;
        EXPECT_EQ(!layout[key]->isEmpty(), withPicture.contains(key)) << "key " << key;
        if (layout[key]->isEmpty())
            ++blanks;
    }
    EXPECT_EQ(blanks, 36);
}

TEST(Layouts, USCharacterKeysShowTheirScanCodesInIndexOrder)
{
    // The 48 character keys, in index order, and their set-2 make codes.
    const char *codes[] = {"0E", "16", "1E", "26", "25", "2E", "36", "3D", "3E", "46", "45", "4E",
                           "55", "15", "1D", "24", "2D", "2C", "35", "3C", "43", "44", "4D", "54",
                           "5B", "5D", "1C", "1B", "23", "2B", "34", "33", "3B", "42", "4B", "4C",
                           "52", "61", "1A", "22", "21", "2A", "32", "31", "3A", "41", "49", "4A"};
    int next = 0;
    for (int key = 0; key < KeyCount; ++key) {
        if (!isCharacterKey(key)) {
            EXPECT_FALSE(resolvedLayout(US, 0)[key].has_value()) << "key " << key;
            continue;
        }
        ASSERT_LT(next, 48);
        const QString code = QLatin1String(codes[next++]);
        EXPECT_EQ(resolvedLayout(US, 0)[key], code + QLatin1Char('1')) << "key " << key;
        EXPECT_EQ(resolvedLayout(US, 1)[key], code + QLatin1Char('2')) << "key " << key;
    }
    EXPECT_EQ(next, 48);
}

TEST(Layouts, USAltGrLoadsNothing)
{
    EXPECT_TRUE(chainLoads(US, 2).empty());
}

// ---------------------------------------------------------------- the chain itself

struct CountCase
{
    const char *name;
    int country;
    int loads[3];
};

class LoadCount : public ::testing::TestWithParam<CountCase>
{
};

TEST_P(LoadCount, MatchesChainedProcedures)
{
    const CountCase &c = GetParam();
    for (int state = 0; state < 3; ++state)
        EXPECT_EQ(chainLoads(c.country, state).size(), static_cast<size_t>(c.loads[state]))
            << "state " << state;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LoadCount,
    ::testing::Values(CountCase{"US", US, {48, 48, 0}},
                      CountCase{"German", German, {60, 69, 48}},
                      CountCase{"French", French, {75, 75, 69}},
                      CountCase{"UK", UK, {49, 53, 66}},
                      CountCase{"Spanish", Spanish, {69, 79, 67}},
                      CountCase{"Italian", Italian, {58, 70, 76}},
                      CountCase{"Dutch", Dutch, {67, 82, 101}},
                      CountCase{"Portuguese", Portuguese, {76, 77, 58}},
                      CountCase{"Swedish", Swedish, {84, 85, 63}},
                      CountCase{"Danish", Danish, {87, 88, 66}}),
    [](const ::testing::TestParamInfo<CountCase> &info) { return std::string(info.param.name); });

TEST(Layouts, BaseLayoutsLoadFirstAndOwnEntriesWin)
{
    // Every load of Danish key 0, unshifted, down the chain of base layouts:
    // U.S., German, Spanish, Portuguese, Swedish/Finland, Danish.
    QStringList key0;
    for (const Load &l : chainLoads(Danish, 0)) {
        if (l.key == 0)
            key0.append(l.picture);
    }
    EXPECT_EQ(key0, (QStringList{"0E1", "362", "F4E2", "5D1", "F4A2", "D2E3"}));

    // Italian Shift is built on U.K. English Shift, which is built on U.S.
    QStringList italianKey0;
    for (const Load &l : chainLoads(Italian, 1)) {
        if (l.key == 0)
            italianKey0.append(l.picture);
    }
    EXPECT_EQ(italianKey0, (QStringList{"0E2", "U0E1", "5D2"}));
}

TEST(Layouts, ResolvedLayoutIsLastLoadOfTheChain)
{
    for (int country = 0; country < CountryCount; ++country) {
        for (int state = 0; state < 3; ++state) {
            ResolvedLayout replay{};
            for (const Load &l : chainLoads(country, state))
                replay[l.key] = l.picture;
            EXPECT_EQ(resolvedLayout(country, state), replay)
                << countryNames()[country].toStdString() << " state " << state;
        }
    }
}

TEST(Layouts, OnlyCharacterKeysGetPictures)
{
    for (int country = 0; country < CountryCount; ++country) {
        for (int state = 0; state < 3; ++state) {
            for (const Load &l : chainLoads(country, state))
                EXPECT_TRUE(isCharacterKey(l.key)) << country << "/" << state << " key " << l.key;
        }
    }
}

TEST(Layouts, NoKeyTwiceInOwnEntries)
{
    for (int country = 0; country < CountryCount; ++country) {
        for (int state = 0; state < 3; ++state) {
            QSet<int> seen;
            runOwnEntries(country, state, [&](int key, const QString &) {
                EXPECT_FALSE(seen.contains(key)) << country << "/" << state << " key " << key;
                seen.insert(key);
            });
        }
    }
}

TEST(Layouts, AnyOtherStateCountsAsAltGr)
{
    for (int country = 0; country < CountryCount; ++country) {
        for (int state : {-1, 3, 200}) {
            EXPECT_EQ(chainLoads(country, state).size(), chainLoads(country, 2).size());
            EXPECT_EQ(resolvedLayout(country, state), resolvedLayout(country, 2));
        }
    }
}

TEST(Layouts, IndexOutsideTheListLoadsNothing)
{
    for (int country : {-1, 10, 99}) {
        for (int state = 0; state < 3; ++state) {
            EXPECT_TRUE(chainLoads(country, state).empty()) << country;
            for (const std::optional<QString> &key : resolvedLayout(country, state))
                EXPECT_FALSE(key.has_value());
        }
    }
}

// ---------------------------------------------------------------- picture names and legends

TEST(PictureNames, ListedNamesAreExactlyThoseOfTheTables)
{
    QSet<QString> expected;
    const char *codes[] = {"0E", "16", "1E", "26", "25", "2E", "36", "3D", "3E", "46", "45", "4E",
                           "55", "15", "1D", "24", "2D", "2C", "35", "3C", "43", "44", "4D", "54",
                           "5B", "5D", "1C", "1B", "23", "2B", "34", "33", "3B", "42", "4B", "4C",
                           "52", "61", "1A", "22", "21", "2A", "32", "31", "3A", "41", "49", "4A"};
    for (const char *code : codes) {
        expected.insert(QLatin1String(code) + QLatin1Char('1'));
        expected.insert(QLatin1String(code) + QLatin1Char('2'));
    }
    for (const char *name :
         {"D1A3", "D1B3", "D213", "D223", "D253", "D2D3", "D2E3", "D363", "D4C2", "D4C3",
          "D543", "DA4C1", "DA4C2", "DA521", "DA522", "F0E2", "F1E1", "F243", "F3D1", "F451",
          "F461", "F4A2", "F4E2", "F521", "F5B2", "F5B3", "F5D2", "G541", "G542", "G551",
          "I4C1", "I521", "I551", "S4C1", "S4C2", "S4C3", "S522", "S542", "S552", "S5D2",
          "S5D3", "U0E1", "U1C3", "U3C3", "U433", "U443", "f4a2", "s551"})
        expected.insert(QLatin1String(name));

    const QStringList names = allPictureNames();
    EXPECT_EQ(names.size(), 144);
    EXPECT_EQ(QSet<QString>(names.begin(), names.end()), expected);

    QSet<QString> files;
    for (const QString &n : names)
        files.insert(n.toUpper());
    EXPECT_EQ(files.size(), 143);
}

TEST(PictureLegends, OneEntryPerFileSortedAndUpperCase)
{
    const QList<PictureLegend> &legends = pictureLegends();
    ASSERT_EQ(legends.size(), 143);
    QSet<QString> files;
    for (const QString &n : allPictureNames())
        files.insert(n.toUpper());
    QSet<QString> names;
    for (qsizetype i = 0; i < legends.size(); ++i) {
        const PictureLegend &p = legends[i];
        EXPECT_EQ(p.name, p.name.toUpper());
        EXPECT_TRUE(files.contains(p.name)) << p.name.toStdString();
        names.insert(p.name);
        if (i > 0) {
            EXPECT_LT(legends[i - 1].name, p.name);
        }
        EXPECT_EQ(p.legend.size(), 1) << p.name.toStdString();
        EXPECT_FALSE(p.note.isEmpty()) << p.name.toStdString();
    }
    EXPECT_EQ(names.size(), 143);
}

TEST(PictureLegends, EveryLoadedPictureHasALegend)
{
    for (int country = 0; country < CountryCount; ++country) {
        for (int state = 0; state < 3; ++state) {
            for (const Load &l : chainLoads(country, state)) {
                if (!l.picture.isEmpty()) {
                    EXPECT_FALSE(legendFor(l.picture).isEmpty()) << l.picture.toStdString();
                }
            }
        }
    }
}

TEST(PictureLegends, LookupIgnoresCase)
{
    EXPECT_EQ(legendFor("f4a2"), legendFor("F4A2"));
    EXPECT_EQ(legendFor("F4A2"), QStringLiteral("\u00A7"));
    EXPECT_EQ(legendFor("s551"), QStringLiteral("\u00A1"));
    EXPECT_EQ(legendFor("da4c1"), QStringLiteral("\u00E6"));
    EXPECT_EQ(legendFor("0e1"), QStringLiteral("`"));
    EXPECT_TRUE(legendFor("XYZ1").isEmpty());
    EXPECT_TRUE(legendFor("").isEmpty());
}

TEST(PictureLegends, USLettersAreLowerCaseUnshiftedAndCapitalShifted)
{
    for (const QString &name : allPictureNames()) {
        if (name.size() != 3 || !name.endsWith(QLatin1Char('1')))
            continue;
        const QString unshifted = legendFor(name);
        const QString shifted = legendFor(name.left(2) + QLatin1Char('2'));
        if (unshifted[0].isLetter()) {
            EXPECT_TRUE(unshifted[0].isLower()) << name.toStdString();
            EXPECT_EQ(shifted, unshifted.toUpper()) << name.toStdString();
        } else {
            EXPECT_NE(shifted, unshifted) << name.toStdString();
        }
    }
}

TEST(PictureLegends, OnlyTheExtraKeyRepeatsAnotherUSLegend)
{
    // The extra key left of Z is drawn like the backslash key; every other
    // U.S. picture shows its own glyph.
    QHash<QString, QStringList> byLegend;
    for (const PictureLegend &p : pictureLegends()) {
        if (p.name.size() == 3)
            byLegend[p.legend].append(p.name);
    }
    for (auto it = byLegend.cbegin(); it != byLegend.cend(); ++it) {
        QStringList names = it.value();
        names.sort();
        if (it.key() == QLatin1String("\\"))
            EXPECT_EQ(names, (QStringList{"5D1", "611"}));
        else if (it.key() == QLatin1String("|"))
            EXPECT_EQ(names, (QStringList{"5D2", "612"}));
        else
            EXPECT_EQ(names.size(), 1) << it.key().toStdString();
    }
}

TEST(PictureLegends, NationalPicturesDrawDistinctGlyphs)
{
    QHash<QString, QString> seen;
    for (const PictureLegend &p : pictureLegends()) {
        if (p.name.size() == 3)
            continue;
        EXPECT_FALSE(seen.contains(p.legend))
            << p.name.toStdString() << " and " << seen.value(p.legend).toStdString();
        seen.insert(p.legend, p.name);
    }
    EXPECT_EQ(seen.size(), 47);
}

// A few keys whose national glyph is unambiguous, checked through the whole
// path: layout table, then picture, then legend.
struct GlyphCase
{
    const char *name;
    int country;
    int state;
    int key;
    const char *glyph;
};

class ShownGlyph : public ::testing::TestWithParam<GlyphCase>
{
};

TEST_P(ShownGlyph, MatchesNationalKeyboard)
{
    const GlyphCase &c = GetParam();
    const std::optional<QString> &picture = resolvedLayout(c.country, c.state)[c.key];
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(legendFor(*picture), QString::fromUtf8(c.glyph)) << picture->toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Legends, ShownGlyph,
    ::testing::Values(GlyphCase{"German_sharpS", German, 0, 11, "\u00DF"},
                      GlyphCase{"German_deadAcute", German, 0, 12, "\u00B4"},
                      GlyphCase{"German_shift3_section", German, 1, 3, "\u00A7"},
                      GlyphCase{"German_altgrE_euro", German, 2, 17, "\u20AC"},
                      GlyphCase{"German_altgrM_micro", German, 2, 49, "\u00B5"},
                      GlyphCase{"UK_shift3_pound", UK, 1, 3, "\u00A3"},
                      GlyphCase{"UK_shiftGrave_not", UK, 1, 0, "\u00AC"},
                      GlyphCase{"UK_altgrA", UK, 2, 29, "\u00E1"},
                      GlyphCase{"Spanish_ntilde", Spanish, 0, 38, "\u00F1"},
                      GlyphCase{"Spanish_shift12_question", Spanish, 1, 12, "\u00BF"},
                      GlyphCase{"Italian_ograve", Italian, 0, 38, "\u00F2"},
                      GlyphCase{"Italian_shift_ccedil", Italian, 1, 38, "\u00E7"},
                      GlyphCase{"Dutch_altgrC_cent", Dutch, 2, 45, "\u00A2"},
                      GlyphCase{"Portuguese_guillemet", Portuguese, 0, 12, "\u00AB"},
                      GlyphCase{"Swedish_aring", Swedish, 0, 25, "\u00E5"},
                      GlyphCase{"Swedish_shift4_currency", Swedish, 1, 4, "\u00A4"},
                      GlyphCase{"Danish_oslash", Danish, 0, 39, "\u00F8"},
                      GlyphCase{"Danish_shift_AE", Danish, 1, 38, "\u00C6"}),
    [](const ::testing::TestParamInfo<GlyphCase> &info) { return std::string(info.param.name); });

} // namespace
