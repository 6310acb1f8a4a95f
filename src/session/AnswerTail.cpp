#include "session/AnswerTail.h"

#include <algorithm>
#include <utility>

namespace vortal9 {

AnswerTail::AnswerTail(std::string path, std::unique_ptr<KeyCapture> capture, int holdMs, const Timing &timing,
                       QObject *parent, Typing typing, std::function<void(card::CardGuard &)> decided,
                       std::function<void(AnswerTail *)> ended)
    : QObject(parent)
    , m_path(std::move(path))
    , m_capture(std::move(capture))
    , m_quietMs(timing.quietMs)
    , m_until(timing.answerLimitMs)
    , m_typing(std::move(typing))
    , m_decided(std::move(decided))
    , m_ended(std::move(ended))
{
    connect(&m_timer, &MinimumTimer::timeout, this, &AnswerTail::end);
    if (m_capture) {
        connect(m_capture.get(), &KeyCapture::pressed, this, [this](const CapturedKeys &keys) {
            if (!std::exchange(m_typing.typing, true))
                m_typing.guard.beginBurst(m_typing.awaited);
            // No step is open any more: what may be kept is shown only.
            for (const CapturedKey &key : keys)
                m_typing.guard.key(key, -1);
            m_decided(m_typing.guard);
            noteTyping();
        });
        connect(m_capture.get(), &KeyCapture::lost, this, [this] {
            m_inCaptureSignal = true;
            end();
        });
    }
    m_timer.start(std::max(holdMs, 0));
}

void AnswerTail::noteTyping()
{
    if (m_timer.isActive() && !m_until.hasExpired())
        m_timer.start(m_quietMs);
}

std::unique_ptr<KeyCapture> AnswerTail::takeCapture()
{
    if (m_capture)
        m_capture->disconnect(this);
    return std::move(m_capture);
}

void AnswerTail::end()
{
    if (m_done)
        return;
    m_done = true;
    m_timer.stop();
    // The reader is quiet, or let go: what is still held is decided.
    m_typing.guard.endBurst();
    m_typing.guard.settle();
    m_decided(m_typing.guard);
    if (m_capture) {
        m_capture->disconnect(this);
        // A capture in the middle of telling us something goes once it has
        // finished; otherwise its devices are let go at once.
        if (m_inCaptureSignal)
            m_capture.release()->deleteLater();
        else
            m_capture.reset();
    }
    m_ended(this);
}

} // namespace vortal9
