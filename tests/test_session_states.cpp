// The reader session's state machine as a table: from a start, a sequence
// of user actions, keystrokes of the reader and timers gives a state and what
// the session reported on the way. The reader here is a plain device whose
// typing the test plays through noteTyping(), so every row is exact.
#include "EmulatedMonitor.h"
#include "EmulatedPlatform.h"
#include "session/ReaderSession.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QStringList>
#include <QTimer>

#include <gtest/gtest.h>

using namespace vortal9;
using State = ReaderSession::State;

namespace {

const QString Script = QStringLiteral("141109F009F011F014FF1EFF");
// Shift down, A pressed and released, Shift released, then a wait.
const QString ShiftScript = QStringLiteral("141109F009F011F014FF121CF01CF012FF");
constexpr int ShiftLeft = 41;

// The session's timing ten times faster, with answer limits short enough for
// a row: the silence after a report, then one answer's length.
Timing rowTiming()
{
    Timing t = Timing::faster(10);
    t.answerTimeoutMs = 300;
    t.answerLimitMs = 600;
    return t;
}

// Lines of the session's log while a row counts them.
int g_logLines = 0;
QtMessageHandler g_previousHandler = nullptr;
void countSessionLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QLatin1String(context.category) == QLatin1String("vortal9.session"))
        ++g_logLines;
    else if (g_previousHandler)
        g_previousHandler(type, context, message);
}

struct Row
{
    const char *name;
    const char *steps; // separated by spaces, see run()
    State state;       // where the session ends up
    const char *said;  // what it reported, in order
};

class StatesTest : public ::testing::TestWithParam<Row>
{
protected:
    void SetUp() override
    {
        emu::EmulatedDevice reader;
        reader.path = "/dev/hidraw1";
        platform.addDevice(reader);
        session.setDeviceMonitor(&monitor);
        QObject::connect(&session, &ReaderSession::quietPeriodEnded, &session,
                         [this](bool ready) { said << QStringLiteral("quiet:%1").arg(int(ready)); });
        QObject::connect(&session, &ReaderSession::echoChecked, &session,
                         [this](bool ready) { said << QStringLiteral("echo:%1").arg(int(ready)); });
        QObject::connect(&session, &ReaderSession::failure, &session, [this](const QString &text) {
            said << "fail:" + text;
            // A refusal injected by a row is a passing one: the reader takes
            // reports again after it.
            platform.device("/dev/hidraw1")->refuseSetFeatureAfter = -1;
        });
        QObject::connect(&session, &ReaderSession::playbackFinished, &session, [this](ReaderSession::Outcome o) {
            const char *names[] = {"Configured", "NotResponding", "WriteError", "Unplugged", "Cancelled"};
            said << QStringLiteral("done:%1").arg(QLatin1String(names[int(o)]));
        });
        QObject::connect(&session, &ReaderSession::lost, &session, [this] { said << "lost"; });
        QObject::connect(&session, &ReaderSession::letGo, &session, [this] { said << "letGo"; });
    }

    bool waitFor(const std::function<bool()> &done, int ms = 3000)
    {
        QDeadlineTimer deadline(ms);
        QTimer wake;
        wake.start(10);
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return done();
    }

    // open, type (the reader types a character), typing:MS (a character every
    // 10 ms for MS ms), quiet (its quiet period ends), key, shift, config,
    // play, playShift, hold, release, close, closeNow, lost, refuse:N (the
    // reader accepts N reports in all, refuses the next one, then takes them
    // again), held? (says whether the reader is still held: "held" or
    // "free"), typing? (says the typing machine's state), sent? (says the
    // last report the reader took, "sent:PAIRS"), gap? (says whether the
    // last two reports kept the pacing: "paced" or "unpaced"), log:on (counts
    // the session's log lines from here), log? (says "lines:N"),
    // wait:STATE, wait:letGo; threaded (before open: reports wait for their
    // answer on the sender's thread), inflight (until one waits), answer
    // (lets one return, taken).
    void run(const QString &steps)
    {
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            if (step == "open") {
                ASSERT_TRUE(session.open("/dev/hidraw1"));
            } else if (step == "threaded") {
                platform.holdReportsOnThread(true);
            } else if (step == "answer" || step == "inflight") {
                ASSERT_TRUE(waitFor([&] { return platform.reportHeld(); })) << "no report waits";
                if (step == "answer")
                    platform.answerHeldReport();
            } else if (step == "type") {
                session.noteTyping();
            } else if (step.startsWith("typing:")) {
                QElapsedTimer typing;
                typing.start();
                while (typing.elapsed() < step.mid(7).toInt()) {
                    session.noteTyping();
                    waitFor([] { return false; }, 10);
                }
            } else if (step.startsWith("refuse:")) {
                platform.device("/dev/hidraw1")->refuseSetFeatureAfter = step.mid(7).toInt();
            } else if (step == "playShift") {
                session.playScript(ShiftScript);
            } else if (step == "typing?") {
                said << QStringLiteral("typing:%1").arg(QLatin1String(ReaderSession::typingName(session.typing())));
            } else if (step == "sent?" || step == "gap?") {
                std::vector<emu::EmulatedPlatform::SentReport> taken;
                for (const auto &report : platform.sentReports()) {
                    if (report.accepted)
                        taken.push_back(report);
                }
                ASSERT_GE(taken.size(), 2u);
                if (step == "gap?") {
                    const auto gap = taken.back().at - taken[taken.size() - 2].at;
                    said << (gap >= std::chrono::milliseconds(rowTiming().pacingMs) ? "paced" : "unpaced");
                } else {
                    QByteArray payload(reinterpret_cast<const char *>(taken.back().bytes.data()) + 1,
                                       qsizetype(taken.back().bytes.size()) - 1);
                    while (payload.endsWith('\0'))
                        payload.chop(1);
                    said << "sent:" + QString::fromLatin1(payload.toHex().toUpper());
                }
            } else if (step == "log:on") {
                g_logLines = 0;
                g_previousHandler = qInstallMessageHandler(countSessionLines);
                QLoggingCategory::setFilterRules(QStringLiteral("vortal9.session.debug=true"));
            } else if (step == "log?") {
                QLoggingCategory::setFilterRules(QStringLiteral("vortal9.session.debug=false"));
                qInstallMessageHandler(g_previousHandler);
                said << QStringLiteral("lines:%1").arg(g_logLines);
            } else if (step == "quiet") {
                const qsizetype before = said.size();
                ASSERT_TRUE(waitFor([&] { return said.mid(before).join(' ').contains("quiet:"); }));
            } else if (step == "key") {
                session.pressKey(2, false);
            } else if (step == "shift") {
                session.pressKey(ShiftLeft, true);
            } else if (step == "config") {
                session.enterConfig();
            } else if (step == "play") {
                session.playScript(Script);
            } else if (step == "hold" || step == "release") {
                session.setHeld(step == "hold");
            } else if (step == "close") {
                session.close();
            } else if (step == "closeNow") {
                session.closeNow();
            } else if (step == "lost") {
                monitor.unplug("/dev/hidraw1");
            } else if (step == "held?") {
                said << (session.mayBeTyping() ? "held" : "free");
            } else if (step == "wait:letGo") {
                ASSERT_TRUE(waitFor([&] { return said.contains("letGo"); })) << said.join(' ').toStdString();
            } else if (step.startsWith("wait:")) {
                const QString want = step.mid(5);
                ASSERT_TRUE(waitFor([&] { return want == ReaderSession::stateName(session.state()); }))
                    << "never reached " << want.toStdString() << "; in " << ReaderSession::stateName(session.state());
            } else {
                FAIL() << "unknown step " << step.toStdString();
            }
        }
    }

    emu::EmulatedPlatform platform;
    emu::EmulatedMonitor monitor{platform};
    ReaderSession session{platform, nullptr, rowTiming()};
    QStringList said;
};

TEST_P(StatesTest, Row)
{
    run(QLatin1String(GetParam().steps));
    EXPECT_STREQ(ReaderSession::stateName(session.state()), ReaderSession::stateName(GetParam().state));
    EXPECT_EQ(said.join(' ').toStdString(), std::string(GetParam().said));
}

INSTANTIATE_TEST_SUITE_P(
    Session, StatesTest,
    ::testing::Values(
        Row{"keyRefusedBeforeTheReaderAnswered", "open key", State::Ready, ""},
        Row{"keyAfterAnAnswerIsEchoChecked", "open type quiet key wait:Listening wait:Ready", State::Ready,
            "quiet:1 echo:1"},
        Row{"keyAnsweredEndsAtTheQuietPeriod", "open type quiet key wait:Listening type quiet", State::Ready,
            "quiet:1 quiet:1"},
        Row{"hotKeyThenTheEchoInterval", "open config wait:Listening", State::Listening, ""},
        Row{"closeWhileTypingHoldsThroughASecondClose", "open type close close held? wait:letGo held?",
            State::Closed, "held letGo free"},
        Row{"closeNowLetsGoAtOnce", "open type closeNow held?", State::Closed, "letGo free"},
        Row{"closedIgnoresActions", "open close key config play", State::Closed, "letGo"},
        Row{"latchedShiftIsReleasedWhileClosing", "open type quiet shift wait:Ready close", State::Closing,
            "quiet:1 echo:1"},
        Row{"closingEndsClosed", "open type quiet shift wait:Ready close wait:Closed", State::Closed,
            "quiet:1 echo:1 letGo"},
        Row{"playbackWaitsForTheHotKeysAnswer", "open play wait:PlayAwaiting", State::PlayAwaiting, ""},
        Row{"playbackToASilentReader", "open play wait:PlayAwaiting wait:Ready", State::Ready,
            "fail:Reader Not Responding done:NotResponding"},
        Row{"playbackAnswered", "open play wait:PlayAwaiting type quiet wait:PlayAwaiting type quiet wait:Ready",
            State::Ready, "quiet:0 quiet:0 done:Configured"},
        Row{"holdKeepsPlaybackAtTheWait", "open play wait:PlayAwaiting hold type quiet", State::PlayHeld,
            "quiet:0"},
        Row{"releaseGoesOn", "open play wait:PlayAwaiting hold type quiet release wait:PlayAwaiting",
            State::PlayAwaiting, "quiet:0"},
        Row{"closeDuringPlaybackHoldsTheReader", "open play wait:PlayAwaiting close held? wait:letGo",
            State::Closed, "done:Cancelled held letGo"},
        Row{"unpluggedDuringPlayback", "open play wait:PlayAwaiting lost", State::Closed,
            "done:Unplugged lost letGo"},
        Row{"hotKeyMakeThenBreak", "open play wait:PlayHotKeyMake wait:PlayHotKeyBreak wait:PlayAwaiting",
            State::PlayAwaiting, ""},
        Row{"typingIsAMachineToo", "open typing? type typing? quiet typing?", State::Ready,
            "typing:Quiet typing:Typing quiet:1 typing:Quiet"},
        // A refused report leaves no key down: the script's Shift and A go up, paced.
        Row{"refusedReportReleasesTheKeysDown",
            "open refuse:4 playShift wait:PlayAwaiting type quiet wait:PlayReleasing wait:Ready sent? gap?",
            State::Ready, "quiet:0 fail:Write Data Error done:WriteError sent:F01CF012 paced"},
        Row{"silentReaderAfterAKeyGetsItReleased",
            "open play wait:PlayAwaiting type quiet wait:PlayAwaiting wait:PlayReleasing wait:Ready sent?", State::Ready,
            "quiet:0 fail:Reader Not Responding done:NotResponding sent:F01E"},
        Row{"closeWhileReleasingTellsTheError",
            "open refuse:4 playShift wait:PlayAwaiting type quiet wait:PlayReleasing close wait:letGo", State::Closed,
            "quiet:0 fail:Write Data Error done:WriteError letGo"},
        // Holding again while the reader still types holds at the end of its answer.
        // A report waits for its answer on a thread of its own; the reader
        // answers, and goes quiet, before the session is told it took the
        // hot key. Before, the session then waited for an answer already
        // heard and ended "Reader Not Responding".
        Row{"answerHeardBeforeItsReportIsTold",
            "threaded open play answer inflight type quiet answer wait:PlaySending answer wait:PlayAwaiting",
            State::PlayAwaiting, "quiet:0"},
        // The reader echoes the A at its make and goes quiet before the
        // step's last reports (A's and Shift's breaks) are told taken.
        // Before, only typing after the last report counted: the session
        // waited for an answer already over ("Reader Not Responding"); with
        // reports sent at once the same came when the echo was shorter than
        // the pacing of the step's remaining reports.
        Row{"answerEndsBeforeTheStepsLastReport",
            "threaded open playShift answer inflight answer type quiet answer inflight type quiet answer answer answer "
            "wait:Ready",
            State::Ready, "quiet:0 quiet:0 done:Configured"},
        Row{"holdAgainWhileTheReaderTypes", "open play wait:PlayAwaiting hold type quiet type release hold quiet",
            State::PlayHeld, "quiet:0 quiet:0"},
        Row{"heldAnswerHasTheLimit", "open play wait:PlayAwaiting hold type quiet typing:900 wait:Ready", State::Ready,
            "quiet:0 fail:Reader Not Responding done:NotResponding"},
        Row{"releasedAnswerKeepsTheLimit",
            "open play wait:PlayAwaiting hold type quiet type release typing:900 wait:Ready", State::Ready,
            "quiet:0 fail:Reader Not Responding done:NotResponding"},
        // Typing that begins before a step's report goes out (a card swiped
        // between the steps) is no answer to it: its end does not end the
        // step's wait.
        Row{"typingBeforeTheStepIsNoAnswer", "open play wait:PlayAwaiting type quiet type wait:PlayAwaiting quiet",
            State::PlayAwaiting, "quiet:0 quiet:0"},
        // An answer is one line of the log at most, never one per character.
        Row{"answerIsOneLogLine",
            "open play wait:PlayAwaiting log:on type type type type type type type type quiet wait:PlayAwaiting log?",
            State::PlayAwaiting, "quiet:0 lines:4"},
        // The release after closeNow keeps the pacing after the last report.
        Row{"closeNowReleasesPaced", "open type quiet shift wait:Listening closeNow wait:letGo gap?", State::Closed,
            "quiet:1 letGo paced"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
