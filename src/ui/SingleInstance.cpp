#include "ui/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace vortal9 {

SingleInstance::SingleInstance(const QString &name)
    : SingleInstance(name, defaultDirectories())
{
}

#ifdef Q_OS_WIN

SingleInstance::SingleInstance(const QString &name, const QStringList &)
{
    // "Local\" is the namespace of the login session. The system removes
    // the mutex when its last handle closes, that is when the copy ends.
    const std::wstring mutexName = (QStringLiteral("Local\\") + name).toStdWString();
    HANDLE mutex = CreateMutexW(nullptr, FALSE, mutexName.c_str());
    const DWORD error = GetLastError();
    if (mutex == nullptr) {
        m_problem = QStringLiteral("%1: error %2").arg(QString::fromStdWString(mutexName)).arg(error);
        return;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        m_state = State::OtherCopy;
        return;
    }
    m_mutex = mutex;
    m_state = State::Running;
}

SingleInstance::~SingleInstance()
{
    if (m_mutex != nullptr)
        CloseHandle(static_cast<HANDLE>(m_mutex));
}

QStringList SingleInstance::defaultDirectories()
{
    return {};
}

QString SingleInstance::lockFileName(const QString &name)
{
    return name;
}

#else

namespace {

enum class Outcome { Locked, Held, Failed };

QString reason(const QString &path, const QString &what)
{
    return QStringLiteral("%1: %2").arg(path, what);
}

// Opens the lock file at path, creating it if need be, and tries to lock it.
// Never follows a link and never waits: not for a FIFO put in the way, not
// for the holder of the lock.
Outcome lockFile(const QString &path, int &descriptor, QString &problem)
{
    const int fd = ::open(
        QFile::encodeName(path).constData(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        problem = reason(path, QString::fromLocal8Bit(std::strerror(errno)));
        return Outcome::Failed;
    }
    // Only a regular file of this user: another user's file in a shared
    // folder could be locked by that user to keep this one out.
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        ::close(fd);
        problem = reason(path, QStringLiteral("not a file of this user"));
        return Outcome::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        descriptor = fd;
        return Outcome::Locked;
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
        return Outcome::Held;
    problem = reason(path, QString::fromLocal8Bit(std::strerror(error)));
    return Outcome::Failed;
}

} // namespace

SingleInstance::SingleInstance(const QString &name, const QStringList &directories)
{
    // The lock is taken in every place that can hold it, and another copy
    // runs when any of them is held. So a copy that found only one of the
    // places (the runtime folder appears at login) still meets a later one.
    QStringList problems;
    for (const QString &directory : directories) {
        int descriptor = -1;
        QString problem;
        switch (lockFile(QDir(directory).filePath(lockFileName(name)), descriptor, problem)) {
        case Outcome::Locked: m_lockFiles.push_back(descriptor); break;
        case Outcome::Failed: problems.append(problem); break;
        case Outcome::Held:
            for (const int fd : m_lockFiles)
                ::close(fd);
            m_lockFiles.clear();
            m_state = State::OtherCopy;
            return;
        }
    }
    m_problem = problems.join(QStringLiteral("; "));
    m_state = m_lockFiles.empty() ? State::Unchecked : State::Running;
}

SingleInstance::~SingleInstance()
{
    // Closing releases the lock; the file stays, since removing it could
    // split a copy that has just opened it from the next one.
    for (const int fd : m_lockFiles)
        ::close(fd);
}

QStringList SingleInstance::defaultDirectories()
{
    QStringList directories;
    const QString runtime = QStringLiteral("/run/user/%1").arg(::geteuid());
    struct stat status;
    if (::lstat(QFile::encodeName(runtime).constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == ::geteuid())
        directories.append(runtime);
    directories.append(QStringLiteral("/tmp"));
    return directories;
}

QString SingleInstance::lockFileName(const QString &name)
{
    return QStringLiteral("%1-%2.lock").arg(name).arg(::geteuid());
}

#endif

#ifdef Q_OS_WIN

namespace {

// The property that marks the running copy's window: named after the lock.
std::wstring windowMark(const QString &name)
{
    return (QStringLiteral("vortal9-raise-") + name).toStdWString();
}

struct Search
{
    std::wstring mark;
    HWND found = nullptr;
};

BOOL CALLBACK findMarked(HWND window, LPARAM data)
{
    auto *search = reinterpret_cast<Search *>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() && GetPropW(window, search->mark.c_str()) != nullptr) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

RaiseListener::RaiseListener(const QString &, QObject *parent)
    : QObject(parent)
{
}

RaiseListener::~RaiseListener() = default;

void RaiseListener::markWindow(quintptr windowId, const QString &name)
{
    SetPropW(reinterpret_cast<HWND>(windowId), windowMark(name).c_str(), reinterpret_cast<HANDLE>(quintptr(1)));
}

void RaiseListener::accept() {}
void RaiseListener::readRequest(int) {}

bool requestRaise(const QString &name, const QByteArray &)
{
    Search search { windowMark(name) };
    EnumWindows(findMarked, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr)
        return false;
    if (IsIconic(search.found))
        ShowWindow(search.found, SW_RESTORE);
    // The copy the user has just started may set the foreground window.
    SetForegroundWindow(search.found);
    return true;
}

#else

namespace {

// The token as handed over, or nothing when it is not a plain token.
QByteArray plainToken(const QByteArray &token)
{
    const bool plain = token.size() <= MaxActivationToken
        && std::all_of(token.begin(), token.end(), [](char c) { return c > 0x20 && c < 0x7f; });
    return plain ? token : QByteArray();
}

// The socket's address in the abstract namespace: a leading zero byte, then
// the lock file's name (which holds the user id) and ".raise".
socklen_t raiseAddress(const QString &name, sockaddr_un &address)
{
    address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(SingleInstance::lockFileName(name) + QStringLiteral(".raise"));
    const std::size_t length = std::min<std::size_t>(path.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, path.constData(), length);
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length);
}

bool sameUser(int socket)
{
    ucred peer {};
    socklen_t size = sizeof peer;
    return ::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

} // namespace

RaiseListener::RaiseListener(const QString &name, QObject *parent)
    : QObject(parent)
{
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_un address;
    const socklen_t length = raiseAddress(name, address);
    // Taken by another process (of another user, or a copy that does not
    // hold the lock): the window then only cannot be raised this way.
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return;
    }
    m_socket = fd;
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &RaiseListener::accept);
}

RaiseListener::~RaiseListener()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

void RaiseListener::markWindow(quintptr, const QString &) {}

void RaiseListener::accept()
{
    const int connection = ::accept4(m_socket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (connection < 0)
        return;
    if (!sameUser(connection)) {
        ::close(connection);
        return;
    }
    // The request may follow the connection a moment later: read it when it
    // is there (or the other copy has gone, which reads as an empty one).
    auto *notifier = new QSocketNotifier(connection, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, notifier, connection] {
        notifier->setEnabled(false);
        notifier->deleteLater();
        readRequest(connection);
    });
}

void RaiseListener::readRequest(int connection)
{
    char buffer[MaxActivationToken + 2];
    const ssize_t got = ::recv(connection, buffer, sizeof buffer, MSG_DONTWAIT);
    ::close(connection);
    const QByteArray token = got > 0 ? QByteArray(buffer, qsizetype(got)) : QByteArray();
    Q_EMIT raiseRequested(plainToken(token));
}

bool requestRaise(const QString &name, const QByteArray &token)
{
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address;
    const socklen_t length = raiseAddress(name, address);
    // The token goes only to a copy of this user. A full backlog or a
    // listener that is not there ends the request at once: never wait.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    bool asked = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0 && sameUser(fd);
    if (asked) {
        const QByteArray request = plainToken(token);
        // An empty token still needs a message: a packet of one zero byte
        // stands for it.
        const QByteArray packet = request.isEmpty() ? QByteArray(1, '\0') : request;
        asked = ::send(fd, packet.constData(), size_t(packet.size()), MSG_DONTWAIT | MSG_NOSIGNAL) == packet.size();
    }
    ::close(fd);
    return asked;
}

#endif

} // namespace vortal9
