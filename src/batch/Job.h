// One reader that a script is played to, from its first capture attempt to
// the moment nothing of the program holds it any more: one explicit state
// machine. Every input is an Event, handled in one place (handle()), and
// each state's timer is armed on entering it and stopped on leaving it.
//
//   New --Start--> Opening: the reader is opened and its keys captured, off
//     the event loop where the platform allows (ReaderOpener); what that
//     gave comes back as the next event:
//     Opening --Captured--> Playing (the script starts)
//     Opening --CaptureRefused--> WaitingToCapture while tries are left (watch),
//                                 else Done ("refused")
//     Opening --OpenFailed--> Done ("refused")
//     Opening --Unplugged, Interrupted--> Cancelling: the result is known; what
//                                 the opening gives is let go as it comes back
//     Cancelling --Captured, CaptureRefused, OpenFailed--> Done
//   WaitingToCapture --RetryDue--> Opening
//   Playing --PlaybackFinished--> Closing: the session lets the reader go once
//                                 it has finished typing
//   Closing --LetGo--> Done
//   Unplugged, Interrupted: before Playing  --> Done (a retry is dropped)
//                           Playing, Closing --> Closing, the session closed at
//                           once (a held key released now, nothing waited for)
//
// A freshly plugged reader gets its input device a moment after its hidraw
// node, which is why watch tries its capture again before refusing it.
#pragma once

#include "session/ReaderSession.h"
#include "session/Timing.h"

#include <QObject>
#include <QString>

#include <memory>

class QTimer;

namespace vortal9 {

class CapturePlatform;
class HidPlatform;
class ReaderOpener;

namespace batch {

class Job : public QObject
{
    Q_OBJECT

public:
    enum class State {
        New,
        Opening, // the reader is being opened and captured
        WaitingToCapture, // capture refused; the retry timer runs
        Playing, // the script goes out
        Closing, // a result is known; the session still holds the reader
        Cancelling, // a result is known while the reader is being opened
        Done, // nothing of the program holds the reader
    };
    enum class Event {
        Start,
        OpenFailed, // Opening: the reader cannot be opened (openStatus() says why)
        CaptureRefused, // Opening: opened, but its keys cannot be captured (closed again)
        Captured, // Opening: opened and captured
        RetryDue, // the retry timer ran out
        PlaybackFinished, // the session ended the playback (playbackOutcome())
        LetGo, // the session holds nothing of the reader any more
        Unplugged, // the device monitor saw the reader go
        Interrupted, // Ctrl+C or another ending signal
    };
    enum class Result {
        None, // not known yet
        Ready, // a dry run: it would be configured (opened and captured, nothing sent)
        Configured,
        KeysLost, // the script went to its end, but the system dropped some of the reader's keys:
                  // its answers cannot be checked; to be applied again
        NotResponding,
        WriteError,
        Unplugged,
        Interrupted,
        CannotOpen,
        NotAReader,  // the node now leads to another device: nothing was sent
        InUse,       // another program holds the reader: nothing was sent
        NotCaptured, // captureRefusal() says why
    };

    // How often a refused capture is tried in all (1: never again), and how
    // long apart.
    static constexpr int WatchCaptureTries = 12;
    static constexpr int CaptureRetryMs = 250;

    // opener opens the reader; without one the job has one of its own.
    Job(int number, const QString &path, HidPlatform &platform, CapturePlatform *capture, const Timing &timing,
        const QString &script, int captureTries, ReaderOpener *opener = nullptr, QObject *parent = nullptr);
    ~Job() override;

    void handle(Event event);
    // A dry run: the reader is opened and captured as for playing, then let
    // go at once with the result Ready; nothing is sent to it.
    void setCheckOnly(bool checkOnly) { m_checkOnly = checkOnly; }

    int number() const { return m_number; }
    const QString &path() const { return m_path; }
    State state() const { return m_state; }
    Result result() const { return m_result; }
    QString captureRefusal() const { return m_captureRefusal; }
    // The configuration hot key may have reached the reader and the script
    // not its end: the reader may be left in its configuration mode.
    bool mayBeInConfigMode() const { return m_mayBeInConfigMode; }
    int step() const { return m_step; }
    int steps() const { return m_steps; }
    // The session, once the job has opened the reader; for tests.
    ReaderSession *session() const { return m_session.get(); }

    static const char *name(State state);
    static const char *name(Event event);

Q_SIGNALS:
    void progressed(); // step() or steps() changed
    void resultKnown(); // result() was set: once
    void released(); // the job is Done

private:
    void attempt();
    void enter(State state);
    void conclude(Result result, bool mayBeInConfigMode = false);
    Result resultOf(ReaderSession::Outcome outcome) const;
    void bug(Event event) const;

    const int m_number;
    const QString m_path;
    HidPlatform &m_platform;
    CapturePlatform *m_capture;
    const Timing m_timing;
    const QString m_script;
    int m_captureTriesLeft;
    State m_state = State::New;
    Result m_result = Result::None;
    bool m_mayBeInConfigMode = false;
    bool m_checkOnly = false;
    QString m_captureRefusal;
    ReaderSession::OpenResult::Status m_openStatus = ReaderSession::OpenResult::Failed;
    ReaderSession::Outcome m_outcome = ReaderSession::Outcome::Cancelled;
    int m_step = 0;
    int m_steps = 0;
    QTimer *m_retry; // runs in WaitingToCapture only
    ReaderOpener *m_opener;
    ReaderSession::Prepared m_opened; // what the last opening gave, until handled
    std::unique_ptr<ReaderSession> m_session;
};

} // namespace batch
} // namespace vortal9
