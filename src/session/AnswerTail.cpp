#include "session/AnswerTail.h"

#include <algorithm>

namespace vortal9 {

AnswerTail::AnswerTail(std::string path, std::unique_ptr<KeyCapture> capture, int holdMs, const Timing &timing,
                       QObject *parent, std::function<void(const QString &)> typed,
                       std::function<void(AnswerTail *)> ended)
    : QObject(parent)
    , m_path(std::move(path))
    , m_capture(std::move(capture))
    , m_quietMs(timing.quietMs)
    , m_until(timing.answerLimitMs)
    , m_typed(std::move(typed))
    , m_ended(std::move(ended))
{
    connect(&m_timer, &MinimumTimer::timeout, this, &AnswerTail::end);
    if (m_capture) {
        connect(m_capture.get(), &KeyCapture::typed, this, [this](const QString &text) {
            m_typed(text);
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
