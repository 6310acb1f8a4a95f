#include "session/ReaderSession.h"

#include "card/CardData.h"
#include "device/AccessUSBIO.h"
#include "device/CommandChunks.h"
#include "device/DeviceMonitor.h"
#include "device/Messages.h"
#include "device/ScanCodes.h"
#include "script/ScriptFormat.h"
#include "session/AnswerTail.h"
#include "session/CommandChannel.h"
#include "session/MinimumTimer.h"

#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>

namespace vortal9 {

namespace {
// "state -> event -> state" for every change of state, where it happens, when
// asked for with QT_LOGGING_RULES="vortal9.session.debug=true". Never the
// reader's text, and one line per answer at most (at its end).
Q_LOGGING_CATEGORY(lcSession, "vortal9.session", QtInfoMsg)

// Applies what guard has decided to steps: kept text appended to the
// answer of its step (unless that step is void), void steps emptied.
// Returns the text that may be shown, in the order it was typed.
QString applyDecisions(card::CardGuard &guard, transcript::Steps &steps)
{
    QString shown;
    auto stepAt = [&steps](int step) { return step >= 0 && std::size_t(step) < steps.size() ? &steps[std::size_t(step)] : nullptr; };
    for (const card::CardGuard::Piece &piece : guard.takeKept()) {
        shown += piece.text;
        if (transcript::Step *step = stepAt(piece.step); step && !step->cardSwiped)
            step->answer += piece.text;
    }
    for (const int voided : guard.takeVoid()) {
        if (transcript::Step *step = stepAt(voided)) {
            step->answer.clear();
            step->cardSwiped = true;
        }
    }
    return shown;
}

// The states in which one answer of the reader is limited in length.
bool limitsAnswer(ReaderSession::State state)
{
    using State = ReaderSession::State;
    return state == State::PlayAwaiting || state == State::PlayAnswering || state == State::PlayHeldTyping;
}
} // namespace

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
    // Whoever listened may be gone already: nothing is reported from here on,
    // and nothing can wait any more.
    blockSignals(true);
    dispatch(Event::Abandon);
    endTails();
}

// ---- user actions --------------------------------------------------------------

ReaderSession::OpenResult ReaderSession::open(const std::string &path)
{
    // What was open before is closed at once; a reader that may still be
    // typing stays held by its tail.
    dispatch(Event::Abandon);

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
        connect(m_capture.get(), &KeyCapture::pressed, this, &ReaderSession::onCapturedKeys);
        connect(m_capture.get(), &KeyCapture::lost, this, [this] {
            m_inCaptureSignal = true;
            dispatch(Event::ReaderLost);
            m_inCaptureSignal = false;
        });
    }
    m_guard = {};
    m_typedInStep = false;
    m_readerIdle = false;
    m_held = false;
    m_letGoDue = true;
    dispatch(Event::Opened);
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
    case State::PlayHotKeyMake:
    case State::PlayHotKeyBreak:
    case State::PlaySending:
    case State::PlayPausing:
    case State::PlayAwaiting:
    case State::PlayAnswering:
    case State::PlayHeld:
    case State::PlayHeldTyping:
    case State::PlayReleasing:
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
    // Text still held back because it may begin a card is given as the end
    // of the reader's typing would give it.
    transcript::Steps steps = m_transcript;
    card::CardGuard rest = m_guard;
    rest.settle();
    applyDecisions(rest, steps);
    return steps;
}

// ---- the state machine -------------------------------------------------------------
//
// Every row, by state (events not named are bugs in that state, logged):
//
//   any open state: Close → Closing (keys down) or Closed; CloseNow → the
//     same, and the tails let go; Abandon → Closed, keys released at once;
//     ReaderLost → Closed; Typed → heard (the typing machine goes to Typing);
//     ReportGoingOut / ReportSent / ReportRefused → recorded, keys down
//     followed, the failure told; HoldChanged → looked at where playback waits.
//     A user action a state does not take is ignored.
//   Closed:          Opened → Ready; CloseNow → the tails let go.
//   Ready:           EnterConfig → Sending; PressKey → Sending (Listening when the key sends
//                    nothing); PlayScript → PlayHotKeyMake; QuietOver.
//   Sending:         PressKey → Sending; SendDone → Listening; QuietOver.
//   Listening:       as Ready; QuietOver → Ready once the reader answered; ListenOver → Ready.
//   PlayHotKeyMake:  SendDone → PlayHotKeyBreak (PlayReleasing / Ready when refused).
//   PlayHotKeyBreak: SendDone → PlayAwaiting (PlayReleasing / Ready when refused).
//   PlaySending:     SendDone → PlayAwaiting (a wait follows), PlayPausing (a break),
//                    PlaySending (the next token) or Ready (the end).
//   (Where a wait follows and the reader has typed since the step's first
//   report went out, its answer came before the step's last report was
//   told taken: SendDone then goes to PlayAnswering while it types, or on
//   as after its end.)
//   PlayPausing:     PauseOver → PlaySending or Ready.
//   PlayAwaiting:    Typed → PlayAnswering; QuietOver → PlaySending, Ready or PlayHeld (of
//                    typing that began before the step: stays);
//                    Silence, AnswerTooLong → PlayReleasing or Ready ("Reader Not Responding").
//   PlayAnswering:   QuietOver, AnswerTooLong as PlayAwaiting.
//   PlayHeld:        Typed → PlayHeldTyping; HoldChanged (released) → PlaySending or Ready.
//   PlayHeldTyping:  QuietOver → PlayHeld; HoldChanged (released) → PlayAnswering;
//                    AnswerTooLong as PlayAwaiting.
//   PlayReleasing:   SendDone → Ready, and the playback's end told.
//   Closing:         SendDone, ReaderLost → Closed; CloseNow → the tails let go;
//                    Abandon → Closed, the release sent at once.

void ReaderSession::dispatch(Event event)
{
    const Event outer = std::exchange(m_event, event);
    // The typing machine hears the reader first.
    if (isOpen() && event == Event::Typed)
        typingTransition(Typing::Typing);
    else if (isOpen() && event == Event::QuietOver)
        typingTransition(Typing::Quiet);
    switch (m_state) {
    case State::Closed: onClosed(event); break;
    case State::Ready: onReady(event); break;
    case State::Sending: onSending(event); break;
    case State::Listening: onListening(event); break;
    case State::PlayHotKeyMake: onPlayHotKeyMake(event); break;
    case State::PlayHotKeyBreak: onPlayHotKeyBreak(event); break;
    case State::PlaySending: onPlaySending(event); break;
    case State::PlayPausing: onPlayPausing(event); break;
    case State::PlayAwaiting: onPlayAwaiting(event); break;
    case State::PlayAnswering: onPlayAnswering(event); break;
    case State::PlayHeld: onPlayHeld(event); break;
    case State::PlayHeldTyping: onPlayHeldTyping(event); break;
    case State::PlayReleasing: onPlayReleasing(event); break;
    case State::Closing: onClosing(event); break;
    }
    m_event = outer;
}

void ReaderSession::transition(State next)
{
    const State from = m_state;
    qCDebug(lcSession).noquote() << QString::fromStdString(m_path) << stateName(from) << "->" << eventName(m_event)
                                 << "->" << stateName(next);
    // Leaving: the timers of the state stop.
    switch (from) {
    case State::Listening: m_listenTimer->stop(); break;
    case State::PlayPausing: m_pauseTimer->stop(); break;
    case State::PlayAwaiting: m_silenceTimer->stop(); break;
    default: break;
    }
    // One answer's limit runs on through the states of one wait.
    if (limitsAnswer(from) && !limitsAnswer(next))
        m_limitTimer->stop();
    m_state = next;
    // Entering: the timers of the state start.
    switch (next) {
    case State::Ready: m_keyGoingOut = false; break;
    case State::Closed:
    case State::Closing:
        // The reader's typing is followed only while it is open.
        typingTransition(Typing::Quiet);
        break;
    case State::Listening: m_listenTimer->start(); break;
    case State::PlayPausing: m_pauseTimer->start(); break;
    case State::PlayAwaiting:
        m_readerIdle = false;
        m_silenceTimer->start();
        break;
    default: break;
    }
    if (limitsAnswer(next) && !limitsAnswer(from))
        m_limitTimer->start();
}

void ReaderSession::typingTransition(Typing next)
{
    // Every keystroke arms Timer1 anew; only the end of an answer is logged,
    // so that the log tells neither the length nor the rhythm of a swipe.
    if (m_typing == Typing::Typing && next == Typing::Quiet)
        qCDebug(lcSession).noquote() << QString::fromStdString(m_path) << "typing:" << typingName(m_typing) << "->"
                                     << eventName(m_event) << "->" << typingName(next);
    // A burst of typing is an answer only when it begins while one is awaited.
    if (m_typing == Typing::Quiet && next == Typing::Typing)
        m_guard.beginBurst(answeredStep() >= 0);
    else if (m_typing == Typing::Typing && next == Typing::Quiet)
        m_guard.endBurst();
    m_typing = next;
    if (next == Typing::Typing)
        m_quietTimer->start();
    else
        m_quietTimer->stop();
}

bool ReaderSession::handledWhileAttached(Event event)
{
    switch (event) {
    case Event::ReportGoingOut:
        // A step's answer is what the reader types from the step's first
        // report on: it may answer a key's make before the step's last
        // report (its break, a modifier's break) has gone out or been told
        // taken, and even go quiet before that.
        if (m_stepEnded)
            m_typedInStep = false;
        m_typedBeforeReport = m_typedCount;
        if (isOpen())
            recordGoingOut();
        return true;
    case Event::ReportSent:
        m_heldKeys.feed(m_payload);
        return true;
    case Event::ReportRefused:
        // A release sent while closing is nobody's business once the session
        // is closed.
        if (isOpen()) {
            m_recorded.clear();
            Q_EMIT failure(text::WriteError);
        }
        return true;
    default: return false;
    }
}

bool ReaderSession::handledInEveryOpenState(Event event)
{
    switch (event) {
    case Event::Close: leaveReader(false); return true;
    case Event::CloseNow: leaveReader(true); return true;
    case Event::Abandon: abandonReader(); return true;
    case Event::ReaderLost: loseReader(); return true;
    case Event::Typed: readerTyped(); return true;
    case Event::HoldChanged: return true; // looked at where playback waits
    default: return handledWhileAttached(event);
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
    case Event::Opened: transition(State::Ready); break;
    case Event::Close: // a reader still typing stays held by its tail
    case Event::Abandon:
    case Event::ReaderLost:
    case Event::HoldChanged:
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
    case Event::ReportGoingOut: // the release of a reader left at once
    case Event::ReportSent:
    case Event::ReportRefused:
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
    case Event::EnterConfig:
        sendHotKey();
        transition(State::Sending);
        break;
    case Event::PressKey:
        if (sendKey()) {
            transition(State::Sending);
        } else {
            // Nothing to send: the echo check starts at once.
            m_echoCount = m_typedCount;
            transition(State::Listening);
        }
        break;
    case Event::PlayScript:
        startPlayback();
        transition(State::PlayHotKeyMake);
        break;
    case Event::QuietOver: quietPeriodOver(); break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onSending(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::PressKey: // a modifier key left clickable while the rest waits
        if (sendKey()) {
            transition(State::Sending);
        } else {
            m_echoCount = m_typedCount;
            transition(State::Listening);
        }
        break;
    case Event::EnterConfig:
    case Event::PlayScript:
        break; // one command at a time
    case Event::QuietOver: quietPeriodOver(); break;
    case Event::SendDone:
        // The echo check counts from the moment the key's last report went
        // out, not from when it was told taken (the reader may echo first).
        m_echoCount = m_typedBeforeReport;
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
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
        onReady(event);
        break;
    case Event::QuietOver:
        quietPeriodOver();
        // The answer to the last report is over: the reader will not start
        // typing again on its own.
        if (m_typedInStep)
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

void ReaderSession::onPlayHotKeyMake(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
        break;
    case Event::QuietOver: quietPeriodOver(); break;
    case Event::SendDone:
        if (!m_lastSendOk)
            return endPlaybackOnError(Outcome::WriteError);
        // The make was accepted: its break follows, then the wait for the
        // reader's menu.
        queueStrings({QString(scancode::HotKeyBreak)});
        transition(State::PlayHotKeyBreak);
        break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlayHotKeyBreak(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
        break;
    case Event::QuietOver: quietPeriodOver(); break;
    case Event::SendDone:
        if (!m_lastSendOk)
            return endPlaybackOnError(Outcome::WriteError);
        awaitAnswer();
        break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlaySending(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
        break;
    case Event::QuietOver: quietPeriodOver(); break;
    case Event::SendDone:
        if (!m_lastSendOk)
            return endPlaybackOnError(Outcome::WriteError);
        Q_EMIT progress(int(m_nextToken), playbackSteps());
        goOnAfterToken();
        break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlayPausing(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
        break;
    case Event::QuietOver: quietPeriodOver(); break;
    case Event::PauseOver: goOnAfterWait(); break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlayAwaiting(Event event)
{
    if (event == Event::Typed) {
        readerTyped();
        transition(State::PlayAnswering);
        return;
    }
    if (event == Event::QuietOver && !m_typedInStep) {
        // Typing that ended before the step's first report went out (a
        // card swiped between the steps) is no answer: the wait goes on.
        quietPeriodOver();
        return;
    }
    onPlayAnswering(event);
}

void ReaderSession::onPlayAnswering(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
        break;
    case Event::QuietOver:
        quietPeriodOver();
        answerOver();
        break;
    case Event::Silence:
        if (m_state != State::PlayAwaiting)
            return unexpected(event);
        [[fallthrough]];
    case Event::AnswerTooLong:
        Q_EMIT failure(text::NotResponding);
        endPlaybackOnError(Outcome::NotResponding);
        break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlayHeld(Event event)
{
    if (event == Event::HoldChanged && !m_held)
        return goOnAfterWait();
    if (event == Event::Typed) {
        // An answer while held: limited as any other.
        readerTyped();
        transition(State::PlayHeldTyping);
        return;
    }
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
        break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlayHeldTyping(Event event)
{
    if (event == Event::HoldChanged && !m_held) {
        // The hold ended while the reader types: it gets its quiet period.
        transition(State::PlayAnswering);
        return;
    }
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
        break;
    case Event::QuietOver:
        quietPeriodOver();
        transition(State::PlayHeld);
        break;
    case Event::AnswerTooLong:
        Q_EMIT failure(text::NotResponding);
        endPlaybackOnError(Outcome::NotResponding);
        break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onPlayReleasing(Event event)
{
    if (handledInEveryOpenState(event))
        return;
    switch (event) {
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
        break;
    case Event::QuietOver: quietPeriodOver(); break;
    case Event::SendDone: endPlayback(m_outcome); break;
    default: unexpected(event); break;
    }
}

void ReaderSession::onClosing(Event event)
{
    if (handledWhileAttached(event))
        return;
    switch (event) {
    case Event::SendDone: // the held keys are released
    case Event::ReaderLost:
        closeHandle();
        transition(State::Closed);
        checkLetGo();
        break;
    case Event::CloseNow:
        // The release keeps its pacing (it is at most one interval away);
        // only the hold of a reader still typing ends now.
        endTails();
        break;
    case Event::Abandon: {
        // The release goes now rather than after the pacing interval. A
        // report still waiting for its answer counts first.
        m_channel->cancel();
        const QString release = m_heldKeys.releaseString();
        transition(State::Closed);
        m_channel->sendNow(release);
        closeHandle();
        checkLetGo();
        break;
    }
    case Event::Close:
    case Event::HoldChanged:
    case Event::EnterConfig:
    case Event::PressKey:
    case Event::PlayScript:
        break;
    default: unexpected(event); break;
    }
}

// ---- handler helpers ----------------------------------------------------------------

void ReaderSession::goOnAfterWait()
{
    if (sendNextToken())
        transition(State::PlaySending);
    else
        endPlayback(Outcome::Configured);
}

void ReaderSession::goOnAfterToken()
{
    const script::Token &token = m_tokens[m_nextToken - 1];
    if (script::endsStep(token))
        awaitAnswer();
    else if (token.isBreak)
        transition(State::PlayPausing);
    else
        goOnAfterWait();
}

void ReaderSession::awaitAnswer()
{
    // The answer may already have begun, or even ended, before the step's
    // last report was told taken: it is the answer all the same.
    if (!m_typedInStep)
        transition(State::PlayAwaiting);
    else if (m_typing == Typing::Typing)
        transition(State::PlayAnswering);
    else
        answerOver();
}

void ReaderSession::answerOver()
{
    // The wait is over, and so is the step (script::endsStep).
    m_stepEnded = true;
    // A hold asked from outside keeps the playback here until it ends.
    if (m_held)
        transition(State::PlayHeld);
    else
        goOnAfterWait();
}

void ReaderSession::endPlayback(Outcome outcome)
{
    transition(State::Ready);
    Q_EMIT playbackFinished(outcome);
}

void ReaderSession::endPlaybackOnError(Outcome outcome)
{
    // Keys the script pressed and had not released yet go up first, paced,
    // as on close: the next hot key must not go out with them held.
    m_channel->cancel();
    const QString release = m_heldKeys.releaseString();
    if (release.isEmpty())
        return endPlayback(outcome);
    m_outcome = outcome;
    queueStrings({release});
    transition(State::PlayReleasing);
}

ReaderSession::Leaving ReaderSession::stopFlows(bool ending)
{
    Leaving leaving;
    leaving.wasPlaying = isScriptRunning();
    leaving.outcome = m_state == State::PlayReleasing ? m_outcome : Outcome::Cancelled;
    releaseCapture(m_channel->isBusy() || leaving.wasPlaying);
    m_readerIdle = false;
    m_held = false;
    resetModifier();
    // Never leave the reader with a key held down: a latched modifier, or the
    // hot key or a script cut off between a press and its release (a report
    // still waiting for its answer counts first; when the program is ending
    // it is not waited for longer than the system makes it wait).
    if (ending)
        m_channel->giveUp();
    else
        m_channel->cancel();
    leaving.release = m_heldKeys.releaseString();
    return leaving;
}

void ReaderSession::leaveReader(bool letTailsGo)
{
    const Leaving leaving = stopFlows(letTailsGo);
    if (leaving.release.isEmpty() || m_handle < 1) {
        closeHandle();
        transition(State::Closed);
    } else {
        // One pacing interval later, as every report: also when the program
        // is ending (CloseNow), so that the reader does not miss it.
        queueStrings({leaving.release});
        transition(State::Closing);
    }
    if (letTailsGo)
        endTails();
    if (leaving.wasPlaying)
        Q_EMIT playbackFinished(leaving.outcome);
    checkLetGo();
}

void ReaderSession::abandonReader()
{
    const Leaving leaving = stopFlows(true);
    transition(State::Closed);
    if (!leaving.release.isEmpty() && m_handle >= 1)
        m_channel->sendNow(leaving.release);
    closeHandle();
    if (leaving.wasPlaying)
        Q_EMIT playbackFinished(leaving.outcome);
    checkLetGo();
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
    // Nothing more will be heard: what is held back is decided.
    settleGuard();
    closeHandle();
    transition(State::Closed);
    if (wasPlaying)
        Q_EMIT playbackFinished(Outcome::Unplugged);
    Q_EMIT lost();
    checkLetGo();
}

// ---- actions --------------------------------------------------------------------------

void ReaderSession::queueStrings(const QStringList &strings)
{
    if (!m_channel->isBusy())
        m_lastSendOk = true;
    auto done = [this](bool sent) {
        m_lastSendOk = m_lastSendOk && sent;
        // Done when nothing more is queued: the last string's answer.
        if (!m_channel->isBusy())
            dispatch(Event::SendDone);
    };
    for (const QString &string : strings)
        m_channel->send(string, done);
}

void ReaderSession::sendHotKey()
{
    m_keyGoingOut = false;
    startTranscript();
    queueStrings({QString(scancode::HotKeyMake), QString(scancode::HotKeyBreak)});
}

bool ReaderSession::sendKey()
{
    m_modifier = m_stroke.modifierAfter;
    m_keyGoingOut = true;
    if (m_stroke.sends.isEmpty())
        return false;
    queueStrings(m_stroke.sends);
    return true;
}

void ReaderSession::startPlayback()
{
    m_keyGoingOut = false;
    m_nextToken = 0;
    startTranscript();
    m_readerIdle = false;
    Q_EMIT progress(0, playbackSteps());
    // The hot key's make first; its break only once the make was accepted.
    queueStrings({QString(scancode::HotKeyMake)});
}

bool ReaderSession::sendNextToken()
{
    if (m_nextToken >= m_tokens.size())
        return false;
    m_readerIdle = false;
    queueStrings({m_tokens[m_nextToken++].text});
    return true;
}

void ReaderSession::readerTyped()
{
    ++m_typedCount;
    m_typedInStep = true;
    m_readerIdle = false;
    if (m_keys.empty())
        return;
    // Every key the reader types goes through the guard, also what is typed
    // before the first step or between steps: it alone decides what of it
    // may be kept or shown.
    const int step = answeredStep();
    for (const CapturedKey &key : m_keys)
        m_guard.key(key, step);
    applyGuard(m_guard, m_transcriptGeneration, true);
}

int ReaderSession::answeredStep() const
{
    return m_stepEnded || m_transcript.empty() ? -1 : int(m_transcript.size()) - 1;
}

void ReaderSession::applyGuard(card::CardGuard &guard, int generation, bool show)
{
    // Decisions for the steps of an earlier transcript (a tail that outlived
    // it) are shown, never stored.
    transcript::Steps scratch;
    const QString shown = applyDecisions(guard, generation == m_transcriptGeneration ? m_transcript : scratch);
    if (show && !shown.isEmpty())
        Q_EMIT typed(shown);
}

void ReaderSession::settleGuard()
{
    m_guard.settle();
    applyGuard(m_guard, m_transcriptGeneration, true);
}

void ReaderSession::startTranscript()
{
    // What is still held belongs to the steps it was typed in.
    settleGuard();
    m_transcript.clear();
    ++m_transcriptGeneration;
    m_stepEnded = true;
}

void ReaderSession::recordGoingOut()
{
    if (m_stepEnded) {
        m_transcript.push_back({});
        m_stepEnded = false;
    }
    for (const QString &pair : chunkPairs(m_chunk)) {
        m_transcript.back().keys += pair;
        if (m_recording)
            m_recorded += pair;
    }
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
    // Outside playback the transcript's steps end at the same points; a
    // playback's steps end where it waits for the answer (onPlayAnswering).
    if (!sending && !isScriptRunning())
        m_stepEnded = true;
    Q_EMIT quietPeriodEnded(!isScriptRunning() && !sending);
}

bool ReaderSession::readerMayType() const
{
    const bool commandOut = m_state == State::Sending || m_state == State::Listening || isScriptRunning();
    return commandOut || (isOpen() && m_typing == Typing::Typing);
}

void ReaderSession::releaseCapture(bool commandOut)
{
    if (readerMayType()) {
        // Held for as long as the reader may still be typing: to the end of
        // its quiet period or of the echo interval after a report, or for a
        // whole quiet period while a command was going out or an answer was
        // awaited; every character it types meanwhile starts the period anew.
        const int holdMs = commandOut ? m_timing.quietMs
                                      : std::max({m_quietTimer->remainingTime(), m_listenTimer->remainingTime(), 0});
        holdTail(holdMs, commandOut);
    } else {
        // Nothing more will be heard: what is held back is decided.
        settleGuard();
    }
    if (m_capture) {
        m_capture->disconnect(this);
        dispose(std::move(m_capture));
    }
}

void ReaderSession::endTails()
{
    for (AnswerTail *tail : std::vector<AnswerTail *>(m_tails))
        tail->end();
}

void ReaderSession::holdTail(int holdMs, bool commandOut)
{
    if (m_capture)
        m_capture->disconnect(this);
    // The tail follows the reader's typing on with the session's guard: what
    // it still holds may be completed into a card by what comes.
    AnswerTail::Typing typing{m_guard.split(), m_typing == Typing::Typing, commandOut || answeredStep() >= 0};
    auto *tail = new AnswerTail(
        m_path, std::move(m_capture), holdMs, m_timing, this, std::move(typing),
        [this, generation = m_transcriptGeneration](card::CardGuard &guard) { applyGuard(guard, generation, true); },
        [this](AnswerTail *ended) {
            m_tails.erase(std::remove(m_tails.begin(), m_tails.end(), ended), m_tails.end());
            ended->deleteLater();
            checkLetGo();
        });
    m_tails.push_back(tail);
}

void ReaderSession::closeHandle()
{
    // The channel first: a report in flight is answered before the handle
    // it goes through is closed.
    m_channel->detach();
    if (m_handle >= 1)
        m_platform.close(m_handle);
    m_handle = 0;
    m_heldKeys.clear();
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

void ReaderSession::onCapturedKeys(const CapturedKeys &keys)
{
    m_inCaptureSignal = true;
    m_keys = keys;
    dispatch(Event::Typed);
    m_keys.clear();
    m_inCaptureSignal = false;
}

void ReaderSession::onReportGoingOut(const QString &chunk)
{
    m_chunk = chunk;
    dispatch(Event::ReportGoingOut);
}

void ReaderSession::onReportSent(const std::vector<std::uint8_t> &payload)
{
    m_payload = payload;
    dispatch(Event::ReportSent);
}

void ReaderSession::onReportRefused()
{
    dispatch(Event::ReportRefused);
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
    case State::PlayHotKeyMake: return "PlayHotKeyMake";
    case State::PlayHotKeyBreak: return "PlayHotKeyBreak";
    case State::PlaySending: return "PlaySending";
    case State::PlayPausing: return "PlayPausing";
    case State::PlayAwaiting: return "PlayAwaiting";
    case State::PlayAnswering: return "PlayAnswering";
    case State::PlayHeld: return "PlayHeld";
    case State::PlayHeldTyping: return "PlayHeldTyping";
    case State::PlayReleasing: return "PlayReleasing";
    case State::Closing: return "Closing";
    }
    return "?";
}

const char *ReaderSession::typingName(Typing typing)
{
    switch (typing) {
    case Typing::Quiet: return "Quiet";
    case Typing::Typing: return "Typing";
    }
    return "?";
}

const char *ReaderSession::eventName(Event event)
{
    switch (event) {
    case Event::Opened: return "Opened";
    case Event::Abandon: return "Abandon";
    case Event::EnterConfig: return "EnterConfig";
    case Event::PressKey: return "PressKey";
    case Event::PlayScript: return "PlayScript";
    case Event::Close: return "Close";
    case Event::CloseNow: return "CloseNow";
    case Event::ReaderLost: return "ReaderLost";
    case Event::Typed: return "Typed";
    case Event::QuietOver: return "QuietOver";
    case Event::ReportGoingOut: return "ReportGoingOut";
    case Event::ReportSent: return "ReportSent";
    case Event::ReportRefused: return "ReportRefused";
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
