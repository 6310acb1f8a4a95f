#include "batch/Output.h"

#include "batch/BatchTool.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vortal9::batch {

namespace {

// A byte that is not part of valid UTF-8 is kept as a lone low surrogate,
// U+DC80 to U+DCFF, which valid UTF-8 never decodes to.
constexpr char16_t KeptByteBase = 0xDC00;

bool isKeptByte(char16_t c)
{
    return c >= KeptByteBase + 0x80 && c <= KeptByteBase + 0xFF;
}

QString hexEscape(unsigned value)
{
    return QStringLiteral("\\x") + QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

// Characters that print nothing of their own but change how a terminal lays
// out the text around them: format characters (the bidirectional overrides
// and isolates, which can show a line reversed; zero-width characters) and
// the line and paragraph separators, which some terminals and viewers take
// as line ends.
bool isLayoutCharacter(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph: return true;
    default: return false;
    }
}

// \u202E for a character of the Basic Multilingual Plane, \U000E0001 beyond.
QString codePointEscape(char32_t c)
{
    return c > 0xFFFF ? QStringLiteral("\\U") + QString::number(c, 16).toUpper().rightJustified(8, QLatin1Char('0'))
                      : QStringLiteral("\\u") + QString::number(c, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

// The length of the valid UTF-8 sequence at bytes[i], or 0 when it is none.
int validSequenceLength(const QByteArray &bytes, qsizetype i)
{
    const auto byte = [&](qsizetype k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned lead = byte(i);
    int length = 0;
    char32_t min = 0;
    char32_t code = 0;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, min = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, min = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > bytes.size())
        return 0;
    for (int k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    // No overlong forms, no surrogates, nothing beyond Unicode.
    if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

} // namespace

QString shown(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const bool pairStart = QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        const char32_t code = pairStart ? QChar::surrogateToUcs4(c, text[i + 1].unicode()) : char32_t(c);
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            result += hexEscape(c);
        } else if (isKeptByte(c)) {
            result += hexEscape(c - KeptByteBase);
        } else if (isLayoutCharacter(code)) {
            result += codePointEscape(code);
            i += pairStart ? 1 : 0;
        } else if (pairStart) {
            result += text[i];
            result += text[++i];
        } else if (QChar::isSurrogate(c)) {
            result += QChar(QChar::ReplacementCharacter);
        } else {
            result += text[i];
        }
    }
    return result;
}

QByteArray jsonLine(const QJsonObject &object)
{
    // Outside strings compact JSON is ASCII without DEL: every DEL byte and
    // every other character escaped here stands inside a string.
    // Every line names the version of its schema (docs/json.md).
    QJsonObject versioned = object;
    versioned.insert(QStringLiteral("version"), JsonVersion);
    const QByteArray json = QJsonDocument(versioned).toJson(QJsonDocument::Compact);
    auto escaped = [](char16_t unit) { return "\\u" + QByteArray::number(unit, 16).rightJustified(4, '0'); };
    QByteArray line;
    line.reserve(json.size());
    for (qsizetype i = 0; i < json.size();) {
        const int length = validSequenceLength(json, i);
        if (length < 2) { // ASCII (the writer gives valid UTF-8 only)
            line += json[i] == 0x7F ? escaped(0x7F) : QByteArray(1, json[i]);
            ++i;
            continue;
        }
        const QString character = QString::fromUtf8(json.constData() + i, length);
        const char32_t code = character.size() == 2 ? QChar::surrogateToUcs4(character[0], character[1])
                                                    : char32_t(character[0].unicode());
        // The C1 controls, which some terminals act on, and the characters
        // that change the layout of a line (see isLayoutCharacter), as
        // \u escapes (a pair of them beyond the Basic Multilingual Plane).
        if ((code >= 0x80 && code <= 0x9F) || isLayoutCharacter(code)) {
            for (const QChar unit : character)
                line += escaped(unit.unicode());
        } else {
            line += json.mid(i, length);
        }
        i += length;
    }
    return line;
}

QString argumentFromBytes(const QByteArray &bytes)
{
    QString text;
    for (qsizetype i = 0; i < bytes.size();) {
        const int length = validSequenceLength(bytes, i);
        if (length == 0) {
            text += QChar(char16_t(KeptByteBase + static_cast<unsigned char>(bytes[i])));
            ++i;
        } else {
            text += QString::fromUtf8(bytes.constData() + i, length);
            i += length;
        }
    }
    return text;
}

QByteArray argumentBytes(const QString &argument)
{
    QByteArray bytes;
    qsizetype start = 0; // the run of ordinary text not yet encoded
    for (qsizetype i = 0; i < argument.size(); ++i) {
        const char16_t c = argument[i].unicode();
        // A kept byte is a lone low surrogate: one after a high surrogate is
        // the second half of a pair.
        if (isKeptByte(c) && !(i > 0 && argument[i - 1].isHighSurrogate())) {
            bytes += argument.mid(start, i - start).toUtf8();
            bytes += char(c - KeptByteBase);
            start = i + 1;
        }
    }
    bytes += argument.mid(start).toUtf8();
    return bytes;
}

} // namespace vortal9::batch
