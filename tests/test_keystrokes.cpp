// What each on-screen key sends and how it moves the latched modifier, and
// which keys a reader is left holding after the reports sent to it.
#include "keyboard/KeyStrokes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

using namespace vortal9::keyboard;

namespace {

constexpr int Shift = 41, RightShift = 53, RightAlt = 57;

struct StrokeRow
{
    const char *name;
    int key;
    int before;
    bool national;
    QStringList sends;
    int after;
    std::optional<bool> shiftShown, altGrShown, rightAltEnabled, shiftEnabled;
    bool reloads;
};

void PrintTo(const StrokeRow &row, std::ostream *os)
{
    *os << row.name;
}

class KeyStrokeTest : public testing::TestWithParam<StrokeRow>
{
};

TEST_P(KeyStrokeTest, SendsAndShows)
{
    const StrokeRow &row = GetParam();
    const KeyStroke stroke = keyStroke(row.key, row.before, row.national);
    EXPECT_EQ(stroke.sends, row.sends);
    EXPECT_EQ(stroke.modifierAfter, row.after);
    EXPECT_EQ(stroke.shiftLatchShown, row.shiftShown);
    EXPECT_EQ(stroke.altGrLatchShown, row.altGrShown);
    EXPECT_EQ(stroke.rightAltEnabled, row.rightAltEnabled);
    EXPECT_EQ(stroke.shiftEnabled, row.shiftEnabled);
    EXPECT_EQ(stroke.reloadsPictures, row.reloads);
}

const auto none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyStrokeTest,
    testing::Values(
        StrokeRow{"digitTwo", 2, 0, false, {"1EF01E"}, 0, none, none, none, none, false},
        StrokeRow{"digitTwoWithShiftLatched", 2, 1, true, {"1EF01E"}, 1, none, none, none, none, false},
        StrokeRow{"rightCtrlIsExtended", 58, 0, true, {"E014F0E014"}, 0, none, none, none, none, false},
        StrokeRow{"tabSendsNothing", 14, 0, false, {}, 0, none, none, none, none, false},
        StrokeRow{"capsSendsNothingWhateverIsLatched", 28, 2, true, {}, 2, none, none, none, none, false},
        StrokeRow{"rightAltOnUSIsPlain", RightAlt, 0, false, {"E011F0E011"}, 0, none, none, none, none, false},
        StrokeRow{"shiftLatchesUS", Shift, 0, false, {"12"}, 1, true, none, none, none, true},
        StrokeRow{"shiftLatchesNational", RightShift, 0, true, {"12"}, 1, true, none, false, none, true},
        StrokeRow{"shiftReleases", Shift, 1, true, {"F012"}, 0, false, none, true, none, true},
        StrokeRow{"shiftOverAltGr", RightShift, 2, true, {"F0E011", "12"}, 1, true, false, false, none, true},
        StrokeRow{"altGrLatches", RightAlt, 0, true, {"E011"}, 2, none, true, none, false, true},
        StrokeRow{"altGrOverShift", RightAlt, 1, true, {"F012", "E011"}, 2, false, true, none, none, true},
        StrokeRow{"altGrReleases", RightAlt, 2, true, {"F0E011"}, 0, none, false, none, true, true}),
    [](const auto &info) { return std::string(info.param.name); });

struct HeldRow
{
    const char *name;
    std::vector<std::vector<std::uint8_t>> reports; // payloads in sending order
    QString release;
    std::vector<std::size_t> failed = {}; // the reports (by index) that failed: the reader may have taken them
    QString kept = {};                    // a latched modifier's make, left down by the release
};

void PrintTo(const HeldRow &row, std::ostream *os)
{
    *os << row.name;
}

class HeldKeysTest : public testing::TestWithParam<HeldRow>
{
};

TEST_P(HeldKeysTest, ReleasesWhatIsStillDown)
{
    HeldKeys held;
    const HeldRow &row = GetParam();
    for (std::size_t i = 0; i < row.reports.size(); ++i) {
        if (std::find(row.failed.begin(), row.failed.end(), i) != row.failed.end())
            held.feedPossiblyTaken(row.reports[i]);
        else
            held.feed(row.reports[i]);
    }
    EXPECT_EQ(held.releaseString(row.kept), row.release);
    if (row.kept.isEmpty()) {
        EXPECT_EQ(held.isEmpty(), row.release.isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reports, HeldKeysTest,
    testing::Values(HeldRow{"keyStrokeLeavesNothing", {{0x1E, 0xF0, 0x1E}}, ""},
                    HeldRow{"latchedShift", {{0x12}, {0x1C, 0xF0, 0x1C}}, "F012"},
                    HeldRow{"latchedAltGr", {{0xE0, 0x11}}, "F0E011"},
                    HeldRow{"altGrReleasedEitherPrefixOrder", {{0xE0, 0x11}, {0xE0, 0xF0, 0x11}}, ""},
                    HeldRow{"hotKeyCutAfterItsMake", {{0x14, 0x11, 0x09}}, "F009F011F014"},
                    HeldRow{"hotKeyWhole", {{0x14, 0x11, 0x09, 0xF0, 0x09, 0xF0, 0x11}, {0xF0, 0x14}}, ""},
                    HeldRow{"prefixAtTheEndOfAReport", {{0x12, 0xF0}, {0x12}}, ""},
                    HeldRow{"extendedAndPlainAreDifferentKeys", {{0xE0, 0x14, 0x14}, {0xF0, 0x14}}, "F0E014"},
                    // A failed report may have been taken: its makes count as
                    // down, its breaks release nothing.
                    HeldRow{"failedHotKeyMakeIsDown", {{0x14, 0x11, 0x09}}, "F009F011F014", {0}},
                    HeldRow{"failedStrokeLeavesItsKeyDown", {{0x1E, 0xF0, 0x1E}}, "F01E", {0}},
                    HeldRow{"failedReleaseKeepsShiftDown", {{0x12}, {0xF0, 0x12}}, "F012", {1}},
                    HeldRow{"failedThenTakenRelease", {{0x12}, {0xF0, 0x12}, {0xF0, 0x12}}, "", {1}},
                    HeldRow{"latchKeptStrayReleased", {{0x12}, {0x1C, 0xF0, 0x1C}}, "F01C", {1}, "12"},
                    HeldRow{"altGrLatchKept", {{0xE0, 0x11}, {0x1C}}, "F01C", {1}, "E011"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
