// Cutting a scan-code string into feature reports.
#include "device/CommandChunks.h"

#include "device/ScanCodes.h"

namespace vortal9 {

namespace {

// A command is sent whole up to this length; longer ones are cut into
// pieces of ChunkLength characters, which give at most 7 payload bytes.
constexpr qsizetype SingleChunkLimit = 15;
constexpr qsizetype ChunkLength = 14;

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return u - u'a' + 10;
}

// Number of pairs in a chunk: half its length, rounded to the nearest whole
// number with a half going to the even neighbour. An odd length whose half
// rounds up ends in a one-digit pair; one whose half rounds down drops its
// last digit.
qsizetype pairCount(qsizetype length)
{
    const qsizetype whole = length / 2;
    const bool half = (length % 2) != 0;
    return (half && (whole % 2) != 0) ? whole + 1 : whole;
}

} // namespace

QStringList chunkCommand(const QString &text)
{
    if (text.size() <= SingleChunkLimit)
        return {text};
    QStringList chunks;
    for (qsizetype pos = 0; pos < text.size(); pos += ChunkLength)
        chunks.append(text.mid(pos, ChunkLength));
    return chunks;
}

QStringList chunkPairs(const QString &chunk)
{
    const qsizetype n = pairCount(chunk.size());
    QStringList pairs;
    pairs.reserve(n);
    for (qsizetype k = 0; k < n; ++k)
        pairs.append(chunk.mid(2 * k, 2));
    return pairs;
}

std::optional<std::vector<std::uint8_t>> buildFeatureReport(const QString &chunk, int reportLength)
{
    if (chunk.isEmpty())
        return std::nullopt;
    const QStringList pairs = chunkPairs(chunk);
    if (pairs.size() > qsizetype(reportLength) - 1)
        return std::nullopt;

    std::vector<std::uint8_t> report(std::size_t(reportLength), 0);
    for (qsizetype k = 0; k < pairs.size(); ++k) {
        const QString &pair = pairs.at(k);
        int value = 0;
        for (const QChar c : pair) {
            if (!scancode::isHexDigit(c))
                return std::nullopt;
            value = value * 16 + hexValue(c);
        }
        report[std::size_t(k) + 1] = std::uint8_t(value);
    }
    return report;
}

} // namespace vortal9
