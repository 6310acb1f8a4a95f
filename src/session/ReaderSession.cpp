#include "session/ReaderSession.h"

#include "device/AccessUSBIO.h"
#include "device/CommandChunks.h"
#include "device/Messages.h"
#include "script/ScriptFormat.h"
#include "session/CommandChannel.h"

#include <QDateTime>
#include <QTimer>

#include <algorithm>

namespace vortal9 {

namespace {

// The configuration hot key: left Ctrl, left Alt, F10 down, then up again in
// the reverse order.
const QString HotKeyMake = QStringLiteral("141109");
const QString HotKeyBreak = QStringLiteral("F009F011F014");
const QString AnswerMarker = QStringLiteral("FF");

template<typename F>
F take(F &f)
{
    F taken = std::move(f);
    f = nullptr;
    return taken;
}

} // namespace

ReaderSession::ReaderSession(HidPlatform &platform, CapturePlatform *capture, const Timing &timing, QObject *parent)
    : QObject(parent)
    , m_platform(platform)
    , m_capturePlatform(capture)
    , m_timing(timing)
    , m_channel(new CommandChannel(platform, timing.pacingMs, this))
{
    auto timer = [this](int interval, void (ReaderSession::*handler)()) {
        auto *t = new QTimer(this);
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
        t->setInterval(interval);
        connect(t, &QTimer::timeout, this, handler);
        return t;
    };
    m_quietTimer = timer(timing.quietMs, &ReaderSession::onQuiet);
    m_quietTimer->setObjectName(QStringLiteral("Timer1"));
    m_echoTimer = timer(timing.echoMs, &ReaderSession::onEcho);
    m_echoTimer->setObjectName(QStringLiteral("Timer3"));
    m_listenTimer = new QTimer(this);
    m_listenTimer->setSingleShot(true);
    m_listenTimer->setInterval(timing.echoMs);
    m_silenceTimer = timer(timing.answerTimeoutMs, &ReaderSession::onAnswerTimedOut);
    m_answerLimit = timer(timing.answerLimitMs, &ReaderSession::onAnswerTimedOut);
    m_lateTimer = timer(timing.quietMs, &ReaderSession::releaseLateCapture);

    connect(m_channel, &CommandChannel::reportGoingOut, this, &ReaderSession::onReportGoingOut);
    connect(m_channel, &CommandChannel::reportSent, this, &ReaderSession::onReportSent);
    connect(m_channel, &CommandChannel::reportRefused, this, &ReaderSession::onReportRefused);
}

ReaderSession::~ReaderSession()
{
    // Whoever listened may be gone already: nothing is reported from here on.
    blockSignals(true);
    m_open = false;
    stopFlows();
    m_capture.reset();
    m_lateCapture.reset();
    closeHandle(true);
}

bool ReaderSession::open(const std::string &path)
{
    // What the last session left waiting (a release, a capture held for the
    // end of an answer) is settled now.
    closeNow();

    OpenedDevice opened = openHidDevice(m_platform, path, AccessReadWrite);
    // A reader that refuses read/write access still takes feature reports
    // through a handle opened with no access rights.
    if (opened.handle < 1)
        opened = openHidDevice(m_platform, path, AccessNone);
    if (opened.handle < 1)
        return false;

    m_open = true;
    m_path = path;
    m_handle = opened.handle;
    m_channel->attach(m_handle, opened.featureLength);
    m_heldKeys.clear();
    m_manufacturer = manufacturerText(m_platform, m_handle);

    m_captureRefusal.clear();
    if (m_capturePlatform) {
        CaptureAttempt attempt = m_capturePlatform->capture(path);
        if (attempt.capture) {
            m_capture = std::move(attempt.capture);
            connect(m_capture.get(), &KeyCapture::typed, this, &ReaderSession::onCapturedText);
            connect(m_capture.get(), &KeyCapture::lost, this, &ReaderSession::onCaptureLost);
        } else {
            m_captureRefusal = attempt.refusal;
        }
    }
    return true;
}

void ReaderSession::close()
{
    const bool wasPlaying = m_scriptRunning;
    const bool typing = mayBeTyping();
    const bool sendingOrWaiting = m_open && (m_channel->isBusy() || m_scriptRunning || m_afterAnswer);
    const int mayStillTypeMs = std::max(m_quietTimer->remainingTime(), m_listenTimer->remainingTime());
    stopFlows();
    releaseLateCapture();
    if (typing) {
        // Held for as long as the reader may still be typing: to the end of
        // the quiet period or of the time after a report in which an answer
        // may begin, or for a whole quiet period while a command was going
        // out; every character it types meanwhile starts the quiet period anew.
        const int holdMs = sendingOrWaiting ? m_timing.quietMs : mayStillTypeMs;
        m_lateUntil = QDateTime::currentMSecsSinceEpoch() + m_timing.answerLimitMs;
        m_lateTimer->start(std::max(holdMs, 0));
    }
    if (m_capture) {
        std::unique_ptr<KeyCapture> capture = std::move(m_capture);
        capture->disconnect(this);
        if (typing) {
            m_lateCapture = std::move(capture);
            // What it still types is shown, and keeps the hold going.
            connect(m_lateCapture.get(), &KeyCapture::typed, this, &ReaderSession::onCapturedText);
            connect(m_lateCapture.get(), &KeyCapture::lost, this, [this] {
                m_inCaptureSignal = true;
                releaseLateCapture();
                m_inCaptureSignal = false;
            });
        } else {
            dispose(std::move(capture));
        }
    }
    m_closing = m_closing || m_open;
    closeHandle(false);
    m_open = false;
    m_readerIdle = false;
    m_held = false;
    if (m_modifier != keyboard::NoModifier) {
        m_modifier = keyboard::NoModifier;
        Q_EMIT modifierReset();
    }
    if (wasPlaying)
        Q_EMIT playbackFinished(Outcome::Cancelled);
    checkLetGo();
}

void ReaderSession::checkLetGo()
{
    if (!m_closing || m_open || m_handle != 0 || m_lateCapture)
        return;
    m_closing = false;
    Q_EMIT letGo();
}

void ReaderSession::closeNow()
{
    close();
    closeHandle(true);
    releaseLateCapture();
}

void ReaderSession::dispose(std::unique_ptr<KeyCapture> capture)
{
    if (!capture)
        return;
    capture->disconnect(this);
    // A capture in the middle of telling us something goes once it has
    // finished; otherwise its devices are let go at once.
    if (m_inCaptureSignal)
        capture.release()->deleteLater();
}

void ReaderSession::releaseLateCapture()
{
    m_lateTimer->stop();
    dispose(std::move(m_lateCapture));
    checkLetGo();
}

void ReaderSession::stopFlows()
{
    m_channel->cancel();
    for (QTimer *timer : {m_quietTimer, m_echoTimer, m_listenTimer, m_silenceTimer, m_answerLimit})
        timer->stop();
    m_afterAnswer = nullptr;
    m_afterQuiet = nullptr;
    m_afterRelease = nullptr;
    m_scriptRunning = false;
}

void ReaderSession::closeHandle(bool releaseAtOnce)
{
    if (m_handle < 1) {
        m_handle = 0;
        return;
    }
    // Never leave the reader with a key held down: a latched modifier, or the
    // hot key or a script cut off between a press and its release.
    const QString release = m_heldKeys.releaseString();
    m_channel->cancel();
    auto closeDevice = [this] {
        m_platform.close(m_handle);
        m_handle = 0;
        m_channel->detach();
        m_heldKeys.clear();
        checkLetGo();
    };
    if (release.isEmpty()) {
        closeDevice();
    } else if (releaseAtOnce) {
        m_channel->sendNow(release);
        closeDevice();
    } else {
        m_channel->send(release, [closeDevice](bool) { closeDevice(); });
    }
}

bool ReaderSession::mayBeTyping() const
{
    if (!m_open)
        return m_lateTimer->isActive();
    return m_channel->isBusy() || m_scriptRunning || m_afterAnswer || m_quietTimer->isActive()
           || m_listenTimer->isActive();
}

void ReaderSession::sendCommand(const QString &text, std::function<void(bool)> done)
{
    m_channel->send(text, std::move(done));
}

void ReaderSession::onReportGoingOut(const QString &chunk)
{
    if (!m_open || !m_recording.on)
        return;
    for (const QString &pair : chunkPairs(chunk))
        m_recording.buffer += pair;
}

void ReaderSession::onReportSent(const std::vector<std::uint8_t> &payload)
{
    m_heldKeys.feed(payload);
    m_typedSinceReport = false;
    if (m_open)
        m_listenTimer->start();
}

void ReaderSession::onReportRefused()
{
    // A release sent while closing is nobody's business once the session is
    // closed.
    if (!m_open)
        return;
    m_recording.buffer.clear();
    Q_EMIT failure(text::WriteError);
}

void ReaderSession::noteTyping()
{
    if (!m_open) {
        // The rest of an answer begun before close: its end is awaited, but
        // not for ever.
        if (m_lateTimer->isActive() && QDateTime::currentMSecsSinceEpoch() < m_lateUntil)
            m_lateTimer->start(m_timing.quietMs);
        return;
    }
    ++m_typedCount;
    m_typedSinceReport = true;
    m_readerIdle = false;
    m_quietTimer->start();
    if (m_afterAnswer)
        m_silenceTimer->start();
}

void ReaderSession::onCapturedText(const QString &text)
{
    m_inCaptureSignal = true;
    Q_EMIT typed(text);
    noteTyping();
    m_inCaptureSignal = false;
}

void ReaderSession::onCaptureLost()
{
    m_inCaptureSignal = true;
    const bool wasPlaying = m_scriptRunning;
    stopFlows();
    dispose(std::move(m_capture));
    // The reader is gone: nothing can be released on it any more.
    m_heldKeys.clear();
    m_closing = true;
    closeHandle(true);
    m_open = false;
    m_readerIdle = false;
    m_modifier = keyboard::NoModifier;
    m_inCaptureSignal = false;
    if (wasPlaying)
        Q_EMIT playbackFinished(Outcome::Unplugged);
    Q_EMIT lost();
    checkLetGo();
}

void ReaderSession::onQuiet()
{
    m_readerIdle = true;
    // The answer to the last report is over: the reader will not start
    // typing again on its own.
    if (m_typedSinceReport)
        m_listenTimer->stop();
    // An "FF" marks the end of an answer to what this recording sent; an
    // answer that ends while a command is still going out, or before anything
    // was recorded, belongs to no step of the recording.
    const bool sending = m_channel->isBusy();
    if (m_recording.on && !sending && !m_recording.buffer.isEmpty())
        m_recording.buffer += AnswerMarker;
    Q_EMIT quietPeriodEnded(!m_scriptRunning && !sending);
    if (m_afterAnswer) {
        m_silenceTimer->stop();
        m_answerLimit->stop();
        take(m_afterAnswer)();
    } else if (m_afterQuiet) {
        take(m_afterQuiet)();
    }
}

void ReaderSession::onEcho()
{
    Q_EMIT echoChecked(m_open && m_typedCount == m_echoCount);
}

std::optional<keyboard::KeyStroke> ReaderSession::pressKey(int index, bool nationalLayout)
{
    if (!m_open || !m_readerIdle)
        return std::nullopt;
    keyboard::KeyStroke stroke = keyboard::keyStroke(index, m_modifier, nationalLayout);
    m_modifier = stroke.modifierAfter;
    m_echoTimer->stop();
    // The echo check starts once the key's last string has gone out; the
    // results do not matter: a refused report shows its own message.
    auto startEcho = [this](bool) {
        m_echoCount = m_typedCount;
        m_echoTimer->start();
    };
    if (stroke.sends.isEmpty()) {
        startEcho(true);
        return stroke;
    }
    for (qsizetype i = 0; i < stroke.sends.size(); ++i)
        sendCommand(stroke.sends.at(i), i + 1 == stroke.sends.size() ? std::function<void(bool)>(startEcho) : nullptr);
    return stroke;
}

void ReaderSession::enterConfig()
{
    sendCommand(HotKeyMake);
    sendCommand(HotKeyBreak);
}

void ReaderSession::setHeld(bool held)
{
    m_held = held;
    if (!held && m_afterRelease)
        take(m_afterRelease)();
}

// Playback.

void ReaderSession::playScript(const QString &script)
{
    // Scripts are read without regard to case: "ff" is a marker like "FF",
    // "f01e" a break like "F01E".
    m_script = script::normalizedScript(script);
    m_tokens = script::playbackTokens(m_script);
    m_scriptRunning = true;
    m_readerIdle = false;
    Q_EMIT progress(0, playbackSteps());
    sendCommand(HotKeyMake, [this](bool sent) {
        if (!sent)
            return finishPlayback(Outcome::WriteError);
        sendCommand(HotKeyBreak, [this](bool sent) {
            if (!sent)
                return finishPlayback(Outcome::WriteError);
            waitForAnswer([this] { afterAnswer([this] { nextToken(std::size_t(-1)); }); });
        });
    });
}

void ReaderSession::playToken(std::size_t index)
{
    m_readerIdle = false;
    sendCommand(m_tokens[index].text, [this, index](bool sent) {
        if (!sent)
            return finishPlayback(Outcome::WriteError);
        Q_EMIT progress(int(index) + 1, playbackSteps());
        afterToken(index);
    });
}

void ReaderSession::afterToken(std::size_t index)
{
    const script::Token &token = m_tokens[index];
    if (token.waitForAnswer) {
        waitForAnswer([this, index] { afterAnswer([this, index] { nextToken(index); }); });
    } else if (token.isBreak) {
        m_channel->pause(m_timing.breakPauseMs, [this, index] { nextToken(index); });
    } else {
        nextToken(index);
    }
}

void ReaderSession::nextToken(std::size_t index)
{
    const std::size_t next = index + 1; // index -1: the first token
    if (next < m_tokens.size())
        playToken(next);
    else
        finishPlayback(Outcome::Configured);
}

void ReaderSession::finishPlayback(Outcome outcome)
{
    m_silenceTimer->stop();
    m_answerLimit->stop();
    m_afterAnswer = nullptr;
    m_afterQuiet = nullptr;
    m_afterRelease = nullptr;
    m_scriptRunning = false;
    Q_EMIT playbackFinished(outcome);
}

void ReaderSession::waitForAnswer(std::function<void()> then)
{
    m_readerIdle = false;
    m_afterAnswer = std::move(then);
    m_silenceTimer->start();
    m_answerLimit->start();
}

void ReaderSession::afterAnswer(std::function<void()> then)
{
    // A hold asked from outside keeps the playback here until it ends, and
    // then until the reader has been quiet for the quiet period again.
    if (!m_held)
        return then();
    m_afterRelease = [this, then = std::move(then)]() mutable { waitForQuiet(std::move(then)); };
}

void ReaderSession::waitForQuiet(std::function<void()> then)
{
    if (m_quietTimer->isActive())
        m_afterQuiet = std::move(then);
    else
        then();
}

void ReaderSession::onAnswerTimedOut()
{
    if (!m_afterAnswer)
        return;
    m_afterAnswer = nullptr;
    Q_EMIT failure(text::NotResponding);
    finishPlayback(Outcome::NotResponding);
}

} // namespace vortal9
