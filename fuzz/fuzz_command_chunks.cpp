// Fuzzes the cutting of a command string into feature reports.
//
// Input: the first byte chooses the report length L (0..64, report ID byte
// included), the remaining bytes are the command string in Latin-1, the
// encoding in which a script file reaches the command channel.
#include "FuzzCheck.h"

#include "device/CommandChunks.h"

#include <QString>
#include <QStringList>

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

constexpr int MaxReportLength = 64;
constexpr qsizetype SingleChunkLimit = 15;
constexpr qsizetype ChunkLength = 14;

bool isHexDigit(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'F') || (u >= u'a' && u <= u'f');
}

// The byte that a one- or two-digit pair stands for; -1 when a digit is not
// hexadecimal.
int pairValue(const QString &pair)
{
    for (const QChar c : pair) {
        if (!isHexDigit(c))
            return -1;
    }
    bool ok = false;
    const int value = pair.toInt(&ok, 16);
    return ok ? value : -1;
}

void checkChunking(const QString &text, const QStringList &chunks)
{
    FUZZ_CHECK(!chunks.isEmpty());
    FUZZ_CHECK(chunks.join(QString()) == text);
    if (text.size() <= SingleChunkLimit) {
        FUZZ_CHECK(chunks.size() == 1);
        return;
    }
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        const qsizetype length = chunks.at(i).size();
        if (i + 1 < chunks.size())
            FUZZ_CHECK(length == ChunkLength);
        else
            FUZZ_CHECK(length >= 1 && length <= ChunkLength);
    }
}

void checkPairs(const QString &chunk, const QStringList &pairs)
{
    // Half the length rounded to nearest with ties to even, which is what
    // lrint does in the default rounding mode.
    const long expectedCount = std::lrint(static_cast<double>(chunk.size()) / 2.0);
    FUZZ_CHECK(pairs.size() == expectedCount);
    for (qsizetype k = 0; k < pairs.size(); ++k) {
        FUZZ_CHECK(pairs.at(k) == chunk.mid(2 * k, 2));
        // Only the very last pair may be a single digit.
        FUZZ_CHECK(pairs.at(k).size() == 2 || (k + 1 == pairs.size() && pairs.at(k).size() == 1));
    }
    // The pairs cover the chunk from its start; at most its last digit is left out.
    const QString joined = pairs.join(QString());
    FUZZ_CHECK(chunk.startsWith(joined));
    FUZZ_CHECK(chunk.size() - joined.size() <= 1);
}

void checkReport(const QString &chunk, const QStringList &pairs, int reportLength)
{
    const auto report = vortal9::buildFeatureReport(chunk, reportLength);

    bool allHex = true;
    for (const QString &pair : pairs)
        allHex = allHex && pairValue(pair) >= 0;
    const bool fits = pairs.size() <= qsizetype(reportLength) - 1;
    // A report is refused only when it has to be: nothing to send, a digit
    // that is not hexadecimal, or more pairs than payload bytes.
    const bool buildable = !chunk.isEmpty() && allHex && fits;
    FUZZ_CHECK(report.has_value() == buildable);
    if (!report)
        return;

    FUZZ_CHECK(report->size() == std::size_t(reportLength));
    FUZZ_CHECK((*report)[0] == 0);
    for (qsizetype k = 0; k < pairs.size(); ++k)
        FUZZ_CHECK((*report)[std::size_t(k) + 1] == pairValue(pairs.at(k)));
    for (std::size_t i = std::size_t(pairs.size()) + 1; i < report->size(); ++i)
        FUZZ_CHECK((*report)[i] == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int reportLength = data[0] % (MaxReportLength + 1);
    const QString text = QString::fromLatin1(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    const QStringList chunks = vortal9::chunkCommand(text);
    checkChunking(text, chunks);
    for (const QString &chunk : chunks) {
        FUZZ_CHECK(chunk.size() <= SingleChunkLimit);
        const QStringList pairs = vortal9::chunkPairs(chunk);
        checkPairs(chunk, pairs);
        checkReport(chunk, pairs, reportLength);
    }
    return 0;
}
