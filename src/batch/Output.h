// Text for the terminal: what a device chose (serial number, manufacturer)
// and the file names a user gave, made safe and readable to print.
#pragma once

#include <QByteArray>
#include <QString>

class QJsonObject;

namespace vortal9::batch {

// text fit to print on a terminal: every control character (C0, DEL, C1,
// which covers the ESC and CSI that start escape sequences) becomes a
// visible \xNN, so that a device's text can neither move the cursor, clear
// the screen, retitle the terminal nor start a line of its own. Format
// characters (Unicode's Cf: the bidirectional overrides and isolates such as
// U+202E, zero-width characters) and the line and paragraph separators
// U+2028 and U+2029 become \u202E (\U000E0001 beyond U+FFFF): they could show
// a line reversed or break it. A byte that argumentFromBytes() kept is shown
// as \xNN too. Used for every text that came from a device or from sysfs, and
// for file names; JSON output escapes on its own and takes the text as it is.
QString shown(const QString &text);

// The version of the --json output's schema, in every line as "version".
inline constexpr int JsonVersion = 1;

// One JSON line for the object with its "version", compact, with DEL, the C1
// controls, the format characters and the line and paragraph separators
// escaped too (as \u007f, \u0080, \u202e, \u2028...), which JSON allows raw
// and some terminals act on.
QByteArray jsonLine(const QJsonObject &object);

} // namespace vortal9::batch
