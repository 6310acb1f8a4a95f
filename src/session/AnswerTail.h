// A closed session's hold on a reader that may still be typing an answer:
// its capture (null without capture) until the reader has been quiet for the
// quiet period. Every keystroke starts that period anew, but the hold never
// outlasts one answer's limit. What the reader types meanwhile goes through
// the session's card guard, which the tail takes over, and what it decides
// is passed on.
#pragma once

#include "card/CardData.h"
#include "device/KeyCapture.h"
#include "session/MinimumTimer.h"
#include "session/Timing.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace vortal9 {

class AnswerTail : public QObject
{
public:
    // What the reader's typing was when the session closed.
    struct Typing
    {
        card::CardGuard guard; // the session's, with what it still held
        bool typing = false;   // a burst of typing is under way
        bool awaited = false;  // a burst that begins now is an answer
    };
    // Holds the reader at path for holdMs (at least), then as long as it
    // types. decided hears the guard after each key and at the end (its
    // decisions to be taken); ended is told once the hold is over and
    // deletes the tail (later).
    AnswerTail(std::string path, std::unique_ptr<KeyCapture> capture, int holdMs, const Timing &timing,
               QObject *parent, Typing typing, std::function<void(card::CardGuard &)> decided,
               std::function<void(AnswerTail *)> ended);

    const std::string &path() const { return m_path; }
    bool isCaptured() const { return m_capture != nullptr; }

    // The reader typed: its answer goes on, so the hold does too (within the limit).
    void noteTyping();
    // The same reader is opened again: its capture goes back to the session.
    std::unique_ptr<KeyCapture> takeCapture();
    // Lets the reader go (once) and tells the session, which deletes the tail.
    void end();

private:
    std::string m_path;
    std::unique_ptr<KeyCapture> m_capture;
    const int m_quietMs;
    QDeadlineTimer m_until;
    MinimumTimer m_timer;
    Typing m_typing;
    std::function<void(card::CardGuard &)> m_decided;
    std::function<void(AnswerTail *)> m_ended;
    bool m_inCaptureSignal = false;
    bool m_done = false;
};

} // namespace vortal9
