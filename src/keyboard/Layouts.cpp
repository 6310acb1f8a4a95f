#include "keyboard/Layouts.h"

#include "keyboard/KeyTable.h"

#include <span>

namespace vortal9::keyboard {

namespace {

// One picture of a layout's own table: key index and picture name; an
// empty name is the blank picture.
struct Entry
{
    int key;
    const char *picture;
};

enum Country { US, German, French, UK, Spanish, Italian, Dutch, Portuguese, Swedish, Danish };

constexpr int NoBase = -1;

// The layout each country builds on, per state (unshifted, Shift, Alt Gr).
// U.S. follows its own rule; German Alt Gr stands alone and sets all keys.
constexpr int BaseLayout[CountryCount][3] = {
    {NoBase, NoBase, NoBase},           // U.S.
    {US, US, NoBase},                   // German
    {US, US, German},                   // French/Belgian
    {US, US, German},                   // U.K. English
    {German, German, German},           // Spanish
    {US, UK, Spanish},                  // Italian
    {Italian, Italian, Italian},        // Dutch
    {Spanish, Italian, German},         // Portuguese
    {Portuguese, Portuguese, Portuguese}, // Swedish/Finland
    {Swedish, Swedish, Swedish},        // Danish
};

// Each layout's own entries, loaded on top of its base layout.

constexpr Entry German0[] = {
    {0, "362"}, {11, "D1B3"}, {12, "G551"}, {20, "1A1"}, {25, "G541"}, {26, "552"},
    {27, "262"}, {38, "S4C3"}, {39, "I521"}, {42, "412"}, {43, "351"}, {52, "4E1"},
};
constexpr Entry German1[] = {
    {0, "F4E2"}, {2, "522"}, {3, "f4a2"}, {6, "3D2"}, {7, "4A1"}, {8, "462"}, {9, "452"},
    {10, "551"}, {11, "4A2"}, {12, "0E1"}, {20, "1A2"}, {25, "G542"}, {26, "S5D2"},
    {27, "521"}, {38, "D4C3"}, {39, "S522"}, {42, "492"}, {43, "352"}, {50, "4C1"},
    {51, "4C2"}, {52, "4E2"},
};
// German Alt Gr: these twelve pictures; every other character key is blank.
constexpr Entry German2[] = {
    {2, "1E1"}, {3, "261"}, {7, "542"}, {8, "541"}, {9, "5B1"}, {10, "5B2"},
    {11, "5D1"}, {15, "1E2"}, {17, "F243"}, {26, "0E2"}, {42, "5D2"}, {49, "F5D2"},
};

constexpr Entry French0[] = {
    {0, "F0E2"}, {1, "161"}, {2, "1E1"}, {3, "261"}, {4, "251"}, {5, "2E1"}, {6, "361"},
    {7, "3D1"}, {8, "3E1"}, {9, "461"}, {10, "451"}, {11, "F4E2"}, {12, "4E2"},
    {15, "1C2"}, {16, "1A2"}, {25, "522"}, {26, "3E2"}, {27, "F5B2"}, {29, "152"},
    {38, "3A2"}, {39, "2E2"}, {42, "492"}, {43, "1D2"}, {49, "4A2"}, {50, "491"},
    {51, "4A1"}, {52, "552"},
};
constexpr Entry French1[] = {
    {0, "1E1"}, {1, "3D2"}, {2, "F1E1"}, {3, "522"}, {4, "521"}, {5, "462"}, {6, "F4A2"},
    {7, "F3D1"}, {8, "4E2"}, {9, "F461"}, {10, "F451"}, {11, "452"}, {12, "4E1"},
    {15, "1C1"}, {16, "1A1"}, {25, "362"}, {26, "252"}, {27, "F5D2"}, {29, "151"},
    {38, "3A1"}, {39, "F521"}, {42, "412"}, {43, "1D1"}, {49, "411"}, {50, "4C1"},
    {51, "4C2"}, {52, "551"},
};
constexpr Entry French2[] = {
    {1, "5D2"}, {2, "1E2"}, {3, "262"}, {4, "542"}, {5, "541"}, {6, "362"}, {7, ""},
    {8, ""}, {9, "542"}, {10, "5B2"}, {11, ""}, {12, ""}, {15, ""}, {17, "F243"},
    {25, "541"}, {26, "542"}, {27, "0E1"}, {39, "G551"}, {42, ""}, {49, ""}, {52, "0E2"},
};

constexpr Entry UK0[] = {
    {27, "262"},
};
constexpr Entry UK1[] = {
    {0, "U0E1"}, {2, "522"}, {3, "F5B2"}, {27, "0E2"}, {39, "1E2"},
};
constexpr Entry UK2[] = {
    {0, "5D2"}, {2, ""}, {3, ""}, {4, "F243"}, {7, ""}, {8, ""}, {9, ""}, {10, ""},
    {11, ""}, {15, ""}, {17, "F1E1"}, {21, "U3C3"}, {22, "U433"}, {23, "U443"},
    {26, ""}, {29, "U1C3"}, {42, ""}, {49, ""},
};

constexpr Entry Spanish0[] = {
    {0, "F4E2"}, {11, "521"}, {12, "s551"}, {20, "351"}, {25, "0E1"}, {27, "F461"},
    {38, "S4C1"}, {39, "G551"}, {43, "1A1"},
};
constexpr Entry Spanish1[] = {
    {0, "1C1"}, {3, "491"}, {12, "S552"}, {20, "352"}, {25, "362"}, {27, "S5D3"},
    {38, "S4C2"}, {39, "522"}, {42, "492"}, {43, "1A2"},
};
constexpr Entry Spanish2[] = {
    {0, "5D1"}, {1, "5D2"}, {2, "1E2"}, {3, "262"}, {4, "0E2"}, {5, "F243"},
    {6, "U0E1"}, {7, ""}, {8, ""}, {9, ""}, {10, ""}, {11, ""}, {15, ""}, {25, "541"},
    {26, "5B1"}, {27, "5B2"}, {39, "542"}, {42, ""}, {49, ""},
};

constexpr Entry Italian0[] = {
    {0, "5D1"}, {11, "521"}, {12, "I551"}, {25, "F3D1"}, {26, "552"}, {27, "F521"},
    {38, "I4C1"}, {39, "F451"}, {42, "412"}, {52, "4E1"},
};
constexpr Entry Italian1[] = {
    {0, "5D2"}, {6, "3D2"}, {7, "4A1"}, {8, "462"}, {9, "452"}, {10, "551"},
    {11, "4A2"}, {12, "362"}, {25, "F1E1"}, {26, "S5D2"}, {27, "F4A2"}, {38, "F461"},
    {39, "F4E2"}, {42, "492"}, {50, "4C1"}, {51, "4C2"}, {52, "4E2"},
};
constexpr Entry Italian2[] = {
    {0, ""}, {1, ""}, {2, ""}, {3, ""}, {4, ""}, {6, ""}, {27, ""}, {38, "1E2"},
    {39, "262"},
};

constexpr Entry Dutch0[] = {
    {0, "1E2"}, {11, "4A1"}, {12, "F4E2"}, {25, "522"}, {26, "S5D2"}, {27, "412"},
    {38, "552"}, {39, "G551"}, {42, "5B1"},
};
constexpr Entry Dutch1[] = {
    {0, "F4A2"}, {3, "262"}, {7, "4E2"}, {10, "521"}, {12, "0E2"}, {25, "362"},
    {26, "5D2"}, {27, "492"}, {38, "D4C2"}, {39, "0E1"}, {42, "541"}, {52, "551"},
};
constexpr Entry Dutch2[] = {
    {0, "U0E1"}, {1, "161"}, {2, "1E1"}, {3, "261"}, {4, "D253"}, {5, "D2E3"},
    {6, "D363"}, {7, "F5B2"}, {8, "542"}, {9, "5B2"}, {11, "5D1"}, {12, "411"},
    {18, "D2D3"}, {25, ""}, {26, ""}, {27, ""}, {30, "D1B3"}, {38, ""}, {39, ""},
    {42, "5D2"}, {43, "D1A3"}, {44, "D223"}, {45, "D213"}, {49, "F5D2"}, {51, "491"},
};

constexpr Entry Portuguese0[] = {
    {0, "5D1"}, {12, "D1A3"}, {25, "552"}, {26, "G551"}, {27, "0E2"}, {38, "F461"},
    {39, "F4E2"},
};
constexpr Entry Portuguese1[] = {
    {3, "262"}, {12, "D223"}, {25, "S5D2"}, {26, "0E1"}, {27, "362"}, {38, "F461"},
    {39, "1C1"},
};
constexpr Entry Portuguese2[] = {
    {2, "1E2"}, {3, "F5B2"}, {4, "F4A2"}, {5, "F243"}, {11, ""}, {15, ""}, {25, "522"},
    {26, "5B1"}, {42, ""}, {49, ""},
};

constexpr Entry Swedish0[] = {
    {0, "F4A2"}, {11, "552"}, {12, "G551"}, {25, "D543"}, {26, "522"}, {27, "521"},
    {38, "S4C3"}, {39, "I521"},
};
constexpr Entry Swedish1[] = {
    {0, "D2E3"}, {4, "F5B3"}, {12, "0E1"}, {25, "S542"}, {26, "362"}, {27, "S5D2"},
    {38, "D4C3"}, {39, "S522"},
};
constexpr Entry Swedish2[] = {
    {11, "5D1"}, {25, ""}, {26, "0E2"}, {42, "5D2"}, {49, "F5D2"},
};

constexpr Entry Danish0[] = {
    {0, "D2E3"}, {38, "DA4C1"}, {39, "DA521"},
};
constexpr Entry Danish1[] = {
    {0, "F4A2"}, {38, "DA4C2"}, {39, "DA522"},
};
constexpr Entry Danish2[] = {
    {11, ""}, {12, "5D2"}, {42, "5D1"},
};

// Own entries by country and state; U.S. is empty here (it follows a rule).
const std::span<const Entry> OwnEntries[CountryCount][3] = {
    {{}, {}, {}},
    {German0, German1, German2},
    {French0, French1, French2},
    {UK0, UK1, UK2},
    {Spanish0, Spanish1, Spanish2},
    {Italian0, Italian1, Italian2},
    {Dutch0, Dutch1, Dutch2},
    {Portuguese0, Portuguese1, Portuguese2},
    {Swedish0, Swedish1, Swedish2},
    {Danish0, Danish1, Danish2},
};

int normalisedState(int state)
{
    return state == 0 || state == 1 ? state : 2;
}

bool validCountry(int countryIndex)
{
    return countryIndex >= 0 && countryIndex < CountryCount;
}

// U.S.: every character key gets its own scan code followed by 1 (unshifted)
// or 2 (Shift). The U.S. layout has no Alt Gr pictures.
void loadUS(int state, const PictureLoad &load)
{
    if (state == 2)
        return;
    const QString digit = state == 0 ? QStringLiteral("1") : QStringLiteral("2");
    for (int key = 0; key < KeyCount; ++key) {
        if (isCharacterKey(key))
            load(key, keyTable()[key].scanString.left(2) + digit);
    }
}

void loadOwn(int country, int state, const PictureLoad &load)
{
    if (country == US) {
        loadUS(state, load);
        return;
    }
    const std::span<const Entry> entries = OwnEntries[country][state];
    if (country == German && state == 2) {
        // Stands alone: all 48 character keys are set, most of them blank.
        for (int key = 0; key < KeyCount; ++key) {
            if (!isCharacterKey(key))
                continue;
            QString picture;
            for (const Entry &e : entries) {
                if (e.key == key)
                    picture = QString::fromLatin1(e.picture);
            }
            load(key, picture);
        }
        return;
    }
    for (const Entry &e : entries)
        load(e.key, QString::fromLatin1(e.picture));
}

void loadChain(int country, int state, const PictureLoad &load)
{
    const int base = BaseLayout[country][state];
    if (base != NoBase)
        loadChain(base, state, load);
    loadOwn(country, state, load);
}

std::array<ResolvedLayout, CountryCount * 3> buildResolved()
{
    std::array<ResolvedLayout, CountryCount * 3> all;
    for (int country = 0; country < CountryCount; ++country) {
        for (int state = 0; state < 3; ++state) {
            ResolvedLayout &layout = all[country * 3 + state];
            loadChain(country, state, [&layout](int key, const QString &picture) {
                layout[key] = picture;
            });
        }
    }
    return all;
}

} // namespace

QStringList countryNames()
{
    return {
        QStringLiteral("U.S."),
        QStringLiteral("German"),
        QStringLiteral("French/Belgian"),
        QStringLiteral("U.K. English"),
        QStringLiteral("Spanish"),
        QStringLiteral("Italian"),
        QStringLiteral("Dutch"),
        QStringLiteral("Portuguese"),
        QStringLiteral("Swedish/Finland"),
        QStringLiteral("Danish"),
    };
}

void runLayoutChain(int countryIndex, int state, const PictureLoad &load)
{
    if (!validCountry(countryIndex))
        return;
    loadChain(countryIndex, normalisedState(state), load);
}

void runOwnEntries(int countryIndex, int state, const PictureLoad &load)
{
    if (!validCountry(countryIndex))
        return;
    loadOwn(countryIndex, normalisedState(state), load);
}

QString key57Caption(int countryIndex)
{
    return countryIndex == US ? QStringLiteral("Alt") : QStringLiteral("Alt Gr");
}

const ResolvedLayout &resolvedLayout(int countryIndex, int state)
{
    static const std::array<ResolvedLayout, CountryCount * 3> all = buildResolved();
    static const ResolvedLayout untouched{};
    if (!validCountry(countryIndex))
        return untouched;
    return all[countryIndex * 3 + normalisedState(state)];
}

QStringList allPictureNames()
{
    // Every name that some layout loads, spelled as the tables spell it.
    QStringList names;
    for (int country = 0; country < CountryCount; ++country) {
        for (int state = 0; state < 3; ++state) {
            loadOwn(country, state, [&names](int, const QString &picture) {
                if (!picture.isEmpty() && !names.contains(picture))
                    names.append(picture);
            });
        }
    }
    return names;
}

bool isCharacterKey(int key)
{
    return (key >= 0 && key <= 12) || (key >= 15 && key <= 27) || (key >= 29 && key <= 39)
        || (key >= 42 && key <= 52);
}

} // namespace vortal9::keyboard
