#include "session/CommandChannel.h"

#include "device/CommandChunks.h"
#include "session/MinimumTimer.h"

namespace vortal9 {

CommandChannel::CommandChannel(HidPlatform &platform, int pacingMs, QObject *parent)
    : QObject(parent)
    , m_platform(platform)
    , m_pacingMs(pacingMs)
    , m_timer(new MinimumTimer(this))
{
    m_timer->setObjectName(QStringLiteral("Timer2"));
    connect(m_timer, &MinimumTimer::timeout, this, &CommandChannel::onTimer);
}

void CommandChannel::attach(HidHandle handle, int featureLength)
{
    m_handle = handle;
    m_featureLength = featureLength;
}

void CommandChannel::detach()
{
    cancel();
    m_handle = 0;
    m_featureLength = 0;
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

void CommandChannel::cancel()
{
    m_queue.clear();
    m_timer->stop();
}

void CommandChannel::scheduleNext()
{
    if (m_queue.empty() || m_timer->isActive())
        return;
    const Item &head = m_queue.front();
    m_timer->start(head.chunks.isEmpty() ? head.pauseMs : m_pacingMs);
}

void CommandChannel::onTimer()
{
    if (m_queue.empty())
        return;
    Item &head = m_queue.front();
    bool sent = true; // a pause has passed
    if (!head.chunks.isEmpty()) {
        const QString chunk = head.chunks.at(head.next++);
        // An empty chunk (an empty string) sends nothing and says nothing.
        sent = !chunk.isEmpty() && sendChunk(chunk);
        if (sent && head.next < head.chunks.size()) {
            scheduleNext();
            return;
        }
    }
    // Taken off the queue before the callback runs: it may queue, cancel or
    // close as it likes.
    auto done = std::move(head.done);
    m_queue.pop_front();
    scheduleNext();
    if (done)
        done(sent);
}

bool CommandChannel::sendChunk(const QString &chunk)
{
    // A chunk that is not made of hexadecimal pairs, or that has more pairs
    // than the report has payload bytes, is refused as a whole rather than
    // sent with a wrong byte or cut short.
    const auto report = buildFeatureReport(chunk, m_featureLength);
    if (report && m_handle >= 1) {
        Q_EMIT reportGoingOut(chunk);
        if (m_platform.setFeature(m_handle, *report)) {
            std::vector<std::uint8_t> payload(report->begin() + 1, report->end());
            while (!payload.empty() && payload.back() == 0)
                payload.pop_back();
            Q_EMIT reportSent(payload);
            return true;
        }
    }
    Q_EMIT reportRefused();
    return false;
}

bool CommandChannel::sendNow(const QString &text)
{
    for (const QString &chunk : chunkCommand(text)) {
        if (chunk.isEmpty() || !sendChunk(chunk))
            return false;
    }
    return true;
}

} // namespace vortal9
