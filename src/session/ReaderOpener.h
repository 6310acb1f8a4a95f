// Opens readers for sessions without keeping the event loop waiting.
//
// Opening a reader waits on the system several times (its hidraw node, the
// identifiers sysfs gives, its input event nodes, their grab, the keymap).
// Where the platforms allow it (HidPlatform::callableFromAnyThread(),
// CapturePlatform::capturesOnAnyThread()) that is done by a small pool of
// threads, several readers at once, and each reader is handed back to the
// event loop as soon as it is ready: the first reader's playback starts while
// the last is still being opened. Elsewhere (the emulated platform, the X
// connection of the window) it is done on the event loop, but handed back
// the same way, after the event that asked for it.
#pragma once

#include "session/ReaderSession.h"

#include <QObject>
#include <QThreadPool>

#include <functional>
#include <string>

namespace vortal9 {

class ReaderOpener : public QObject
{
public:
    // How many readers are opened at the same moment at most.
    static constexpr int Threads = 4;
    // How long a thread of the pool waits for the next reader before it ends.
    static constexpr int ExpiryMs = 2000;

    ReaderOpener(HidPlatform &platform, CapturePlatform *capture, QObject *parent = nullptr);
    // Waits for the opens under way; what they opened is let go again.
    ~ReaderOpener() override;

    // Prepares the reader at path (ReaderSession::prepare()) and hands it to
    // done on this object's thread. Not at all when context is destroyed
    // first: the reader is then let go again.
    void open(const std::string &path, QObject *context, std::function<void(ReaderSession::Prepared)> done);
    // Readers are opened on threads of the pool.
    bool opensOnThreads() const { return m_onThreads; }

private:
    HidPlatform &m_platform;
    CapturePlatform *m_capture;
    const bool m_onThreads;
    QThreadPool m_pool;
};

} // namespace vortal9
