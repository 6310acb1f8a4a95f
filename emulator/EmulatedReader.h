// The firmware of an emulated VORTAL9 keyboard-wedge card reader.
//
// It receives the feature reports that the host sends (report ID 0, then PS/2
// scan code set 2 bytes with zero fill), decodes them into key presses and
// releases, and runs the reader's configuration menu: left Ctrl + left Alt +
// F10 opens it, digit keys pick an entry, and the reader answers every key it
// understands by typing text, as a keyboard does, into whatever widget holds
// the input focus at the moment of each character.
//
// Configuration menu (answers as typed; "\n" is the Return key):
//   on the hot key:  "VORTAL9 SETUP\n1 Preamble: <v>\n2 Postamble: <v>\n3 Terminator: <v>\n"
//                    "4 Tracks: <v>\n5 Beep: <v>\n8 Save and exit\n9 Exit without saving\n> "
//                    (an empty preamble or postamble shows as "(none)")
//   "1" / "2":       "1\nPreamble? " / "2\nPostamble? ", then every character key is
//                    appended (at most 15) and echoed, BackSp removes the last one and
//                    echoes a backspace, Enter ends with "\nPreamble = <v>\n> ".
//   "3":             "3\nTerminator = <v>\n> "   CR -> CRLF -> TAB -> NONE -> CR
//   "4":             "4\nTracks = <v>\n> "       123 -> 12 -> 23 -> 13 -> 1 -> 2 -> 3 -> 123
//   "5":             "5\nBeep = <v>\n> "         ON <-> OFF
//   "8":             "8\nSaved. Bye\n"           working settings become the stored ones
//   "9":             "9\nBye\n"                  working settings are dropped
// Any other key at the prompt, every key outside configuration mode, modifier
// keys on their own and all break codes get no answer.
//
// While its keys are captured (grab()), the reader types into its capture
// and nothing reaches the focused widget, as with an input device that the
// program holds exclusively.
//
// Character keys follow the U.S. key map: letters are lower case, upper case
// with Shift; Shift on the digit row and on punctuation gives the U.S.
// symbols. While Alt Gr (right Alt) is held, only these keys give a character:
//   Q '@'  E '€'  M 'µ'  2 '²'  3 '³'  7 '{'  8 '['  9 ']'  0 '}'  minus '\'
//   and the extra key left of Z '|'.
// While a Ctrl key or left Alt is held, character keys give nothing.
#pragma once

#include "device/KeyCapture.h"

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QTimer;

namespace vortal9::emu {

// What the host's keymap makes of a key (position and Shift), as a capture
// decodes it; the emulated reader types as a U.S. keyboard does.
using HostKeymap = std::function<QString(quint16 code, bool shifted)>;

// The capture of one emulated reader: what the reader types while it lives,
// as key presses. Each character is the U.S. key that types it (a character
// no U.S. key types comes with position 0), decoded with the host's keymap
// when one is set, otherwise as the character itself.
class EmulatedCapture : public KeyCapture
{
    Q_OBJECT

public:
    void setHostKeymap(HostKeymap keymap) { m_keymap = std::move(keymap); }
    void deliver(QChar ch);
    void unplug() { Q_EMIT lost(); }
    // The system's queue overflowed: keys were dropped.
    void loseKeys() { Q_EMIT keysLost(); }

private:
    HostKeymap m_keymap;
};

// How a swipe is typed: at the reader's pace, or at one of its own (a reader
// typing slower than the quiet period), and in one piece or several, each
// gapMs after the one before began.
struct SwipePace
{
    int charIntervalMs = -1; // -1: the reader's
    int pieces = 1;
    int gapMs = 0;
};

// The tracks of a magnetic test card, without their sentinels: what the
// stripe holds between the start and the end sentinel.
struct TestCard
{
    QString track1 = QStringLiteral("B4731829460571938^TESTCARD/EMULATED^2812101000000000000");
    QString track2 = QStringLiteral("4731829460571938=28121010000000000");
    QString track3 = QStringLiteral("0114731829460571938=724724000000000000");
};

class EmulatedReader : public QObject
{
    Q_OBJECT

public:
    struct Received
    {
        std::vector<std::uint8_t> bytes;
        std::chrono::steady_clock::time_point at;
    };

    // One decoded key transition: the scan code without its prefixes.
    struct KeyEvent
    {
        std::uint8_t code = 0;
        bool extended = false; // had an E0 prefix
        bool release = false;  // had an F0 prefix
        bool operator==(const KeyEvent &) const = default;
    };

    // Bits of heldModifiers().
    enum Modifier : unsigned {
        LeftShift = 0x01,
        RightShift = 0x02,
        LeftCtrl = 0x04,
        RightCtrl = 0x08,
        LeftAlt = 0x10,
        AltGr = 0x20, // right Alt
    };

    // Where the configuration menu stands.
    enum class MenuState { Off, Prompt, EditPreamble, EditPostamble };

    static constexpr int MaxTextLength = 15;

    explicit EmulatedReader(QObject *parent = nullptr);
    ~EmulatedReader() override;

    // A feature report as the host sent it: byte 0 is the report ID.
    void receiveReport(const std::vector<std::uint8_t> &bytes);

    // Settings by key: "preamble", "postamble", "terminator", "tracks", "beep".
    // Stored: what the last "Save and exit" kept. Working: what the open menu is
    // editing; equal to the stored ones outside configuration mode.
    QMap<QString, QString> storedSettings() const;
    // Replaces the stored settings named in settings (the others keep their
    // values), as a reader configured earlier holds them. Outside
    // configuration mode the working settings follow.
    void setStoredSettings(const QMap<QString, QString> &settings);
    QMap<QString, QString> workingSettings() const;
    bool inConfigMode() const;
    MenuState menuState() const;
    unsigned heldModifiers() const;

    // Typing. An answer starts answerDelayMs after the report that caused it
    // (or when the previous answer is finished, whichever is later), then one
    // character every charIntervalMs, with lineGapMs after each newline.
    void setAnswerDelayMs(int ms);
    void setCharIntervalMs(int ms);
    void setLineGapMs(int ms);
    void setTimings(int answerDelayMs, int charIntervalMs, int lineGapMs);
    int answerDelayMs() const;
    int charIntervalMs() const;
    int lineGapMs() const;
    // True from the report that caused an answer until its last character is typed.
    bool isTyping() const;

    // The reader lost power (unplugged): queued typing stops, configuration
    // mode ends without saving, held keys and pending prefixes are forgotten.
    // The stored settings survive.
    void powerCycle();

    // Takes the reader's keys for a capture; null while another capture holds
    // them (a second exclusive grab is refused). The capture lets go when
    // destroyed.
    std::unique_ptr<KeyCapture> grab();
    bool isGrabbed() const { return !m_capture.isNull(); }
    // The reader's input device went away: its capture is told so.
    void unplugCapture();

    // A card swiped through the reader: it types, through its capture like any
    // answer (or to the focused widget), the preamble, each track that the
    // "tracks" setting enables with its sentinels ('%'...'?' for track 1,
    // ';'...'?' for tracks 2 and 3), the postamble and the terminator. Also
    // in configuration mode: it is typed after whatever answer is being
    // typed, so that a swipe can fall anywhere in a configuration.
    void swipe(const TestCard &card = {}, const SwipePace &pace = {});
    // Types text as a swipe would be typed (a reader set to other sentinels,
    // or to none).
    void typeSwipe(const QString &text, const SwipePace &pace = {});
    // What a swipe of card types under these settings. The terminator as the
    // capture gives it: CR is the Return key ("\n", as every answer types
    // it), CRLF is "\r\n", TAB is "\t", NONE types nothing.
    static QString swipeText(const QMap<QString, QString> &settings, const TestCard &card);

    // Logs for tests.
    const std::vector<Received> &receivedReports() const;
    const std::vector<KeyEvent> &keyEvents() const;
    // Every character typed so far, in order ('\n' for Return, '\b' for
    // backspace), including those lost because no widget had the focus.
    QString typedText() const;
    int droppedCharacters() const;
    void clearLog();

Q_SIGNALS:
    void answerTyped(const QString &answer); // the last character of one answer was typed
    void reportReceived();                   // a feature report came and was taken
    void grabbed();                          // a capture took the reader's keys
    void typingFinished();                   // nothing more is queued
    void configModeChanged(bool inConfigMode);

private:
    struct PendingAnswer
    {
        QString text;
        std::chrono::steady_clock::time_point notBefore;
        int charIntervalMs = -1; // -1: the reader's
    };

    void handleByte(std::uint8_t byte);
    void handleKey(const KeyEvent &key);
    void handleMake(const KeyEvent &key);
    void handlePromptKey(QChar ch);
    void handleEditKey(const KeyEvent &key, QChar ch);
    void enterConfigMode();
    void leaveConfigMode(bool save);
    void setState(MenuState state);
    QString menuText() const;
    void queueAnswer(const QString &text, int delayMs = -1, int charIntervalMs = -1);
    void typeNext();
    void typeCharacter(QChar ch);

    QMap<QString, QString> m_stored;
    QMap<QString, QString> m_working;
    MenuState m_state = MenuState::Off;
    QString m_editBuffer;
    unsigned m_held = 0;
    bool m_pendingE0 = false;
    bool m_pendingF0 = false;

    int m_answerDelayMs = 20;
    int m_charIntervalMs = 3;
    int m_lineGapMs = 60;
    QTimer *m_typeTimer = nullptr;
    std::deque<PendingAnswer> m_queue;
    qsizetype m_queuePos = 0;

    QPointer<EmulatedCapture> m_capture;

    std::vector<Received> m_received;
    std::vector<KeyEvent> m_keyEvents;
    QString m_typed;
    int m_dropped = 0;
};

} // namespace vortal9::emu
