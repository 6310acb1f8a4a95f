#include "card/CardData.h"

namespace vortal9::card {

QChar masked(QChar c)
{
    if (c.isDigit())
        return u'9';
    if (c.isLetter())
        return u'A';
    return c;
}

QString maskTracks(const QString &text)
{
    QString result = text;
    bool inTrack = false;
    for (QChar &c : result) {
        if (!inTrack) {
            inTrack = c == Track1Start || c == Track23Start;
        } else if (c == TrackEnd) {
            inTrack = false;
        } else {
            c = masked(c);
        }
    }
    return result;
}

} // namespace vortal9::card
