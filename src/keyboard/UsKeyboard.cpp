#include "keyboard/UsKeyboard.h"

#include <array>

namespace vortal9::keyboard {

namespace {

struct Position
{
    quint16 code;
    char16_t plain;
    char16_t shifted; // 0: the same as plain
};

// The U.S. (pc105) layout of the keys that type a character.
constexpr std::array<Position, 66> UsPositions{{
    {2, u'1', u'!'},   {3, u'2', u'@'},   {4, u'3', u'#'},   {5, u'4', u'$'},   {6, u'5', u'%'},
    {7, u'6', u'^'},   {8, u'7', u'&'},   {9, u'8', u'*'},   {10, u'9', u'('},  {11, u'0', u')'},
    {12, u'-', u'_'},  {13, u'=', u'+'},  {14, u'\b', 0},    {15, u'\t', 0},    {16, u'q', u'Q'},
    {17, u'w', u'W'},  {18, u'e', u'E'},  {19, u'r', u'R'},  {20, u't', u'T'},  {21, u'y', u'Y'},
    {22, u'u', u'U'},  {23, u'i', u'I'},  {24, u'o', u'O'},  {25, u'p', u'P'},  {26, u'[', u'{'},
    {27, u']', u'}'},  {28, u'\n', 0},    {30, u'a', u'A'},  {31, u's', u'S'},  {32, u'd', u'D'},
    {33, u'f', u'F'},  {34, u'g', u'G'},  {35, u'h', u'H'},  {36, u'j', u'J'},  {37, u'k', u'K'},
    {38, u'l', u'L'},  {39, u';', u':'},  {40, u'\'', u'"'}, {41, u'`', u'~'},  {43, u'\\', u'|'},
    {44, u'z', u'Z'},  {45, u'x', u'X'},  {46, u'c', u'C'},  {47, u'v', u'V'},  {48, u'b', u'B'},
    {49, u'n', u'N'},  {50, u'm', u'M'},  {51, u',', u'<'},  {52, u'.', u'>'},  {53, u'/', u'?'},
    {57, u' ', 0},     {55, u'*', 0},     {71, u'7', 0},     {72, u'8', 0},     {73, u'9', 0},
    {74, u'-', 0},     {75, u'4', 0},     {76, u'5', 0},     {77, u'6', 0},     {78, u'+', 0},
    {79, u'1', 0},     {80, u'2', 0},     {81, u'3', 0},     {82, u'0', 0},     {83, u'.', 0},
    {96, u'\n', 0},
}};

// The keypad's digits, by position.
constexpr std::array<quint16, 10> KeypadDigits{71, 72, 73, 75, 76, 77, 79, 80, 81, 82};

} // namespace

std::optional<UsKey> usKeyFor(QChar ch)
{
    // The main block first: the keypad's keys type the same digits, but a
    // keyboard types them with the digit row.
    for (const Position &p : UsPositions) {
        if (p.plain == ch.unicode())
            return UsKey{p.code, false};
        if (p.shifted != 0 && p.shifted == ch.unicode())
            return UsKey{p.code, true};
    }
    return std::nullopt;
}

QChar usCharacter(quint16 code, bool shifted)
{
    for (const Position &p : UsPositions) {
        if (p.code == code)
            return QChar(shifted && p.shifted != 0 ? p.shifted : p.plain);
    }
    return QChar();
}

bool isDigitPosition(quint16 code)
{
    if (code >= 2 && code <= 11)
        return true;
    for (const quint16 keypad : KeypadDigits) {
        if (code == keypad)
            return true;
    }
    return false;
}

bool isModifierPosition(quint16 code)
{
    using namespace position;
    for (const quint16 modifier :
         {LeftShift, RightShift, LeftCtrl, RightCtrl, LeftAlt, RightAlt, LeftMeta, RightMeta, CapsLock, NumLock}) {
        if (code == modifier)
            return true;
    }
    return false;
}

} // namespace vortal9::keyboard
