// The signals that end vortal9-batch, turned into a call on the event loop,
// so that they all end it the way Ctrl+C does: every session closed, every
// held key released, the exit status of an interrupted command. SIGINT and
// SIGTERM, SIGHUP (the terminal closed, an SSH connection dropped), SIGQUIT,
// and SIGPIPE (a pager or head closed the output: a write then fails instead
// of killing the tool in the middle of a session).
#pragma once

#include <QObject>

#include <functional>
#include <signal.h>
#include <vector>

class QSocketNotifier;

namespace vortal9::batch {

class EndingSignals : public QObject
{
    Q_OBJECT

public:
    // The signals handled, in the order they are installed.
    static const std::vector<int> &handled();

    // Installs the handlers; only one instance may exist at a time. The
    // handlers that were there before come back when it is destroyed.
    explicit EndingSignals(QObject *parent = nullptr);
    ~EndingSignals() override;

    // True when an ending signal has arrived that the event loop has not
    // handled yet: one that came during a blocking call (the kernel may
    // end a feature report's wait with EIO when a signal breaks it).
    static bool pending();

    // False when the handlers could not be installed.
    bool isActive() const { return m_notifier != nullptr; }
    // What the next signal does (nothing when empty), as Environment's
    // onInterrupt hands it over.
    void setHandler(std::function<void()> handler) { m_handler = std::move(handler); }

Q_SIGNALS:
    void received(int signal);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
    std::function<void()> m_handler;
    std::vector<struct sigaction> m_previous;
};

} // namespace vortal9::batch
