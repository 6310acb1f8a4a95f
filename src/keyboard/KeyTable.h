// The 59 keys of the on-screen keyboard: position, caption and what each
// sends to the reader (PS/2 scan code set 2). The code of a key depends only
// on its position; the country changes only the pictures.
#pragma once

#include <QRect>
#include <QString>

#include <array>

namespace vortal9::keyboard {

enum class KeyKind {
    Ordinary,   // sends make, F0, make as one string
    Shift,      // keys 41 and 53: latch with "12", release with "F012"
    RightAlt,   // key 57: Alt on U.S., latching Alt Gr elsewhere
    Inactive,   // keys 14 (Tab) and 28 (Caps): never send anything
};

struct KeyInfo
{
    KeyKind kind;
    QString scanString;  // what an ordinary key sends, e.g. "1EF01E"
    QString caption;     // fixed caption, empty for picture keys
    QRect twips;         // position and size inside the keyboard frame
};

inline constexpr int ShiftLeftKey = 41;
inline constexpr int ShiftRightKey = 53;
inline constexpr int RightAltKey = 57;
inline constexpr int TabKey = 14;
inline constexpr int CapsKey = 28;

inline constexpr char ShiftMake[] = "12";
inline constexpr char ShiftBreak[] = "F012";
inline constexpr char AltGrMake[] = "E011";
inline constexpr char AltGrBreak[] = "F0E011";
inline constexpr char RightAltStroke[] = "E011F0E011";

const std::array<KeyInfo, 59> &keyTable();

} // namespace vortal9::keyboard
