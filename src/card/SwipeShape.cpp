#include "card/SwipeShape.h"

#include "card/CardData.h"

#include <QJsonArray>
#include <QStringList>

namespace vortal9::card {

namespace {

QString maskedText(QStringView text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text)
        result += masked(c);
    return result;
}

bool isStart(QChar c)
{
    return c == Track1Start || c == Track23Start;
}

QString quoted(const QString &text)
{
    QString result = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\')
            result += u'\\' + QString(c);
        else if (c < u' ' || (c >= u'\x7f' && c <= u'\x9f'))
            result += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper().replace(u'X', u'x');
        else
            result += c;
    }
    return result + u'"';
}

// Reads a quoted text at pos (after the opening quote's prefix); pos ends
// after the closing quote.
std::optional<QString> unquoted(const QString &text, qsizetype &pos)
{
    if (pos >= text.size() || text[pos] != u'"')
        return std::nullopt;
    QString result;
    for (++pos; pos < text.size(); ++pos) {
        const QChar c = text[pos];
        if (c == u'"') {
            ++pos;
            return result;
        }
        if (c != u'\\') {
            result += c;
            continue;
        }
        if (++pos >= text.size())
            return std::nullopt;
        if (text[pos] == u'"' || text[pos] == u'\\') {
            result += text[pos];
        } else if (text[pos] == u'x' && pos + 2 < text.size()) {
            bool ok = false;
            const int code = text.mid(pos + 1, 2).toInt(&ok, 16);
            if (!ok)
                return std::nullopt;
            result += QChar(code);
            pos += 2;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

const char *terminatorName(SwipeShape::Terminator t)
{
    switch (t) {
    case SwipeShape::Terminator::CR: return "CR";
    case SwipeShape::Terminator::CRLF: return "CRLF";
    case SwipeShape::Terminator::Tab: return "TAB";
    case SwipeShape::Terminator::None: break;
    }
    return "NONE";
}

} // namespace

QChar fieldSeparator(QChar start)
{
    return start == Track1Start ? u'^' : u'=';
}

SwipeShape SwipeShape::of(const QString &typed)
{
    SwipeShape shape;
    QStringView rest(typed);
    if (rest.endsWith(u"\r\n")) {
        shape.terminator = Terminator::CRLF;
        rest.chop(2);
    } else if (rest.endsWith(u'\n') || rest.endsWith(u'\r')) {
        shape.terminator = Terminator::CR;
        rest.chop(1);
    } else if (rest.endsWith(u'\t')) {
        shape.terminator = Terminator::Tab;
        rest.chop(1);
    }
    qsizetype pos = 0;
    while (pos < rest.size() && !isStart(rest[pos]))
        ++pos;
    shape.preamble = maskedText(rest.left(pos));
    // Tracks follow one another; whatever follows the last one is the postamble.
    while (pos < rest.size() && isStart(rest[pos])) {
        TrackShape track;
        track.start = rest[pos++];
        const QChar separator = fieldSeparator(track.start);
        int field = 0;
        for (; pos < rest.size() && rest[pos] != TrackEnd; ++pos) {
            if (rest[pos] == separator) {
                track.fields.push_back(field);
                field = 0;
            } else {
                ++field;
            }
        }
        track.fields.push_back(field);
        track.ended = pos < rest.size();
        pos += track.ended ? 1 : 0;
        shape.tracks.push_back(track);
    }
    shape.postamble = maskedText(rest.mid(pos));
    return shape;
}

QString SwipeShape::toText() const
{
    QStringList parts { QStringLiteral("pre:") + quoted(preamble) };
    for (const TrackShape &track : tracks) {
        QStringList lengths;
        for (const int length : track.fields)
            lengths << QString::number(length);
        parts << track.start + QStringLiteral("[") + lengths.join(fieldSeparator(track.start)) + QStringLiteral("]")
                + (track.ended ? QStringLiteral("?") : QString());
    }
    parts << QStringLiteral("post:") + quoted(postamble);
    parts << QStringLiteral("term:") + QLatin1String(terminatorName(terminator));
    return parts.join(u' ');
}

QJsonObject SwipeShape::toJson() const
{
    QJsonArray trackList;
    for (const TrackShape &track : tracks) {
        QJsonArray fields;
        for (const int length : track.fields)
            fields.append(length);
        trackList.append(
            QJsonObject { { "start", QString(track.start) }, { "fields", fields }, { "end", track.ended } });
    }
    return { { "preamble", preamble }, { "tracks", trackList }, { "postamble", postamble },
        { "terminator", QLatin1String(terminatorName(terminator)) }, { "shape", toText() } };
}

std::optional<SwipeShape> SwipeShape::parse(const QString &text)
{
    SwipeShape shape;
    qsizetype pos = 0;
    auto skipSpaces = [&] {
        while (pos < text.size() && text[pos] == u' ')
            ++pos;
    };
    auto take = [&](QLatin1String word) {
        if (!QStringView(text).mid(pos).startsWith(word))
            return false;
        pos += word.size();
        return true;
    };
    skipSpaces();
    if (!take(QLatin1String("pre:")))
        return std::nullopt;
    const auto preamble = unquoted(text, pos);
    if (!preamble)
        return std::nullopt;
    shape.preamble = *preamble;
    for (skipSpaces(); pos < text.size() && isStart(text[pos]); skipSpaces()) {
        TrackShape track;
        track.start = text[pos++];
        if (!take(QLatin1String("[")))
            return std::nullopt;
        for (;;) {
            const qsizetype digits = pos;
            while (pos < text.size() && text[pos].isDigit() && text[pos].unicode() < 128)
                ++pos;
            bool ok = false;
            const int length = text.mid(digits, pos - digits).toInt(&ok);
            if (!ok || pos - digits > 6)
                return std::nullopt;
            track.fields.push_back(length);
            if (pos < text.size() && text[pos] == fieldSeparator(track.start)) {
                ++pos;
                continue;
            }
            if (!take(QLatin1String("]")))
                return std::nullopt;
            break;
        }
        track.ended = take(QLatin1String("?"));
        shape.tracks.push_back(track);
    }
    if (!take(QLatin1String("post:")))
        return std::nullopt;
    const auto postamble = unquoted(text, pos);
    if (!postamble)
        return std::nullopt;
    shape.postamble = *postamble;
    skipSpaces();
    if (!take(QLatin1String("term:")))
        return std::nullopt;
    const QString name = text.mid(pos).trimmed();
    for (const Terminator t : { Terminator::None, Terminator::CR, Terminator::CRLF, Terminator::Tab }) {
        if (name == QLatin1String(terminatorName(t))) {
            shape.terminator = t;
            return shape;
        }
    }
    return std::nullopt;
}

} // namespace vortal9::card
