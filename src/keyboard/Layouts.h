// The ten country layouts of the on-screen keyboard and the pictures each
// shows in its three states (0 unshifted, 1 Shift, 2 Alt Gr).
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>

namespace vortal9::keyboard {

inline constexpr int KeyCount = 59;
inline constexpr int CountryCount = 10;

// The entries of the country list, in list-index order ("U.S." first).
QStringList countryNames();

// Called once for every picture load that the chained layout procedures make:
// key index and picture name, or an empty name for the blank picture.
using PictureLoad = std::function<void(int key, const QString &picture)>;

// Runs the layout procedure of a country list index in the given state the
// way the chained procedures do: the base layout first, then the country's
// own entries on top. Any state other than 0 and 1 counts as 2. An index
// outside 0..9 loads nothing.
void runLayoutChain(int countryIndex, int state, const PictureLoad &load);

// Only the country's own entries for the state, without its base layout
// (for U.S., the scan-code rule). Same state and index rules as above.
void runOwnEntries(int countryIndex, int state, const PictureLoad &load);

// Caption of key 57 after a layout procedure of this country has run:
// "Alt" for U.S. (index 0), "Alt Gr" for the others.
QString key57Caption(int countryIndex);

// The same result as runLayoutChain, flattened: for each key, the picture it
// ends up with (empty string = blank picture), or nullopt when the chain
// never touches the key in that state. Built once and cached. An index
// outside 0..9 gives a layout that touches no key.
using ResolvedLayout = std::array<std::optional<QString>, KeyCount>;
const ResolvedLayout &resolvedLayout(int countryIndex, int state);

// Every picture name the tables use (144 names, "f4a2" and "F4A2" both
// included), in no particular order.
QStringList allPictureNames();

// The 48 keys that carry pictures.
bool isCharacterKey(int key);

} // namespace vortal9::keyboard
