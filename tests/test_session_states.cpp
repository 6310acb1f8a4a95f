// The reader session's state machine as a table: from a start, a sequence
// of user actions, keystrokes of the reader and timers gives a state and what
// the session reported on the way. The reader here is a plain device whose
// typing the test plays through noteTyping(), so every row is exact.
#include "EmulatedMonitor.h"
#include "EmulatedPlatform.h"
#include "session/ReaderSession.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>
#include <QTimer>

#include <gtest/gtest.h>

using namespace vortal9;
using State = ReaderSession::State;

namespace {

const QString Script = QStringLiteral("141109F009F011F014FF1EFF");
constexpr int ShiftLeft = 41;

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
        QObject::connect(&session, &ReaderSession::failure, &session,
                         [this](const QString &text) { said << "fail:" + text; });
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

    // open, type (the reader types a character), quiet (its quiet period
    // ends), key, shift, config, play, hold, release, close, closeNow, lost,
    // held? (says whether the reader is still held: "held" or "free"),
    // wait:STATE, wait:letGo.
    void run(const QString &steps)
    {
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            if (step == "open") {
                ASSERT_TRUE(session.open("/dev/hidraw1"));
            } else if (step == "type") {
                session.noteTyping();
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
    ReaderSession session{platform, nullptr, Timing::faster(10)};
    QStringList said;
};

TEST_P(StatesTest, Row)
{
    run(QLatin1String(GetParam().steps));
    EXPECT_STREQ(ReaderSession::stateName(session.state()), ReaderSession::stateName(GetParam().state));
    EXPECT_EQ(said.join(' '), QLatin1String(GetParam().said));
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
            "done:Unplugged lost letGo"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
