// Two copies of the real program: the second ends at once, and a lock left
// behind by a copy that was killed does not lock the program out.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>

namespace {

class SingleInstanceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(runtime.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        environment = env;
    }

    std::unique_ptr<QProcess> start()
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(VORTAL9_PROGRAM), {});
        EXPECT_TRUE(process->waitForStarted(5000));
        return process;
    }

    bool lockHeld() const { return QFileInfo::exists(runtime.filePath("vortal9-setup.lock")); }

    bool waitForLock(int ms) const
    {
        QElapsedTimer clock;
        clock.start();
        while (!lockHeld()) {
            if (clock.elapsed() > ms)
                return false;
            QThread::msleep(10);
        }
        return true;
    }

    static void stop(QProcess &process)
    {
        process.kill();
        process.waitForFinished(5000);
    }

    QTemporaryDir runtime;
    QProcessEnvironment environment;
};

} // namespace

TEST_F(SingleInstanceTest, SecondCopyEndsAtOnceWithStatusZero)
{
    auto first = start();
    ASSERT_TRUE(waitForLock(10000));

    QElapsedTimer clock;
    clock.start();
    auto second = start();
    ASSERT_TRUE(second->waitForFinished(5000));
    const qint64 elapsed = clock.elapsed();
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_LT(elapsed, 1000);

    // The first copy is still running and still holds the lock.
    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_TRUE(lockHeld());
    stop(*first);
}

TEST_F(SingleInstanceTest, LockOfAKilledCopyIsTakenOver)
{
    auto crashed = start();
    ASSERT_TRUE(waitForLock(10000));
    ::kill(static_cast<pid_t>(crashed->processId()), SIGKILL);
    crashed->waitForFinished(5000);
    ASSERT_TRUE(lockHeld()); // left behind

    auto next = start();
    // It starts and keeps running instead of ending as a second copy would.
    EXPECT_FALSE(next->waitForFinished(1500));
    EXPECT_EQ(next->state(), QProcess::Running);
    stop(*next);
}
