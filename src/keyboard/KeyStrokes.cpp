#include "keyboard/KeyStrokes.h"

#include "keyboard/KeyTable.h"

#include <algorithm>

namespace vortal9::keyboard {

namespace {

KeyStroke shiftStroke(int before, bool national)
{
    KeyStroke s;
    s.reloadsPictures = true;
    switch (before) {
    case NoModifier:
        s.modifierAfter = ShiftLatched;
        s.shiftLatchShown = true;
        s.sends << QLatin1String(ShiftMake);
        break;
    case ShiftLatched:
        s.modifierAfter = NoModifier;
        s.shiftLatchShown = false;
        s.sends << QLatin1String(ShiftBreak);
        break;
    default: // Alt Gr latched: release it, then latch Shift
        s.modifierAfter = ShiftLatched;
        s.altGrLatchShown = false;
        s.shiftLatchShown = true;
        s.sends << QLatin1String(AltGrBreak) << QLatin1String(ShiftMake);
        break;
    }
    // Alt Gr cannot be latched on top of Shift, so key 57 is off while Shift
    // is latched; on U.S. it is a plain Alt key and stays as it is.
    if (national)
        s.rightAltEnabled = s.modifierAfter != ShiftLatched;
    return s;
}

KeyStroke altGrStroke(int before)
{
    KeyStroke s;
    s.reloadsPictures = true;
    switch (before) {
    case NoModifier:
        s.modifierAfter = AltGrLatched;
        s.sends << QLatin1String(AltGrMake);
        s.altGrLatchShown = true;
        s.shiftEnabled = false;
        break;
    case ShiftLatched:
        s.modifierAfter = AltGrLatched;
        s.sends << QLatin1String(ShiftBreak) << QLatin1String(AltGrMake);
        s.altGrLatchShown = true;
        s.shiftLatchShown = false;
        break;
    default:
        s.modifierAfter = NoModifier;
        s.sends << QLatin1String(AltGrBreak);
        s.altGrLatchShown = false;
        s.shiftEnabled = true;
        break;
    }
    return s;
}

} // namespace

KeyStroke keyStroke(int index, int modifierBefore, bool nationalLayout)
{
    // Keys that leave the modifier alone: an ordinary key is a plain key
    // stroke, which the reader takes as shifted or Alt Gr while one is held.
    KeyStroke plain;
    plain.modifierAfter = modifierBefore;
    if (index < 0 || index >= int(keyTable().size()))
        return plain;
    const KeyInfo &key = keyTable()[std::size_t(index)];
    switch (key.kind) {
    case KeyKind::Ordinary:
        plain.sends << key.scanString;
        return plain;
    case KeyKind::Shift:
        return shiftStroke(modifierBefore, nationalLayout);
    case KeyKind::RightAlt:
        if (nationalLayout)
            return altGrStroke(modifierBefore);
        plain.sends << QLatin1String(RightAltStroke);
        return plain;
    case KeyKind::Inactive:
        break;
    }
    return plain;
}

namespace {
constexpr std::uint8_t ExtendedPrefix = 0xE0;
constexpr std::uint8_t BreakPrefix = 0xF0;
} // namespace

void HeldKeys::feed(const std::vector<std::uint8_t> &payload)
{
    take(payload, true);
}

void HeldKeys::feedPossiblyTaken(const std::vector<std::uint8_t> &payload)
{
    take(payload, false);
}

void HeldKeys::take(const std::vector<std::uint8_t> &payload, bool surely)
{
    for (const std::uint8_t byte : payload) {
        if (byte == 0)
            continue;
        if (byte == ExtendedPrefix) {
            m_extended = true;
            continue;
        }
        if (byte == BreakPrefix) {
            m_break = true;
            continue;
        }
        const std::pair<bool, std::uint8_t> key{m_extended, byte};
        if (!m_break) {
            m_down.erase(std::remove(m_down.begin(), m_down.end(), key), m_down.end());
            m_down.push_back(key);
        } else if (surely) {
            m_down.erase(std::remove(m_down.begin(), m_down.end(), key), m_down.end());
        }
        m_extended = false;
        m_break = false;
    }
}

QString HeldKeys::releaseString(const QString &kept) const
{
    HeldKeys keep;
    const QByteArray keptBytes = QByteArray::fromHex(kept.toLatin1());
    keep.feed(std::vector<std::uint8_t>(keptBytes.begin(), keptBytes.end()));
    QString text;
    for (auto it = m_down.rbegin(); it != m_down.rend(); ++it) {
        if (std::find(keep.m_down.begin(), keep.m_down.end(), *it) != keep.m_down.end())
            continue;
        text += it->first ? QLatin1String("F0E0") : QLatin1String("F0");
        text += QStringLiteral("%1").arg(it->second, 2, 16, QLatin1Char('0')).toUpper();
    }
    return text;
}

void HeldKeys::clear()
{
    m_down.clear();
    m_extended = false;
    m_break = false;
}

} // namespace vortal9::keyboard
