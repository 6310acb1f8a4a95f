// Hearing a reader from its own input device instead of the keyboard focus.
//
// The reader is a keyboard: the operating system turns what it types into
// key events of one or more input devices of its own. A capture opens those
// devices, takes them exclusively (no other program, the desktop included,
// sees their keys while the capture lives) and tells of every key pressed:
// where it is on the keyboard and what it types. Destroying the capture releases the devices; the kernel does the same
// when the process ends.
//
// The program asks CapturePlatform for a capture when it opens a reader;
// where none can be had (no permission, no input device, a platform without
// capture) the reader is heard through the keyboard focus as before.
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace vortal9 {

// One key the reader pressed, as its input device reported it.
struct CapturedKey
{
    // The key's position: a Linux input key code (KEY_1 is 2, KEY_A 30, ...).
    // For the main block and the keypad it is the PC keyboard's set-1 make
    // code; an extended key (E0 prefix) has Linux's own code (KEY_KPENTER 96,
    // KEY_RIGHTCTRL 97, KEY_KPSLASH 98, KEY_RIGHTALT 100). 0: not known.
    quint16 code = 0;
    // A Shift key was down when it was pressed.
    bool shifted = false;
    // What it types under the host's keymap, as it would be typed into a
    // text box: "\n" for Return and Enter, "\t" for Tab, "\b" for
    // BackSpace, "" for a key that types nothing (a modifier, F10).
    QString text;
    bool operator==(const CapturedKey &) const = default;
};
using CapturedKeys = std::vector<CapturedKey>;

class KeyCapture : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~KeyCapture() override = default;

Q_SIGNALS:
    // Keys the reader pressed, in order, as many as were read at once. Only
    // presses: a release types nothing, and a key the reader holds long
    // enough for the system to repeat it was pressed once (a reader never
    // holds a key on purpose).
    void pressed(const vortal9::CapturedKeys &keys);
    // The system dropped key events of this reader (its queue overflowed):
    // what was typed meanwhile is lost.
    void keysLost();
    // The input device went away (the reader was unplugged) or cannot be read
    // any longer. Nothing more is typed; the capture holds nothing.
    void lost();
};

struct CaptureAttempt
{
    std::unique_ptr<KeyCapture> capture; // null when refused
    QString refusal;                     // one line for the technician when refused
    // Refused because another program holds the reader's keys (the system
    // refuses a second exclusive hold): that program may be talking to the
    // reader, so nothing may be sent to it.
    bool inUse = false;
};

class CapturePlatform
{
public:
    virtual ~CapturePlatform() = default;
    // Captures the keys of the reader whose HID device path is hidPath (as the
    // HidPlatform lists it). Never returns a capture that does not hold every
    // input device of the reader exclusively.
    virtual CaptureAttempt capture(const std::string &hidPath) = 0;
    // One short line about readers that are attached but cannot be opened at
    // all, and where to look; "" when there are none or the system cannot tell.
    virtual QString blockedReaders() { return {}; }
};

} // namespace vortal9
