// The U.S. keyboard's character keys by position. A reader types as a U.S.
// keyboard would: each character it sends is a key position (with Shift or
// without), whatever the host's keymap makes of it. Positions are Linux input
// key codes (CapturedKey::code).
#pragma once

#include <QChar>

#include <optional>

namespace vortal9::keyboard {

struct UsKey
{
    quint16 code = 0;
    bool shifted = false;
};

// The key that types ch on a U.S. keyboard: "\n" Return, "\t" Tab, "\b"
// BackSpace, ' ' the space bar; nullopt for a character it has no key for.
std::optional<UsKey> usKeyFor(QChar ch);

// What a key types on a U.S. keyboard (the main block and the keypad), as
// usKeyFor() has it; the null character for a key that types none there.
QChar usCharacter(quint16 code, bool shifted);

// Key positions the card-data checks look at.
namespace position {
inline constexpr quint16 LeftShift = 42;
inline constexpr quint16 RightShift = 54;
inline constexpr quint16 LeftCtrl = 29;
inline constexpr quint16 RightCtrl = 97;
inline constexpr quint16 LeftAlt = 56;
inline constexpr quint16 RightAlt = 100;
inline constexpr quint16 LeftMeta = 125;
inline constexpr quint16 RightMeta = 126;
inline constexpr quint16 CapsLock = 58;
inline constexpr quint16 NumLock = 69;
} // namespace position

// A key of the digit row (with Shift or without: a reader set for a country
// whose digits need Shift types them so) or a digit of the keypad.
bool isDigitPosition(quint16 code);
// A key that only changes how others type (Shift, Ctrl, Alt, the locks).
bool isModifierPosition(quint16 code);

} // namespace vortal9::keyboard
