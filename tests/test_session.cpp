// Talking to the reader: the command channel as bytes on the emulated
// device, "Enter Config" at real speed, its failures, the focus while the
// reader types, and waits that sleep.
#include "WindowFixture.h"

#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <ctime>

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

} // namespace

class CommandChannelTest : public WindowTest
{
protected:
    MainForm &openWithReader(int featureLength = 9)
    {
        emu::EmulatedDevice device;
        device.path = "/dev/hidraw1";
        device.featureLength = featureLength;
        platform.addDevice(device);
        MainForm &w = openWindow();
        EXPECT_GE(w.usb().OpenReader("/dev/hidraw1", AccessReadWrite), 1);
        platform.clearLog();
        return w;
    }
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
    MainForm &w = openWithReader();
    EXPECT_TRUE(w.usb().SendCommandString(GetParam().command));
    EXPECT_EQ(payloadStrings(), GetParam().payloads);
    for (const auto &sent : platform.sentReports()) {
        ASSERT_EQ(sent.bytes.size(), 9u); // all L bytes, whatever the payload
        EXPECT_EQ(sent.bytes[0], 0);      // report ID 0
    }
    EXPECT_EQ(w.panelText(6), "");
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
    MainForm &w = openWithReader();
    const auto start = Clock::now();
    EXPECT_TRUE(w.usb().SendCommandString("0102030405060708090A0B0C0D0E0F10"));
    const auto &sent = platform.sentReports();
    ASSERT_EQ(sent.size(), 3u);
    const int pacing = w.timing().pacingMs;
    EXPECT_GE(msBetween(start, sent[0].at), pacing);
    EXPECT_GE(msBetween(sent[0].at, sent[1].at), pacing);
    EXPECT_GE(msBetween(sent[1].at, sent[2].at), pacing);
}

TEST_F(CommandChannelTest, RecordingAppendsThePairsUnchanged)
{
    MainForm &w = openWithReader();
    w.files().Recording = true;
    w.files().RecordBuffer = "FF";
    EXPECT_TRUE(w.usb().SendCommandString("1ef01e"));
    EXPECT_TRUE(w.usb().SendCommandString("123"));
    EXPECT_EQ(w.files().RecordBuffer, "FF1ef01e123");
    w.files().Recording = false;
    EXPECT_TRUE(w.usb().SendCommandString("29F029"));
    EXPECT_EQ(w.files().RecordBuffer, "FF1ef01e123");
}

TEST_F(CommandChannelTest, ARefusedReportStopsTheCommandAndEmptiesTheRecording)
{
    MainForm &w = openWithReader();
    platform.device("/dev/hidraw1")->refuseSetFeature = true;
    w.files().Recording = false;
    w.files().RecordBuffer = "141109F009F011F014FF";
    EXPECT_FALSE(w.usb().SendCommandString("0102030405060708090A0B0C0D0E"));
    ASSERT_EQ(platform.sentReports().size(), 1u); // the second chunk was never tried
    EXPECT_FALSE(platform.sentReports()[0].accepted);
    EXPECT_EQ(w.panelText(6), "Write Data Error");
    EXPECT_EQ(w.files().RecordBuffer, "");
}

TEST_F(CommandChannelTest, AcceptedReportsBeforeARefusalAreDroppedFromTheRecording)
{
    MainForm &w = openWithReader();
    platform.device("/dev/hidraw1")->refuseSetFeatureAfter = 1;
    w.files().Recording = true;
    EXPECT_FALSE(w.usb().SendCommandString("0102030405060708090A0B0C0D0E"));
    EXPECT_EQ(platform.sentReports().size(), 2u);
    EXPECT_EQ(w.files().RecordBuffer, "");
}

struct RefusedRow
{
    const char *name;
    QString command;
    int featureLength;
};

class RefusedChunkTest : public CommandChannelTest, public ::testing::WithParamInterface<RefusedRow>
{
};

TEST_P(RefusedChunkTest, NothingIsSentAndTheFailureIsShown)
{
    MainForm &w = openWithReader(GetParam().featureLength);
    w.files().Recording = true;
    w.files().RecordBuffer = "141109";
    EXPECT_FALSE(w.usb().SendCommandString(GetParam().command));
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_EQ(w.panelText(6), "Write Data Error");
    EXPECT_EQ(w.files().RecordBuffer, "");
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, RefusedChunkTest,
    ::testing::Values(RefusedRow{"notHex", "1G", 9}, RefusedRow{"lineEndInside", "1E\r\n", 9},
                      RefusedRow{"spaceInPair", " 1F01E", 9},
                      RefusedRow{"moreThanPayload", "112233445566778", 8},
                      RefusedRow{"shortReport", "1EF01E", 3}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(CommandChannelTest, EmptyCommandSendsNothingAndSaysNothing)
{
    MainForm &w = openWithReader();
    w.files().RecordBuffer = "FF";
    EXPECT_FALSE(w.usb().SendCommandString(""));
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_EQ(w.panelText(6), "");
    EXPECT_EQ(w.files().RecordBuffer, "FF");
}

TEST_F(CommandChannelTest, WithoutAnOpenReaderTheReportIsRefused)
{
    MainForm &w = openWindow();
    EXPECT_FALSE(w.usb().SendCommandString("1EF01E"));
    EXPECT_EQ(w.panelText(6), "Write Data Error");
}

TEST_F(CommandChannelTest, AWaitSleepsInsteadOfSpinning)
{
    MainForm &w = openWindow(Timing::real());
    const double before = processCpuMs();
    const auto start = Clock::now();
    w.usb().PacingWait(2000);
    const qint64 waited = msBetween(start, Clock::now());
    const double cpu = processCpuMs() - before;
    EXPECT_GE(waited, 2000);
    EXPECT_LT(cpu, 50.0) << "CPU time during a 2 s wait";
}

TEST_F(CommandChannelTest, ANestedWaitEndsTheOuterOneWithIt)
{
    // A handler that waits in the middle of another wait restarts the pacing
    // timer; when it fires, both waits end together.
    MainForm &w = openWindow();
    const int pacing = w.timing().pacingMs;
    bool innerDone = false;
    Clock::time_point innerEnd;
    QTimer::singleShot(pacing / 2, &w, [&] {
        w.usb().PacingWait(pacing * 2);
        innerDone = true;
        innerEnd = Clock::now();
    });
    const auto start = Clock::now();
    w.usb().PacingWait(pacing);
    const auto outerEnd = Clock::now();
    EXPECT_TRUE(innerDone);
    EXPECT_GE(msBetween(start, outerEnd), pacing / 2 + pacing * 2);
    EXPECT_LE(msBetween(innerEnd, outerEnd), 50);
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
    w.files().RecordBuffer = "stale";

    Clock::time_point lastChange;
    QObject::connect(box, &QPlainTextEdit::textChanged, &w, [&] { lastChange = Clock::now(); });
    Clock::time_point keyboardOn;
    bool keyboardOnEarly = false;
    QObject::connect(w.findChild<QTimer *>("Timer1"), &QTimer::timeout, &w, [&] {
        keyboardOn = Clock::now();
        keyboardOnEarly = reader->isTyping();
    });

    platform.clearLog();
    const auto clicked = Clock::now();
    click(button("BtnSetup"));

    // The hot key as two reports, each after its own pacing wait.
    const auto &sent = platform.sentReports();
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
    EXPECT_EQ(w.files().RecordBuffer, "");

    // The keys come on only once the reader has typed its menu and been
    // quiet for the quiet period.
    EXPECT_FALSE(key(2)->isEnabled());
    ASSERT_TRUE(waitForKeyboard(10000));
    EXPECT_FALSE(keyboardOnEarly);
    EXPECT_GE(msBetween(lastChange, keyboardOn), 500);
    EXPECT_LT(msBetween(lastChange, keyboardOn), 700);
    EXPECT_TRUE(receivedText().startsWith("VORTAL9"));
    EXPECT_TRUE(receivedText().contains("8 Save and exit"));
    EXPECT_FALSE(receivedText().contains("old text"));
    EXPECT_TRUE(reader->inConfigMode());
    EXPECT_TRUE(w.ReaderIdle);
    EXPECT_FALSE(key(14)->isEnabled());
    EXPECT_FALSE(key(28)->isEnabled());

    click(button("BtnClose"));
    EXPECT_EQ(w.usb().DeviceHandle, 0);
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_EQ(w.panelText(4), "");
    EXPECT_EQ(enabledCommandButtons().size(), 9);
    EXPECT_TRUE(combo("CbNumber")->isEnabled());
    EXPECT_FALSE(key(2)->isEnabled());
    EXPECT_FALSE(w.ReaderIdle);
    EXPECT_EQ(payloads().size(), 2u); // closing sends nothing
}

TEST_F(EnterConfigTest, WhileRecordingTheSessionStartsWithTheHeader)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    click(button("BtnStartRec"));
    w.files().RecordBuffer = "left over";
    click(button("BtnSetup"));
    ASSERT_TRUE(waitForKeyboard());
    EXPECT_EQ(w.files().RecordBuffer, "141109F009F011F014FF");
}

TEST_F(EnterConfigTest, NoReaderFound)
{
    MainForm &w = openWindow();
    QTest::keyClicks(QApplication::focusWidget(), "abc");
    w.files().RecordBuffer = "12";
    click(button("BtnSetup"));
    EXPECT_EQ(w.panelText(6), "Can't Find VORTAL9");
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_EQ(receivedText(), "");
    EXPECT_EQ(w.files().RecordBuffer, "");
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
    EXPECT_EQ(w.usb().DeviceHandle, 0);
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
    EXPECT_EQ(payloadStrings(), QStringList({"141109", "F009F011F014"}));
    EXPECT_TRUE(waitForKeyboard());
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
    EXPECT_EQ(w.panelText(6), "Write Data Error");
    EXPECT_EQ(w.panelText(2), "Connect");
    EXPECT_GE(w.usb().DeviceHandle, 1);
    EXPECT_EQ(enabledCommandButtons(), QStringList({"BtnClose"}));
    EXPECT_EQ(w.files().RecordBuffer, "");
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
    EXPECT_EQ(w.usb().DeviceHandle >= 1, true);
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

TEST_F(FocusTest, UnloadingInsideAWaitEndsAtOnce)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    QSignalSpy unloaded(&w, &MainForm::unloaded);
    QTimer::singleShot(w.timing().pacingMs / 2, &w, [&] { w.close(); });
    click(button("BtnSetup")); // returns once the window is gone
    EXPECT_EQ(unloaded.count(), 1);
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_EQ(platform.openHandleCount(), 0);
}
