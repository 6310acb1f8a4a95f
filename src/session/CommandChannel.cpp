#include "session/CommandChannel.h"

#include "device/CommandChunks.h"
#include "session/MinimumTimer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#ifdef Q_OS_UNIX
#include <csignal>
#include <pthread.h>
#endif
#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace vortal9 {

namespace {

#ifdef Q_OS_UNIX
// A signal whose handler does nothing, installed without SA_RESTART: sent to
// the report thread, it ends the thread's wait in the kernel for a reader's
// answer (the call fails), where the kernel allows it (uhid does; a USB
// control transfer waits for its own time-out).
int wakeSignal()
{
    static const int signal = [] {
        struct sigaction action = {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        sigaction(SIGURG, &action, nullptr);
        return SIGURG;
    }();
    return signal;
}
#endif

#ifdef Q_OS_WIN
// An asynchronous procedure call that does nothing: queued to the report
// thread, it ends the thread's alertable wait for a reader's answer (the
// Windows backend waits so; its report is then cancelled and fails).
void CALLBACK wakeCall(ULONG_PTR)
{
}
#endif

} // namespace

// Sends one report at a time for the channel, on a thread of its own, and
// tells the channel's thread through answered() when the answer is in.
class CommandChannel::ReportThread
{
public:
    using Answered = std::function<void(quint64 ticket)>;

    explicit ReportThread(Answered answered)
        : m_answered(std::move(answered))
        , m_thread([this] { run(); })
    {
    }
    // Waits for a report still in flight.
    ~ReportThread()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_thread.join();
#ifdef Q_OS_WIN
        CloseHandle(m_threadHandle);
#endif
    }

    void send(HidPlatform::FeatureSender sender, std::vector<std::uint8_t> report, quint64 ticket)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_sender = std::move(sender);
            m_report = std::move(report);
            m_ticket = ticket;
            m_pending = true;
            m_answeredYet = false;
        }
        m_changed.notify_all();
    }

    // Ends the wait for the answer of the report in flight, if the kernel
    // lets it end early: the report then fails.
    void interrupt()
    {
#ifdef Q_OS_WIN
        std::unique_lock lock(m_mutex);
        if (m_answeredYet)
            return;
        m_changed.wait(lock, [this] { return m_threadHandle != nullptr; });
        const HANDLE thread = m_threadHandle;
        // One call, queued while the report waits (an alertable wait takes it
        // whenever it starts); one still queued when the answer comes is
        // taken right after it (run()).
        QueueUserAPC(wakeCall, thread, 0);
        // A synchronous wait in the system is cancelled instead; again until
        // the answer is in, since one that comes before the wait begins
        // cancels nothing.
        while (!m_answeredYet) {
            CancelSynchronousIo(thread);
            m_changed.wait_for(lock, std::chrono::milliseconds(50));
        }
#elif defined(Q_OS_UNIX)
        const int signal = wakeSignal();
        std::unique_lock lock(m_mutex);
        // Again until it has its answer: a signal that comes just before the
        // thread enters the kernel's wait wakes nothing.
        while (!m_answeredYet) {
            pthread_kill(m_thread.native_handle(), signal);
            m_changed.wait_for(lock, std::chrono::milliseconds(50));
        }
#endif
    }

    // Waits until the report handed over last has its answer; whether it was
    // accepted, and the report.
    std::pair<bool, std::vector<std::uint8_t>> answer()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_answeredYet; });
        return { m_accepted, m_report };
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
#ifdef Q_OS_WIN
        // A real handle of this thread (GetCurrentThread() names the caller).
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &m_threadHandle, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        m_changed.notify_all();
#endif
        for (;;) {
            m_changed.wait(lock, [this] { return m_stopping || m_pending; });
            if (m_pending) {
                m_pending = false;
                const HidPlatform::FeatureSender sender = m_sender;
                const std::vector<std::uint8_t> report = m_report;
                const quint64 ticket = m_ticket;
                lock.unlock();
                const bool accepted = sender(report);
                lock.lock();
                m_accepted = accepted;
                m_answeredYet = true;
                m_changed.notify_all();
                lock.unlock();
#ifdef Q_OS_WIN
                // A wake call queued just before the answer came must not end
                // the next report's wait: none is queued from now on.
                SleepEx(0, TRUE);
#endif
                m_answered(ticket);
                lock.lock();
            } else {
                return; // stopping, nothing in flight
            }
        }
    }

    const Answered m_answered;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    HidPlatform::FeatureSender m_sender;
    std::vector<std::uint8_t> m_report;
    quint64 m_ticket = 0;
    bool m_pending = false;     // handed over, not yet taken by the thread
    bool m_answeredYet = true;  // the last report handed over has its answer
    bool m_accepted = false;
    bool m_stopping = false;
#ifdef Q_OS_WIN
    HANDLE m_threadHandle = nullptr; // the thread's own, for interrupt()
#endif
    std::thread m_thread;       // last: starts once everything above exists
};

CommandChannel::CommandChannel(HidPlatform &platform, int pacingMs, QObject *parent)
    : QObject(parent)
    , m_platform(platform)
    , m_pacingMs(pacingMs)
    , m_timer(new MinimumTimer(this))
{
    m_timer->setObjectName(QStringLiteral("Timer2"));
    connect(m_timer, &MinimumTimer::timeout, this, &CommandChannel::onTimer);
}

CommandChannel::~CommandChannel() = default;

void CommandChannel::attach(HidHandle handle, int featureLength)
{
    m_handle = handle;
    m_featureLength = featureLength;
    m_sender = m_platform.featureSender(handle);
}

void CommandChannel::detach()
{
    cancel();
    m_handle = 0;
    m_featureLength = 0;
    m_sender = {};
}

void CommandChannel::send(const QString &text, SendDone done)
{
    Item item;
    item.chunks = chunkCommand(text);
    item.done = std::move(done);
    m_queue.push_back(std::move(item));
    scheduleNext();
}

void CommandChannel::pause(int ms, std::function<void()> done)
{
    Item item;
    item.pauseMs = ms;
    if (done)
        item.done = [done = std::move(done)](bool) { done(); };
    m_queue.push_back(std::move(item));
    scheduleNext();
}

void CommandChannel::giveUp()
{
    if (m_inFlight)
        m_reportThread->interrupt();
    cancel();
}

void CommandChannel::cancel()
{
    settleInFlight();
    m_queue.clear();
    m_timer->stop();
    ++m_ticket; // what was under way when cancel() came does not go on
}

void CommandChannel::scheduleNext()
{
    if (m_queue.empty() || m_timer->isActive() || m_inFlight)
        return;
    const Item &head = m_queue.front();
    m_timer->start(head.chunks.isEmpty() ? head.pauseMs : m_pacingMs);
}

void CommandChannel::onTimer()
{
    if (m_queue.empty())
        return;
    Item &head = m_queue.front();
    if (head.chunks.isEmpty())
        return goOn(true); // a pause has passed
    const QString chunk = head.chunks.at(head.next++);
    // An empty chunk (an empty string) sends nothing and says nothing.
    if (chunk.isEmpty())
        return goOn(false);
    const quint64 ticket = m_ticket;
    const bool sent = sendChunk(chunk, Wait::OnReportThread);
    // Sent on the report thread, the answer goes on; a receiver of the
    // signals may also have cancelled.
    if (ticket == m_ticket && !(sent && m_inFlight))
        goOn(sent);
}

void CommandChannel::goOn(bool sent)
{
    Item &head = m_queue.front();
    if (sent && head.next < head.chunks.size()) {
        scheduleNext();
        return;
    }
    // Taken off the queue before the callback runs: it may queue, cancel or
    // close as it likes.
    auto done = std::move(head.done);
    m_queue.pop_front();
    scheduleNext();
    if (done)
        done(sent);
}

bool CommandChannel::sendChunk(const QString &chunk, Wait wait)
{
    // A chunk that is not made of hexadecimal pairs, or that has more pairs
    // than the report has payload bytes, is refused as a whole rather than
    // sent with a wrong byte or cut short.
    auto report = buildFeatureReport(chunk, m_featureLength);
    if (!report || m_handle < 1) {
        Q_EMIT reportRefused();
        return false;
    }
    Q_EMIT reportGoingOut(chunk);
    if (wait == Wait::Here || !m_sender) {
        const bool accepted = m_platform.setFeature(m_handle, *report);
        emitOutcome(accepted, *report);
        return accepted;
    }
    if (!m_reportThread) {
        m_reportThread = std::make_unique<ReportThread>([this](quint64 ticket) {
            QMetaObject::invokeMethod(this, [this, ticket] { onAnswered(ticket); }, Qt::QueuedConnection);
        });
    }
    m_inFlight = true;
    m_reportThread->send(m_sender, std::move(*report), m_ticket);
    return true;
}

void CommandChannel::onAnswered(quint64 ticket)
{
    if (!m_inFlight || ticket != m_ticket)
        return; // settled already by cancel() or sendNow()
    m_inFlight = false;
    const auto [accepted, report] = m_reportThread->answer();
    emitOutcome(accepted, report);
    // A receiver of those signals may have cancelled.
    if (ticket == m_ticket)
        goOn(accepted);
}

void CommandChannel::settleInFlight()
{
    if (!m_inFlight)
        return;
    m_inFlight = false;
    ++m_ticket; // its posted answer is stale now
    const auto [accepted, report] = m_reportThread->answer();
    // Either way the reader may have taken it: a wait given up on fails
    // although the report had reached the reader.
    if (accepted)
        Q_EMIT reportSent(payloadOf(report));
    else
        Q_EMIT reportFailed(payloadOf(report));
}

std::vector<std::uint8_t> CommandChannel::payloadOf(const std::vector<std::uint8_t> &report)
{
    std::vector<std::uint8_t> payload(report.begin() + 1, report.end());
    while (!payload.empty() && payload.back() == 0)
        payload.pop_back();
    return payload;
}

void CommandChannel::emitOutcome(bool accepted, const std::vector<std::uint8_t> &report)
{
    if (accepted) {
        Q_EMIT reportSent(payloadOf(report));
        return;
    }
    Q_EMIT reportFailed(payloadOf(report));
    Q_EMIT reportRefused();
}

bool CommandChannel::sendNow(const QString &text)
{
    settleInFlight();
    for (const QString &chunk : chunkCommand(text)) {
        if (chunk.isEmpty() || !sendChunk(chunk, Wait::Here))
            return false;
    }
    return true;
}

} // namespace vortal9
