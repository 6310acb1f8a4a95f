#include "session/ReaderSession.h"

#include "card/CardData.h"
#include "device/AccessUSBIO.h"
#include "device/CommandChunks.h"
#include "device/DeviceMonitor.h"
#include "device/Messages.h"
#include "device/ScanCodes.h"
#include "script/ScriptFormat.h"
#include "session/CommandChannel.h"
#include "session/MinimumTimer.h"

#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>

namespace vortal9 {

namespace {
// "state → event → state" for every step, when asked for with
// QT_LOGGING_RULES="vortal9.session.debug=true". Never the reader's text.
Q_LOGGING_CATEGORY(lcSession, "vortal9.session", QtInfoMsg)
} // namespace

// A closed session's hold on a reader that may still be typing an answer:
// its capture (null without capture) until the reader has been quiet for the
// quiet period. Every keystroke starts that period anew, but the hold never
// outlasts one answer's limit. What the reader types meanwhile is passed on.
class AnswerTail : public QObject
{
public:
    AnswerTail(std::string path, std::unique_ptr<KeyCapture> capture, int holdMs, const Timing &timing,
               ReaderSession *session, std::function<void(const QString &)> typed,
               std::function<void(AnswerTail *)> ended)
        : QObject(session)
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

    const std::string &path() const { return m_path; }
    bool isCaptured() const { return m_capture != nullptr; }

    // The reader typed: its answer goes on, so the hold does too (within the limit).
    void noteTyping()
    {
        if (m_timer.isActive() && !m_until.hasExpired())
            m_timer.start(m_quietMs);
    }

    // The same reader is opened again: its capture goes back to the session.
    std::unique_ptr<KeyCapture> takeCapture()
    {
        if (m_capture)
            m_capture->disconnect(this);
        return std::move(m_capture);
    }

    // Lets the reader go (once) and tells the session, which deletes the tail.
    void end()
    {
        if (m_done)
            return;
        m_done = true;
        m_timer.stop();
        if (m_capture) {
            m_capture->disconnect(this);
            // A capture in the middle of telling us something goes once it
            // has finished; otherwise its devices are let go at once.
            if (m_inCaptureSignal)
                m_capture.release()->deleteLater();
            else
                m_capture.reset();
        }
        m_ended(this);
    }

private:
    std::string m_path;
    std::unique_ptr<KeyCapture> m_capture;
    const int m_quietMs;
    QDeadlineTimer m_until;
    MinimumTimer m_timer;
    std::function<void(const QString &)> m_typed;
    std::function<void(AnswerTail *)> m_ended;
    bool m_inCaptureSignal = false;
    bool m_done = false;
};

ReaderSession::ReaderSession(HidPlatform &platform, CapturePlatform *capture, const Timing &timing, QObject *parent)
    : QObject(parent)
    , m_platform(platform)
    , m_capturePlatform(capture)
    , m_timing(timing)
    , m_channel(new CommandChannel(platform, timing.pacingMs, this))
{
    auto timer = [this]<typename Timer>(Timer *t, const char *name, int interval, Event event) {
        t->setObjectName(QLatin1String(name));
        t->setInterval(interval);
        connect(t, &Timer::timeout, this, [this, event] { dispatch(event); });
        return t;
    };
    auto timeOut = [](QObject *parent) {
        auto *t = new QTimer(parent);
        t->setSingleShot(true);
        // A coarse timer may end 5 % early: a time-out is given in full.
        t->setTimerType(Qt::PreciseTimer);
        return t;
    };
    m_quietTimer = timer(new MinimumTimer(this), "Timer1", timing.quietMs, Event::QuietOver);
    m_listenTimer = timer(new MinimumTimer(this), "Timer3", timing.echoMs, Event::ListenOver);
    m_pauseTimer = timer(new MinimumTimer(this), "BreakPause", timing.breakPauseMs, Event::PauseOver);
    m_silenceTimer = timer(timeOut(this), "AnswerTimeout", timing.answerTimeoutMs, Event::Silence);
    m_limitTimer = timer(timeOut(this), "AnswerLimit", timing.answerLimitMs, Event::AnswerTooLong);

    connect(m_channel, &CommandChannel::reportGoingOut, this, &ReaderSession::onReportGoingOut);
    connect(m_channel, &CommandChannel::reportSent, this, &ReaderSession::onReportSent);
    connect(m_channel, &CommandChannel::reportRefused, this, &ReaderSession::onReportRefused);
}

ReaderSession::~ReaderSession()
{
    // Whoever listened may be gone already: nothing is reported from here on.
    blockSignals(true);
    closeNow();
}

// ---- user actions --------------------------------------------------------------

ReaderSession::OpenResult ReaderSession::open(const std::string &path)
{
    // What was open before is closed at once; a reader that may still be
    // typing stays held by its tail.
    if (isOpen())
        closeReader(true);
    else if (m_state == State::Closing)
        finishClosing();

    OpenedDevice opened = openHidDevice(m_platform, path, AccessReadWrite);
    // A reader that refuses read/write access still takes feature reports
    // through a handle opened with no access rights.
    if (opened.handle < 1)
        opened = openHidDevice(m_platform, path, AccessNone);
    if (opened.handle < 1)
        return {OpenResult::Failed};
    // Device nodes are reused: what answers at this path now may be another
    // device than the reader that was listed there.
    if (opened.attributes.vendorId != ReaderVendorId || opened.attributes.productId != ReaderProductId) {
        m_platform.close(opened.handle);
        return {OpenResult::NotAReader};
    }

    // The reader's keys: taken back from a hold on the same reader, or captured.
    std::unique_ptr<KeyCapture> capture;
    for (AnswerTail *tail : m_tails) {
        if (tail->path() == path && tail->isCaptured()) {
            capture = tail->takeCapture();
            tail->end();
            break;
        }
    }
    QString refusal;
    if (!capture && m_capturePlatform) {
        CaptureAttempt attempt = m_capturePlatform->capture(path);
        if (attempt.inUse) {
            // Another program holds the reader and may be talking to it:
            // nothing of ours may reach it.
            m_platform.close(opened.handle);
            return {OpenResult::InUse};
        }
        capture = std::move(attempt.capture);
        refusal = attempt.refusal;
    }

    m_path = path;
    m_handle = opened.handle;
    m_channel->attach(m_handle, opened.featureLength);
    m_heldKeys.clear();
    m_manufacturer = manufacturerText(m_platform, m_handle);
    m_captureRefusal = capture ? QString() : refusal;
    m_capture = std::move(capture);
    if (m_capture) {
        connect(m_capture.get(), &KeyCapture::typed, this, &ReaderSession::onCapturedText);
        connect(m_capture.get(), &KeyCapture::lost, this, [this] {
            m_inCaptureSignal = true;
            dispatch(Event::ReaderLost);
            m_inCaptureSignal = false;
        });
    }
    m_readerIdle = false;
    m_held = false;
    m_letGoDue = true;
    m_masker = {};
    transition(State::Ready);
    return {OpenResult::Opened};
}

void ReaderSession::close()
{
    dispatch(Event::Close);
}

void ReaderSession::closeNow()
{
    dispatch(Event::CloseNow);
}

void ReaderSession::sendCommand(const QString &text, std::function<void(bool)> done)
{
    const bool takesCommands = m_state == State::Ready || m_state == State::Sending || m_state == State::Listening;
    if (!takesCommands) {
        if (done)
            done(false);
        return;
    }
    m_command = text;
    m_commandDone = std::move(done);
    dispatch(Event::SendCommand);
}

void ReaderSession::enterConfig()
{
    dispatch(Event::EnterConfig);
}

void ReaderSession::playScript(const QString &script)
{
    if (m_state != State::Ready && m_state != State::Listening)
        return;
    // Scripts are read without regard to case: "ff" is a marker like "FF",
    // "f01e" a break like "F01E".
    m_tokens = script::playbackTokens(script::normalizedScript(script));
    dispatch(Event::PlayScript);
}

std::optional<keyboard::KeyStroke> ReaderSession::pressKey(int index, bool nationalLayout)
{
    const bool keysState = m_state == State::Ready || m_state == State::Sending || m_state == State::Listening;
    if (!keysState || !m_readerIdle)
        return std::nullopt;
    m_stroke = keyboard::keyStroke(index, m_modifier, nationalLayout);
    dispatch(Event::PressKey);
    return m_stroke;
}

void ReaderSession::noteTyping()
{
    if (isOpen()) {
        dispatch(Event::Typed);
        return;
    }
    // The rest of an answer begun before close, heard through the focus.
    for (AnswerTail *tail : m_tails) {
        if (!tail->isCaptured())
            tail->noteTyping();
    }
}

void ReaderSession::setHeld(bool held)
{
    if (m_held == held)
        return;
    m_held = held;
    if (isOpen())
        dispatch(Event::HoldChanged);
}

void ReaderSession::setDeviceMonitor(DeviceMonitor *monitor)
{
    if (monitor)
        connect(monitor, &DeviceMonitor::readerRemoved, this, &ReaderSession::onDeviceRemoved);
}

bool ReaderSession::isScriptRunning() const
{
    switch (m_state) {
    case State::PlaySending:
    case State::PlayPausing:
    case State::PlayAwaiting:
    case State::PlayHeld:
    case State::PlayQuieting:
        return true;
    default:
        return false;
    }
}

bool ReaderSession::mayBeTyping() const
{
    return readerMayType() || !m_tails.empty();
}

// ---- the recording ----------------------------------------------------------------

void ReaderSession::startRecording()
{
    m_recorded.clear();
    m_recording = true;
}

void ReaderSession::clearRecording()
{
    m_recorded.clear();
}

QString ReaderSession::takeRecording()
{
    m_recording = false;
    return std::exchange(m_recorded, QString());
}

void ReaderSession::resumeRecording(const QString &kept)
{
    m_recorded = kept;
    m_recording = true;
}

transcript::Steps ReaderSession::transcript() const
{
    transcript::Steps steps = m_transcript;
    // Text held back because it may be a track is given as the end of the
    // answer would give it.
    if (!steps.empty()) {
        card::TrackMasker rest = m_masker;
        steps.back().answer += rest.end();
    }
    return steps;
}

void ReaderSession::startTranscript()
{
    m_transcript.clear();
    m_stepEnded = true;
}

// ---- the state machine -------------------------------------------------------------

void ReaderSession::dispatch(Event event)
{
    const State before = m_state;
    switch (m_state) {
    case State::Closed: onClosed(event); break;
    case State::Ready: onReady(event); break;
    case State::Sending: onSending(event); break;
    case State::Listening: onListening(event); break;
    case State::PlaySending: onPlaySending(event); break;
    case State::PlayPausing: onPlayPausing(event); break;
    case State::PlayAwaiting: onPlayAwaiting(event); break;
    case State::PlayHeld: onPlayHeld(event); break;
    case State::PlayQuieting: onPlayQuieting(event); break;
    case State::Closing: onClosing(event); break;
    }
    qCDebug(lcSession).noquote() << QString::fromStdString(m_path) << stateName(before) << "→" << eventName(event)
                                 << "→" << stateName(m_state);
}

void ReaderSession::transition(State next)
{
    // Leaving: the timers of the state stop.
    switch (m_state) {
    case State::Listening: m_listenTimer->stop(); break;
    case State::PlayPausing: m_pauseTimer->stop(); break;
    case State::PlayAwaiting:
        m_silenceTimer->stop();
        m_limitTimer->stop();
        break;
    default: break;
    }
    m_state = next;
    // Entering: the timers of the state start.
    switch (next) {
    case State::Ready:
        m_keyGoingOut = false;
        break;
    case State::Closed:
    case State::Closing:
        // The reader's typing is followed only while it is open.
        m_quietTimer->stop();
        break;
    case State::Listening: m_listenTimer->start(); break;
    case State::PlayPausing: m_pauseTimer->start(); break;
    case State::PlayAwaiting:
        m_readerIdle = false;
        m_silenceTimer->start();
        m_limitTimer->start();
        break;
    default: break;
    }
}

bool ReaderSession::handledInEveryOpenState(Event event)
{
    switch (event) {
    case Event::Close: closeReader(false); return true;
    case Event::CloseNow:
        closeReader(true);
        endTails();
        return true;
    case Event::ReaderLost: loseReader(); return true;
    case Event::Typed: readerTyped(); return true;
    case Event::HoldChanged: return true; // looked at where playback waits
    default: return false;
    }
}

void ReaderSession::unexpected(Event event) const
{
    // Every timer is stopped by the transition that leaves its state, and
    // every user action is checked before it becomes an event: this is a bug.
    qCWarning(lcSession) << "event" << eventName(event) << "cannot happen in state" << stateName(m_state);
}

void ReaderSession::onClosed(Event event)
{
    switch (event) {
    case Event::Close: // a reader still typing stays held by its tail
    case Event::ReaderLost:
    case Event::HoldChanged:
    case Event::SendCommand:
    case Event::EnterConfig:
    case Event::PlayScript:
        break;
    case Event::CloseNow: endTails(); break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onReady(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::SendCommand: sendCommandString(); break;
    case Event::EnterConfig: sendHotKey(); break;
    case Event::PressKey: sendKey(); break;
    case Event::PlayScript: startPlayback(); break;
    case Event::QuietOver: quietPeriodOver(); break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onSending(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::SendCommand: sendCommandString(); break;
    case Event::PressKey: sendKey(); break; // a modifier key left clickable while the rest waits
    case Event::EnterConfig:
    case Event::PlayScript:
        break; // one command at a time
    case Event::QuietOver: quietPeriodOver(); break;
    case Event::SendDone:
        // The echo check counts from the moment the key's last report went out.
        m_echoCount = m_typedCount;
        transition(State::Listening);
        break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onListening(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::SendCommand: sendCommandString(); break;
    case Event::EnterConfig: sendHotKey(); break;
    case Event::PressKey: sendKey(); break;
    case Event::PlayScript: startPlayback(); break;
    case Event::QuietOver:
        quietPeriodOver();
        // The answer to the last report is over: the reader will not start
        // typing again on its own.
        if (m_typedSinceReport)
            transition(State::Ready);
        break;
    case Event::ListenOver: {
        const bool afterKey = std::exchange(m_keyGoingOut, false);
        transition(State::Ready);
        if (afterKey)
            Q_EMIT echoChecked(m_typedCount == m_echoCount);
        break;
    }
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlaySending(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::SendCommand:
    case Event::EnterConfig:
    case Event::PlayScript:
        break;
    case Event::QuietOver: quietPeriodOver(); break;
    case Event::SendDone:
        if (!m_lastSendOk)
            return finishPlayback(Outcome::WriteError);
        if (m_hotKeyStage == 0) {
            // The hot key's make went out; its break follows, then the wait
            // for the reader's menu.
            m_hotKeyStage = 1;
            queueStrings({QString(scancode::HotKeyBreak)});
            return;
        }
        if (m_hotKeyStage == 1) {
            m_hotKeyStage = 2;
            transition(State::PlayAwaiting);
            return;
        }
        Q_EMIT progress(int(m_nextToken), playbackSteps());
        afterToken();
        break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlayPausing(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::SendCommand:
    case Event::EnterConfig:
    case Event::PlayScript:
        break;
    case Event::QuietOver: quietPeriodOver(); break;
    case Event::PauseOver: playNextToken(); break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlayAwaiting(Event event)
{
    if (event == Event::Typed) {
        readerTyped();
        m_silenceTimer->start(); // the answer goes on
        return;
    }
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::SendCommand:
    case Event::EnterConfig:
    case Event::PlayScript:
        break;
    case Event::QuietOver:
        quietPeriodOver();
        // The wait is over: so is the step (script::endsStep).
        m_stepEnded = true;
        // A hold asked from outside keeps the playback here until it ends.
        if (m_held)
            transition(State::PlayHeld);
        else
            playNextToken();
        break;
    case Event::Silence:
    case Event::AnswerTooLong:
        Q_EMIT failure(text::NotResponding);
        finishPlayback(Outcome::NotResponding);
        break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlayHeld(Event event)
{
    if (event == Event::HoldChanged && !m_held) {
        // Once the hold ends, the reader gets a quiet period once more when
        // it is typing; otherwise playback goes on at once.
        if (m_quietTimer->isActive())
            transition(State::PlayQuieting);
        else
            playNextToken();
        return;
    }
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::SendCommand:
    case Event::EnterConfig:
    case Event::PlayScript:
        break;
    case Event::QuietOver: quietPeriodOver(); break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlayQuieting(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::SendCommand:
    case Event::EnterConfig:
    case Event::PlayScript:
        break;
    case Event::QuietOver:
        quietPeriodOver();
        playNextToken();
        break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onClosing(Event event)
{
    switch (event) {
    case Event::SendDone: // the held keys are released
    case Event::ReaderLost:
        closeHandle();
        checkLetGo();
        break;
    case Event::CloseNow:
        finishClosing();
        endTails();
        break;
    case Event::Close:
    case Event::HoldChanged:
    case Event::SendCommand:
    case Event::EnterConfig:
    case Event::PlayScript:
        break;
    default: unexpected(event); break;
    }
}

// ---- actions --------------------------------------------------------------------------

void ReaderSession::queueStrings(const QStringList &strings, std::function<void(bool)> after)
{
    if (!m_channel->isBusy())
        m_lastSendOk = true;
    auto done = [this](const std::function<void(bool)> &hear, bool sent) {
        m_lastSendOk = m_lastSendOk && sent;
        if (hear)
            hear(sent);
        // Done when nothing more is queued: the last string's answer.
        if (!m_channel->isBusy())
            dispatch(Event::SendDone);
    };
    for (qsizetype i = 0; i + 1 < strings.size(); ++i)
        m_channel->send(strings.at(i), [done](bool sent) { done({}, sent); });
    // The caller hears the result of the last string.
    if (!strings.isEmpty())
        m_channel->send(strings.last(), [done, after = std::move(after)](bool sent) { done(after, sent); });
}

void ReaderSession::sendCommandString()
{
    queueStrings({m_command}, std::exchange(m_commandDone, nullptr));
    transition(State::Sending);
}

void ReaderSession::sendHotKey()
{
    m_keyGoingOut = false;
    startTranscript();
    queueStrings({QString(scancode::HotKeyMake), QString(scancode::HotKeyBreak)});
    transition(State::Sending);
}

void ReaderSession::sendKey()
{
    m_modifier = m_stroke.modifierAfter;
    m_keyGoingOut = true;
    if (m_stroke.sends.isEmpty()) {
        // Nothing to send: the echo check starts at once.
        m_echoCount = m_typedCount;
        transition(State::Listening);
        return;
    }
    queueStrings(m_stroke.sends);
    transition(State::Sending);
}

void ReaderSession::startPlayback()
{
    m_keyGoingOut = false;
    m_nextToken = 0;
    m_hotKeyStage = 0;
    startTranscript();
    m_readerIdle = false;
    Q_EMIT progress(0, playbackSteps());
    // The hot key's make first; its break only once the make was accepted.
    queueStrings({QString(scancode::HotKeyMake)});
    transition(State::PlaySending);
}

void ReaderSession::playNextToken()
{
    if (m_nextToken >= m_tokens.size())
        return finishPlayback(Outcome::Configured);
    m_readerIdle = false;
    queueStrings({m_tokens[m_nextToken++].text});
    transition(State::PlaySending);
}

void ReaderSession::afterToken()
{
    const script::Token &token = m_tokens[m_nextToken - 1];
    if (script::endsStep(token))
        transition(State::PlayAwaiting);
    else if (token.isBreak)
        transition(State::PlayPausing);
    else
        playNextToken();
}

void ReaderSession::finishPlayback(Outcome outcome)
{
    transition(State::Ready);
    Q_EMIT playbackFinished(outcome);
}

void ReaderSession::readerTyped()
{
    ++m_typedCount;
    m_typedSinceReport = true;
    m_readerIdle = false;
    m_quietTimer->start();
}

void ReaderSession::quietPeriodOver()
{
    m_readerIdle = true;
    // An "FF" marks the end of an answer to what this recording sent; an
    // answer that ends while a command is still going out, or before anything
    // was recorded, belongs to no step of the recording.
    const bool sending = m_channel->isBusy();
    if (m_recording && !sending && !m_recorded.isEmpty())
        m_recorded += scancode::AnswerMarker;
    // The transcript's steps end at the same points.
    addToAnswer(m_masker.end());
    // Outside playback the transcript's steps end at the same points; a
    // playback's steps end where it waits for the answer (onPlayAwaiting).
    if (!sending && !isScriptRunning())
        m_stepEnded = true;
    Q_EMIT quietPeriodEnded(!isScriptRunning() && !sending);
}

bool ReaderSession::readerMayType() const
{
    const bool commandOut = m_state == State::Sending || m_state == State::Listening || isScriptRunning();
    return commandOut || (isOpen() && m_quietTimer->isActive());
}

void ReaderSession::closeReader(bool atOnce)
{
    const bool wasPlaying = isScriptRunning();
    if (readerMayType()) {
        // Held for as long as the reader may still be typing: to the end of
        // its quiet period or of the echo interval after a report, or for a
        // whole quiet period while a command was going out or an answer was
        // awaited; every character it types meanwhile starts the period anew.
        const bool commandOut = m_channel->isBusy() || wasPlaying;
        const int holdMs = commandOut ? m_timing.quietMs
                                      : std::max({m_quietTimer->remainingTime(), m_listenTimer->remainingTime(), 0});
        holdTail(holdMs);
    }
    if (m_capture) {
        m_capture->disconnect(this);
        dispose(std::move(m_capture));
    }
    m_readerIdle = false;
    m_held = false;
    resetModifier();

    // Never leave the reader with a key held down: a latched modifier, or the
    // hot key or a script cut off between a press and its release.
    const QString release = m_heldKeys.releaseString();
    m_channel->cancel();
    if (release.isEmpty() || m_handle < 1) {
        transition(State::Closed);
        closeHandle();
    } else if (atOnce) {
        m_channel->sendNow(release);
        transition(State::Closed);
        closeHandle();
    } else {
        transition(State::Closing);
        queueStrings({release});
    }
    if (wasPlaying)
        Q_EMIT playbackFinished(Outcome::Cancelled);
    checkLetGo();
}

void ReaderSession::finishClosing()
{
    // The release goes now rather than after the pacing interval.
    m_channel->cancel();
    m_channel->sendNow(m_heldKeys.releaseString());
    closeHandle();
    checkLetGo();
}

void ReaderSession::endTails()
{
    for (AnswerTail *tail : std::vector<AnswerTail *>(m_tails))
        tail->end();
}

void ReaderSession::holdTail(int holdMs)
{
    if (m_capture)
        m_capture->disconnect(this);
    auto *tail = new AnswerTail(
        m_path, std::move(m_capture), holdMs, m_timing, this, [this](const QString &text) { Q_EMIT typed(text); },
        [this](AnswerTail *ended) {
            m_tails.erase(std::remove(m_tails.begin(), m_tails.end(), ended), m_tails.end());
            ended->deleteLater();
            checkLetGo();
        });
    m_tails.push_back(tail);
}

void ReaderSession::loseReader()
{
    const bool wasPlaying = isScriptRunning();
    m_channel->cancel();
    // The reader is gone: nothing can be released on it any more.
    m_heldKeys.clear();
    if (m_capture) {
        m_capture->disconnect(this);
        dispose(std::move(m_capture));
    }
    m_readerIdle = false;
    m_held = false;
    m_modifier = keyboard::NoModifier;
    transition(State::Closed);
    closeHandle();
    if (wasPlaying)
        Q_EMIT playbackFinished(Outcome::Unplugged);
    Q_EMIT lost();
    checkLetGo();
}

void ReaderSession::closeHandle()
{
    if (m_handle >= 1)
        m_platform.close(m_handle);
    m_handle = 0;
    m_channel->detach();
    m_heldKeys.clear();
    if (m_state == State::Closing)
        transition(State::Closed);
}

void ReaderSession::checkLetGo()
{
    if (!m_letGoDue || m_state != State::Closed || m_handle != 0 || !m_tails.empty())
        return;
    m_letGoDue = false;
    Q_EMIT letGo();
}

void ReaderSession::resetModifier()
{
    if (m_modifier == keyboard::NoModifier)
        return;
    m_modifier = keyboard::NoModifier;
    Q_EMIT modifierReset();
}

void ReaderSession::dispose(std::unique_ptr<KeyCapture> capture)
{
    if (capture && m_inCaptureSignal)
        capture.release()->deleteLater();
}

// ---- what the capture, the channel and the monitor report ----------------------------------

void ReaderSession::onCapturedText(const QString &text)
{
    // Everything the reader types goes through the masker, also what is
    // typed before the first step or between steps, so that a track is
    // known as one however the steps fall.
    addToAnswer(m_masker.feed(text));
    m_inCaptureSignal = true;
    Q_EMIT typed(text);
    noteTyping();
    m_inCaptureSignal = false;
}

void ReaderSession::addToAnswer(const QString &masked)
{
    // A pause inside one answer does not start a step: the text goes to the
    // step that was answered last until the next key.
    if (isOpen() && !m_transcript.empty() && !masked.isEmpty())
        m_transcript.back().answer += masked;
}

void ReaderSession::onReportGoingOut(const QString &chunk)
{
    if (!isOpen())
        return;
    if (m_stepEnded) {
        m_transcript.push_back({});
        m_stepEnded = false;
    }
    for (const QString &pair : chunkPairs(chunk)) {
        m_transcript.back().keys += pair;
        if (m_recording)
            m_recorded += pair;
    }
}

void ReaderSession::onReportSent(const std::vector<std::uint8_t> &payload)
{
    m_heldKeys.feed(payload);
    m_typedSinceReport = false;
}

void ReaderSession::onReportRefused()
{
    // A release sent while closing is nobody's business once the session is
    // closed.
    if (!isOpen())
        return;
    m_recorded.clear();
    Q_EMIT failure(text::WriteError);
}

void ReaderSession::onDeviceRemoved(const QString &path)
{
    const std::string gone = path.toStdString();
    for (AnswerTail *tail : std::vector<AnswerTail *>(m_tails)) {
        if (tail->path() == gone)
            tail->end();
    }
    if (m_state != State::Closed && gone == m_path)
        dispatch(Event::ReaderLost);
}

const char *ReaderSession::stateName(State state)
{
    switch (state) {
    case State::Closed: return "Closed";
    case State::Ready: return "Ready";
    case State::Sending: return "Sending";
    case State::Listening: return "Listening";
    case State::PlaySending: return "PlaySending";
    case State::PlayPausing: return "PlayPausing";
    case State::PlayAwaiting: return "PlayAwaiting";
    case State::PlayHeld: return "PlayHeld";
    case State::PlayQuieting: return "PlayQuieting";
    case State::Closing: return "Closing";
    }
    return "?";
}

const char *ReaderSession::eventName(Event event)
{
    switch (event) {
    case Event::SendCommand: return "SendCommand";
    case Event::EnterConfig: return "EnterConfig";
    case Event::PressKey: return "PressKey";
    case Event::PlayScript: return "PlayScript";
    case Event::Close: return "Close";
    case Event::CloseNow: return "CloseNow";
    case Event::ReaderLost: return "ReaderLost";
    case Event::Typed: return "Typed";
    case Event::QuietOver: return "QuietOver";
    case Event::SendDone: return "SendDone";
    case Event::ListenOver: return "ListenOver";
    case Event::PauseOver: return "PauseOver";
    case Event::Silence: return "Silence";
    case Event::AnswerTooLong: return "AnswerTooLong";
    case Event::HoldChanged: return "HoldChanged";
    }
    return "?";
}

} // namespace vortal9
