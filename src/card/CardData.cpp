#include "card/CardData.h"

#include <algorithm>

namespace vortal9::card {

namespace {

// The longest track a card holds (track 3, sentinels included). Text without
// a start sentinel that runs longer holds no track at its start.
constexpr qsizetype LongestTrack = 107;

bool endsTrack(QChar c)
{
    return c == u'\n' || c == u'\r' || c == u'\t';
}

bool holdsDigit(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isDigit(); });
}

QString maskedText(QString text)
{
    for (QChar &c : text)
        c = masked(c);
    return text;
}

} // namespace

QChar masked(QChar c)
{
    if (c.isDigit())
        return u'9';
    if (c.isLetter())
        return u'A';
    return c;
}

QString TrackMasker::cut()
{
    QString text = std::exchange(m_pending, QString());
    // A start sentinel with digits after it is a track cut short; text
    // without one is what a menu or a prompt types.
    const bool track = m_started && holdsDigit(text);
    m_started = false;
    return track ? maskedText(std::move(text)) : text;
}

QString TrackMasker::feed(const QString &text)
{
    QString decided;
    for (const QChar c : text) {
        if (c == Track1Start || c == Track23Start) {
            decided += cut();
            m_pending = c;
            m_started = true;
        } else if (c == TrackEnd) {
            m_pending += c;
            // Heard from its start sentinel on, a track is masked whole;
            // without one, only when it holds card digits.
            const bool track = m_started || holdsDigit(m_pending);
            decided += track ? maskedText(std::exchange(m_pending, QString())) : std::exchange(m_pending, QString());
            m_started = false;
        } else if (endsTrack(c)) {
            decided += cut();
            decided += c;
        } else {
            m_pending += c;
            if (!m_started && m_pending.size() > LongestTrack) {
                // What lies further back than a track's length begins no track.
                decided += m_pending.left(m_pending.size() - LongestTrack);
                m_pending.remove(0, m_pending.size() - LongestTrack);
            }
        }
    }
    return decided;
}

QString TrackMasker::end()
{
    return cut();
}

QString maskTracks(const QString &text)
{
    TrackMasker masker;
    QString masked = masker.feed(text);
    return masked + masker.end();
}

} // namespace vortal9::card
