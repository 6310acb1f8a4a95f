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

// Masks the tracks in what a reader types, heard piece by piece from the
// moment its keys are captured, however the pieces fall: a track begun in
// one piece and ended in a later one is masked whole.
//
// A track is the text from a start sentinel to its end sentinel. Card
// tracks never hold a line break or a tab, so one of these ends what a start
// sentinel began: text there is no track (a menu line "1 Preamble: %"), and
// is given as typed unless it holds a digit (a track cut short). Text whose
// start sentinel was never heard (the capture began in the middle of a
// swipe) is a track when it ends in an end sentinel and holds a digit.
//
// Text that may still turn out to be a track is held back until it is
// decided; end() gives it once the reader has fallen quiet (a swipe is typed
// without a pause), by the same rules.
//
// Masked means every letter replaced by 'A' and every digit by '9'; the
// sentinels, separators and the length stay, so the shape stays visible.
class TrackMasker
{
public:
    // The next text the reader typed. Returns what is decided now, masked
    // where it is a track, in the order it was typed.
    QString feed(const QString &text);
    // The reader is quiet: everything held back, decided as above.
    QString end();
    // Whether text is held back.
    bool holdsText() const { return !m_pending.isEmpty(); }

private:
    // The held text is cut off by a line break, a tab, a start sentinel or
    // the end of the answer.
    QString cut();

    QString m_pending;      // may still be a track
    bool m_started = false; // m_pending begins with a start sentinel
};

// The text with its tracks masked, as a TrackMasker fed the whole text gives it.
QString maskTracks(const QString &text);

// One character masked: letters 'A', digits '9', anything else itself.
QChar masked(QChar c);

} // namespace vortal9::card
