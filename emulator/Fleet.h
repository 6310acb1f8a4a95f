// A fleet of emulated readers described by a JSON file, for the emulated
// build of vortal9-batch and its tests:
//
//   { "readers": [
//       { "path": "/dev/hidraw1",            required, /dev/hidrawN, each once
//         "usb": "1-2",                       bus and port path; default "1-N" (N: its place)
//         "serial": "A1B2",                   default none
//         "manufacturer": "VORTAL9",          default "VORTAL9"
//         "settings": { "preamble": "", "postamble": "", "terminator": "CR",
//                       "tracks": "123", "beep": "ON" },   stored settings; others keep defaults
//         "typing": { "answerDelayMs": 20, "charIntervalMs": 3, "lineGapMs": 60 },
//         "swipes": [ { "atMs": 1500 },       a swipe of the emulator's test card ...
//                     { "atMs": 4000, "track1": "...", "track2": "...", "track3": "..." },
//                                              ... or of these tracks (without sentinels),
//                     { "atMs": 0, "typed": "..." },   ... or exactly this text
//                     { "atMs": 0, "charIntervalMs": 520, "pieces": 3, "gapMs": 2000 } ] } ] }
//                                              ... at a pace of its own, in pieces
//
// Each reader gets a sysfs and /dev tree of its own below a scratch root (as
// the kernel lays them out), so that the doctor, list and every result line
// find its USB port and serial number there; its path on the emulated
// platform is ROOT/dev/hidrawN.
#pragma once

#include "EmulatedReader.h"

#include <QMap>
#include <QString>

#include <optional>
#include <vector>

namespace vortal9::emu {

class EmulatedPlatform;

struct FleetSwipe
{
    int atMs = 0; // after the fleet is installed
    TestCard card;
    QString typed; // typed as it is instead of the card's tracks, when not empty
    SwipePace pace;
};

struct FleetReader
{
    QString path; // /dev/hidrawN as the fleet file gives it
    QString usb;
    QString serial;
    QString manufacturer = QStringLiteral("VORTAL9");
    QMap<QString, QString> settings;
    int answerDelayMs = 20;
    int charIntervalMs = 3;
    int lineGapMs = 60;
    std::vector<FleetSwipe> swipes;
};

struct Fleet
{
    std::vector<FleetReader> readers;
};

// Whether each reader must give its /dev/hidrawN "path": the emulated
// platform needs one; readers made through /dev/uhid get theirs from the
// kernel, so there it may be left out (and is ignored when given).
enum class FleetPaths { Required, Ignored };

// Has reader type the swipe: its text, or the card in the reader's format,
// at the swipe's pace.
void playSwipe(EmulatedReader &reader, const FleetSwipe &swipe);

// The fleet in the JSON text, or nullopt and why not in error.
std::optional<Fleet> parseFleet(const QByteArray &json, QString *error, FleetPaths paths = FleetPaths::Required);

// Lays the readers' sysfs and /dev trees below root (and root/run/udev/control,
// where a udev daemon's socket would be), adds each reader to the
// platform at ROOT/dev/hidrawN with its settings and typing speed, and
// schedules its swipes. Returns false and why in error when the tree cannot
// be made.
bool installFleet(const Fleet &fleet, const QString &root, EmulatedPlatform &platform, QString *error);

} // namespace vortal9::emu
