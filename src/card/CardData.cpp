#include "card/CardData.h"

#include "keyboard/UsKeyboard.h"

namespace vortal9::card {

namespace {

// No track is longer than this (track 3, sentinels included): a start
// sentinel further back begins no track.
constexpr int LongestTrack = 107;

bool isStartSentinel(QChar c)
{
    return c == Track1Start || c == Track23Start;
}

bool endsLine(QChar c)
{
    return c == u'\n' || c == u'\t' || c == u'\r';
}

} // namespace

void CardGuard::beginBurst(bool awaited)
{
    m_burstIsNoAnswer = !awaited;
    if (m_burstIsNoAnswer)
        ++m_swipes;
}

void CardGuard::key(const CapturedKey &key, int step)
{
    // A key that types nothing (Shift, F10) neither ends nor extends a run.
    const bool digit = keyboard::isDigitPosition(key.code);
    if (keyboard::isModifierPosition(key.code) || (key.text.isEmpty() && !digit))
        return;
    // The reader's own view of the key: a U.S. keyboard's.
    const QChar us = keyboard::usCharacter(key.code, key.shifted);
    const bool lineEnd = endsLine(us) || endsLine(key.text.isEmpty() ? QChar() : key.text.front());
    if (m_inCard) {
        // The rest of a card, up to its line end: whatever step it runs
        // into has no answer that can be kept.
        voidStep(step);
        if (lineEnd)
            m_inCard = false;
        return;
    }

    // Runs and tracks are followed through typing that is no answer too: a
    // card typed in pieces may fall partly between the answers.
    m_run = digit ? m_run + 1 : 0;
    if (m_inTrack) {
        ++m_trackLength;
        if (digit)
            ++m_trackDigits;
        const bool ends = us == TrackEnd || lineEnd;
        if (ends && m_trackDigits >= TrackDigits)
            return voidHeld(step, lineEnd);
        if (ends || m_trackLength > LongestTrack)
            m_inTrack = false;
    }
    if (isStartSentinel(us)) {
        m_inTrack = true;
        m_trackDigits = 0;
        m_trackLength = 0;
    }
    if (m_run >= RunOfDigits)
        return voidHeld(step, false);
    if (m_burstIsNoAnswer)
        voidStep(step); // never kept, nor shown
    else
        hold(step, key.text);
    if (m_run == 0 && !m_inTrack)
        release();
}

void CardGuard::endBurst()
{
    m_burstIsNoAnswer = false;
}

void CardGuard::settle()
{
    // A track cut off by the end of the typing is a track all the same.
    if (m_inTrack && m_trackDigits >= TrackDigits)
        voidHeld(-1, true);
    m_run = 0;
    m_inTrack = false;
    m_inCard = false;
    release();
}

std::vector<CardGuard::Piece> CardGuard::takeKept()
{
    return std::exchange(m_kept, {});
}

std::set<int> CardGuard::takeVoid()
{
    return std::exchange(m_void, {});
}

CardGuard CardGuard::split()
{
    CardGuard rest = *this;
    rest.m_kept.clear();
    rest.m_void.clear();
    rest.m_swipes = 0;
    m_held.clear();
    m_run = 0;
    m_inTrack = false;
    m_inCard = false;
    return rest;
}

void CardGuard::hold(int step, const QString &text)
{
    if (text.isEmpty())
        return;
    if (!m_held.empty() && m_held.back().step == step)
        m_held.back().text += text;
    else
        m_held.push_back({step, text});
}

void CardGuard::release()
{
    for (Piece &piece : m_held) {
        if (!m_kept.empty() && m_kept.back().step == piece.step)
            m_kept.back().text += piece.text;
        else
            m_kept.push_back(std::move(piece));
    }
    m_held.clear();
}

void CardGuard::voidHeld(int step, bool atLineEnd)
{
    for (const Piece &piece : m_held)
        voidStep(piece.step);
    voidStep(step);
    m_held.clear();
    m_run = 0;
    m_inTrack = false;
    m_inCard = !atLineEnd;
    if (!m_burstIsNoAnswer)
        ++m_swipes; // typing that is no answer is counted once, when it begins
}

void CardGuard::voidStep(int step)
{
    if (step >= 0)
        m_void.insert(step);
}

QChar masked(QChar c)
{
    if (c.isDigit())
        return u'9';
    if (c.isLetter())
        return u'A';
    return c;
}

QChar maskedKey(const CapturedKey &key)
{
    // A key that types nothing here (a modifier, a Ctrl combination).
    if (key.text.isEmpty())
        return QChar();
    // The digit row without Shift, and the keypad's digits.
    if (keyboard::isDigitPosition(key.code) && (!key.shifted || key.code > 11))
        return u'9';
    const QChar us = keyboard::usCharacter(key.code, key.shifted);
    return masked(us.isNull() ? key.text.at(0) : us);
}

} // namespace vortal9::card
