// vortal9-batch: the command-line front end. It lists the attached readers,
// says what keeps a reader from being used, and plays one script to many
// readers at once, each in its own captured ReaderSession, also to each
// reader as it is plugged in. The platforms, the device monitor, the system
// paths and the output streams come from outside, so that the same code runs
// on the real system and, in the tests, on emulated readers.
//
// One file per command (ListCommand.cpp, ...) on a shared runner
// (Runner.h); a reader being configured is a Job (Job.h).
#pragma once

#include "capture/SystemPaths.h"
#include "session/Timing.h"

#include <QByteArray>
#include <QStringList>

#include <functional>

class QTextStream;

namespace vortal9 {

class CapturePlatform;
class DeviceMonitor;
class HidPlatform;

namespace batch {

// Exit statuses, as --help lists them.
enum Exit : int {
    Success = 0, // every reader configured; doctor: every reader can be used
    NotAllConfigured = 1, // a reader was not configured; doctor: a reader cannot be used
    UsageError = 2, // unknown command or option, a reader that is not attached
    ScriptRefused = 3, // the script cannot be read or played; no reader was touched
    NoReader = 4, // no reader attached (or none chosen)
    Differs = 5, // every reader configured, but one answered differently from the reference (apply
                 // --expect), or typed a swipe of another shape (swipe-test)
    CardSwiped = 6, // every reader configured and none differs, but a card was swiped during a step whose
                    // answer was to be compared or kept (apply --expect, --transcript): that answer was
                    // not kept, so the reader is not proven
    Interrupted = 130, // apply stopped by Ctrl+C or another ending signal
};

struct Environment
{
    HidPlatform *platform = nullptr;
    CapturePlatform *capture = nullptr;
    DeviceMonitor *monitor = nullptr; // for watch; null where plugging cannot be watched
    SystemPaths system; // where the doctor looks, and how hints name the tool
    Timing timing = Timing::real();
    QTextStream *out = nullptr; // results
    QTextStream *err = nullptr; // messages and progress
    bool terminal = false; // err is a terminal: progress lines are drawn in place
    // The tool hands over here what an ending signal (Ctrl+C, SIGTERM,
    // SIGHUP, SIGQUIT, SIGPIPE) is to do while a command runs; an empty
    // function when the command has ended.
    std::function<void(std::function<void()>)> onInterrupt;
    // Windows: a reader's typing also lands in the window in front, which
    // capture cannot keep it from; the tool then refuses to play while
    // another program's window is there, unless --allow-foreground-window
    // (given here) lets it. Empty where capture holds the keys alone: the
    // option is then unknown.
    std::function<void(bool allow)> allowForegroundWindow;
};

// Runs one command line (without the program's name, each argument as
// argumentFromBytes() gives it) until the command has finished, and returns
// its exit status.
int run(const QStringList &arguments, Environment &env);

// A command-line argument as text without losing a byte: valid UTF-8 as it
// is, every other byte kept as a character that argumentBytes() turns back
// into that byte (and that Output's shown() prints as \xNN). A file name
// that is not UTF-8 is opened as the user gave it.
QString argumentFromBytes(const QByteArray &bytes);
QByteArray argumentBytes(const QString &argument);

} // namespace batch
} // namespace vortal9
