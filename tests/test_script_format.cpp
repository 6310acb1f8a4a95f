// The script file format, its loader and writer, and the playback token cutter.
#include "FileSizeLimit.h"
#include "ModeBitsApply.h"
#include "config/ScriptTokenizer.h"
#include "device/ScanCodes.h"
#include "script/ScriptFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <ostream>

#if defined(Q_OS_UNIX)
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

void PrintTo(const QByteArray &bytes, std::ostream *os)
{
    *os << '"' << bytes.toHex(' ').toStdString() << '"';
}

namespace {

using namespace vortal9::script;

const QString Header = QString(vortal9::scancode::HotKey) + QStringLiteral("FF");

template <typename Row>
std::string rowName(const testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<cannot open>");
    return file.readAll();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// ---- bytes <-> text ------------------------------------------------------------

TEST(ScriptFileBytes, EmptyRecordingIsJustTheLineEnd)
{
    EXPECT_EQ(scriptFileBytes(QString()), QByteArray("\r\n"));
}

TEST(ScriptFileBytes, RecordingWithAnswerMarkers)
{
    const QString buffer = Header + QStringLiteral("1EF01EFF");
    const QByteArray bytes = scriptFileBytes(buffer);
    EXPECT_EQ(bytes, QByteArray("141109F009F011F014FF1EF01EFF\r\n"));
    EXPECT_EQ(bytes.size(), 30);
}

TEST(ScriptFileBytes, LettersKeepTheirCase)
{
    EXPECT_EQ(scriptFileBytes(QStringLiteral("1ef01e")), QByteArray("1ef01e\r\n"));
}

struct TextRow
{
    std::string name;
    QByteArray bytes;
    QString text;
};

class ScriptTextFromBytesTest : public testing::TestWithParam<TextRow>
{
};

TEST_P(ScriptTextFromBytesTest, DropsTheLineEnd)
{
    const TextRow &row = GetParam();
    EXPECT_EQ(scriptTextFromBytes(row.bytes), row.text);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ScriptTextFromBytesTest,
    testing::Values(
        TextRow{"Empty", QByteArray(), QString()},
        TextRow{"OneByte", QByteArray("1"), QString()},
        TextRow{"LineEndOnly", QByteArray("\r\n"), QString()},
        TextRow{"RecordedScript", QByteArray("141109F009F011F014FF1EF01E\r\n"),
                QStringLiteral("141109F009F011F014FF1EF01E")},
        TextRow{"NoLineEndLosesTwoChars", QByteArray("1EF01E"), QStringLiteral("1EF0")},
        TextRow{"LoneLineFeedIsALineEnd", QByteArray("1EF01E\n"), QStringLiteral("1EF01E")},
        TextRow{"LineFeedOnly", QByteArray("\n"), QString()},
        TextRow{"OnlyTheLastLineFeedIsDropped", QByteArray("1E\n1F\n"), QStringLiteral("1E\n1F")},
        TextRow{"CarriageReturnAloneIsNoLineEnd", QByteArray("1EF01E\r"), QStringLiteral("1EF01")},
        TextRow{"HighBytesAreLatin1", QByteArray("\xE9\xFF\r\n"), QString(QChar(0xE9)) + QChar(0xFF)}),
    rowName<TextRow>);

// ---- displayed name --------------------------------------------------------------

struct NameRow
{
    std::string name;
    QString path;
    QString shown;
};

class DisplayedNameTest : public testing::TestWithParam<NameRow>
{
};

TEST_P(DisplayedNameTest, IsTheFileName)
{
    const NameRow &row = GetParam();
    EXPECT_EQ(displayedName(row.path), row.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DisplayedNameTest,
    testing::Values(
        NameRow{"WindowsTwoDots", "C:\\Scripts\\Shop.Setup.TXT", "Shop.Setup.TXT"},
        NameRow{"DotInFolder", "C:\\a.b\\c.TXT", "c.TXT"},
        NameRow{"UnixPath", "/home/u/script.txt", "script.txt"},
        NameRow{"UnixDotInFolder", "/home/u.v/script.txt", "script.txt"},
        NameRow{"MixedSeparators", "C:/Scripts\\setup.TXT", "setup.TXT"},
        NameRow{"BackslashAfterSlash", "/home/u/odd\\name.TXT", "name.TXT"},
        NameRow{"LongExtensionKept", "a.verylong", "a.verylong"},
        NameRow{"ShortExtension", "/tmp/a.b", "a.b"},
        NameRow{"NoFolder", "setup.TXT", "setup.TXT"},
        NameRow{"TrailingDot", "/tmp/setup.", "setup."},
        NameRow{"HiddenFile", "/home/u/.txt", ".txt"},
        NameRow{"DotOnlyInFolder", "/home/u.v/script", "script"},
        NameRow{"NoDot", "/home/u/script", "script"},
        NameRow{"NoDotNoFolder", "script", "script"},
        NameRow{"EndsInSeparator", "/home/u/", ""},
        NameRow{"Empty", "", ""}),
    rowName<NameRow>);

// ---- isHexText -------------------------------------------------------------------

struct HexRow
{
    std::string name;
    QString text;
    bool hex;
};

class IsHexTextTest : public testing::TestWithParam<HexRow>
{
};

TEST_P(IsHexTextTest, Classifies)
{
    const HexRow &row = GetParam();
    EXPECT_EQ(isHexText(row.text), row.hex);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IsHexTextTest,
    testing::Values(
        HexRow{"Empty", "", true},
        HexRow{"AllDigits", "0123456789", true},
        HexRow{"UpperCase", "ABCDEF", true},
        HexRow{"LowerCase", "abcdef", true},
        HexRow{"Script", "141109F009F011F014FF1EF01E", true},
        HexRow{"LetterG", "1G", false},
        HexRow{"LowerG", "1g", false},
        HexRow{"Space", "1E F0", false},
        HexRow{"LineEnd", "1E\r\n", false},
        HexRow{"HexPrefix", "0x1E", false},
        HexRow{"FullWidthDigit", QString(QChar(0xFF11)), false},
        HexRow{"Latin1Letter", QString(QChar(0xC4)), false}),
    rowName<HexRow>);

// ---- whole pairs and letter case --------------------------------------------------

struct PairsRow
{
    std::string name;
    QString text;
    bool wholePairs;
};

class PlaysAsWholePairsTest : public testing::TestWithParam<PairsRow>
{
};

TEST_P(PlaysAsWholePairsTest, Classifies)
{
    const PairsRow &row = GetParam();
    EXPECT_EQ(playsAsWholePairs(row.text), row.wholePairs);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PlaysAsWholePairsTest,
    testing::Values(
        PairsRow{"Empty", "", true},
        PairsRow{"OnePair", "1E", true},
        PairsRow{"LowerCasePairs", "1eff", true},
        PairsRow{"OneDigit", "1", false},
        PairsRow{"OddLength", "1EF01", false},
        PairsRow{"EvenButNotHex", "1G", false},
        PairsRow{"LineEndInside", "1E\r\n", false}),
    rowName<PairsRow>);

struct CaseRow
{
    std::string name;
    QString text;
    QString normalized;
};

class NormalizedScriptTest : public testing::TestWithParam<CaseRow>
{
};

TEST_P(NormalizedScriptTest, UpperCasesHexLettersOnly)
{
    const CaseRow &row = GetParam();
    EXPECT_EQ(normalizedScript(row.text), row.normalized);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NormalizedScriptTest,
    testing::Values(
        CaseRow{"Empty", "", ""},
        CaseRow{"AlreadyUpper", "1EF01EFF", "1EF01EFF"},
        CaseRow{"LowerMarkerAndDigits", "1eff0aBc", "1EFF0ABC"},
        CaseRow{"OtherLettersUntouched", "gxyz 1e\r\n", "gxyz 1E\r\n"},
        CaseRow{"NonAsciiUntouched", QString(QChar(0xE4)) + QChar(0xFF41), QString(QChar(0xE4)) + QChar(0xFF41)}),
    rowName<CaseRow>);

// ---- loading -----------------------------------------------------------------------

class ScriptFileTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString path(const QString &name) const { return dir.filePath(name); }

    QTemporaryDir dir;
};

TEST_F(ScriptFileTest, LoadsRecordedScriptWithoutLineEnd)
{
    const QString file = path(QStringLiteral("shop.TXT"));
    ASSERT_TRUE(writeAll(file, QByteArray("141109F009F011F014FF1EF01E\r\n")));
    const LoadResult result = loadScriptFile(file);
    EXPECT_EQ(result.status, LoadResult::Status::Loaded);
    EXPECT_EQ(result.text, QStringLiteral("141109F009F011F014FF1EF01E"));
    EXPECT_EQ(result.text.size(), 26);
}

TEST_F(ScriptFileTest, ShortFilesLoadEmpty)
{
    for (const QByteArray &bytes : {QByteArray(), QByteArray("1"), QByteArray("\r\n")}) {
        const QString file = path(QStringLiteral("short.TXT"));
        ASSERT_TRUE(writeAll(file, bytes));
        const LoadResult result = loadScriptFile(file);
        EXPECT_EQ(result.status, LoadResult::Status::Loaded) << bytes.size() << " bytes";
        EXPECT_TRUE(result.text.isEmpty()) << bytes.size() << " bytes";
    }
}

TEST_F(ScriptFileTest, FileWithoutLineEndLosesLastTwoChars)
{
    const QString file = path(QStringLiteral("bare.TXT"));
    ASSERT_TRUE(writeAll(file, QByteArray("141109F009F011F014FF1EF01E")));
    const LoadResult result = loadScriptFile(file);
    EXPECT_EQ(result.status, LoadResult::Status::Loaded);
    EXPECT_EQ(result.text, QStringLiteral("141109F009F011F014FF1EF0"));
}

TEST_F(ScriptFileTest, LargestAcceptedSize)
{
    const QString file = path(QStringLiteral("big.TXT"));
    ASSERT_TRUE(writeAll(file, QByteArray(65531, '1') + "2\r\n"));
    ASSERT_EQ(QFileInfo(file).size(), 65534);
    const LoadResult result = loadScriptFile(file);
    EXPECT_EQ(result.status, LoadResult::Status::Loaded);
    ASSERT_EQ(result.text.size(), 65532);
    EXPECT_EQ(result.text.back(), QChar(u'2'));
}

TEST_F(ScriptFileTest, TooLargeFilesRefused)
{
    for (const qint64 size : {65535, 65536, 200000}) {
        const QString file = path(QStringLiteral("huge.TXT"));
        ASSERT_TRUE(writeAll(file, QByteArray(size, '1')));
        const LoadResult result = loadScriptFile(file);
        EXPECT_EQ(result.status, LoadResult::Status::TooLarge) << size << " bytes";
        EXPECT_TRUE(result.text.isEmpty()) << size << " bytes";
    }
}

TEST_F(ScriptFileTest, UnopenablePathsRefused)
{
    ASSERT_TRUE(writeAll(path(QStringLiteral("plain")), QByteArray("1E\r\n")));
    const QString paths[] = {
        path(QStringLiteral("missing.TXT")),
        dir.path(),                                  // a directory
        path(QStringLiteral("plain/inside.TXT")),    // parent is a regular file
        QString(),
    };
    for (const QString &p : paths) {
        const LoadResult result = loadScriptFile(p);
        EXPECT_EQ(result.status, LoadResult::Status::OpenFailed) << p.toStdString();
        EXPECT_TRUE(result.text.isEmpty()) << p.toStdString();
    }
}

TEST_F(ScriptFileTest, OnlyRegularFilesAreRead)
{
#if defined(Q_OS_UNIX)
    const QString script = path(QStringLiteral("script.TXT"));
    const QString fifo = path(QStringLiteral("fifo.TXT"));
    const QString linkToScript = path(QStringLiteral("link.TXT"));
    const QString linkToFifo = path(QStringLiteral("fifolink.TXT"));
    ASSERT_TRUE(writeAll(script, QByteArray("1EF01E\r\n")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(script, linkToScript));
    ASSERT_TRUE(QFile::link(fifo, linkToFifo));

    const LoadResult linked = loadScriptFile(linkToScript);
    EXPECT_EQ(linked.status, LoadResult::Status::Loaded);
    EXPECT_EQ(linked.text, QStringLiteral("1EF01E"));

    for (const QString &p : {fifo, linkToFifo, QStringLiteral("/dev/null")}) {
        // A loader that opens the FIFO waits there for a writer: run it aside,
        // and should it not come back, give it one so that the test can end.
        auto pending = std::async(std::launch::async, [p] { return loadScriptFile(p); });
        const bool returned = pending.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        if (!returned)
            ::close(::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK));
        EXPECT_TRUE(returned) << p.toStdString();
        const LoadResult result = pending.get();
        EXPECT_EQ(result.status, LoadResult::Status::OpenFailed) << p.toStdString();
        EXPECT_TRUE(result.text.isEmpty()) << p.toStdString();
    }
#else
    GTEST_SKIP() << "needs FIFOs and /dev/null";
#endif
}

// ---- saving ------------------------------------------------------------------------

TEST_F(ScriptFileTest, SavesRecordingAsOneLine)
{
    const QString file = path(QStringLiteral("rec.TXT"));
    const QString buffer = Header + QStringLiteral("1EF01EFF");
    ASSERT_EQ(saveScriptFile(file, buffer), QString());
    EXPECT_EQ(readAll(file), QByteArray("141109F009F011F014FF1EF01EFF\r\n"));

    const LoadResult back = loadScriptFile(file);
    EXPECT_EQ(back.status, LoadResult::Status::Loaded);
    EXPECT_EQ(back.text, buffer);
}

TEST_F(ScriptFileTest, EmptyRecordingSavesTwoBytes)
{
    const QString file = path(QStringLiteral("empty.TXT"));
    ASSERT_EQ(saveScriptFile(file, QString()), QString());
    EXPECT_EQ(readAll(file), QByteArray("\r\n"));
    const LoadResult back = loadScriptFile(file);
    EXPECT_EQ(back.status, LoadResult::Status::Loaded);
    EXPECT_TRUE(back.text.isEmpty());
}

TEST_F(ScriptFileTest, SaveReplacesLongerFileCompletely)
{
    const QString file = path(QStringLiteral("over.TXT"));
    ASSERT_TRUE(writeAll(file, QByteArray(500, 'A') + "\r\n"));
    ASSERT_EQ(saveScriptFile(file, QStringLiteral("1EF01E")), QString());
    EXPECT_EQ(readAll(file), QByteArray("1EF01E\r\n"));
}

TEST_F(ScriptFileTest, SaveToUnwritablePathFails)
{
    ASSERT_TRUE(writeAll(path(QStringLiteral("plain")), QByteArray("old\r\n")));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.TXT")));
    const QString paths[] = {
        path(QStringLiteral("folder.TXT")),            // an existing directory
        path(QStringLiteral("plain/inside.TXT")),      // parent is a regular file
        path(QStringLiteral("nowhere/inside.TXT")),    // parent does not exist
        QString(),                                     // dialog cancelled
    };
    // Each failure says where and what: the path and the system's reason.
    for (const QString &p : paths) {
        const QString error = saveScriptFile(p, QStringLiteral("1EF01E"));
        // The path as the system writes it (backslashes on Windows).
        const QString shown = QDir::toNativeSeparators(p);
        EXPECT_TRUE(error.contains(QLatin1Char('"') + shown + QStringLiteral("\": "))) << error.toStdString();
        EXPECT_GT(error.size(), shown.size() + 16) << error.toStdString();
    }

    EXPECT_EQ(readAll(path(QStringLiteral("plain"))), QByteArray("old\r\n"));
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("folder.TXT"))).isDir());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 2);
}

TEST_F(ScriptFileTest, FolderThatForbidsNewFilesStillTakesAWritableFile)
{
#if defined(Q_OS_LINUX)
    const QString folder = path(QStringLiteral("locked"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("locked")));
    const QString file = folder + QStringLiteral("/rec.TXT");
    ASSERT_TRUE(writeAll(file, QByteArray(40, 'A') + "\r\n"));
    const auto folderMode = QFile::permissions(folder);
    ASSERT_TRUE(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(folder, folderMode); });

    vortal9::test::ModeBitsApply modeBits;
    if (!modeBits.ok())
        GTEST_SKIP() << "root's permission override could not be set aside, so the folder would take new files";
    ASSERT_FALSE(QFile(folder + QStringLiteral("/probe")).open(QIODevice::WriteOnly)) << "the folder takes new files";

    EXPECT_EQ(saveScriptFile(file, QStringLiteral("1EF01E")), QString());
    EXPECT_EQ(readAll(file), QByteArray("1EF01E\r\n"));
    // A new file cannot be made there, and the message says so.
    const QString newFile = folder + QStringLiteral("/new.TXT");
    EXPECT_TRUE(
        saveScriptFile(newFile, QStringLiteral("1EF01E")).endsWith(newFile + QStringLiteral("\": Permission denied")));
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("rec.TXT")});
#else
    GTEST_SKIP() << "sets root's permission override aside through Linux capabilities";
#endif
}

TEST_F(ScriptFileTest, WriteFailingHalfWayLeavesOldFileWhole)
{
#if defined(Q_OS_UNIX)
    const QString file = path(QStringLiteral("keep.TXT"));
    const QByteArray old = QByteArray("141109F009F011F014FF\r\n");
    ASSERT_TRUE(writeAll(file, old));

    QString error;
    {
        // The new content is longer than the limit: the write stops part way.
        vortal9::test::FileSizeLimit limit(16);
        ASSERT_TRUE(limit.ok());
        error = saveScriptFile(file, Header + QStringLiteral("1EF01EFF1EF01EFF1EF01EFF"));
    }
    EXPECT_TRUE(error.contains(file)) << error.toStdString();
    EXPECT_EQ(readAll(file), old);
    // No temporary file is left behind next to it.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("keep.TXT")});
#else
    GTEST_SKIP() << "needs a file size limit";
#endif
}

// ---- token cutter ---------------------------------------------------------------

struct CutRow
{
    std::string name;
    QString script;
    qsizetype p;
    QString text;
    bool waitForAnswer;
    bool isBreak;
    qsizetype next;
};

class CutTokenTest : public testing::TestWithParam<CutRow>
{
};

TEST_P(CutTokenTest, Cuts)
{
    const CutRow &row = GetParam();
    const Token token = cutToken(row.script, row.p);
    EXPECT_EQ(token.text, row.text);
    EXPECT_EQ(token.waitForAnswer, row.waitForAnswer);
    EXPECT_EQ(token.isBreak, row.isBreak);
    EXPECT_EQ(token.next, row.next);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, CutTokenTest,
    testing::Values(
        CutRow{"Make", "1EF01E", 0, "1E", false, false, 2},
        CutRow{"Break", "1EF01E", 2, "F01E", false, true, 6},
        CutRow{"ExtendedMake", "E011F0E011", 0, "E011", false, false, 4},
        CutRow{"ExtendedBreak", "E011F0E011", 4, "F0E011", false, true, 10},
        CutRow{"BreakThenMarker", "F01EFF12", 0, "F01E", true, true, 6},
        CutRow{"MakeThenMarker", "12FF12", 0, "12", true, false, 4},
        CutRow{"MarkerRunSkippedWhole", "12FFFFFF1E", 0, "12", true, false, 8},
        CutRow{"MarkerRunToEnd", "12FFFF", 0, "12", true, false, 6},
        CutRow{"MarkerAtTokenPositionIsSteppedOver", "FF1E", 0, "1E", false, false, 4},
        CutRow{"MarkerRunAtTokenPositionIsSteppedOver", "FFFF1EFF", 0, "1E", true, false, 8},
        CutRow{"OnlyMarkersLeft", "FFFF", 0, "", false, false, 6},
        CutRow{"BreakPrefixDoesNotTakeAMarker", "F0FF1E", 0, "F0", true, true, 4},
        CutRow{"ExtendedBreakPrefixDoesNotTakeAMarker", "F0E0FF1E", 0, "F0E0", true, true, 6},
        CutRow{"ExtendedThenBreakPrefix", "E0F011", 0, "E0F0", false, false, 4},
        CutRow{"BreakThenBreakPrefix", "F0F011", 0, "F0F0", false, true, 4},
        CutRow{"ExtendedBreakThenMarker", "F0E011FF", 0, "F0E011", true, true, 8},
        CutRow{"BreakPrefixAtEnd", "1EF0", 2, "F0", false, true, 6},
        CutRow{"BreakPrefixWithOneDigit", "F01", 0, "F01", false, true, 4},
        CutRow{"ExtendedBreakPrefixAtEnd", "F0E0", 0, "F0E0", false, true, 6},
        CutRow{"ExtendedBreakWithOneDigit", "F0E01", 0, "F0E01", false, true, 6},
        CutRow{"LoneLastChar", "1EF", 2, "F", false, false, 4},
        CutRow{"LowerCaseMarkerIsAToken", "1Eff1E", 0, "1E", false, false, 2},
        CutRow{"LowerCaseBreakIsNotABreak", "f01E", 0, "f0", false, false, 2},
        CutRow{"LowerCaseExtendedNotJoined", "e011", 0, "e0", false, false, 2},
        CutRow{"MarkerAfterOddCharIgnored", "1EFFF", 0, "1E", true, false, 4}),
    rowName<CutRow>);

// ---- the playback loop -------------------------------------------------------------

struct Sent
{
    QString text;
    bool waitForAnswer;
    bool isBreak;

    bool operator==(const Sent &) const = default;
    friend void PrintTo(const Sent &s, std::ostream *os)
    {
        *os << '{' << s.text.toStdString() << (s.waitForAnswer ? ", wait" : "") << (s.isBreak ? ", break" : "")
            << '}';
    }
};

// The tokens that playback sends, as the session gets them: the first token
// is cut at PlaybackStart whatever follows; after each token it stops when
// fewer than two characters remain, so a single character left over at the
// end is never sent alone.
std::vector<Sent> play(const QString &script)
{
    std::vector<Sent> sent;
    for (const Token &token : playbackTokens(script))
        sent.push_back(Sent{token.text, token.waitForAnswer, token.isBreak});
    return sent;
}

struct PlayRow
{
    std::string name;
    QString body;  // the script after the header
    std::vector<Sent> sent;
};

class PlaybackTest : public testing::TestWithParam<PlayRow>
{
};

TEST_P(PlaybackTest, TokensInOrder)
{
    const PlayRow &row = GetParam();
    EXPECT_EQ(play(Header + row.body), row.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, PlaybackTest,
    testing::Values(
        PlayRow{"KeyThenAnswer", "1EF01EFF", {{"1E", false, false}, {"F01E", true, true}}},
        PlayRow{"ExtendedKey", "E011F0E011", {{"E011", false, false}, {"F0E011", false, true}}},
        PlayRow{"ThreeMarkersOneWait", "12FFFFFF1E", {{"12", true, false}, {"1E", false, false}}},
        PlayRow{"MarkerRunAfterHeaderIsOneWait", "FFFF1EFF", {{"1E", true, false}}},
        PlayRow{"NothingButMarkersAfterHeader", "FFFF", {}},
        PlayRow{"ExtendedThenBreakPrefix", "E0F011", {{"E0F0", false, false}, {"11", false, false}}},
        PlayRow{"OddLengthLastCharDropped", "1EF", {{"1E", false, false}}},
        PlayRow{"OddLengthAfterMarker", "1EFF3", {{"1E", true, false}}},
        PlayRow{"OddLengthCompletesBreak", "1EF01", {{"1E", false, false}, {"F01", false, true}}},
        PlayRow{"BreakPrefixLast", "1EF0", {{"1E", false, false}, {"F0", false, true}}},
        PlayRow{"FirstTokenAlwaysCut", "3", {{"3", false, false}}},
        PlayRow{"HeaderAloneSendsNothing", "", {}}),
    rowName<PlayRow>);

TEST(NormalizedPlayback, LowerCaseScriptPlaysAsUpperCase)
{
    const QString lower = Header.toLower() + QStringLiteral("1ef01eff12ffe011f0e011");
    EXPECT_EQ(play(normalizedScript(lower)), play(Header + QStringLiteral("1EF01EFF12FFE011F0E011")));
    EXPECT_EQ(play(normalizedScript(lower)).size(), 5u);
}

} // namespace
