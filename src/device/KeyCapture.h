// Hearing a reader from its own input device instead of the keyboard focus.
//
// The reader is a keyboard: the operating system turns what it types into
// key events of one or more input devices of its own. A capture opens those
// devices, takes them exclusively (no other program, the desktop included,
// sees their keys while the capture lives) and turns their key events into
// text. Destroying the capture releases the devices; the kernel does the same
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

namespace vortal9 {

class KeyCapture : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~KeyCapture() override = default;

Q_SIGNALS:
    // What the reader typed, as it would have been typed into a text box:
    // "\n" for Return, "\t" for Tab, "\b" for BackSpace; keys that type no
    // character (modifiers, function keys) give nothing.
    void typed(const QString &text);
    // The system dropped key events of this reader (the kernel's evdev queue
    // overflowed: SYN_DROPPED): what it typed meanwhile is incomplete.
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
    // True when capture() may be called on any thread, several at once: the
    // capture it gives then lives in that thread until moved to its user's.
    virtual bool capturesOnAnyThread() const { return false; }
    // One short line about readers that are attached but cannot be opened at
    // all, and where to look; "" when there are none or the system cannot tell.
    virtual QString blockedReaders() { return {}; }
};

} // namespace vortal9
