// What a reader types when a card is swiped is cardholder data: the program
// never prints, logs, saves or keeps it. Where text the reader typed is kept
// (an answer transcript), every track in it is masked first.
#pragma once

#include <QString>

namespace vortal9::card {

// Track start sentinels ('%' for track 1, ';' for tracks 2 and 3) and the
// end sentinel of every track.
inline constexpr char16_t Track1Start = u'%';
inline constexpr char16_t Track23Start = u';';
inline constexpr char16_t TrackEnd = u'?';

// The text with every letter and digit from a start sentinel to the next end
// sentinel (or to the end of the text) replaced: letters by 'A', digits by
// '9'. Everything else, the sentinels and separators included, is kept, so
// the shape of what was typed stays visible.
QString maskTracks(const QString &text);

// One character masked: letters 'A', digits '9', anything else itself.
QChar masked(QChar c);

} // namespace vortal9::card
