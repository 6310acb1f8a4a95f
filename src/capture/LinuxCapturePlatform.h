// Capture on Linux: a reader's event nodes from sysfs, grabbed through
// libevdev, decoded with the keymap the user types with.
#pragma once

#include "capture/SystemPaths.h"
#include "device/KeyCapture.h"

namespace vortal9 {

class LinuxCapturePlatform : public CapturePlatform
{
public:
    // xcbConnection (an xcb_connection_t*, Qt's when the window runs on X11)
    // gives the keymap of that X server; without it, or when the server has
    // no keyboard extension, the system's configured layout is used.
    explicit LinuxCapturePlatform(void *xcbConnection = nullptr, SystemPaths paths = installedSystemPaths());

    // Decodes with the Wayland compositor's keymap (the window runs on Qt's
    // Wayland platform), before the system's configured layout.
    void useWaylandKeymap() { m_wayland = true; }

    CaptureAttempt capture(const std::string &hidPath) override;
    // The doctor's summary of the attached readers that cannot be opened.
    QString blockedReaders() override;

private:
    void *m_xcbConnection;
    bool m_wayland = false;
    SystemPaths m_paths;
};

} // namespace vortal9
