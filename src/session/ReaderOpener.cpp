#include "session/ReaderOpener.h"

#include "device/KeyCapture.h"

#include <QPointer>
#include <QThread>

#include <memory>

#include <csignal>
#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace vortal9 {

ReaderOpener::ReaderOpener(HidPlatform &platform, CapturePlatform *capture, QObject *parent)
    : QObject(parent)
    , m_platform(platform)
    , m_capture(capture)
    , m_onThreads(platform.callableFromAnyThread() && (!capture || capture->capturesOnAnyThread()))
{
    m_pool.setMaxThreadCount(Threads);
    // Each thread of the pool holds an event dispatcher (a thread and a file
    // of the process): a station that waits for the next reader for hours
    // keeps none of them beyond a short burst of plugging.
    m_pool.setExpiryTimeout(ExpiryMs);
}

ReaderOpener::~ReaderOpener()
{
    // Hand-overs still queued to this object are dropped with it, and their
    // readers let go.
    m_pool.waitForDone();
}

void ReaderOpener::open(const std::string &path, QObject *context, std::function<void(ReaderSession::Prepared)> done)
{
    // Handed over in a shared pointer: the queued call owns the reader until
    // it runs, or until it is dropped, both on this thread.
    auto handOver = [context = QPointer<QObject>(context), done = std::move(done)](
                        std::shared_ptr<ReaderSession::Prepared> prepared) {
        if (context)
            done(std::move(*prepared));
    };
    QThread *home = thread();
    if (!m_onThreads) {
        QMetaObject::invokeMethod(
            this,
            [this, path, home, handOver] {
                handOver(std::make_shared<ReaderSession::Prepared>(
                    ReaderSession::prepare(m_platform, m_capture, path, home)));
            },
            Qt::QueuedConnection);
        return;
    }
    auto work = [this, path, home, handOver] {
        auto prepared =
            std::make_shared<ReaderSession::Prepared>(ReaderSession::prepare(m_platform, m_capture, path, home));
        QMetaObject::invokeMethod(
            this, [handOver, prepared = std::move(prepared)]() mutable { handOver(std::move(prepared)); },
            Qt::QueuedConnection);
    };
#if !defined(_WIN32)
    // A thread the pool starts now inherits this mask: the program's signals
    // stay with its main thread (Ctrl+C must break a wait there).
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    m_pool.start(std::move(work));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
#else
    m_pool.start(std::move(work));
#endif
}

} // namespace vortal9
