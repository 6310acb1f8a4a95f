// What a reader types when a card is swiped is cardholder data: the program
// never prints, logs, saves or keeps it. Which typing is card data is decided
// by what the reader does, its keys and when it types them, never by what
// the decoded text looks like: the host's keymap may turn the digits into
// anything ('(' '&' 'à' on a French one), and a reader may be set to send
// other sentinels, none, or pieces of a track with pauses in between.
//
// Two rules decide, and where they cannot tell, nothing is kept:
//
// 1. When: typing that begins while no answer is awaited (nothing was sent,
//    or its answer is over) is no answer. It is never kept nor shown; a step
//    that such typing runs into has no answer that can be kept (void). Its
//    keys still count in the runs below: a card typed in pieces may fall
//    partly between answers.
// 2. Keys: an answer is held back while it may still turn out to be a card:
//    while a run of digit keys is open (the digit row, with Shift or
//    without, and the keypad's digits), and from a track's start sentinel
//    until its end or a line end. A run of RunOfDigits digit keys, or a start
//    sentinel followed by TrackDigits digit keys and then an end sentinel, a
//    line end or the end of the typing, is card data: what was held is
//    dropped, every step it touched is void, and so is everything typed
//    after it up to the next line end (the rest of the card, in one burst or
//    in pieces). Any other key ends a run; what was held is then kept
//    exactly as typed.
//
// A run is followed across the answers of several steps: a card typed in
// pieces, slower than the quiet period, is still one run.
#pragma once

#include "device/KeyCapture.h"

#include <QString>

#include <set>
#include <vector>

namespace vortal9::card {

// Track start sentinels ('%' for track 1, ';' for tracks 2 and 3) and the
// end sentinel of every track, as a U.S. keyboard types them.
inline constexpr char16_t Track1Start = u'%';
inline constexpr char16_t Track23Start = u';';
inline constexpr char16_t TrackEnd = u'?';

// A run of this many digit keys is a card number (the shortest primary
// account numbers have 8 digits; menus do not type such runs).
inline constexpr int RunOfDigits = 8;
// A start sentinel, at least this many digit keys, and an end sentinel,
// without a line end: a track, whatever its length.
inline constexpr int TrackDigits = 4;

// Follows everything a reader types, key by key, and decides what of it may
// be kept (shown, stored in an answer) and which steps' answers are void.
// Copyable: a reader that goes on typing after its session closed is
// followed by a copy.
class CardGuard
{
public:
    // Text decided to be no card data, typed while step was answered (-1:
    // no step is open; such text may be shown, never stored).
    struct Piece
    {
        int step = -1;
        QString text;
        bool operator==(const Piece &) const = default;
    };

    // The reader begins typing after a quiet period. awaited: an answer is
    // awaited now (a command went out and its answer is not over).
    void beginBurst(bool awaited);
    // A key of the burst, while step is open (-1: none).
    void key(const CapturedKey &key, int step);
    // The reader has been quiet for the quiet period.
    void endBurst();
    // Nothing more will be typed that could complete what is held: it is
    // decided as it stands (a run too short to be a card is kept).
    void settle();

    // What was decided since the last call, in the order it was typed.
    std::vector<Piece> takeKept();
    // Steps found void since the last call.
    std::set<int> takeVoid();
    bool holdsText() const { return !m_held.empty(); }
    // Hands what is undecided, and the state of the typing, to a new guard
    // (which goes on following the reader after its session has closed);
    // this one keeps its counts and nothing undecided.
    CardGuard split();
    // Bursts that were no answer, and cards found inside answers.
    int swipes() const { return m_swipes; }

private:
    void hold(int step, const QString &text);
    void release();
    // Card data: what is held is dropped, and the steps it touched are void;
    // what follows is void too, up to a line end (unless this is one).
    void voidHeld(int step, bool atLineEnd);
    void voidStep(int step);

    std::vector<Piece> m_held; // undecided, in order
    std::vector<Piece> m_kept; // decided, not yet taken
    std::set<int> m_void;      // not yet taken
    bool m_burstIsNoAnswer = false; // the burst began while nothing was awaited
    bool m_inCard = false;          // a card was found, and no line end came since
    int m_run = 0;                  // digit keys in the open run
    bool m_inTrack = false;         // a start sentinel, and no end or line end since
    int m_trackDigits = 0;
    int m_trackLength = 0;
    int m_swipes = 0;
};

// One character masked: letters 'A', digits '9', anything else itself.
QChar masked(QChar c);

// A key as a U.S. keyboard types it (the reader's own view of its keys,
// whatever the host's keymap), masked: letters 'A', digits '9'. The null
// character for a key that types nothing there.
QChar maskedKey(const CapturedKey &key);

} // namespace vortal9::card
