// Fuzzes everything a script file's bytes pass through: the loader's text
// and displayed name, the check that "Setting" makes, and the playback token
// cutter, whose tokens then go through the command channel's chunking and
// report building exactly as playback sends them.
#include "FuzzCheck.h"

#include "config/ScriptTokenizer.h"
#include "device/CommandChunks.h"
#include "device/ScanCodes.h"
#include "script/ScriptFormat.h"

#include <QByteArray>
#include <QLatin1String>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

// A reader whose feature report holds 8 payload bytes after the ID byte.
constexpr int ReportLength = 9;
// Longest token: "F0", "E0" and one code.
constexpr qsizetype MaxTokenLength = 6;
// Paths handed over by the file dialog are no longer than this.
constexpr qsizetype MaxPathLength = 4096;

constexpr QLatin1String AnswerMarker("FF");

bool isHexDigit(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'F') || (u >= u'a' && u <= u'f');
}

bool isSeparator(QChar c)
{
    return c == u'\\' || c == u'/';
}

void checkLoadedText(const QByteArray &bytes, const QString &text)
{
    // The line end is a bare LF at the very end, or else the last two bytes.
    const qsizetype lineEnd = bytes.endsWith('\n') && !bytes.endsWith("\r\n") ? 1 : 2;
    if (bytes.size() < lineEnd) {
        FUZZ_CHECK(text.isEmpty());
        return;
    }
    // Every byte but those of the line end, one character per byte.
    FUZZ_CHECK(text.size() == bytes.size() - lineEnd);
    FUZZ_CHECK(text.toLatin1() == bytes.first(bytes.size() - lineEnd));
    // Saving the text and loading it again gives the same text.
    FUZZ_CHECK(vortal9::script::scriptTextFromBytes(vortal9::script::scriptFileBytes(text)) == text);
}

void checkHexText(const QString &text, bool hex)
{
    FUZZ_CHECK(hex == std::all_of(text.begin(), text.end(), isHexDigit));
}

void checkDisplayedName(const QString &path)
{
    const QString name = vortal9::script::displayedName(path);
    // The file's name: a tail of the path with no separator in it, and
    // nothing but a separator (or nothing at all) in front of it.
    FUZZ_CHECK(path.endsWith(name));
    FUZZ_CHECK(!name.contains(u'/') && !name.contains(u'\\'));
    const qsizetype start = path.size() - name.size();
    FUZZ_CHECK(start == 0 || isSeparator(path.at(start - 1)));
}

// The cut that playback makes at p: one pair, "E0" or "F0" with the next
// pair, and "F0E0" with one more.
qsizetype nominalTokenLength(QStringView script, qsizetype p)
{
    const QStringView head = script.mid(p, 2);
    if (head != QLatin1String("E0") && head != QLatin1String("F0"))
        return 2;
    return script.mid(p, 4) == QLatin1String("F0E0") ? 6 : 4;
}

void checkToken(QStringView script, qsizetype p, const vortal9::script::Token &token)
{
    const qsizetype length = nominalTokenLength(script, p);
    FUZZ_CHECK(token.text.size() <= MaxTokenLength);
    FUZZ_CHECK(token.text == script.mid(p, length));
    FUZZ_CHECK(token.isBreak == token.text.startsWith(QLatin1String("F0")));

    // The next token starts strictly later, so playback always ends, and
    // never further than the longest token past the end of the text.
    FUZZ_CHECK(token.next > p);
    FUZZ_CHECK(token.next <= std::max(script.size(), p + MaxTokenLength));

    // Between the token and the next one lies nothing but a run of "FF"
    // markers, present exactly when playback waits for the reader's answer,
    // and the run is skipped whole.
    const qsizetype afterToken = p + length;
    FUZZ_CHECK(token.next >= afterToken);
    const qsizetype skipped = token.next - afterToken;
    FUZZ_CHECK(token.waitForAnswer == (skipped > 0));
    FUZZ_CHECK(skipped % 2 == 0);
    for (qsizetype i = afterToken; i < token.next; i += 2)
        FUZZ_CHECK(script.mid(i, 2) == AnswerMarker);
    FUZZ_CHECK(script.mid(token.next, 2) != AnswerMarker);
}

// Sends one token the way the command channel does and checks the reports.
// A script that passed the "Setting" check holds only hexadecimal digits, and
// each of its tokens has to reach the reader as one report.
void sendToken(const QString &token, bool playable)
{
    const QStringList chunks = vortal9::chunkCommand(token);
    FUZZ_CHECK(chunks.size() == 1);
    FUZZ_CHECK(chunks.front() == token);
    for (const QString &chunk : chunks) {
        const QStringList pairs = vortal9::chunkPairs(chunk);
        const auto report = vortal9::buildFeatureReport(chunk, ReportLength);
        if (playable)
            FUZZ_CHECK(report.has_value());
        if (report) {
            FUZZ_CHECK(report->size() == std::size_t(ReportLength));
            FUZZ_CHECK((*report)[0] == 0);
            FUZZ_CHECK(pairs.size() <= ReportLength - 1);
        }
    }
}

void playBack(const QString &script, bool playable)
{
    // "Setting" refuses a script that ends with its header.
    if (script.size() <= vortal9::script::PlaybackStart)
        return;
    qsizetype p = vortal9::script::PlaybackStart;
    for (;;) {
        const vortal9::script::Token token = vortal9::script::cutToken(script, p);
        checkToken(script, p, token);
        sendToken(token.text, playable);
        if (!vortal9::script::hasNextToken(script, token.next)) {
            // Playback ends with at most one character left unsent.
            FUZZ_CHECK(script.size() - token.next <= 1);
            return;
        }
        p = token.next;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));

    const QString text = vortal9::script::scriptTextFromBytes(bytes);
    checkLoadedText(bytes, text);

    const bool hex = vortal9::script::isHexText(text);
    checkHexText(text, hex);

    // The same bytes as the path that the dialog returned.
    checkDisplayedName(QString::fromUtf8(bytes.first(std::min(bytes.size(), MaxPathLength))));

    // The check that "Setting" makes before it plays a script back.
    const bool playable = text.size() > vortal9::script::PlaybackStart
                          && text.startsWith(vortal9::scancode::HotKey) && hex;
    playBack(text, playable);
    return 0;
}
