// The single-copy lock: what may and may not keep a copy out, in folders of
// the test's own; a second start's request to bring the running window to
// the front; then two copies of the real program, which ends the second at
// once, whatever runtime folder each was given, and the program started
// without a desktop.
#include "ModeBitsApply.h"
#include "ui/SingleInstance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <optional>

namespace vortal9 {

void PrintTo(SingleInstance::State state, std::ostream *os)
{
    using State = SingleInstance::State;
    *os << (state == State::Running ? "Running" : state == State::OtherCopy ? "OtherCopy" : "Unchecked");
}

} // namespace vortal9

namespace {

using vortal9::RaiseListener;
using vortal9::SingleInstance;
using State = SingleInstance::State;

const QString Name = QStringLiteral("vortal9-lock-test");

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A child process that holds a plain flock() on path until it is killed:
// the lock itself keeps a copy out, not what the file holds.
struct LockHolder
{
    explicit LockHolder(const QString &path)
    {
        const QByteArray native = QFile::encodeName(path);
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(native.constData(), O_RDONLY | O_CREAT, 0600);
            const char locked = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 1 : 0;
            (void)!::write(ready[1], &locked, 1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char locked = 0;
        ok = pid > 0 && ::read(ready[0], &locked, 1) == 1 && locked == 1;
        ::close(ready[0]);
    }
    ~LockHolder() { kill(); }
    void kill()
    {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    pid_t pid = -1;
    bool ok = false;
};

class LockFolderTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(root.isValid()); }

    QString folder(const QString &name) const
    {
        QDir(root.path()).mkdir(name);
        return root.filePath(name);
    }
    static QString lockIn(const QString &folder) { return QDir(folder).filePath(SingleInstance::lockFileName(Name)); }

    QTemporaryDir root;
};

// What a copy finds at the lock path.
enum class Found { Nothing, Garbage, LockOfADeadCopy, Directory, Link, Fifo, FileOfAnotherUser, UnwritableFolder };

// Puts it there; false when it cannot.
bool put(Found found, const QString &folder, const QString &lock)
{
    const QByteArray native = QFile::encodeName(lock);
    switch (found) {
    case Found::Nothing: return true;
    case Found::Garbage: return writeAll(lock, QByteArray("\xff\x00\x13garbage\n", 11));
    // What a lock file naming its holder would hold: a copy on another host.
    case Found::LockOfADeadCopy: return writeAll(lock, "4242\nvortal9-setup\nfar-away-host\n");
    case Found::Directory: return QDir().mkdir(lock);
    case Found::Link: return QFile::link(QDir(folder).filePath(QStringLiteral("elsewhere")), lock);
    case Found::Fifo: return ::mkfifo(native.constData(), 0600) == 0;
    case Found::FileOfAnotherUser: return writeAll(lock, {}) && ::chown(native.constData(), 65534, 65534) == 0;
    case Found::UnwritableFolder: return QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    }
    return false;
}

struct FoundRow
{
    std::string name;
    Found found;
    State expected;
};

class FoundAtLockPathTest : public LockFolderTest, public testing::WithParamInterface<FoundRow>
{
};

TEST_P(FoundAtLockPathTest, OnlyALiveHolderKeepsTheCopyOut)
{
    const FoundRow &row = GetParam();
    if (row.found == Found::FileOfAnotherUser && ::geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    const QString dir = folder(QStringLiteral("place"));
    const QString lockPath = lockIn(dir);
    const auto folderMode = QFile::permissions(dir);
    const auto restore = qScopeGuard([&] { QFile::setPermissions(dir, folderMode); });
    ASSERT_TRUE(put(row.found, dir, lockPath));
    const auto entries = [&dir] { return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System); };
    QStringList expectedEntries = entries();

    State state;
    QString problem;
    {
        // As root too, an unwritable folder is one that refuses new files.
        vortal9::test::ModeBitsApply modeBits;
        if (!modeBits.ok())
            GTEST_SKIP() << "root's permission override could not be set aside";
        const SingleInstance instance(Name, { dir });
        state = instance.state();
        problem = instance.problem();
    }
    EXPECT_EQ(state, row.expected);
    if (row.expected == State::Unchecked)
        EXPECT_TRUE(problem.startsWith(lockPath + QStringLiteral(": "))) << problem.toStdString();
    else
        EXPECT_EQ(problem, QString());
    // Nothing else is made: no file through a link, nothing beside the lock.
    if (state == State::Running) {
        expectedEntries.append(SingleInstance::lockFileName(Name));
        expectedEntries.removeDuplicates();
        expectedEntries.sort();
    }
    EXPECT_EQ(entries(), expectedEntries);
}

INSTANTIATE_TEST_SUITE_P(LockPaths, FoundAtLockPathTest,
    testing::Values(FoundRow { "NoFileYet", Found::Nothing, State::Running },
        FoundRow { "Garbage", Found::Garbage, State::Running },
        FoundRow { "LockOfADeadCopyOnAnotherHost", Found::LockOfADeadCopy, State::Running },
        FoundRow { "DirectoryInTheWay", Found::Directory, State::Unchecked },
        FoundRow { "LinkInTheWay", Found::Link, State::Unchecked },
        FoundRow { "FifoInTheWay", Found::Fifo, State::Unchecked },
        FoundRow { "FileOfAnotherUser", Found::FileOfAnotherUser, State::Unchecked },
        FoundRow { "UnwritableFolder", Found::UnwritableFolder, State::Unchecked }),
    [](const testing::TestParamInfo<FoundRow> &info) { return info.param.name; });

TEST_F(LockFolderTest, ALiveProcessKeepsItUntilItDies)
{
    const QString dir = folder(QStringLiteral("place"));
    LockHolder holder(lockIn(dir));
    ASSERT_TRUE(holder.ok);
    EXPECT_EQ(SingleInstance(Name, { dir }).state(), State::OtherCopy);
    holder.kill();
    EXPECT_EQ(SingleInstance(Name, { dir }).state(), State::Running);
}

TEST_F(LockFolderTest, AHolderInAnyPlaceCountsAndUnusablePlacesArePassedOver)
{
    const QString early = folder(QStringLiteral("early"));
    const QString late = folder(QStringLiteral("late"));
    const QString blocked = folder(QStringLiteral("blocked"));
    ASSERT_TRUE(QDir().mkdir(lockIn(blocked)));
    {
        // A copy that found only one place keeps out one that finds both,
        // and that one lets go of what it took.
        const SingleInstance first(Name, { early });
        ASSERT_EQ(first.state(), State::Running);
        const SingleInstance second(Name, { late, early });
        EXPECT_EQ(second.state(), State::OtherCopy);
        EXPECT_EQ(SingleInstance(Name, { late }).state(), State::Running);
    }
    // The first is gone, and a place that fails is passed over.
    const SingleInstance next(Name, { blocked, early });
    EXPECT_EQ(next.state(), State::Running);
    EXPECT_TRUE(next.problem().startsWith(lockIn(blocked))) << next.problem().toStdString();
    EXPECT_EQ(SingleInstance(Name, { early }).state(), State::OtherCopy);
}

// ---- two copies of the real program ------------------------------------------------

const QString ProgramName = QStringLiteral("vortal9-setup");

// The processes that hold an flock() on any of the program's lock files,
// from the kernel's list; looking does not take the lock.
QSet<qint64> lockHolders()
{
    QSet<QPair<quint64, quint64>> files; // (device, inode)
    for (const QString &dir : SingleInstance::defaultDirectories()) {
        const QByteArray path = QFile::encodeName(QDir(dir).filePath(SingleInstance::lockFileName(ProgramName)));
        struct stat status;
        if (::stat(path.constData(), &status) == 0)
            files.insert({ status.st_dev, status.st_ino });
    }
    QSet<qint64> holders;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return holders;
    // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10953116 0 EOF"
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        const qsizetype kind = fields.indexOf("FLOCK");
        const QList<QByteArray> id
            = kind < 0 || kind + 4 >= fields.size() ? QList<QByteArray>() : fields.at(kind + 4).split(':');
        if (id.size() == 3
            && files.contains(
                { makedev(id.at(0).toUInt(nullptr, 16), id.at(1).toUInt(nullptr, 16)), id.at(2).toULongLong() }))
            holders.insert(fields.at(kind + 3).toLongLong());
    }
    return holders;
}

class TwoCopiesTest : public testing::TestWithParam<std::pair<const char *, const char *>>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(runtimeA.isValid() && runtimeB.isValid());
        skipIfHeldByOthers();
    }

    void TearDown() override
    {
        for (auto &process : started) {
            process->kill();
            process->waitForFinished(5000);
        }
    }

    // A copy of the program that the developer has open holds the lock:
    // starting more would only test that one.
    void skipIfHeldByOthers()
    {
        QSet<qint64> others = lockHolders();
        for (const auto &process : started)
            others.remove(pids.value(process.get()));
        if (!others.isEmpty())
            GTEST_SKIP() << "the program's lock is held by process " << *others.begin()
                         << " (a copy running on this machine); close it to run this test";
    }

    // A copy with runtime folder "A", "B" or "none".
    QProcess &start(const std::string &runtime)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        if (runtime != "none")
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), (runtime == "A" ? runtimeA : runtimeB).path());
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(VORTAL9_PROGRAM), {});
        EXPECT_TRUE(process->waitForStarted(5000));
        pids.insert(process.get(), process->processId());
        started.push_back(std::move(process));
        return *started.back();
    }

    // Starts a copy and waits until it holds the lock. Null when it ended
    // or timed out instead: the test is then skipped if a copy outside it
    // took the lock meanwhile, and fails otherwise.
    QProcess *startHolding(const std::string &runtime)
    {
        QProcess &process = start(runtime);
        QElapsedTimer clock;
        clock.start();
        while (!lockHolders().contains(pids.value(&process))) {
            if (process.state() == QProcess::NotRunning || clock.elapsed() > 10000) {
                skipIfHeldByOthers();
                if (!IsSkipped())
                    ADD_FAILURE() << "the copy started with runtime folder " << runtime << " never held the lock";
                return nullptr;
            }
            QThread::msleep(10);
        }
        return &process;
    }

    QTemporaryDir runtimeA;
    QTemporaryDir runtimeB;
    std::vector<std::unique_ptr<QProcess>> started;
    QHash<const QProcess *, qint64> pids;
};

TEST_P(TwoCopiesTest, SecondCopyEndsAtOnceWithStatusZero)
{
    QProcess *first = startHolding(GetParam().first);
    if (!first)
        return;
    QElapsedTimer clock;
    clock.start();
    QProcess &second = start(GetParam().second);
    ASSERT_TRUE(second.waitForFinished(5000));
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    // The first keeps its lock: the second did not replace the file.
    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_TRUE(lockHolders().contains(pids.value(first)));
}

TEST_P(TwoCopiesTest, LockOfAKilledCopyIsTakenOver)
{
    QProcess *crashed = startHolding(GetParam().first);
    if (!crashed)
        return;
    ::kill(static_cast<pid_t>(pids.value(crashed)), SIGKILL);
    crashed->waitForFinished(5000);
    // The next copy holds the lock and keeps running, where a second copy
    // would have ended at once.
    QProcess *next = startHolding(GetParam().second);
    if (!next)
        return;
    next->waitForFinished(500);
    EXPECT_EQ(next->state(), QProcess::Running);
}

// Without a display the program says in one line what it needs, and ends
// with 1 instead of Qt's abort.
TEST(WithoutDesktop, SaysSoInOneLineAndEndsWithOne)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VORTAL9_PROGRAM), {});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    const QStringList lines = QString::fromLocal8Bit(program.readAllStandardError()).split(
        QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1) << lines.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(lines[0].contains(QLatin1String("needs a desktop session"))) << lines[0].toStdString();
    // Named so that it can be run from here: vortal9-batch is not on PATH but
    // beside the program.
    const QString batch = QFileInfo(QStringLiteral(VORTAL9_PROGRAM)).dir().filePath(QStringLiteral("vortal9-batch"));
    EXPECT_TRUE(lines[0].contains(batch)) << lines[0].toStdString();
}

// SIGTERM and SIGHUP (a logout, a shutdown, kill) end the program as "EXIT"
// does, with status 0, and the lock is free for the next copy. Before, the
// default action killed it (status 143) without letting its reader go.
TEST_P(TwoCopiesTest, AnEndingSignalEndsTheCopyAsExitDoes)
{
    QProcess *first = startHolding(GetParam().first);
    if (!first)
        return;
    ::kill(static_cast<pid_t>(pids.value(first)), GetParam().second == std::string("B") ? SIGHUP : SIGTERM);
    ASSERT_TRUE(first->waitForFinished(5000));
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_FALSE(lockHolders().contains(pids.value(first)));
}

INSTANTIATE_TEST_SUITE_P(RuntimeFolders, TwoCopiesTest,
    testing::Values(std::pair { "A", "A" }, std::pair { "A", "B" }, std::pair { "none", "A" }),
    [](const auto &info) { return std::string(info.param.first) + "Then" + info.param.second; });

// A second start hands its activation token to the running copy, which then
// comes to the front; only a plain token of printable ASCII passes.
class RaiseTest : public testing::TestWithParam<std::pair<QByteArray, QByteArray>>
{
protected:
    // What the listener under name hears within a second, if anything.
    std::optional<QByteArray> heard(RaiseListener &listener)
    {
        std::optional<QByteArray> token;
        QObject::connect(&listener, &RaiseListener::raiseRequested, &listener,
                         [&token](const QByteArray &t) { token = t; });
        const QDeadlineTimer deadline(1000);
        while (!token && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        return token;
    }

    int argc = 1;
    char arg0[5] = "test";
    char *argv[1] = {arg0};
    QCoreApplication app{argc, argv};
    const QString name = QStringLiteral("vortal9-raise-test-%1").arg(QCoreApplication::applicationPid());
};

TEST_P(RaiseTest, TheRunningCopyHearsThePlainToken)
{
    RaiseListener listener(name);
    ASSERT_TRUE(listener.isListening());
    EXPECT_TRUE(vortal9::requestRaise(name, GetParam().first));
    EXPECT_EQ(heard(listener), std::optional(GetParam().second));
}

const char *const TokenRowNames[] = {"Plain", "None", "Newline", "Space", "EscapeSequence", "Longest", "TooLong"};

INSTANTIATE_TEST_SUITE_P(Tokens, RaiseTest,
    testing::Values(std::pair {QByteArray("kwin-1234_ab.CD:5"), QByteArray("kwin-1234_ab.CD:5")},
                    std::pair {QByteArray(), QByteArray()},
                    std::pair {QByteArray("ab\ncd"), QByteArray()},
                    std::pair {QByteArray("ab cd"), QByteArray()},
                    std::pair {QByteArray("\x1b]0;title\x07"), QByteArray()},
                    std::pair {QByteArray(vortal9::MaxActivationToken, 'a'), QByteArray(vortal9::MaxActivationToken, 'a')},
                    std::pair {QByteArray(vortal9::MaxActivationToken + 1, 'a'), QByteArray()}),
    [](const auto &info) { return std::string(TokenRowNames[info.index]); });

TEST_F(RaiseTest, OnlyTheCopyOfThatNameHearsAndOnlyOneListens)
{
    EXPECT_FALSE(vortal9::requestRaise(name, "t")) << "no copy runs";
    RaiseListener other(name + QStringLiteral("-other"));
    RaiseListener listener(name);
    RaiseListener second(name);
    EXPECT_TRUE(listener.isListening());
    EXPECT_FALSE(second.isListening());
    EXPECT_TRUE(vortal9::requestRaise(name, "t"));
    EXPECT_EQ(heard(other), std::nullopt);
}

} // namespace
