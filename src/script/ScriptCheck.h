// The checks a script passes before it is played to a reader.
#pragma once

#include <QString>

#include <optional>

namespace vortal9::script {

// nullopt when the script can be played; otherwise what is wrong with it, as
// a sentence for the technician. A playable script is longer than 20
// characters, starts with the configuration hot key (case does not matter),
// and from its 21st character on holds whole pairs of hexadecimal digits.
// Characters 19 and 20 (the marker of the hot key's answer) are not examined.
std::optional<QString> playbackProblem(const QString &text);

} // namespace vortal9::script
