// Cutting command strings into chunks, digit pairs and feature report bytes.
#include "device/CommandChunks.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>

void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

using vortal9::buildFeatureReport;
using vortal9::chunkCommand;
using vortal9::chunkPairs;

using Bytes = std::vector<std::uint8_t>;

// A report of `length` bytes: report ID 0, the given payload, zero fill.
Bytes report(std::initializer_list<std::uint8_t> payload, int length)
{
    Bytes bytes(std::size_t(length), 0);
    std::size_t i = 1;
    for (const std::uint8_t b : payload)
        bytes.at(i++) = b;
    return bytes;
}

template <typename Row>
std::string rowName(const testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

// ---- chunkCommand -----------------------------------------------------------

struct ChunkRow
{
    std::string name;
    QString text;
    QStringList chunks;
};

class ChunkCommandTest : public testing::TestWithParam<ChunkRow>
{
};

TEST_P(ChunkCommandTest, CutsByPosition)
{
    const ChunkRow &row = GetParam();
    EXPECT_EQ(chunkCommand(row.text), row.chunks);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ChunkCommandTest,
    testing::Values(
        ChunkRow{"Empty", "", {""}},
        ChunkRow{"OneKey", "1EF01E", {"1EF01E"}},
        ChunkRow{"FourteenChars", "F009F011F01412", {"F009F011F01412"}},
        ChunkRow{"FifteenCharsStayWhole", "F009F011F014123", {"F009F011F014123"}},
        ChunkRow{"SixteenChars", "F009F011F0141234", {"F009F011F01412", "34"}},
        ChunkRow{"HotKey18Chars", "141109F009F011F014", {"141109F009F011", "F014"}},
        ChunkRow{"TwentyEightChars", "0102030405060708090A0B0C0D0E", {"01020304050607", "08090A0B0C0D0E"}},
        ChunkRow{"TwentyNineChars", "0102030405060708090A0B0C0D0E1", {"01020304050607", "08090A0B0C0D0E", "1"}},
        // A prefix may end one chunk while its code starts the next.
        ChunkRow{"PrefixSplitAcrossChunks", "1E1E1E1E1E1EF01E", {"1E1E1E1E1E1EF0", "1E"}}),
    rowName<ChunkRow>);

// ---- chunkPairs -------------------------------------------------------------

struct PairsRow
{
    std::string name;
    QString chunk;
    QStringList pairs;
};

class ChunkPairsTest : public testing::TestWithParam<PairsRow>
{
};

TEST_P(ChunkPairsTest, HalfLengthRoundedToEven)
{
    const PairsRow &row = GetParam();
    EXPECT_EQ(chunkPairs(row.chunk), row.pairs);
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, ChunkPairsTest,
    testing::Values(
        PairsRow{"Empty", "", {}},
        PairsRow{"OneDigitGivesNoPair", "3", {}},
        PairsRow{"TwoDigits", "1E", {"1E"}},
        PairsRow{"ThreeDigitsEndInSingle", "123", {"12", "3"}},
        PairsRow{"FiveDigitsDropLast", "12345", {"12", "34"}},
        PairsRow{"SevenDigitsEndInSingle", "1234567", {"12", "34", "56", "7"}},
        PairsRow{"NineDigitsDropLast", "123456789", {"12", "34", "56", "78"}},
        PairsRow{"FourteenDigits", "141109F009F011", {"14", "11", "09", "F0", "09", "F0", "11"}},
        PairsRow{"FifteenDigits", "141109F009F011F", {"14", "11", "09", "F0", "09", "F0", "11", "F"}},
        PairsRow{"LowerCaseUnchanged", "1ef01e", {"1e", "f0", "1e"}}),
    rowName<PairsRow>);

// ---- buildFeatureReport -----------------------------------------------------

struct ReportRow
{
    std::string name;
    QString chunk;
    int reportLength;
    std::optional<Bytes> expected;
};

class BuildFeatureReportTest : public testing::TestWithParam<ReportRow>
{
};

TEST_P(BuildFeatureReportTest, Bytes)
{
    const ReportRow &row = GetParam();
    EXPECT_EQ(buildFeatureReport(row.chunk, row.reportLength), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, BuildFeatureReportTest,
    testing::Values(
        ReportRow{"KeyPressAndRelease", "1EF01E", 9, report({0x1E, 0xF0, 0x1E}, 9)},
        ReportRow{"LowerCaseDigits", "1ef01e", 9, report({0x1E, 0xF0, 0x1E}, 9)},
        ReportRow{"FullChunkExactFit", "141109F009F011", 8, report({0x14, 0x11, 0x09, 0xF0, 0x09, 0xF0, 0x11}, 8)},
        ReportRow{"ThreeDigits", "123", 8, report({0x12, 0x03}, 8)},
        ReportRow{"SingleTrailingDigit", "F0E", 4, report({0xF0, 0x0E}, 4)},
        ReportRow{"FiveDigitsFifthUnused", "12345", 8, report({0x12, 0x34}, 8)},
        // The fifth digit takes no part, so it is not checked either.
        ReportRow{"FiveDigitsFifthNotHex", "1234G", 8, report({0x12, 0x34}, 8)},
        ReportRow{"OneDigitAllZeros", "7", 8, report({}, 8)},
        ReportRow{"FifteenDigitsFitNine", "141109F009F011F", 9,
                  report({0x14, 0x11, 0x09, 0xF0, 0x09, 0xF0, 0x11, 0x0F}, 9)},
        ReportRow{"FifteenDigitsRefusedAtEight", "141109F009F011F", 8, std::nullopt},
        ReportRow{"LongerReportZeroFilled", "FF", 65, report({0xFF}, 65)},
        ReportRow{"EmptyRefused", "", 8, std::nullopt},
        ReportRow{"NonHexLetter", "1G", 8, std::nullopt},
        ReportRow{"NonHexInLaterPair", "1EF01X", 8, std::nullopt},
        ReportRow{"LineEndInside", "FF\r\n", 8, std::nullopt},
        ReportRow{"LeadingSpace", " 1", 8, std::nullopt},
        ReportRow{"SignNotADigit", "+1", 8, std::nullopt},
        ReportRow{"HexPrefixNotADigit", "0x", 8, std::nullopt},
        ReportRow{"NonHexSingleTrailingDigit", "12G", 8, std::nullopt},
        ReportRow{"ReportIdOnlyRefusesPair", "1E", 1, std::nullopt},
        ReportRow{"ReportIdOnlyTakesOneDigit", "1", 1, report({}, 1)},
        ReportRow{"ZeroLengthRefused", "1", 0, std::nullopt}),
    rowName<ReportRow>);

// ---- a command string through both steps ------------------------------------

struct CommandRow
{
    std::string name;
    QString command;
    int reportLength;
    std::vector<Bytes> reports;
};

class CommandReportsTest : public testing::TestWithParam<CommandRow>
{
};

TEST_P(CommandReportsTest, ReportsInOrder)
{
    const CommandRow &row = GetParam();
    std::vector<Bytes> reports;
    for (const QString &chunk : chunkCommand(row.command)) {
        const auto bytes = buildFeatureReport(chunk, row.reportLength);
        ASSERT_TRUE(bytes.has_value()) << chunk.toStdString();
        reports.push_back(*bytes);
    }
    EXPECT_EQ(reports, row.reports);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandReportsTest,
    testing::Values(
        CommandRow{"HotKey", "141109F009F011F014", 8,
                   {report({0x14, 0x11, 0x09, 0xF0, 0x09, 0xF0, 0x11}, 8), report({0xF0, 0x14}, 8)}},
        CommandRow{"TwentyEightChars", "0102030405060708090A0B0C0D0E", 9,
                   {report({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, 9),
                    report({0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E}, 9)}},
        CommandRow{"SixteenChars", "F009F011F014E011", 8,
                   {report({0xF0, 0x09, 0xF0, 0x11, 0xF0, 0x14, 0xE0}, 8), report({0x11}, 8)}}),
    rowName<CommandRow>);

} // namespace
