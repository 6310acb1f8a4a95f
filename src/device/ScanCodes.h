// The scan-code strings that more than one part of the program knows: the
// configuration hot key, the marker that stands for the reader's answer in a
// recording, and what counts as a hexadecimal digit in a scan-code string.
#pragma once

#include <QChar>
#include <QLatin1StringView>

namespace vortal9::scancode {

// The configuration hot key: left Ctrl, left Alt and F10 down, then up again
// in the reverse order. Sent as two strings; together they start every script.
inline constexpr QLatin1StringView HotKeyMake("141109");
inline constexpr QLatin1StringView HotKeyBreak("F009F011F014");
inline constexpr QLatin1StringView HotKey("141109F009F011F014");

// In a recording: the reader answered and then fell quiet. Never a key.
inline constexpr QLatin1StringView AnswerMarker("FF");

// 0-9, A-F and a-f.
constexpr bool isHexDigit(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'F') || (u >= u'a' && u <= u'f');
}

} // namespace vortal9::scancode
