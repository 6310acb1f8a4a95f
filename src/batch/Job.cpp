#include "batch/Job.h"
#include "platform/EndingSignals.h"

#include "device/HidPlatform.h"
#include "device/KeyCapture.h"
#include "session/ReaderOpener.h"

#include <QLoggingCategory>
#include <QTimer>

namespace vortal9::batch {

namespace {

Q_LOGGING_CATEGORY(lcJob, "vortal9.batch.job", QtWarningMsg)

bool isAttached(HidPlatform &platform, const std::string &path)
{
    const HidDeviceSet set = platform.createDeviceSet();
    bool found = false;
    for (int i = 0; !found && platform.enumInterface(set, i); ++i)
        found = platform.interfacePath(set, i) == path;
    platform.destroyDeviceSet(set);
    return found;
}

} // namespace

Job::Job(int number, const QString &path, HidPlatform &platform, CapturePlatform *capture, const Timing &timing,
    const QString &script, int captureTries, ReaderOpener *opener, QObject *parent)
    : QObject(parent)
    , m_number(number)
    , m_path(path)
    , m_platform(platform)
    , m_capture(capture)
    , m_timing(timing)
    , m_script(script)
    , m_captureTriesLeft(captureTries)
    , m_retry(new QTimer(this))
    , m_opener(opener ? opener : new ReaderOpener(platform, capture, this))
{
    m_retry->setSingleShot(true);
    m_retry->setInterval(CaptureRetryMs);
    connect(m_retry, &QTimer::timeout, this, [this] { handle(Event::RetryDue); });
}

Job::~Job()
{
    // The session's last signals must not reach a job that is going away.
    if (m_session)
        m_session->disconnect(this);
}

const char *Job::name(State state)
{
    switch (state) {
    case State::New: return "new";
    case State::Opening: return "opening";
    case State::WaitingToCapture: return "waiting to capture";
    case State::Playing: return "playing";
    case State::Closing: return "closing";
    case State::Cancelling: return "cancelling";
    case State::Done: return "done";
    }
    return "?";
}

const char *Job::name(Event event)
{
    switch (event) {
    case Event::Start: return "start";
    case Event::OpenFailed: return "open failed";
    case Event::CaptureRefused: return "capture refused";
    case Event::Captured: return "captured";
    case Event::RetryDue: return "retry due";
    case Event::PlaybackFinished: return "playback finished";
    case Event::LetGo: return "let go";
    case Event::Unplugged: return "unplugged";
    case Event::Interrupted: return "interrupted";
    }
    return "?";
}

void Job::handle(Event event)
{
    const State before = m_state;
    switch (m_state) {
    case State::New:
        switch (event) {
        case Event::Start: attempt(); break;
        case Event::Unplugged: conclude(Result::Unplugged), enter(State::Done); break;
        case Event::Interrupted: conclude(Result::Interrupted), enter(State::Done); break;
        case Event::OpenFailed:
        case Event::CaptureRefused:
        case Event::Captured:
        case Event::RetryDue:
        case Event::PlaybackFinished:
        case Event::LetGo: bug(event); break;
        }
        break;
    case State::Opening:
        switch (event) {
        case Event::Captured:
            if (const ReaderSession::OpenResult opened = m_session->open(std::move(m_opened)); !opened) {
                // Taken by another program in the meantime.
                m_openStatus = opened.status;
                conclude(m_openStatus == ReaderSession::OpenResult::InUse ? Result::InUse : Result::CannotOpen);
                enter(State::Done);
                break;
            }
            if (m_checkOnly) {
                conclude(Result::Ready);
                enter(State::Closing);
                m_session->closeNow();
                break;
            }
            enter(State::Playing);
            m_session->playScript(m_script);
            break;
        case Event::CaptureRefused:
            m_captureRefusal = m_opened.captureRefusal();
            m_opened = {}; // closed again
            if (--m_captureTriesLeft > 0) {
                enter(State::WaitingToCapture);
            } else {
                conclude(Result::NotCaptured);
                enter(State::Done);
            }
            break;
        case Event::OpenFailed:
            m_openStatus = m_opened.status();
            m_opened = {};
            conclude(m_openStatus == ReaderSession::OpenResult::InUse        ? Result::InUse
                     : m_openStatus == ReaderSession::OpenResult::NotAReader ? Result::NotAReader
                                                                             : Result::CannotOpen);
            enter(State::Done);
            break;
        case Event::Unplugged: conclude(Result::Unplugged), enter(State::Cancelling); break;
        case Event::Interrupted: conclude(Result::Interrupted), enter(State::Cancelling); break;
        case Event::LetGo:
        case Event::PlaybackFinished: break;
        case Event::Start:
        case Event::RetryDue: bug(event); break;
        }
        break;
    case State::Cancelling:
        switch (event) {
        case Event::Captured:
        case Event::CaptureRefused:
        case Event::OpenFailed:
            m_opened = {}; // let go again: nothing was sent
            enter(State::Done);
            break;
        case Event::Unplugged:
        case Event::Interrupted:
        case Event::LetGo:
        case Event::PlaybackFinished: break;
        case Event::Start:
        case Event::RetryDue: bug(event); break;
        }
        break;
    case State::WaitingToCapture:
        switch (event) {
        case Event::RetryDue: attempt(); break;
        case Event::Unplugged: conclude(Result::Unplugged), enter(State::Done); break;
        case Event::Interrupted: conclude(Result::Interrupted), enter(State::Done); break;
        case Event::LetGo: break; // the refused session, let go late
        case Event::Start:
        case Event::OpenFailed:
        case Event::CaptureRefused:
        case Event::Captured:
        case Event::PlaybackFinished: bug(event); break;
        }
        break;
    case State::Playing:
        switch (event) {
        case Event::PlaybackFinished: {
            const Result result = resultOf(m_outcome);
            conclude(result,
                result == Result::NotResponding || result == Result::WriteError || result == Result::Interrupted);
            enter(State::Closing);
            m_session->close(); // releases what the reader still holds, then lets it go
            break;
        }
        case Event::Unplugged:
            conclude(Result::Unplugged);
            enter(State::Closing);
            m_session->closeNow();
            break;
        case Event::Interrupted:
            conclude(Result::Interrupted, true);
            enter(State::Closing);
            m_session->closeNow();
            break;
        case Event::LetGo: // the session lost the reader without ending the playback
            conclude(Result::Unplugged);
            enter(State::Done);
            break;
        case Event::Start:
        case Event::OpenFailed:
        case Event::CaptureRefused:
        case Event::Captured:
        case Event::RetryDue: bug(event); break;
        }
        break;
    case State::Closing:
        switch (event) {
        case Event::LetGo: enter(State::Done); break;
        // Nothing more is waited for: what the reader still holds is
        // released now, and its capture let go.
        case Event::Unplugged:
        case Event::Interrupted: m_session->closeNow(); break;
        case Event::PlaybackFinished: break; // the close cancelled the playback
        case Event::Start:
        case Event::OpenFailed:
        case Event::CaptureRefused:
        case Event::Captured:
        case Event::RetryDue: bug(event); break;
        }
        break;
    case State::Done:
        switch (event) {
        case Event::LetGo:
        case Event::PlaybackFinished:
        case Event::Unplugged:
        case Event::Interrupted: break;
        case Event::Start:
        case Event::OpenFailed:
        case Event::CaptureRefused:
        case Event::Captured:
        case Event::RetryDue: bug(event); break;
        }
        break;
    }
    qCDebug(lcJob).noquote() << "reader" << m_number << name(before) << "->" << name(event) << "->" << name(m_state);
}

// Opens and captures, off the event loop where the platform allows; what
// that gives comes back as the next event.
void Job::attempt()
{
    enter(State::Opening);
    if (!m_session) {
        m_session = std::make_unique<ReaderSession>(m_platform, m_capture, m_timing);
        connect(m_session.get(), &ReaderSession::progress, this, [this](int step, int steps) {
            m_step = step;
            m_steps = steps;
            Q_EMIT progressed();
        });
        connect(m_session.get(), &ReaderSession::playbackFinished, this, [this](ReaderSession::Outcome outcome) {
            m_outcome = outcome;
            handle(Event::PlaybackFinished);
        });
        connect(m_session.get(), &ReaderSession::letGo, this, [this] { handle(Event::LetGo); });
    }
    m_opener->open(m_path.toStdString(), this, [this](ReaderSession::Prepared opened) {
        m_opened = std::move(opened);
        if (m_opened.status() != ReaderSession::OpenResult::Opened)
            handle(Event::OpenFailed);
        else if (m_opened.captureRefused())
            handle(Event::CaptureRefused);
        else
            handle(Event::Captured);
    });
}

void Job::enter(State state)
{
    if (m_state == State::WaitingToCapture)
        m_retry->stop();
    m_state = state;
    if (state == State::WaitingToCapture)
        m_retry->start();
    if (state == State::Done)
        Q_EMIT released();
}

void Job::conclude(Result result, bool mayBeInConfigMode)
{
    if (m_result != Result::None)
        return;
    m_result = result;
    m_mayBeInConfigMode = mayBeInConfigMode;
    Q_EMIT resultKnown();
}

Job::Result Job::resultOf(ReaderSession::Outcome outcome) const
{
    switch (outcome) {
    case ReaderSession::Outcome::Configured:
        // What the reader answered was not heard in full: whether it is
        // configured as it should be cannot be told.
        return m_session && m_session->keysLost() ? Result::KeysLost : Result::Configured;
    case ReaderSession::Outcome::NotResponding: return Result::NotResponding;
    case ReaderSession::Outcome::WriteError:
        // A report whose wait a signal broke fails as a time-out does (uhid
        // gives EIO): that is Ctrl+C's doing. One refused because the
        // reader went away is an unplug.
        if (EndingSignals::pending())
            return Result::Interrupted;
        return isAttached(m_platform, m_path.toStdString()) ? Result::WriteError : Result::Unplugged;
    case ReaderSession::Outcome::Unplugged: return Result::Unplugged;
    case ReaderSession::Outcome::Cancelled: break;
    }
    return Result::Interrupted;
}

void Job::bug(Event event) const
{
    qCWarning(lcJob).noquote() << "reader" << m_number << ": event" << name(event) << "cannot happen in state"
                               << name(m_state);
}

} // namespace vortal9::batch
