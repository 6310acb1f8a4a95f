// The signals that end a program, turned into a call on the event loop, so
// that they all end it the way its own way out does: every session closed,
// every held key released, the reader let go. SIGINT and SIGTERM (kill, a
// shutdown), SIGHUP (the terminal or the desktop session closed, an SSH
// connection dropped), SIGQUIT, and SIGPIPE (a pager or head closed the
// output: a write then fails instead of killing the program in the middle
// of a session). Both front ends use it: vortal9-batch ends its jobs, the
// window ends as its "EXIT" does, without its questions.
//
// Windows ends a program in other ways, and they take the same path: a
// console's Ctrl+C (SIGINT) and Ctrl+Break (SIGBREAK), its console window
// closed, the session's end (log off, shut down: WM_QUERYENDSESSION, then
// WM_ENDSESSION to every top-level window) and taskkill without /F
// (WM_CLOSE to every top-level window), the last three as SIGTERM. A hidden
// top-level window on a thread of its own hears the messages; where Windows
// ends the process as soon as the answer is given (WM_ENDSESSION, a console
// closed), that thread answers only once the program has ended or a
// console's grace has passed, so that the release of a held key goes out
// paced on the event loop first.
#pragma once

#include <QObject>

#include <functional>
#include <vector>

class QSocketNotifier;

namespace vortal9 {

class EndingSignals : public QObject
{
    Q_OBJECT

public:
    // The signals handled, in the order they are installed.
    static const std::vector<int> &handled();

    // Installs the handlers; only one instance may exist at a time. The
    // handlers that were there before come back when it is destroyed, unless
    // holdUntilExit() was called.
    explicit EndingSignals(QObject *parent = nullptr);
    ~EndingSignals() override;

    // True when an ending signal has arrived that the event loop has not
    // handled yet: one that came during a blocking call (the kernel may
    // end a feature report's wait with EIO when a signal breaks it).
    static bool pending();

    // False when the handlers could not be installed.
    bool isActive() const { return m_active; }
    // What the next signal does (nothing when empty).
    void setHandler(std::function<void()> handler) { m_handler = std::move(handler); }
    // For a program's own instance, destroyed as the program ends: the
    // handlers stay installed after it is gone, until the process ends, and
    // a signal then does nothing. Otherwise a signal that comes while the
    // program tears down, after it has given its result, would meet the
    // default action and kill it with another exit status.
    void holdUntilExit() { m_holdUntilExit = true; }

Q_SIGNALS:
    void received(int signal);

private:
    void onReadable();

    bool m_active = false;
    QObject *m_notifier = nullptr; // tells the event loop that an ending came
    void *m_window = nullptr;      // Windows: the hidden window that hears endings, and its thread
    std::function<void()> m_handler;
    bool m_holdUntilExit = false;
    std::vector<char> m_previous; // the actions replaced (struct sigaction each)
};

} // namespace vortal9
