// The shape of a swipe: what a technician sees of a card's tracks, and the
// text that --expect-shape takes back.
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
