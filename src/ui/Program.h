// Start-up shared by the program and the demo: one copy at a time, then the
// window on the given platform.
#pragma once

#include <QIcon>
#include <QString>

#include <thread>
#include <vector>

namespace vortal9 {

class CapturePlatform;
class DeviceMonitor;
class HidPlatform;

// Loads the system's font configuration on a second thread while the
// application connects to the display, so that the window's first text does
// not wait for it. Where the platform has no fontconfig this does nothing.
// Create it before the QApplication and call wait() right after.
class FontConfigWarmUp
{
public:
    FontConfigWarmUp();
    ~FontConfigWarmUp();
    FontConfigWarmUp(const FontConfigWarmUp &) = delete;
    FontConfigWarmUp &operator=(const FontConfigWarmUp &) = delete;
    void wait();

private:
    std::thread m_thread;
};

// Qt ends the process with its own messages and an abort when it cannot
// reach a display. While the application starts (from construction to
// started()), its messages are held back; a fatal one is replaced by one line
// that says the window needs a desktop session, and the process ends with
// status 1. Messages that were only held are passed on at started().
class PlatformStartGuard
{
public:
    PlatformStartGuard();
    ~PlatformStartGuard();
    PlatformStartGuard(const PlatformStartGuard &) = delete;
    PlatformStartGuard &operator=(const PlatformStartGuard &) = delete;
    void started();

    struct Message
    {
        QtMsgType type;
        QString text;
    };

private:
    std::vector<Message> m_held;
};

// The program's icon: a magnetic card, drawn rather than shipped as a file.
QIcon applicationIcon();

// Runs the window until it is unloaded. Returns at once with 0, showing no
// window, when another copy that uses the same lock name is running. capture
// may be null: readers are then heard through the keyboard focus.
// monitor may be null: an unplugged reader is then noticed only through its capture.
int runProgram(HidPlatform &platform, CapturePlatform *capture, const QString &lockName,
               DeviceMonitor *monitor = nullptr);

} // namespace vortal9
