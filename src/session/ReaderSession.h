// One open reader and everything that runs on it: the paced command channel,
// the quiet period that tells when the reader has finished typing an answer,
// the answer time-outs, the configuration hot key, the on-screen keyboard's
// keys with their latched modifier and echo check, script playback, and the
// recording of what was sent.
//
// The reader answers by typing. A session hears it in one of two ways: from
// the reader's own input device (a KeyCapture, when the platform can give
// one; the session then reports the text through typed()), or, without
// capture, through whatever text box the program keeps the keyboard focus
// in, which tells the session of every change (noteTyping()).
//
// The session's life is one state machine. Its state says what the session
// is doing with the reader; every user action, report, keystroke of the
// reader and timer is an Event, and one handler per state decides what the
// event does there (see ReaderSession.cpp). Timers belong to states: entering
// a state arms its timers, leaving it stops them.
//
//   Closed ──open──▶ Ready ──enterConfig / pressKey──▶ Sending ──last report out──▶ Listening
//                      ▲                                                              │
//                      └──────────── echo interval over (or the answer ended) ────────┘
//   Ready ──playScript──▶ PlaySending ──token out──▶ PlayAwaiting ──quiet──▶ PlaySending … ──▶ Ready
//                             │   ▲                     │  (hold) PlayHeld ──▶ PlayQuieting
//                             └──▶ PlayPausing (after a break) ┘
//   any open state ──close──▶ Closing (a held key is released) ──▶ Closed ; ──reader lost──▶ Closed
//
// Beside that, while a reader is open the session follows its typing: every
// keystroke restarts the quiet-period timer (Timer1), and when it runs out
// the reader counts as idle. That timer lives as long as the reader is open.
//
// A reader may still be typing an answer when the session is closed. What it
// types then must land nowhere else, so the session keeps hold of it (its
// capture, or without capture the window's redirect) until it has been quiet
// for the quiet period: an AnswerTail of its own, which neither a second
// close nor a new open of another reader cuts short. Opening the same reader
// again takes its capture back from the tail.
//
// Nothing here waits in a loop: every step is started by a timer, a report
// going out or the reader's text, so any number of sessions on as many
// readers run side by side on one thread, each with its own timers.
//
// Do not delete a session from inside one of its own signals; use
// deleteLater().
#pragma once

#include "card/CardData.h"
#include "config/ScriptTokenizer.h"
#include "device/HidPlatform.h"
#include "device/KeyCapture.h"
#include "keyboard/KeyStrokes.h"
#include "session/Timing.h"
#include "session/Transcript.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace vortal9 {

class AnswerTail;
class CommandChannel;
class MinimumTimer;
class DeviceMonitor;

class ReaderSession : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Closed,       // no reader open
        Ready,        // open; nothing going out, nothing awaited
        Sending,      // the hot key or an on-screen key's strings going out
        Listening,    // their last report is out: the reader may begin an answer (echo interval, Timer3)
        PlaySending,  // playback: the hot key or a token going out
        PlayPausing,  // playback: the pause after a break
        PlayAwaiting, // playback: the reader's answer is awaited (silence and length limits)
        PlayHeld,     // playback: the answer ended while a hold was asked; waits for its end
        PlayQuieting, // playback: the hold ended while the reader typed; waits for the quiet period
        Closing,      // closed; a key the reader still holds is being released, then the handle closes
    };

    enum class Event {
        SendCommand,   // send one scan-code string
        EnterConfig,   // send the configuration hot key
        PressKey,      // an on-screen key
        PlayScript,    // play a script
        Close,         // close, releasing held keys one pacing interval later
        CloseNow,      // close at once (the program is ending, or another reader is opened)
        ReaderLost,    // the reader's device went away
        Typed,         // the reader typed (captured text, or a change of the receive box)
        QuietOver,     // Timer1: the reader has been quiet for the quiet period
        SendDone,      // the channel has sent everything queued (result in m_lastSendOk)
        ListenOver,    // Timer3: the echo interval after the last report has passed
        PauseOver,     // the pause after a break has passed
        Silence,       // no keystroke for the answer time-out while an answer is awaited
        AnswerTooLong, // one answer went on for the answer limit
        HoldChanged,   // a hold asked from outside began or ended (m_held)
    };

    enum class Outcome {
        Configured,    // the script was sent to its end
        NotResponding, // the reader did not answer where the script expects it to
        WriteError,    // a report was refused
        Unplugged,     // the reader went away
        Cancelled,     // the session was closed during the playback
    };

    struct OpenResult
    {
        enum Status {
            Opened,
            Failed,     // neither open was accepted
            NotAReader, // the path now leads to a device that is no reader (the node was reused)
            InUse,      // another program holds the reader's keys
        };
        Status status = Failed;
        explicit operator bool() const { return status == Opened; }
    };

    ReaderSession(HidPlatform &platform, CapturePlatform *capture, const Timing &timing = Timing::real(),
                  QObject *parent = nullptr);
    ~ReaderSession() override;

    // Opens the reader at path: with read/write access, or with no access
    // rights when that is refused; checks that a reader answers there; then
    // captures its keys when the platform can. A reader whose keys another
    // program holds is closed again and reported InUse: nothing is sent to
    // it. Closes what was open before, at once.
    OpenResult open(const std::string &path);
    // Stops every flow of the session (nothing more is sent) and closes the
    // reader. A key the reader still holds down (a latched Shift, a script cut
    // off between a press and its release) is released first, one pacing
    // interval later. A reader that may still be typing stays held until it
    // has been quiet for the quiet period, however often close() is called;
    // what it types meanwhile still comes through typed().
    void close();
    // The same, but at once, and the hold of a reader still typing is let go
    // too: the program is ending and will not wait.
    void closeNow();
    State state() const { return m_state; }
    bool isOpen() const { return m_state != State::Closed && m_state != State::Closing; }
    const std::string &path() const { return m_path; }
    // The reader's identification text, read when it was opened.
    QString manufacturer() const { return m_manufacturer; }
    bool isCaptured() const { return m_capture != nullptr; }
    // Why the reader is not captured ("" when it is, or no capture platform).
    QString captureRefusal() const { return m_captureRefusal; }
    // Readers that go away while open are noticed through the monitor too
    // (needed without capture; with capture the input device tells first).
    void setDeviceMonitor(DeviceMonitor *monitor);

    // Sends one scan-code string as paced reports, as the hot key and the
    // on-screen keys are sent; done(false) when a report was refused ("Write
    // Data Error" is reported, the recording emptied), or at once when the
    // session takes no command now (closed, or playing a script).
    void sendCommand(const QString &text, std::function<void(bool)> done = {});
    // Sends the configuration hot key: left Ctrl, left Alt and F10 down, then
    // up again, as two strings. Ignored unless the reader is open and nothing
    // is going out.
    void enterConfig();
    // Plays a script: the hot key, then every token from the 21st character
    // on, with the pause after each break and a wait for the reader's answer
    // at every run of "FF" markers. Progress and the end are reported by
    // signals. The caller has checked the script (header, hexadecimal pairs).
    void playScript(const QString &script);
    bool isScriptRunning() const;
    int playbackSteps() const { return int(m_tokens.size()); }

    // A click on on-screen key index: sends its strings and moves the latched
    // modifier. Refused (nullopt) while no reader is open, during playback, or
    // while the reader has not finished its last answer.
    std::optional<keyboard::KeyStroke> pressKey(int index, bool nationalLayout);
    int modifierState() const { return m_modifier; }
    // Forgets the latched modifier without sending anything (another country
    // was chosen while no key is held on the reader).
    void clearModifier() { m_modifier = keyboard::NoModifier; }

    // The recording: every pair sent while it is on, with "FF" wherever the
    // reader finished an answer.
    void startRecording();                // empties it and turns it on
    void clearRecording();                // empties it
    QString takeRecording();              // turns it off and hands its text over, empty
    void resumeRecording(const QString &kept); // a taken recording that could not be saved goes on
    bool isRecording() const { return m_recording; }
    const QString &recordedText() const { return m_recorded; }

    // The steps of the last playback or Enter Config: the keys sent and what
    // the reader typed in answer, tracks of card data masked. In playback a
    // step ends where playback waits for the answer (script::endsStep);
    // otherwise where the reader answered and fell quiet, as a recording's
    // markers do. Answers are heard only through capture.
    transcript::Steps transcript() const;

    // Without capture: the text box that receives the reader's typing changed.
    void noteTyping();
    // A pause asked from outside: while held, playback does not go on past
    // its next wait for the reader's answer.
    void setHeld(bool held);
    bool isHeld() const { return m_held; }

    // True once the reader has been quiet for the quiet period after typing.
    bool readerIdle() const { return m_readerIdle; }
    // True from a send until the quiet period after the reader's last
    // character (or the echo interval when it typed nothing): the time in
    // which the reader may be typing. Also after close() while a reader goes
    // on with an answer it had begun.
    bool mayBeTyping() const;

    static const char *stateName(State state);
    static const char *eventName(Event event);

Q_SIGNALS:
    // Captured text, as it would have been typed into a text box.
    void typed(const QString &text);
    // The reader has been quiet for the quiet period. keyboardReady: the
    // on-screen keys may be used (no script is playing, nothing is being sent).
    void quietPeriodEnded(bool keyboardReady);
    // The echo interval after an on-screen key has passed; keyboardReady when
    // the reader typed nothing since the key went out.
    void echoChecked(bool keyboardReady);
    // A failure to show: "Write Data Error", "Reader Not Responding".
    void failure(const QString &message);
    // step of steps tokens of the playback have been sent.
    void progress(int step, int steps);
    void playbackFinished(vortal9::ReaderSession::Outcome outcome);
    // The latched modifier was reset (the session was opened or closed).
    void modifierReset();
    // The reader went away. The session is closed.
    void lost();
    // After close() (or the loss of the reader): the reader is closed and its
    // capture released; nothing of the session holds it any more.
    void letGo();

private:
    void dispatch(Event event);
    void onClosed(Event event);
    void onReady(Event event);
    void onSending(Event event);
    void onListening(Event event);
    void onPlaySending(Event event);
    void onPlayPausing(Event event);
    void onPlayAwaiting(Event event);
    void onPlayHeld(Event event);
    void onPlayQuieting(Event event);
    void onClosing(Event event);
    // Leaves the current state (stopping its timers) and enters next (arming its timers).
    void transition(State next);
    // Events that mean the same in every open state.
    bool handledInEveryOpenState(Event event);
    void unexpected(Event event) const;

    // Actions.
    // Queues strings on the channel; SendDone follows once all went out.
    // after, if given, hears the result first.
    void queueStrings(const QStringList &strings, std::function<void(bool)> after = {});
    void sendCommandString();
    void sendHotKey();
    void sendKey();
    void startPlayback();
    void playNextToken();
    void afterToken();
    void finishPlayback(Outcome outcome);
    void readerTyped();
    void startTranscript();
    void quietPeriodOver();
    // Closes an open reader; atOnce: held keys are released now, not paced.
    void closeReader(bool atOnce);
    // A reader being closed: the release going out is sent now, the handle closed.
    void finishClosing();
    void endTails();
    // This reader may be typing: a command is out, or its quiet period runs.
    bool readerMayType() const;
    void loseReader();
    void closeHandle();
    void holdTail(int holdMs);
    void checkLetGo();
    void resetModifier();

    // Signals of the capture and the channel, turned into events.
    void onCapturedText(const QString &text);
    // Text the masker has decided goes to the answer of the current step.
    void addToAnswer(const QString &masked);
    void onReportGoingOut(const QString &chunk);
    void onReportSent(const std::vector<std::uint8_t> &payload);
    void onReportRefused();
    void onDeviceRemoved(const QString &path);
    void dispose(std::unique_ptr<KeyCapture> capture);

    HidPlatform &m_platform;
    CapturePlatform *m_capturePlatform;
    const Timing m_timing;
    CommandChannel *m_channel;
    // Minimums never end early; the time-outs are plain timers.
    MinimumTimer *m_quietTimer;  // Timer1: while a reader is open
    MinimumTimer *m_listenTimer; // Timer3: Listening
    MinimumTimer *m_pauseTimer;  // PlayPausing
    QTimer *m_silenceTimer; // PlayAwaiting: no keystroke at all
    QTimer *m_limitTimer;   // PlayAwaiting: one answer that never ends

    State m_state = State::Closed;
    std::string m_path;
    HidHandle m_handle = 0;
    QString m_manufacturer;
    std::unique_ptr<KeyCapture> m_capture;
    bool m_inCaptureSignal = false;
    QString m_captureRefusal;
    keyboard::HeldKeys m_heldKeys;
    std::vector<AnswerTail *> m_tails; // children: readers held after close until they are quiet

    bool m_recording = false;
    QString m_recorded;
    transcript::Steps m_transcript; // answers masked as they come
    card::TrackMasker m_masker;     // everything the reader typed since it was opened
    bool m_stepEnded = true; // the last step's answer is over: the next key starts a step
    bool m_readerIdle = false;
    bool m_held = false;
    int m_modifier = keyboard::NoModifier;
    bool m_lastSendOk = true;        // the result of what the channel last finished
    bool m_keyGoingOut = false;      // the strings going out belong to an on-screen key
    qint64 m_typedCount = 0;         // changes of the reader's text so far
    qint64 m_echoCount = 0;          // ... when the last on-screen key had gone out
    bool m_typedSinceReport = false; // the reader typed after the last report went out

    // The request that SendCommand, PressKey and PlayScript carry.
    QString m_command;
    std::function<void(bool)> m_commandDone;
    keyboard::KeyStroke m_stroke;
    std::vector<script::Token> m_tokens;
    std::size_t m_nextToken = 0;     // playback: the token to send next
    int m_hotKeyStage = 0;           // playback: 0 make going out, 1 break going out, 2 the tokens
    bool m_letGoDue = false;         // letGo() is owed once the reader is let go
};

} // namespace vortal9
