// What a click on an on-screen key sends to the reader, and how it moves the
// latched modifier. The code of a key depends only on its position; the
// country decides only whether right Alt is a plain Alt key (U.S.) or a
// latching Alt Gr key (every other layout).
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace vortal9::keyboard {

// The latched modifier of the on-screen keyboard.
inline constexpr int NoModifier = 0;
inline constexpr int ShiftLatched = 1;
inline constexpr int AltGrLatched = 2;

struct KeyStroke
{
    QStringList sends;     // scan-code strings, in order, each sent on its own
    int modifierAfter = NoModifier;
    // What the keyboard shows afterwards; unset means unchanged.
    std::optional<bool> shiftLatchShown; // keys 41 and 53 in the latched colour
    std::optional<bool> altGrLatchShown; // key 57 in the latched colour
    std::optional<bool> rightAltEnabled; // key 57 clickable while the rest waits
    std::optional<bool> shiftEnabled;    // keys 41 and 53 clickable while the rest waits
    bool reloadsPictures = false;        // the pictures of the new state are shown
};

// The stroke of key `index` (0 to 58) with `modifierBefore` latched. Any
// modifier value other than 0 and 1 counts as Alt Gr.
KeyStroke keyStroke(int index, int modifierBefore, bool nationalLayout);

// The keys that a reader holds down after the reports sent to it: a make
// code presses its key, a break releases it. Prefixes may end one report and
// apply to the first code of the next, as the reader reads them.
class HeldKeys
{
public:
    // The payload bytes of one report (without the report ID); zero bytes are
    // the fill after the payload and are skipped.
    void feed(const std::vector<std::uint8_t> &payload);
    // A report that failed after the system had handed it to the reader (a
    // time-out, a wait that a signal broke): the reader may have taken it or
    // not. Every key it presses counts as down, and a key it releases stays
    // down: a break for a key that is up does no harm, a key left down does.
    void feedPossiblyTaken(const std::vector<std::uint8_t> &payload);
    bool isEmpty() const { return m_down.empty(); }
    // The breaks of every key still down, last pressed first ("F012",
    // "F0E011"); empty when none is down. Keys that the make codes in kept
    // press (a latched modifier, "12") are left down.
    QString releaseString(const QString &kept = {}) const;
    void clear();

private:
    void take(const std::vector<std::uint8_t> &payload, bool surely);

    std::vector<std::pair<bool, std::uint8_t>> m_down; // (extended, code) in pressing order
    bool m_extended = false;
    bool m_break = false;
};

} // namespace vortal9::keyboard
