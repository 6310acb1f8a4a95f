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
// Nothing here waits in a loop: every step is started by a timer, a report
// going out or the reader's text, so any number of sessions on as many
// readers run side by side on one thread, each with its own timers.
//
// Do not delete a session from inside one of its own signals; use
// deleteLater().
#pragma once

#include "config/ScriptTokenizer.h"
#include "device/HidPlatform.h"
#include "device/KeyCapture.h"
#include "keyboard/KeyStrokes.h"
#include "session/Timing.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace vortal9 {

class CommandChannel;

// What was sent to the reader while recording, hex pair by hex pair, with
// "FF" wherever the reader finished an answer.
struct ScriptRecording
{
    bool on = false;
    QString buffer;
};

class ReaderSession : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Configured,    // the script was sent to its end
        NotResponding, // the reader did not answer where the script expects it to
        WriteError,    // a report was refused
        Unplugged,     // the reader went away
        Cancelled,     // the session was closed during the playback
    };

    ReaderSession(HidPlatform &platform, CapturePlatform *capture, const Timing &timing = Timing::real(),
                  QObject *parent = nullptr);
    ~ReaderSession() override;

    // Opens the reader at path: with read/write access, or with no access
    // rights when that is refused. Closes what was open before. False when
    // both opens fail. Then captures the reader's keys when the platform can.
    bool open(const std::string &path);
    // Stops every flow of the session (nothing more is sent) and closes the
    // reader. A key the reader still holds down (a latched Shift, a script cut
    // off between a press and its release) is released first, one pacing
    // interval later. A reader that may still be typing keeps its capture
    // until it has been quiet for the quiet period, so that the rest of its
    // answer reaches no other window; what it types meanwhile still comes
    // through typed().
    void close();
    // The same, but at once: a key the reader still holds is released now
    // and the capture let go (the program is ending and will not wait).
    void closeNow();
    bool isOpen() const { return m_open; }
    const std::string &path() const { return m_path; }
    // The reader's identification text, read when it was opened.
    QString manufacturer() const { return m_manufacturer; }
    bool isCaptured() const { return m_capture != nullptr; }
    // Why the reader is not captured ("" when it is, or no capture platform).
    QString captureRefusal() const { return m_captureRefusal; }

    // Sends one scan-code string as paced reports; done(false) when a report
    // was refused ("Write Data Error" is reported, the recording emptied).
    void sendCommand(const QString &text, std::function<void(bool)> done = {});
    // Sends the configuration hot key: left Ctrl, left Alt and F10 down, then
    // up again, as two strings.
    void enterConfig();
    // Plays a script: the hot key, then every token from the 21st character
    // on, with the pause after each break and a wait for the reader's answer
    // at every run of "FF" markers. Progress and the end are reported by
    // signals. The caller has checked the script (header, hexadecimal pairs).
    void playScript(const QString &script);
    bool isScriptRunning() const { return m_scriptRunning; }
    int playbackSteps() const { return int(m_tokens.size()); }

    // A click on on-screen key index: sends its strings and moves the latched
    // modifier. Refused (nullopt) while no reader is open or the reader has
    // not finished its last answer.
    std::optional<keyboard::KeyStroke> pressKey(int index, bool nationalLayout);
    int modifierState() const { return m_modifier; }
    // Forgets the latched modifier without sending anything (another country
    // was chosen while no key is held on the reader).
    void clearModifier() { m_modifier = keyboard::NoModifier; }

    ScriptRecording &recording() { return m_recording; }
    const ScriptRecording &recording() const { return m_recording; }

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
    // which the reader may be typing. Also after close() while the reader
    // goes on with an answer it had begun.
    bool mayBeTyping() const;

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
    // The reader went away: its input device is gone. The session is closed.
    void lost();
    // After close() (or the loss of the reader): the reader is closed and its
    // capture released; nothing of the session holds it any more.
    void letGo();

private:
    void stopFlows();
    void closeHandle(bool releaseAtOnce);
    void onReportGoingOut(const QString &chunk);
    void onReportSent(const std::vector<std::uint8_t> &payload);
    void onReportRefused();
    void onCapturedText(const QString &text);
    void onCaptureLost();
    // Destroys a capture now, or once it has finished emitting.
    void dispose(std::unique_ptr<KeyCapture> capture);
    void releaseLateCapture();
    void checkLetGo();
    void onQuiet();
    void onEcho();
    void onAnswerTimedOut();

    // Playback steps.
    void playToken(std::size_t index);
    void afterToken(std::size_t index);
    void nextToken(std::size_t index);
    void finishPlayback(Outcome outcome);
    // Waits until the reader has typed and then been quiet; stops the
    // playback with "Reader Not Responding" when it stays silent or never
    // falls quiet.
    void waitForAnswer(std::function<void()> then);
    // Goes on once a hold asked from outside has ended.
    void afterAnswer(std::function<void()> then);
    // After a hold: once the reader has been quiet for the quiet period.
    void waitForQuiet(std::function<void()> then);

    HidPlatform &m_platform;
    CapturePlatform *m_capturePlatform;
    const Timing m_timing;
    CommandChannel *m_channel;
    QTimer *m_quietTimer;    // Timer1
    QTimer *m_echoTimer;     // Timer3
    QTimer *m_listenTimer;   // how long after a report the reader may start typing
    QTimer *m_silenceTimer;  // no character at all while an answer is awaited
    QTimer *m_answerLimit;   // one answer that never ends
    QTimer *m_lateTimer;     // after close: the quiet period of an answer still being typed
    qint64 m_lateUntil = 0;  // ... which is not waited for beyond this time (ms since epoch)

    bool m_open = false;
    bool m_closing = false; // closed, and letGo() not yet emitted
    std::string m_path;
    HidHandle m_handle = 0;
    QString m_manufacturer;
    std::unique_ptr<KeyCapture> m_capture;
    std::unique_ptr<KeyCapture> m_lateCapture; // held after close until the reader is quiet
    bool m_inCaptureSignal = false;
    QString m_captureRefusal;
    keyboard::HeldKeys m_heldKeys;

    ScriptRecording m_recording;
    bool m_readerIdle = false;
    bool m_scriptRunning = false;
    bool m_held = false;
    int m_modifier = keyboard::NoModifier;
    qint64 m_typedCount = 0;   // changes of the reader's text so far
    bool m_typedSinceReport = false; // the reader typed after the last report went out
    qint64 m_echoCount = 0;    // ... when the last on-screen key had gone out

    QString m_script;
    std::vector<script::Token> m_tokens;
    std::function<void()> m_afterAnswer;  // a wait for the reader's answer
    std::function<void()> m_afterQuiet;   // a wait for the quiet period after a hold
    std::function<void()> m_afterRelease; // a wait for the end of a hold
};

} // namespace vortal9
