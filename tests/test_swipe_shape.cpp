// The shape of a swipe: what a technician sees of a card's tracks, and the
// text that --expect-shape takes back; and what of a reader's typing may be
// kept, decided by its keys and by when it types, however its text is cut
// into pieces and whatever the host's keymap makes of it.
#include "card/CardData.h"
#include "card/SwipeShape.h"
#include "keyboard/UsKeyboard.h"

#include <QStringList>

#include <set>
#include <vector>

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

// How a reader types in a row of the guard's table: a burst that begins
// while an answer is awaited, one that begins while none is, or more of the
// same burst (a report went out meanwhile: another step is answered).
enum class Burst { Answer, NoAnswer, More };

struct Typing
{
    Burst burst;
    int step; // the step answered (-1: none is open)
    QString text;
};

struct GuardRow
{
    const char *name;
    std::vector<Typing> typing;
    QStringList kept;        // each step's answer as kept
    std::set<int> voidSteps; // steps whose answer was dropped
    QString shown;           // what may be shown, in order
    bool french = false;     // the host's keymap is French: the digit row types & é " ' ( - è _ ç à
};

void PrintTo(const GuardRow &row, std::ostream *os)
{
    *os << row.name;
}

// What the reader's U.S. keys type under the host's keymap.
QString hostText(QChar ch, const vortal9::keyboard::UsKey &key, bool french)
{
    static const QString frenchDigitRow = QStringLiteral("&é\"'(-è_çà");
    if (french && !key.shifted && key.code >= 2 && key.code <= 11)
        return frenchDigitRow.mid(key.code - 2, 1);
    return QString(ch);
}

class CardGuardTest : public ::testing::TestWithParam<GuardRow>
{
};

TEST_P(CardGuardTest, KeepsAnswersExactlyAndNoCard)
{
    vortal9::card::CardGuard guard;
    QStringList kept(GetParam().kept.size());
    std::set<int> voided;
    QString shown;
    auto take = [&] {
        for (const auto &piece : guard.takeKept()) {
            shown += piece.text;
            if (piece.step >= 0)
                kept[piece.step] += piece.text;
        }
        for (const int step : guard.takeVoid())
            voided.insert(step);
    };
    bool typing = false;
    for (const Typing &t : GetParam().typing) {
        if (t.burst != Burst::More) {
            if (typing)
                guard.endBurst();
            guard.beginBurst(t.burst == Burst::Answer);
            typing = true;
        }
        for (const QChar ch : t.text) {
            const auto key = vortal9::keyboard::usKeyFor(ch);
            ASSERT_TRUE(key.has_value()) << GetParam().name;
            guard.key({key->code, key->shifted, hostText(ch, *key, GetParam().french)}, t.step);
            take();
        }
    }
    guard.endBurst();
    guard.settle();
    take();
    for (const int step : voided)
        kept[step].clear();
    EXPECT_EQ(kept, GetParam().kept);
    EXPECT_EQ(voided, GetParam().voidSteps);
    EXPECT_EQ(shown.toStdString(), GetParam().shown.toStdString());
}

const QString Track2 = QStringLiteral(";5105105105105100=2912?\n");

INSTANTIATE_TEST_SUITE_P(
    Answers, CardGuardTest,
    ::testing::Values(
        GuardRow{"menuPercentKept",
                 {{Burst::Answer, 0, "1 Preamble: %\n2 Postamble: (none)\n3 Terminator: NONE\n4 Tracks: 23\n"}},
                 {"1 Preamble: %\n2 Postamble: (none)\n3 Terminator: NONE\n4 Tracks: 23\n"},
                 {},
                 "1 Preamble: %\n2 Postamble: (none)\n3 Terminator: NONE\n4 Tracks: 23\n"},
        GuardRow{"menuSemicolonWithLetters", {{Burst::Answer, 0, "1 Preamble: ;AB\t> "}}, {"1 Preamble: ;AB\t> "}, {},
                 "1 Preamble: ;AB\t> "},
        GuardRow{"menuDigitsKept", {{Burst::Answer, 0, "VORTAL9 SETUP\n5 Beep: ON\n> 5\nBeep = OFF\n> "}},
                 {"VORTAL9 SETUP\n5 Beep: ON\n> 5\nBeep = OFF\n> "}, {},
                 "VORTAL9 SETUP\n5 Beep: ON\n> 5\nBeep = OFF\n> "},
        // Settings a till depends on, kept exactly so that they compare exactly.
        GuardRow{"preamblePercentDigits", {{Burst::Answer, 0, "1 Preamble: %12\n"}}, {"1 Preamble: %12\n"}, {},
                 "1 Preamble: %12\n"},
        GuardRow{"postambleLetterEnd", {{Burst::Answer, 0, "2 Postamble: A?\n"}}, {"2 Postamble: A?\n"}, {},
                 "2 Postamble: A?\n"},
        GuardRow{"postambleHashDigitEnd", {{Burst::Answer, 0, "Postamble = #1?\n> "}}, {"Postamble = #1?\n> "}, {},
                 "Postamble = #1?\n> "},
        GuardRow{"semicolonDigitAcrossAnswers", {{Burst::Answer, 0, "Preamble = ;5"}, {Burst::Answer, 1, "\n> "}},
                 {"Preamble = ;5", "\n> "}, {}, "Preamble = ;5\n> "},
        GuardRow{"delayLine", {{Burst::Answer, 0, "Delay 10 ms, change?"}}, {"Delay 10 ms, change?"}, {},
                 "Delay 10 ms, change?"},
        GuardRow{"promptIsNoTrack", {{Burst::Answer, 0, "1\nPreamble? "}, {Burst::Answer, 1, "#\nPreamble = #\n> "}},
                 {"1\nPreamble? ", "#\nPreamble = #\n> "}, {}, "1\nPreamble? #\nPreamble = #\n> "},
        // Cards inside answers, whatever their shape: the whole answer is void.
        GuardRow{"wholeSwipe", {{Burst::Answer, 0, "> %B5105105105105100^DOE/J^2912?" + Track2}}, {""}, {0}, "> "},
        GuardRow{"noSentinels", {{Burst::Answer, 0, "Beep = ON\n5105105105105100=2912\n> "}}, {""}, {0},
                 "Beep = ON\n> "},
        GuardRow{"otherSentinels", {{Burst::Answer, 0, "!5105105105105100=2912!\n"}}, {""}, {0}, ""},
        GuardRow{"frenchKeymap", {{Burst::Answer, 0, "> 5105105105105100=2912\n"}}, {""}, {0}, "> ", true},
        GuardRow{"longTrack", {{Burst::Answer, 0, ";" + QString(120, u'7') + "?\n"}}, {""}, {0}, ""},
        GuardRow{"shortTrack", {{Burst::Answer, 0, ";4731?\n"}}, {""}, {0}, ""},
        GuardRow{"trackCutByLineEnd", {{Burst::Answer, 0, ";4731829\nmenu"}}, {""}, {0}, "menu"},
        GuardRow{"trackCutByTheEnd", {{Burst::Answer, 0, "> %B4731"}}, {""}, {0}, "> "},
        GuardRow{"startNeverHeard", {{Burst::Answer, 0, "829460571938^LEAKTEST^2908?;4731=29?\n> "}}, {""}, {0},
                 "> "},
        // A card typed in pieces, slower than the quiet period, one piece a
        // step: one run all the same, and the rest of the card up to its line
        // end is void too.
        GuardRow{"pieces",
                 {{Burst::Answer, 0, ";5"}, {Burst::Answer, 1, "10"}, {Burst::Answer, 2, "51"},
                  {Burst::Answer, 3, "05"}, {Burst::Answer, 4, "10"}, {Burst::Answer, 5, "51"},
                  {Burst::Answer, 6, "05"}, {Burst::Answer, 7, "10"}, {Burst::Answer, 8, "0="},
                  {Burst::Answer, 9, "29"}, {Burst::Answer, 10, "12"}, {Burst::Answer, 11, "?\n"},
                  {Burst::Answer, 12, "> "}},
                 {"", "", "", "", "", "", "", "", "", "", "", "", "> "},
                 {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
                 "> "},
        GuardRow{"piecesPartlyBetweenAnswers",
                 {{Burst::Answer, 0, ";5"}, {Burst::NoAnswer, -1, "10"}, {Burst::Answer, 1, "51"},
                  {Burst::NoAnswer, -1, "05"}, {Burst::Answer, 2, "10"}, {Burst::NoAnswer, -1, "0=2912?\n"},
                  {Burst::Answer, 3, "> "}},
                 {"", "", "", "> "},
                 {0, 1, 2},
                 "> "},
        // Typing that begins while no answer is awaited is no answer: never
        // kept nor shown, and the step it runs into is void.
        GuardRow{"swipeBetweenAnswers",
                 {{Burst::Answer, 0, "> "}, {Burst::NoAnswer, -1, "%B51^A^29?\n"}, {Burst::Answer, 1, "5\nBeep = OFF"}},
                 {"> ", "5\nBeep = OFF"}, {}, "> 5\nBeep = OFF"},
        GuardRow{"swipeIntoAStep", {{Burst::NoAnswer, -1, ";51"}, {Burst::More, 0, "05?\nVORTAL9 SETUP\n"}}, {""}, {0},
                 ""}),
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
