// A script as the keys a person would press on the on-screen keyboard: for
// each step of playback, the keys it sends by the legends they have in a
// country layout. Steps are cut as playback cuts them (the configuration hot
// key, then script::playbackSteps), so step N
// here is step N of a playback and of an answer transcript.
//
// A key pressed and released at once is one key. A key held over other keys
// (a latched Shift or Alt Gr, or any other) is shown as the modifier of the
// keys it covers: "Shift+A", "Alt Gr+@", with the legend the key shows in
// that state. A modifier pressed and released with nothing under it is shown
// alone ("Shift"); one still down when a step ends with nothing under it is
// "Shift down", and its release in a later step "Shift up". A code that no
// key of the on-screen keyboard sends is shown as its hex code ("0x76").
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace vortal9::keyboard {

// How the configuration hot key is named (it is no key of the on-screen
// keyboard: F10 is not on it).
inline constexpr char HotKeyName[] = "Ctrl+Alt+F10 (configuration hot key)";

struct ShownKey
{
    QString legend; // as a technician reads it: "Shift+A", "Enter", "0x76"
    QString hex; // the scan codes it stands for, as the script spells them
};

struct ShownStep
{
    std::vector<ShownKey> keys;
    QString hex; // every code the step sends, in order
    bool waitsForAnswer = false; // the step ends with a wait for the reader
};

// The steps of script (as playback reads it, case does not matter) with the
// legends of the country at countryIndex in countryNames(). Step 1 is always
// the configuration hot key. An index outside the list shows no legends.
std::vector<ShownStep> scriptKeys(const QString &script, int countryIndex);

// One line per step: "step 2: Shift+A b Enter — then the reader answers".
QString scriptKeysText(const std::vector<ShownStep> &steps);

// The index in countryNames() of name, compared without regard to case.
std::optional<int> countryIndexOf(const QString &name);

} // namespace vortal9::keyboard
