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
// The session's life is one state machine (see ReaderSession.cpp for every
// row). Its state says what the session is doing with the reader; every user
// action, report, keystroke of the reader and timer is an Event, and one
// handler per state decides what the event does there. Only handlers change
// the state, and each change is logged where it happens, as
// "state -> event -> state". Timers belong to states: entering a state arms
// its timers, leaving it stops them.
//
//   Closed ──open──▶ Ready ──enterConfig / pressKey──▶ Sending ──last report out──▶ Listening
//                      ▲                                                              │
//                      └──────────── echo interval over (or the answer ended) ────────┘
//   Ready ──playScript──▶ PlayHotKeyMake ──▶ PlayHotKeyBreak ──▶ PlayAwaiting ──typed──▶ PlayAnswering
//   PlayAwaiting / PlayAnswering ──quiet──▶ PlaySending (the next step) … ──▶ Ready
//                               └──quiet, held──▶ PlayHeld ◀──quiet / typed──▶ PlayHeldTyping
//   PlaySending ──a break out──▶ PlayPausing ──▶ PlaySending ; ──a wait's token out──▶ PlayAwaiting
//   a playback ending on an error ──▶ PlayReleasing (keys still down released) ──▶ Ready
//   any open state ──close──▶ Closing (a held key is released, paced) ──▶ Closed ; ──reader lost──▶ Closed
//
// Beside that, while a reader is open the session follows its typing in a
// second, smaller machine: Quiet ──typed──▶ Typing (arms the quiet-period
// timer, Timer1, anew at every keystroke) ──quiet period over──▶ Quiet.
// Closing the reader returns it to Quiet.
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
        Closed,          // no reader open
        Ready,           // open; nothing going out, nothing awaited
        Sending,         // the hot key or an on-screen key's strings going out
        Listening,       // their last report is out: the reader may begin an answer (echo interval, Timer3)
        PlayHotKeyMake,  // playback: the hot key's make going out
        PlayHotKeyBreak, // playback: its break going out
        PlaySending,     // playback: a token going out
        PlayPausing,     // playback: the pause after a break
        PlayAwaiting,    // playback: the reader's answer is awaited (silence and length limits)
        PlayAnswering,   // playback: the reader is answering; its end is awaited (length limit)
        PlayHeld,        // playback: the answer ended while a hold was asked; waits for the hold's end
        PlayHeldTyping,  // playback: held, and the reader types (length limit)
        PlayReleasing,   // playback ended on an error: keys still down are being released
        Closing,         // closed; a key the reader still holds is being released, then the handle closes
    };

    // The second machine: whether the reader is typing.
    enum class Typing {
        Quiet,  // no keystroke for the quiet period (or none since it was opened)
        Typing, // a keystroke came less than the quiet period ago (Timer1 runs)
    };

    enum class Event {
        Opened,        // a reader was opened for the session
        Abandon,       // leave the reader at once (another one is opened, or the session is destroyed)
        EnterConfig,   // send the configuration hot key
        PressKey,      // an on-screen key
        PlayScript,    // play a script
        Close,         // close, releasing held keys one pacing interval later
        CloseNow,      // close without waiting for the reader's answer (the program is ending)
        ReaderLost,    // the reader's device went away
        Typed,         // the reader typed (captured text, or a change of the receive box)
        QuietOver,     // Timer1: the reader has been quiet for the quiet period
        ReportGoingOut, // a report is about to go out (its pairs in m_chunk)
        ReportSent,    // a report was accepted (its payload in m_payload)
        ReportRefused, // a report was refused
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
    // The same, but the hold of a reader still typing is let go at once: the
    // program is ending and will not wait for an answer. A key still down is
    // released as close() does, at most one pacing interval later (never
    // sooner after the last report than the pacing interval), and letGo()
    // follows.
    void closeNow();
    // letGo() is still owed: the reader was opened and is not yet let go.
    bool holdsReader() const { return m_letGoDue; }
    State state() const { return m_state; }
    Typing typing() const { return m_typing; }
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

    // Sends the configuration hot key: left Ctrl, left Alt and F10 down, then
    // up again, as two strings. Ignored unless the reader is open and nothing
    // is going out.
    void enterConfig();
    // Plays a script: the hot key, then every token from the 21st character
    // on, with the pause after each break and a wait for the reader's answer
    // at every run of "FF" markers. Progress and the end are reported by
    // signals. The caller has checked the script (header, hexadecimal pairs).
    // When playback ends on an error (a refused report, a silent reader),
    // keys the script left down are released first, paced, as close() does.
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
    // the reader typed in answer, exactly as typed; a step whose answer held
    // card data, or that typing which was no answer ran into, is void
    // (card::CardGuard). In playback a step ends where playback waits for the
    // answer (script::endsStep); otherwise where the reader answered and fell
    // quiet, as a recording's markers do. Answers are heard only through
    // capture.
    transcript::Steps transcript() const;
    // Typing that was no answer (a card swiped while nothing was awaited),
    // and cards found inside answers, since the reader was opened.
    int swipesHeard() const { return m_guard.swipes(); }

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
    static const char *typingName(Typing typing);
    static const char *eventName(Event event);

Q_SIGNALS:
    // Captured text that may be shown, as it would have been typed into a
    // text box: answers only, never card data; text is held back while it
    // may still turn out to be a card (card::CardGuard).
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
    void onPlayHotKeyMake(Event event);
    void onPlayHotKeyBreak(Event event);
    void onPlaySending(Event event);
    void onPlayPausing(Event event);
    void onPlayAwaiting(Event event);
    void onPlayAnswering(Event event);
    void onPlayHeld(Event event);
    void onPlayHeldTyping(Event event);
    void onPlayReleasing(Event event);
    void onClosing(Event event);
    // Leaves the current state (stopping its timers) and enters next (arming
    // its timers); logged as "state -> event -> state". Called by handlers only.
    void transition(State next);
    // The same for the typing machine. A keystroke while typing arms Timer1
    // anew without a line in the log: an answer is logged once, at its end.
    void typingTransition(Typing next);
    // Events that mean the same in every open state.
    bool handledInEveryOpenState(Event event);
    // Events of the reports going out, in every state that has a handle.
    bool handledWhileAttached(Event event);
    void unexpected(Event event) const;

    // Handler helpers (they decide the next state; the handler that calls
    // them is where the transition is made).
    void goOnAfterWait();              // the next token, or the end of playback
    void goOnAfterToken();             // after a token went out: wait, pause or the next one
    void awaitAnswer();                // after a wait's token went out: PlayAwaiting, or the answer already heard
    void answerOver();                 // the answer of a wait ended: held, or the next token
    void endPlayback(Outcome outcome); // Ready, and the outcome told
    void endPlaybackOnError(Outcome outcome);
    struct Leaving
    {
        bool wasPlaying = false;
        Outcome outcome = Outcome::Cancelled; // told when a playback was cut off
        QString release;                      // the keys still down, released
    };
    // What every way of leaving an open reader does first: the flows stop,
    // the capture is let go (or kept while the reader may still type), and
    // the keys still down are named. ending: the program is ending, and a
    // report waiting for the reader's answer is given up on.
    Leaving stopFlows(bool ending);
    void leaveReader(bool letTailsGo); // every open state's close: keys down released, paced
    void abandonReader();              // closes at once: held keys released now
    void loseReader();

    // Actions: they send, record and tell, never change the state.
    // Queues strings on the channel; SendDone follows once all went out.
    void queueStrings(const QStringList &strings);
    void sendHotKey();
    bool sendKey(); // false when the key sends nothing
    void startPlayback();
    bool sendNextToken(); // false when no token is left
    void readerTyped();
    void startTranscript();
    void quietPeriodOver();
    void recordGoingOut();
    // The step the reader's keys answer now; -1 when no answer is awaited.
    int answeredStep() const;
    // What the guard has decided: kept text into the answers (and shown),
    // void steps emptied.
    void applyGuard(card::CardGuard &guard, int generation, bool show);
    // Whatever the guard still holds is decided (nothing more can complete it).
    void settleGuard();
    // Hands a reader that may still be typing to a tail; lets go of the capture.
    void releaseCapture(bool commandOut);
    void closeHandle();
    void endTails();
    // This reader may be typing: a command is out, or its quiet period runs.
    bool readerMayType() const;
    void holdTail(int holdMs, bool commandOut);
    void checkLetGo();
    void resetModifier();

    // Signals of the capture and the channel, turned into events.
    void onCapturedKeys(const CapturedKeys &keys);
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
    QTimer *m_limitTimer;   // PlayAwaiting, PlayAnswering, PlayHeldTyping: one answer that never ends

    State m_state = State::Closed;
    Typing m_typing = Typing::Quiet;
    Event m_event = Event::Opened; // the event being handled, for the log
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
    transcript::Steps m_transcript; // answers as they are decided
    int m_transcriptGeneration = 0; // counts new transcripts: a tail's decisions for an old one are dropped
    card::CardGuard m_guard;        // everything the reader typed since it was opened
    bool m_stepEnded = true; // the last step's answer is over: no answer is awaited, the next key starts a step
    bool m_readerIdle = false;
    bool m_held = false;
    int m_modifier = keyboard::NoModifier;
    bool m_lastSendOk = true;        // the result of what the channel last finished
    bool m_keyGoingOut = false;      // the strings going out belong to an on-screen key
    qint64 m_typedCount = 0;         // changes of the reader's text so far
    qint64 m_echoCount = 0;          // ... when the last on-screen key had gone out
    qint64 m_typedBeforeReport = 0;  // ... when the last report went out
    bool m_typedInStep = false;      // the reader typed since the step's first report went out

    // What PressKey, PlayScript, Typed and the report events carry.
    keyboard::KeyStroke m_stroke;
    std::vector<script::Token> m_tokens;
    CapturedKeys m_keys;                   // Typed: captured keys (none from the receive box)
    QString m_chunk;                       // ReportGoingOut
    std::vector<std::uint8_t> m_payload;   // ReportSent
    std::size_t m_nextToken = 0;     // playback: the token to send next
    Outcome m_outcome = Outcome::Configured; // PlayReleasing: how the playback ended
    bool m_letGoDue = false;         // letGo() is owed once the reader is let go
};

} // namespace vortal9
