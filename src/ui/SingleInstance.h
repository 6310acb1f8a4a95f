// One running copy of the program per user. The operating system keeps the
// lock, not a file's content: on Unix an flock() on a per-user lock file, on
// Windows a named mutex of the login session. Either is released by the
// system when the process ends, however it ends, so whatever a lock file
// holds, only a live copy keeps the next one out.
//
// Nothing but a live copy may keep the program from starting: when no lock
// can be taken at all (an unwritable folder, a directory or another user's
// file in the way), the copy runs unchecked and problem() says why.
//
// Window-free, so it sits in the core library and its tests need no display.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <vector>

namespace vortal9 {

class SingleInstance
{
public:
    enum class State {
        Running, // this copy holds the lock
        OtherCopy, // another live copy holds it: end at once
        Unchecked, // no lock could be taken: run anyway, see problem()
    };

    // Takes the lock named name in the places of defaultDirectories().
    explicit SingleInstance(const QString &name);
    // The same in the given folders; for tests. Ignored on Windows.
    SingleInstance(const QString &name, const QStringList &directories);
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    State state() const { return m_state; }
    // Why the lock could not be taken in each place that failed.
    QString problem() const { return m_problem; }

    // The folders of the lock files: /run/user/<uid> when it is a folder of
    // this user, then /tmp. Never taken from the environment, so that copies
    // started with different settings still find each other.
    static QStringList defaultDirectories();
    // The lock file's name in each folder: the name and the user's id.
    static QString lockFileName(const QString &name);

private:
    State m_state = State::Unchecked;
    QString m_problem;
#ifdef Q_OS_WIN
    void *m_mutex = nullptr;
#else
    std::vector<int> m_lockFiles; // open lock files, each holding its flock()
#endif
};

// A second start brings the running copy's window to the front. On Linux
// the running copy listens on a socket of the abstract namespace named after
// the lock and the user (no file to leave behind, gone with the process);
// each side checks that the other is the same user, and the second copy hands
// over its launcher's activation token (XDG_ACTIVATION_TOKEN), without which a
// Wayland compositor may refuse the window the focus. On Windows the second
// copy finds the marked window and brings it to the front itself (the
// process the user just started may give the foreground away).
class RaiseListener : public QObject
{
    Q_OBJECT
public:
    explicit RaiseListener(const QString &name, QObject *parent = nullptr);
    ~RaiseListener() override;
    RaiseListener(const RaiseListener &) = delete;
    RaiseListener &operator=(const RaiseListener &) = delete;

    bool isListening() const { return m_socket >= 0; }
    // Windows: marks the running copy's window, which requestRaise() finds.
    static void markWindow(quintptr windowId, const QString &name);

Q_SIGNALS:
    // token is the second copy's activation token, or empty.
    void raiseRequested(const QByteArray &token);

private:
    void accept();
    void readRequest(int connection);

    int m_socket = -1;
};

// The second copy's part: asks the copy that holds the lock name to come to
// the front, handing over token. False when no such copy answered. Never
// waits for the other copy.
bool requestRaise(const QString &name, const QByteArray &token);

// The longest activation token handed over; longer ones, and any with bytes
// outside printable ASCII, are dropped.
inline constexpr qsizetype MaxActivationToken = 255;

} // namespace vortal9
