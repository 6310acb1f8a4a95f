// The shape of a swipe: what a technician sees of a card's tracks, and the
// text that --expect-shape takes back; and the masking of tracks in what a
// reader types, however its text is cut into pieces.
#include "card/CardData.h"
#include "card/SwipeShape.h"

#include <gtest/gtest.h>

using vortal9::card::SwipeShape;

namespace {

struct ShapeRow
{
    const char *name;
    QString typed; // as the capture gives it
    QString text; // its shape
};

class SwipeShapeTest : public ::testing::TestWithParam<ShapeRow>
{
};

TEST_P(SwipeShapeTest, KeepsOnlyTheShapeAndReadsItsTextBack)
{
    const SwipeShape shape = SwipeShape::of(GetParam().typed);
    EXPECT_EQ(shape.toText(), GetParam().text);
    const auto back = SwipeShape::parse(shape.toText());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, shape);
    EXPECT_EQ(shape.toJson().value("shape").toString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SwipeShapeTest,
    ::testing::Values(
        ShapeRow{"threeTracksCR", "%B5566^DOE/J^2712?;5566=2712?;015566=77?\n",
                 R"(pre:"" %[5^5^4]? ;[4=4]? ;[6=2]? post:"" term:CR)"},
        ShapeRow{"track2CRLF", ";5566=2712?\r\n", R"(pre:"" ;[4=4]? post:"" term:CRLF)"},
        ShapeRow{"track1Tab", "%B55^X Y^27?\t", R"(pre:"" %[3^3^2]? post:"" term:TAB)"},
        ShapeRow{"preAndPostMasked", "Ab3#;5566=2712?*z9\n", R"(pre:"AA9#" ;[4=4]? post:"*A9" term:CR)"},
        ShapeRow{"quoteAndControlInPre", "\"\\\x1b;1=2?", R"(pre:"\"\\\x1B" ;[1=1]? post:"" term:NONE)"},
        ShapeRow{"noEndSentinel", "%B5566^DOE", R"(pre:"" %[5^3] post:"" term:NONE)"},
        ShapeRow{"noTrackAtAll", "E\n", R"(pre:"A" post:"" term:CR)"},
        ShapeRow{"emptyFields", ";=?\n", R"(pre:"" ;[0=0]? post:"" term:CR)"}),
    [](const auto &info) { return std::string(info.param.name); });

struct MaskRow
{
    const char *name;
    QString pieces; // what the reader typed, the pieces as heard separated by '|'
    QString kept;   // what the masker gave, the pieces joined
};

class TrackMaskerTest : public ::testing::TestWithParam<MaskRow>
{
};

TEST_P(TrackMaskerTest, MasksTracksAndNothingElse)
{
    vortal9::card::TrackMasker masker;
    QString kept;
    for (const QString &piece : GetParam().pieces.split(u'|'))
        kept += masker.feed(piece);
    kept += masker.end();
    EXPECT_EQ(kept.toStdString(), GetParam().kept.toStdString());
    EXPECT_EQ(vortal9::card::maskTracks(QString(GetParam().pieces).remove(u'|')).toStdString(),
              GetParam().kept.toStdString());
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, TrackMaskerTest,
    ::testing::Values(
        MaskRow{"wholeSwipe", "%B12^DOE/J^27?;12=27?\n", "%A99^AAA/A^99?;99=99?\n"},
        MaskRow{"trackAcrossPieces", "%B1|2^DO|E/J^27?;1|2=27?\n", "%A99^AAA/A^99?;99=99?\n"},
        MaskRow{"menuPercentMasksNothing", "1 Preamble: %\n2 Postamble: (none)\n3 Terminator: NONE\n4 Tracks: 23\n",
                "1 Preamble: %\n2 Postamble: (none)\n3 Terminator: NONE\n4 Tracks: 23\n"},
        MaskRow{"menuSemicolonWithLetters", "1 Preamble: ;AB\t> ", "1 Preamble: ;AB\t> "},
        MaskRow{"trackCutByLineEnd", ";4731829\nmenu", ";9999999\nmenu"},
        MaskRow{"trackCutByTheEnd", "> %B4731", "> %A9999"},
        MaskRow{"startNeverHeard", "|829460571938^LEAKTEST^2908?;4731=29?\n", "999999999999^AAAAAAAA^9999?;9999=99?\n"},
        MaskRow{"promptIsNoTrack", "1\nPreamble? |#\nPreamble = #\n> ", "1\nPreamble? #\nPreamble = #\n> "},
        MaskRow{"menuDigitsKept", "VORTAL9 SETUP\n5 Beep: ON\n> 5\nBeep = OFF\n> ",
                "VORTAL9 SETUP\n5 Beep: ON\n> 5\nBeep = OFF\n> "}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SwipeShapeParse, TakesExtraSpacesAndRefusesWhatIsNoShape)
{
    const auto spaced = SwipeShape::parse(R"(  pre:"#"   %[16^22^31]?  ;[16=20]?   post:""  term:CRLF )");
    ASSERT_TRUE(spaced.has_value());
    EXPECT_EQ(spaced->toText(), R"(pre:"#" %[16^22^31]? ;[16=20]? post:"" term:CRLF)");
    for (const char *bad : {"", "pre:\"\" post:\"\"", R"(pre:"" %[16=2]? post:"" term:CR)",
             R"(pre:"" ;[16^2]? post:"" term:CR)", R"(pre:"" %[]? post:"" term:CR)", R"(pre:"" post:"" term:LF)",
             R"(pre:"\q" post:"" term:CR)", R"(pre:"open post:"" term:CR)", R"(pre:"" %[1234567]? post:"" term:CR)",
             R"(pre:"" %[16^22 post:"" term:CR)", R"(pre:"" %[-1]? post:"" term:CR)"}) {
        EXPECT_FALSE(SwipeShape::parse(bad).has_value()) << bad;
    }
}

} // namespace
