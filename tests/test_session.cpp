// Talking to the reader: the command channel as bytes on the emulated
// device, "Enter Config" at real speed, its failures, the focus while the
// reader types, and waits that sleep.
#include "WindowFixture.h"
#include "session/MinimumTimer.h"

#include "session/CommandChannel.h"

#include <QDeadlineTimer>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <ctime>
#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#endif
#include <map>
#include <mutex>
#include <thread>

using namespace vortal9;
using namespace vortal9::test;
using Clock = std::chrono::steady_clock;

namespace {

qint64 msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1.0e6;
}

// When the last text reached the receive box, taken before the window's own
// handlers run (they restart the quiet timer as the text changes, so a time
// taken in a later handler of the same change would cut the measured quiet
// period short): the key press that carried a character, or, for text that
// came without one (captured), the change itself.
class LastInput : public QObject
{
public:
    Clock::time_point at;

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && !m_pending) {
            m_pressed = Clock::now();
            m_pending = true;
        }
        return false;
    }
    void changed()
    {
        at = m_pending ? m_pressed : Clock::now();
        m_pending = false;
    }

private:
    Clock::time_point m_pressed;
    bool m_pending = false;
};

} // namespace

// A reader on the emulated platform with a command channel of its own, and a
// session on the same platform, without a window.
class CommandChannelTest : public ::testing::Test
{
protected:
    static constexpr int Pacing = 60;

    HidHandle openReader(int featureLength = 9)
    {
        emu::EmulatedDevice device;
        device.path = "/dev/hidraw1";
        device.featureLength = featureLength;
        platform.addDevice(device);
        const HidHandle handle = platform.open("/dev/hidraw1", AccessReadWrite);
        channel.attach(handle, featureLength);
        return handle;
    }

    // Sends (through send, which takes the callback) and waits for the answer.
    static std::optional<bool> sentOrRefused(const std::function<void(std::function<void(bool)>)> &send)
    {
        std::optional<bool> result;
        send([&](bool sent) { result = sent; });
        waitUntil([&] { return result.has_value(); });
        return result;
    }

    std::optional<bool> sendAndWait(const QString &text)
    {
        return sentOrRefused([&](auto done) { channel.send(text, done); });
    }

    ReaderSession &openSession(int featureLength = 9)
    {
        openReader(featureLength);
        EXPECT_TRUE(session.open("/dev/hidraw1"));
        QObject::connect(&session, &ReaderSession::failure, &session,
                         [this](const QString &message) { failures << message; });
        return session;
    }

    // Sends the configuration hot key as "Enter Config" does and waits until
    // its echo interval is over.
    void enterConfigAndWait()
    {
        session.enterConfig();
        waitUntil([&] { return session.state() == ReaderSession::State::Ready; });
    }

    // Sleeps in the event loop until done() holds or ms have passed.
    static void waitUntil(const std::function<bool()> &done, int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        QTimer wake;
        wake.start(ms);
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }

    QStringList payloadStrings() const
    {
        QStringList result;
        for (const auto &sent : platform.sentReports()) {
            if (sent.accepted)
                result << hexOf(payloadOf(sent.bytes));
        }
        return result;
    }

    emu::EmulatedPlatform platform;
    CommandChannel channel{platform, Pacing};
    ReaderSession session{platform, nullptr, Timing::faster(5)};
    QStringList failures;
};

struct ChunkRow
{
    const char *name;
    QString command;
    QStringList payloads; // expected payload bytes of each report, in hex
};

class CommandChannelBytesTest : public CommandChannelTest, public ::testing::WithParamInterface<ChunkRow>
{
};

TEST_P(CommandChannelBytesTest, ReportsReceivedByTheDevice)
{
    openReader();
    EXPECT_EQ(sendAndWait(GetParam().command), true);
    EXPECT_EQ(payloadStrings(), GetParam().payloads);
    for (const auto &sent : platform.sentReports()) {
        ASSERT_EQ(sent.bytes.size(), 9u); // all L bytes, whatever the payload
        EXPECT_EQ(sent.bytes[0], 0);      // report ID 0
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandChannelBytesTest,
    ::testing::Values(
        ChunkRow{"key", "1EF01E", {"1EF01E"}},
        ChunkRow{"hotkey18", "141109F009F011F014", {"141109F009F011", "F014"}},
        ChunkRow{"twentyEight", "0102030405060708090A0B0C0D0E", {"01020304050607", "08090A0B0C0D0E"}},
        ChunkRow{"sixteen", "1122334455667788", {"11223344556677", "88"}},
        ChunkRow{"fifteen", "112233445566778", {"1122334455667708"}},
        ChunkRow{"threeDigits", "123", {"1203"}},
        ChunkRow{"fiveDigits", "12345", {"1234"}},
        ChunkRow{"lowerCase", "1ef01e", {"1EF01E"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(CommandChannelTest, EveryReportWaitsForThePacingTimerFirst)
{
    openReader();
    const auto start = Clock::now();
    // Three strings queued at once go out one interval apart, in order.
    channel.send("0102030405060708090A0B0C0D0E0F10");
    EXPECT_EQ(sendAndWait("1EF01E"), true);
    const auto &sent = platform.sentReports();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_GE(msBetween(start, sent[0].at), Pacing);
    for (std::size_t i = 1; i < sent.size(); ++i)
        EXPECT_GE(msBetween(sent[i - 1].at, sent[i].at), Pacing) << i;
    EXPECT_EQ(payloadStrings().last(), "1EF01E");
}

TEST_F(CommandChannelTest, CancelDropsWhatIsQueuedAndItsCallbacks)
{
    openReader();
    bool called = false;
    channel.send("1EF01E", [&](bool) { called = true; });
    channel.cancel();
    EXPECT_EQ(sendAndWait("26F026"), true);
    EXPECT_FALSE(called);
    EXPECT_EQ(payloadStrings(), QStringList({"26F026"}));
}

TEST_F(CommandChannelTest, RecordingAppendsThePairsUnchanged)
{
    openSession();
    session.resumeRecording("FF");
    enterConfigAndWait();
    EXPECT_EQ(session.takeRecording(), "FF141109F009F011F014");
    enterConfigAndWait();
    EXPECT_EQ(session.recordedText(), "");
}

TEST_F(CommandChannelTest, ARefusedReportStopsTheCommandAndEmptiesTheRecording)
{
    openSession();
    platform.device("/dev/hidraw1")->refuseSetFeature = true;
    session.resumeRecording("141109F009F011F014FF");
    enterConfigAndWait();
    ASSERT_FALSE(platform.sentReports().empty());
    EXPECT_FALSE(platform.sentReports()[0].accepted);
    ASSERT_FALSE(failures.isEmpty());
    EXPECT_EQ(failures.first(), "Write Data Error");
    EXPECT_EQ(session.recordedText(), "");
}

TEST_F(CommandChannelTest, AcceptedReportsBeforeARefusalAreDroppedFromTheRecording)
{
    openSession();
    platform.device("/dev/hidraw1")->refuseSetFeatureAfter = 1;
    session.startRecording();
    enterConfigAndWait();
    EXPECT_EQ(platform.sentReports().size(), 2u);
    EXPECT_EQ(session.recordedText(), "");
}

TEST_F(CommandChannelTest, AStringWithARefusedChunkStopsThere)
{
    openReader();
    platform.device("/dev/hidraw1")->refuseSetFeature = true;
    EXPECT_EQ(sendAndWait("0102030405060708090A0B0C0D0E"), false);
    ASSERT_EQ(platform.sentReports().size(), 1u); // the second chunk was never tried
    EXPECT_FALSE(platform.sentReports()[0].accepted);
}

// The system holds a feature report until the reader answers (hidraw:
// milliseconds on a real bus, 5 s at most). A platform whose reports take
// AnswerMs each on the channel's report thread, noting when each was in flight.
class AnsweringPlatform : public emu::EmulatedPlatform
{
public:
    static constexpr int AnswerMs = 80;
    int answerMs = AnswerMs;
    struct Flight
    {
        HidHandle handle;
        Clock::time_point from, to;
    };

    FeatureSender featureSender(HidHandle handle) override
    {
        return [this, handle](const std::vector<std::uint8_t> &) {
            const auto from = Clock::now();
            const bool answered = waitForAnswer(answerMs);
            const std::lock_guard lock(mutex);
            flights.push_back({handle, from, Clock::now()});
            return answered;
        };
    }
    std::vector<Flight> taken()
    {
        const std::lock_guard lock(mutex);
        return flights;
    }

private:
    // A signal ends the wait early, and the report fails, as uhid's do.
    static bool waitForAnswer(int ms)
    {
#ifdef _WIN32
        // An alertable sleep: a queued user APC ends it early.
        return SleepEx(DWORD(ms), TRUE) == 0;
#else
        return ::poll(nullptr, 0, ms) == 0;
#endif
    }

    std::mutex mutex;
    std::vector<Flight> flights;
};

class ReportThreadTest : public CommandChannelTest
{
protected:
    CommandChannel &attached(const std::string &path)
    {
        emu::EmulatedDevice device;
        device.path = path;
        answering.addDevice(device);
        channels.push_back(std::make_unique<CommandChannel>(answering, Pacing));
        channels.back()->attach(answering.open(path, AccessReadWrite), 9);
        return *channels.back();
    }

    AnsweringPlatform answering;
    std::vector<std::unique_ptr<CommandChannel>> channels;
};

// Two readers' reports wait for their answers at the same time, each reader
// still paced from its last answer. Before, each report held the event loop
// until its answer, and a fleet's readers waited for each other.
TEST_F(ReportThreadTest, ReadersWaitForTheirAnswersSideBySide)
{
    CommandChannel &a = attached("/dev/hidraw1");
    CommandChannel &b = attached("/dev/hidraw2");
    int done = 0;
    for (CommandChannel *channel : {&a, &b}) {
        channel->send("1EF01E", [&](bool sent) { done += sent; });
        channel->send("26F026", [&](bool sent) { done += sent; });
    }
    waitUntil([&] { return done == 4; });
    ASSERT_EQ(done, 4);
    const auto flights = answering.taken();
    ASSERT_EQ(flights.size(), 4u);
    std::map<HidHandle, std::vector<AnsweringPlatform::Flight>> byReader;
    for (const auto &flight : flights)
        byReader[flight.handle].push_back(flight);
    ASSERT_EQ(byReader.size(), 2u);
    const auto &first = byReader.begin()->second;
    const auto &second = byReader.rbegin()->second;
    for (const auto &reader : {first, second})
        EXPECT_GE(msBetween(reader[0].to, reader[1].from), Pacing);
    EXPECT_LT(second[0].from, first[0].to);
    EXPECT_LT(first[0].from, second[0].to);
}

struct InFlightRow
{
    const char *name;
    int answerMs;
    bool giveUp;         // the program is ending
    const char *told;    // of the report in flight: "sent:12" (reportSent) or "failed:12" (reportFailed)
    int mostMs;          // until cancel() or giveUp() returns
};

class InFlightTest : public ReportThreadTest, public ::testing::WithParamInterface<InFlightRow>
{
};

// cancel() while a report waits for its answer waits for it and tells that it
// was sent (the key it pressed is down, to be released); giveUp() ends the
// wait where the kernel allows (the program is ending: Ctrl+C must not wait
// for a silent reader) and tells that it failed: the reader may have taken it
// all the same (uhid ends the broken wait with EIO after delivering it), so
// its key counts as down too. Before, the report given up on counted as never
// sent, and the key it pressed stayed down. Either way the rest of the queue
// and its callbacks are dropped.
TEST_P(InFlightTest, EndsTheQueueAndTellsOfTheReportInFlight)
{
    answering.answerMs = GetParam().answerMs;
    CommandChannel &a = attached("/dev/hidraw1");
    int goingOut = 0;
    QStringList told;
    auto tell = [&](const char *what, const std::vector<std::uint8_t> &payload) {
        told << what + QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(payload.data()),
                                                      qsizetype(payload.size())).toHex().toUpper());
    };
    QObject::connect(&a, &CommandChannel::reportGoingOut, [&] { ++goingOut; });
    QObject::connect(&a, &CommandChannel::reportSent, [&](const auto &payload) { tell("sent:", payload); });
    QObject::connect(&a, &CommandChannel::reportFailed, [&](const auto &payload) { tell("failed:", payload); });
    bool called = false;
    a.send("12", [&](bool) { called = true; });
    a.send("1EF01E", [&](bool) { called = true; });
    waitUntil([&] { return goingOut == 1; });
    ASSERT_EQ(goingOut, 1);
    const auto from = Clock::now();
    GetParam().giveUp ? a.giveUp() : a.cancel();
    EXPECT_LE(msBetween(from, Clock::now()), GetParam().mostMs);
    EXPECT_EQ(told, QStringList({GetParam().told}));
    waitUntil([] { return false; }, 3 * (Pacing + AnsweringPlatform::AnswerMs));
    EXPECT_FALSE(called);
    EXPECT_EQ(answering.taken().size(), 1u);
    EXPECT_EQ(told, QStringList({GetParam().told}));
}

INSTANTIATE_TEST_SUITE_P(
    Reports, InFlightTest,
    ::testing::Values(InFlightRow{"cancelWaitsForTheAnswer", AnsweringPlatform::AnswerMs, false, "sent:12", 1000},
                      InFlightRow{"giveUpEndsASilentReadersWait", 5000, true, "failed:12", 400}),
    [](const auto &info) { return std::string(info.param.name); });

struct RefusedRow
{
    const char *name;
    QString command;
    int featureLength;
};

class RefusedChunkTest : public CommandChannelTest, public ::testing::WithParamInterface<RefusedRow>
{
};

TEST_P(RefusedChunkTest, NothingIsSent)
{
    openReader(GetParam().featureLength);
    EXPECT_EQ(sendAndWait(GetParam().command), false);
    EXPECT_TRUE(platform.sentReports().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, RefusedChunkTest,
    ::testing::Values(RefusedRow{"notHex", "1G", 9}, RefusedRow{"lineEndInside", "1E\r\n", 9},
                      RefusedRow{"spaceInPair", " 1F01E", 9},
                      RefusedRow{"moreThanPayload", "112233445566778", 8},
                      RefusedRow{"shortReport", "1EF01E", 3}, RefusedRow{"empty", "", 9}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(CommandChannelTest, AClosedSessionSendsNothing)
{
    openSession();
    session.close();
    session.enterConfig();
    session.playScript("141109F009F011F014FF1EF01EFF");
    EXPECT_FALSE(session.pressKey(2, false));
    waitUntil([] { return false; }, 100);
    EXPECT_TRUE(platform.sentReports().empty());
}

TEST_F(CommandChannelTest, AWaitSleepsInsteadOfSpinning)
{
    openReader();
    const double before = processCpuMs();
    const auto start = Clock::now();
    bool done = false;
    channel.pause(2000, [&] { done = true; });
    waitUntil([&] { return done; }, 2500);
    const qint64 waited = msBetween(start, Clock::now());
    const double cpu = processCpuMs() - before;
    EXPECT_TRUE(done);
    EXPECT_GE(waited, 2000);
    EXPECT_LT(cpu, 50.0) << "CPU time during a 2 s wait";
}

class EnterConfigTest : public WindowTest
{
};

TEST_F(EnterConfigTest, RealSpeedSessionFromClickToClose)
{
    addFastReader("/dev/hidraw1", u"ACME");
    emu::EmulatedReader *reader = platform.device("/dev/hidraw1")->reader;
    reader->setTimings(20, 3, 60); // the emulator's everyday speed
    MainForm &w = openWindow(Timing::real());
    auto *box = w.findChild<QPlainTextEdit *>("TxtRcv");
    QTest::keyClicks(box, "old text");

    LastInput lastInput;
    QCoreApplication::instance()->installEventFilter(&lastInput);
    QObject::connect(box, &QPlainTextEdit::textChanged, &w, [&] { lastInput.changed(); });
    Clock::time_point keyboardOn;
    bool keyboardOnEarly = false;
    QObject::connect(w.findChild<MinimumTimer *>("Timer1"), &MinimumTimer::timeout, &w, [&] {
        keyboardOn = Clock::now();
        keyboardOnEarly = reader->isTyping();
    });

    platform.clearLog();
    const auto clicked = Clock::now();
    click(button("BtnSetup"));

    // The hot key as two reports, each after its own pacing wait.
    const auto &sent = platform.sentReports();
    ASSERT_TRUE(waitFor([&] { return sent.size() >= 2; }, 2000));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(payloadStrings(), QStringList({"141109", "F009F011F014"}));
    EXPECT_GE(msBetween(clicked, sent[0].at), 300);
    EXPECT_GE(msBetween(sent[0].at, sent[1].at), 300);
    EXPECT_EQ(platform.openCalls().front(), std::make_pair(std::string("/dev/hidraw1"), AccessReadWrite));

    EXPECT_EQ(w.panelText(2), "Connect");
    EXPECT_EQ(w.panelText(4), "0000ACME");
    EXPECT_EQ(w.panelText(6), "");
    EXPECT_EQ(enabledCommandButtons(), QStringList({"BtnClose"}));
    EXPECT_FALSE(combo("CbNumber")->isEnabled());
    EXPECT_FALSE(combo("CbKBType")->isEnabled());
    EXPECT_EQ(w.session().recordedText(), "");

    // The keys come on only once the reader has typed its menu and been
    // quiet for the quiet period.
    EXPECT_FALSE(key(2)->isEnabled());
    ASSERT_TRUE(waitForKeyboard(10000));
    EXPECT_FALSE(keyboardOnEarly);
    EXPECT_GE(msBetween(lastInput.at, keyboardOn), 500);
    EXPECT_LT(msBetween(lastInput.at, keyboardOn), 700);
    EXPECT_TRUE(receivedText().startsWith("VORTAL9"));
    EXPECT_TRUE(receivedText().contains("8 Save and exit"));
    EXPECT_FALSE(receivedText().contains("old text"));
    EXPECT_TRUE(reader->inConfigMode());
    EXPECT_TRUE(w.session().readerIdle());
    EXPECT_FALSE(key(14)->isEnabled());
    EXPECT_FALSE(key(28)->isEnabled());

    click(button("BtnClose"));
    EXPECT_FALSE(w.session().isOpen());
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_EQ(w.panelText(4), "");
    EXPECT_EQ(enabledCommandButtons().size(), 9);
    EXPECT_TRUE(combo("CbNumber")->isEnabled());
    EXPECT_FALSE(key(2)->isEnabled());
    EXPECT_FALSE(w.session().readerIdle());
    QTest::qWait(400);
    EXPECT_EQ(payloads().size(), 2u); // closing sends nothing
}

TEST_F(EnterConfigTest, WhileRecordingTheSessionStartsWithTheHeader)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    click(button("BtnStartRec"));
    w.session().resumeRecording("left over");
    click(button("BtnSetup"));
    ASSERT_TRUE(waitForKeyboard());
    EXPECT_EQ(w.session().recordedText(), "141109F009F011F014FF");
}

TEST_F(EnterConfigTest, NoReaderFound)
{
    MainForm &w = openWindow();
    QTest::keyClicks(QApplication::focusWidget(), "abc");
    w.session().resumeRecording("12");
    click(button("BtnSetup"));
    EXPECT_EQ(w.panelText(6), "Can't Find VORTAL9");
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_EQ(receivedText(), "");
    EXPECT_EQ(w.session().recordedText(), "");
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_EQ(enabledCommandButtons().size(), 9);
}

TEST_F(EnterConfigTest, NoReaderChosen)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    combo("CbNumber")->setCurrentIndex(-1);
    click(button("BtnSetup"));
    EXPECT_EQ(w.panelText(6), "Can't Find VORTAL9");
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_FALSE(w.session().isOpen());
}

TEST_F(EnterConfigTest, BothOpensRefused)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    platform.device("/dev/hidraw1")->refuseOpen = true;
    platform.clearLog();
    click(button("BtnSetup"));
    EXPECT_EQ(w.panelText(6), "Open VORTAL9 Error");
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_EQ(platform.openCalls().size(), 2u);
    EXPECT_EQ(platform.openCalls()[1].second, AccessNone);
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_EQ(enabledCommandButtons().size(), 9);
}

TEST_F(EnterConfigTest, ReadWriteRefusedFallsBackToNoAccess)
{
    emu::EmulatedReader *reader = addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    platform.device("/dev/hidraw1")->refuseReadWriteOpen = true;
    platform.clearLog();
    click(button("BtnSetup"));
    ASSERT_EQ(platform.openCalls().size(), 2u);
    EXPECT_EQ(platform.openCalls()[1].second, AccessNone);
    EXPECT_TRUE(waitForKeyboard());
    EXPECT_EQ(payloadStrings(), QStringList({"141109", "F009F011F014"}));
    EXPECT_TRUE(reader->inConfigMode());
    EXPECT_EQ(w.panelText(2), "Connect");
}

TEST_F(EnterConfigTest, ARefusedReportLeavesTheSessionOpen)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    platform.device("/dev/hidraw1")->refuseSetFeature = true;
    click(button("BtnStartRec"));
    click(button("BtnSetup"));
    EXPECT_TRUE(waitFor([&] { return platform.sentReports().size() == 2; }, 2000));
    EXPECT_EQ(w.panelText(6), "Write Data Error");
    EXPECT_EQ(w.panelText(2), "Connect");
    EXPECT_TRUE(w.session().isOpen());
    EXPECT_EQ(enabledCommandButtons(), QStringList({"BtnClose"}));
    EXPECT_EQ(w.session().recordedText(), "");
}

TEST_F(EnterConfigTest, TheSameReaderIsReopenedOnEveryClick)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    click(button("BtnSetup"));
    ASSERT_TRUE(waitForKeyboard());
    w.Btn1Enabled(); // as after a playback: "Enter Config" usable while the reader is open
    platform.clearLog();
    click(button("BtnSetup"));
    EXPECT_EQ(platform.openHandleCount(), 1);
    EXPECT_EQ(platform.closeCalls().size(), 1u);
}

class FocusTest : public WindowTest
{
};

TEST_F(FocusTest, AMouseClickOnEnterConfigGetsTheWholeMenuIntoTheReceiveBox)
{
    emu::EmulatedReader *reader = addFastReader("/dev/hidraw1");
    reader->setTimings(1, 1, 10); // answers while the click's handler still sends
    MainForm &w = openWindow();
    QSignalSpy pressed(button("BtnSetup"), &QPushButton::clicked);
    QTest::mousePress(button("BtnSetup"), Qt::LeftButton);
    QTest::mouseRelease(button("BtnSetup"), Qt::LeftButton);
    ASSERT_TRUE(waitForKeyboard());
    EXPECT_EQ(pressed.count(), 1); // no typed space pressed it again
    EXPECT_EQ(button("BtnSetup")->text(), "Enter Config");
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "TxtRcv");
    const QString text = receivedText();
    EXPECT_TRUE(text.startsWith("VORTAL9")) << text.toStdString();
    EXPECT_TRUE(text.contains("9 Exit without saving")) << text.toStdString();
    EXPECT_TRUE(w.session().isOpen());
}

TEST_F(FocusTest, KeystrokesNeverReachAButtonThatHoldsTheFocus)
{
    emu::EmulatedReader *reader = addFastReader("/dev/hidraw1");
    reader->setTimings(1, 1, 10);
    openWindow();
    QSignalSpy pressed(button("BtnSetup"), &QPushButton::clicked);
    // A keyboard user tabs to the button and presses it with the space bar;
    // the focus stays on the button while the reader types.
    button("BtnSetup")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(button("BtnSetup"), Qt::Key_Space);
    ASSERT_TRUE(waitForKeyboard());
    EXPECT_EQ(pressed.count(), 1);
    EXPECT_TRUE(receivedText().startsWith("VORTAL9"));
    EXPECT_TRUE(receivedText().contains("1 Preamble"));
}

TEST_F(FocusTest, UnloadingWhileAReportWaitsSendsNothing)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    QSignalSpy unloaded(&w, &MainForm::unloaded);
    click(button("BtnSetup"));
    QTest::qWait(w.timing().pacingMs / 2);
    w.close();
    EXPECT_EQ(unloaded.count(), 1);
    QTest::qWait(w.timing().pacingMs * 2);
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_EQ(platform.openHandleCount(), 0);
}
