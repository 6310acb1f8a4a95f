#include "ui/SingleInstance.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

} // namespace vortal9
