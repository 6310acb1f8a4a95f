// Capture on Linux: a reader's event nodes from sysfs, grabbed through
// libevdev, decoded with the keymap the user types with.
#pragma once

#include "capture/KeyDecoder.h"
#include "capture/SystemPaths.h"
#include "device/KeyCapture.h"

#include <QByteArray>

#include <memory>
#include <mutex>

namespace vortal9 {

class LinuxCapturePlatform : public CapturePlatform
{
public:
    // xcbConnection (an xcb_connection_t*, Qt's when the window runs on X11)
    // gives the keymap of that X server; without it, or when the server has
    // no keyboard extension, the system's configured layout is used.
    explicit LinuxCapturePlatform(void *xcbConnection = nullptr, SystemPaths paths = installedSystemPaths());
    // Waits until every capture it gave that ended has let its reader go.
    ~LinuxCapturePlatform() override;

    // Decodes with the Wayland compositor's keymap (the window runs on Qt's
    // Wayland platform), before the system's configured layout.
    void useWaylandKeymap() { m_wayland = true; }

    CaptureAttempt capture(const std::string &hidPath) override;
    // Without an X connection (which belongs to the window's thread),
    // captures may be made on any thread, several at once.
    bool capturesOnAnyThread() const override { return m_xcbConnection == nullptr; }
    // The doctor's summary of the attached readers that cannot be opened.
    QString blockedReaders() override;

private:
    // A decoder on the keymap the user types with now. The keymap is looked
    // up for every capture (the layout may have changed since the last one),
    // but compiled only when it differs from the last one compiled.
    std::unique_ptr<KeyDecoder> decoder(QString *error);

    void *m_xcbConnection;
    bool m_wayland = false;
    SystemPaths m_paths;
    std::mutex m_keymapLock; // guards the three below, and the compiling
    bool m_keymapFromNames = false;
    QByteArray m_keymapSource; // the names or the keymap text it was compiled from
    std::shared_ptr<const Keymap> m_keymap;
};

} // namespace vortal9
