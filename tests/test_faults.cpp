// Hostile timings on the real window: a button pressed while something is
// still pending, a reader that never falls quiet, a dialog opened while the
// reader types, and the keyboard between the reader's answers.
#include "EmulatedMonitor.h"
#include "WindowFixture.h"
#include "platform/EndingSignals.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <functional>
#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace vortal9;
using namespace vortal9::test;

namespace {
const QString Header = QStringLiteral("141109F009F011F014FF");
constexpr int ShiftLeft = 41, German = 1;
} // namespace

class FaultTest : public WindowTest
{
protected:
    // "Enter Config" on one reader, optionally recording, until the keys
    // are on and the reader's whole answer is in (a key clicked next is
    // taken); the platform's log starts empty afterwards. The recording then
    // is the header, with a marker more for each pause of the reader inside
    // its menu longer than the quiet period (a busy machine's).
    MainForm &startSession(bool recording = false, int country = 0)
    {
        reader = addFastReader("/dev/hidraw1");
        MainForm &w = openWindow();
        if (country != 0) {
            combo("CbKBType")->setCurrentIndex(country);
            QMetaObject::invokeMethod(combo("CbKBType"), "activated", Q_ARG(int, country));
        }
        if (recording)
            click(button("BtnStartRec"));
        click(button("BtnSetup"));
        EXPECT_TRUE(waitForAnswer());
        recordedAtStart = w.session().recordedText();
        EXPECT_TRUE(!recording || recordedAtStart.startsWith(Header)) << recordedAtStart.toStdString();
        platform.clearLog();
        return w;
    }

    QPlainTextEdit *receiveBox() const { return form->findChild<QPlainTextEdit *>(QStringLiteral("TxtRcv")); }

    emu::EmulatedReader *reader = nullptr;
    QString recordedAtStart;
};

TEST_F(FaultTest, CloseDeviceCancelsAKeyWaitingForItsReport)
{
    MainForm &w = startSession(true);
    click(key(2));
    click(button("BtnClose")); // within the key's pacing wait
    QTest::qWait(w.timing().pacingMs * 3);
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_EQ(w.panelText(6), "");
    EXPECT_EQ(w.session().recordedText(), recordedAtStart); // the recording is kept
}

TEST_F(FaultTest, CloseDeviceDuringEnterConfigSendsNoHotKeyAndTheNextSendsOne)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    click(button("BtnSetup"));
    click(button("BtnClose"));
    QTest::qWait(w.timing().pacingMs * 3);
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_FALSE(platform.device("/dev/hidraw1")->reader->inConfigMode());
    EXPECT_EQ(enabledControls(), mainGroup());

    // Enter Config again, recording: the cancelled flow adds no second hot key.
    click(button("BtnStartRec"));
    click(button("BtnSetup"));
    ASSERT_TRUE(waitForKeyboard());
    EXPECT_EQ(platform.sentReports().size(), 2u);
    EXPECT_EQ(w.session().recordedText(), Header);
}

// Close Device while the quiet period of an answer or the echo check of a
// key is still running: neither may switch the keys on afterwards.
struct PendingRow
{
    const char *name;
    int key; // 3 is answered, 19 ("T") is not
};

class ClosedSessionTimerTest : public FaultTest, public ::testing::WithParamInterface<PendingRow>
{
};

TEST_P(ClosedSessionTimerTest, StaysQuiet)
{
    MainForm &w = startSession();
    click(key(GetParam().key));
    ASSERT_TRUE(waitFor([&] { return !platform.sentReports().empty(); }, 2000));
    if (GetParam().key == 3) { // the answer is over, its quiet period not yet
        ASSERT_TRUE(waitFor([&] { return !reader->isTyping() && receivedText().endsWith("CRLF\n> "); }, 2000));
    }
    click(button("BtnClose"));
    QTest::qWait(w.timing().quietMs + w.timing().echoMs);
    EXPECT_EQ(enabledControls(), mainGroup());
}

INSTANTIATE_TEST_SUITE_P(Pending, ClosedSessionTimerTest,
                         ::testing::Values(PendingRow{"quietPeriodOfAnAnswer", 3}, PendingRow{"echoCheck", 19}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(FaultTest, AnAnswerEndingJustBeforeANewRecordingMarksNothingInIt)
{
    MainForm &w = startSession();
    click(key(3));
    // The answer is over, its quiet period not yet.
    ASSERT_TRUE(waitFor([&] { return !reader->isTyping() && receivedText().endsWith("CRLF\n> "); }, 2000));
    reader->setAnswerDelayMs(w.timing().quietMs * 2); // the menu comes well after the hot key
    click(button("BtnClose"));
    click(button("BtnStartRec"));
    click(button("BtnSetup"));
    ASSERT_TRUE(waitForKeyboard());
    EXPECT_EQ(w.session().recordedText(), Header);
}

TEST_F(FaultTest, AReaderThatNeverFallsQuietIsNotWaitedForForever)
{
    addFastReader("/dev/hidraw1");
    Timing timing = Timing::faster(SpeedUp);
    timing.answerLimitMs = 1500;
    MainForm &w = openWindow(timing);
    QTemporaryDir dir;
    QFile script(dir.filePath("s.TXT"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write((Header + "2EF02EFF\r\n").toLatin1());
    script.close();
    dialogs.openAnswers.push_back(script.fileName());
    click(button("BtnLoadFile"));

    // Something keeps typing into the box, never pausing for a quiet period.
    QTimer chatter;
    QObject::connect(&chatter, &QTimer::timeout, &w, [&] { QTest::keyClick(receiveBox(), Qt::Key_Z); });
    chatter.start(timing.quietMs / 3);
    click(button("BtnConSetting"));
    EXPECT_TRUE(waitFor([&] { return !w.session().isScriptRunning(); }, 5000));
    chatter.stop();
    EXPECT_EQ(w.panelText(6), "Reader Not Responding");
    EXPECT_EQ(enabledMainGroup(), mainGroup());
    // It may have been left in its configuration mode: the window says so and what to do.
    EXPECT_EQ(dialogs.asked, QStringList({"open:", "warn:Warning"}));
    EXPECT_TRUE(dialogs.lastText.contains("configuration mode") && dialogs.lastText.contains("plug it in again"));
    EXPECT_EQ(label("StatusBar1_Panel6")->toolTip(), dialogs.lastText);
}

// A logout, a shutdown or kill ends the window as "EXIT" does, without its
// questions: the latched Shift released on the reader, the reader closed, the
// window unloaded (the program then ends with 0). Before, the default action
// ended the process with the Shift held down. On Linux these are SIGTERM and
// SIGHUP; on Windows the session's end (WM_QUERYENDSESSION, then
// WM_ENDSESSION, after whose answer Windows ends the process) and taskkill
// (WM_CLOSE), each to every top-level window of the process.
struct EndingRow
{
    const char *name;
    std::function<void()> end;
};

class EndingTest : public FaultTest, public ::testing::WithParamInterface<EndingRow>
{
};

TEST_P(EndingTest, ReleasesALatchedShiftAndUnloadsTheWindow)
{
    MainForm &w = startSession(false, German);
    EndingSignals endingSignals;
    ASSERT_TRUE(endingSignals.isActive());
    endingSignals.setHandler([&w] { w.endWithoutQuestions(); });
    click(key(ShiftLeft));
    ASSERT_TRUE(waitForKeyboard());
    ASSERT_TRUE(reader->heldModifiers() & emu::EmulatedReader::LeftShift);
    QSignalSpy unloaded(&w, &MainForm::unloaded);
    dialogs.asked.clear();
    GetParam().end();
    // Unloading hides the window first; Wine without a window manager (the
    // Windows suites' Xvfb) waits 2 s for one to take the window away.
    EXPECT_TRUE(waitFor([&] { return unloaded.count() == 1; }, 5000));
    EXPECT_EQ(reader->heldModifiers(), 0u);
    EXPECT_EQ(payloadStrings(), QStringList({"12", "F012"}));
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_TRUE(dialogs.asked.isEmpty());
}

#ifdef Q_OS_WIN
namespace {
// Windows' way: a message to every top-level window of this process, as the
// system or taskkill sends it: sent as the system sends WM_QUERYENDSESSION
// (with a time-out, past which a window counts as not answering), or posted
// (the program's answer to WM_ENDSESSION waits for the program to end).
void toEveryWindow(UINT message, WPARAM wParam, LPARAM lParam, bool send = false)
{
    struct Message
    {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        bool send;
        int windows = 0;
    } m{message, wParam, lParam, send};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto *m = reinterpret_cast<Message *>(data);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process == GetCurrentProcessId()) {
                ++m->windows;
                DWORD_PTR answer = 0;
                m->send ? SendMessageTimeoutW(window, m->message, m->wParam, m->lParam, SMTO_ABORTIFHUNG, 2000, &answer)
                        : PostMessageW(window, m->message, m->wParam, m->lParam);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&m));
    EXPECT_GE(m.windows, 1);
}
} // namespace

INSTANTIATE_TEST_SUITE_P(
    Windows, EndingTest,
    ::testing::Values(EndingRow{"logOffOrShutDown",
                                [] {
                                    toEveryWindow(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, true);
                                    toEveryWindow(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
                                }},
                      EndingRow{"taskkill", [] { toEveryWindow(WM_CLOSE, 0, 0); }}),
    [](const auto &info) { return std::string(info.param.name); });
#else
INSTANTIATE_TEST_SUITE_P(Signals, EndingTest,
                         ::testing::Values(EndingRow{"SIGTERM", [] { ::raise(SIGTERM); }},
                                           EndingRow{"SIGHUP", [] { ::raise(SIGHUP); }}),
                         [](const auto &info) { return std::string(info.param.name); });
#endif

TEST_F(FaultTest, ALatchedShiftIsReleasedAtCloseAndTheNextSessionStartsUnlatched)
{
    MainForm &w = startSession(false, German);
    click(key(ShiftLeft));
    ASSERT_TRUE(waitForKeyboard());
    ASSERT_TRUE(reader->heldModifiers() & emu::EmulatedReader::LeftShift);
    click(button("BtnClose"));
    EXPECT_TRUE(waitFor([&] { return reader->heldModifiers() == 0; }, 2000));
    EXPECT_EQ(payloadStrings(), QStringList({"12", "F012"}));
    EXPECT_EQ(w.session().modifierState(), 0);
    EXPECT_NE(key(ShiftLeft)->palette().color(QPalette::Button), w.palette().color(QPalette::Dark));
    EXPECT_EQ(w.keyPictureName(20), "1A1"); // German, unshifted
}

TEST_F(FaultTest, NothingTheReaderTypesReachesADialog)
{
    MainForm &w = startSession(true);
    reader->setCharIntervalMs(15);
    QString typedIntoTheDialog;
    dialogs.whileOpen = [&] {
        QDialog dialog(&w);
        auto *name = new QLineEdit(&dialog);
        dialog.show();
        QApplication::setActiveWindow(&dialog);
        name->setFocus();
        waitFor([&] { return reader->typedText().endsWith("Preamble? "); }, 3000);
        QTest::qWait(w.timing().quietMs);
        typedIntoTheDialog = name->text();
    };
    // "1\nPreamble? " while the reader is closed and the save dialog opens.
    click(key(1));
    ASSERT_TRUE(waitFor([&] { return reader->isTyping(); }, 2000));
    click(button("BtnClose"));
    dialogs.saveAnswers.push_back({});
    click(button("BtnSave"));
    EXPECT_EQ(typedIntoTheDialog, "");
    EXPECT_EQ(reader->droppedCharacters(), 0) << reader->typedText().toStdString();
    EXPECT_TRUE(receivedText().endsWith("1\nPreamble? ")) << receivedText().toStdString();
}

TEST_F(FaultTest, ExitAsksBeforeARecordingThatCouldNotBeSavedIsLost)
{
    MainForm &w = startSession(true);
    click(button("BtnClose"));
    QTemporaryDir dir;
    dialogs.saveAnswers.push_back(dir.path()); // a folder: cannot be written
    click(button("BtnSave"));
    ASSERT_EQ(w.panelText(6), "Can't Save File");
    QSignalSpy unloaded(&w, &MainForm::unloaded);
    dialogs.asked.clear();
    dialogs.yesNoAnswers = {true, false};
    click(button("BtnExit"));
    EXPECT_EQ(dialogs.asked, QStringList({"yesno:Warning", "yesno:Warning"}));
    EXPECT_TRUE(dialogs.lastText.contains("could not be saved"));
    EXPECT_EQ(unloaded.count(), 0);
    dialogs.yesNoAnswers = {true, true};
    click(button("BtnExit"));
    EXPECT_EQ(unloaded.count(), 1);
}

// A recording that a save could not write is kept; whatever would wipe it
// asks first, and No leaves everything as it was.
struct KeptRow
{
    const char *name;
    const char *button;
    bool wipe;
};

class KeptRecordingTest : public FaultTest, public ::testing::WithParamInterface<KeptRow>
{
};

TEST_P(KeptRecordingTest, IsWipedOnlyAfterAsking)
{
    MainForm &w = startSession(true);
    click(button("BtnClose"));
    QTemporaryDir dir;
    dialogs.saveAnswers.push_back(dir.path()); // a folder: cannot be written
    click(button("BtnSave"));
    ASSERT_EQ(w.session().recordedText(), recordedAtStart);
    click(button("BtnClose")); // every button comes on again, "Start Rec" too
    platform.clearLog();
    dialogs.asked.clear();
    dialogs.yesNoAnswers = {GetParam().wipe};
    click(button(GetParam().button));
    EXPECT_EQ(dialogs.asked, QStringList({"yesno:Warning"}));
    EXPECT_TRUE(dialogs.lastText.contains("could not be saved"));
    if (GetParam().wipe) {
        EXPECT_TRUE(waitFor([&] { return w.session().recordedText() != recordedAtStart; }, 100));
        EXPECT_NE(w.session().recordedText(), recordedAtStart);
    } else {
        QTest::qWait(w.timing().pacingMs * 2);
        EXPECT_EQ(w.session().recordedText(), recordedAtStart);
        EXPECT_TRUE(w.session().isRecording());
        EXPECT_TRUE(platform.sentReports().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Buttons, KeptRecordingTest,
                         ::testing::Values(KeptRow{"enterConfigKept", "BtnSetup", false},
                                           KeptRow{"enterConfigWiped", "BtnSetup", true},
                                           KeptRow{"startRecKept", "BtnStartRec", false},
                                           KeptRow{"startRecWiped", "BtnStartRec", true}),
                         [](const auto &info) { return std::string(info.param.name); });

// Between Check Device and Enter Config the reader's node was given to
// another device: nothing is sent to it.
TEST_F(FaultTest, ANodeReusedByAnotherDeviceGetsNoHotKey)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    platform.removeDevice("/dev/hidraw1");
    emu::EmulatedDevice keyboard;
    keyboard.path = "/dev/hidraw1";
    keyboard.vendorId = 0x046D;
    keyboard.productId = 0xC31C;
    platform.addDevice(keyboard);
    click(button("BtnSetup"));
    QTest::qWait(w.timing().pacingMs * 2);
    EXPECT_EQ(w.panelText(6), "Open VORTAL9 Error");
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_EQ(enabledMainGroup(), mainGroup());
}

// A reader unplugged during a session without capture is noticed at once,
// through the device monitor.
TEST_F(FaultTest, AnUnpluggedReaderWithoutCaptureIsNoticed)
{
    MainForm &w = startSession();
    emu::EmulatedMonitor monitor{platform};
    w.setDeviceMonitor(&monitor);
    monitor.unplug("/dev/hidraw1");
    EXPECT_EQ(w.panelText(6), "Can't Find VORTAL9");
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_EQ(enabledControls(), mainGroup());
    EXPECT_FALSE(w.session().isOpen());
    EXPECT_EQ(platform.openHandleCount(), 0);
}

// A reader that pauses longer than the quiet period inside one answer leaves
// a run of markers in the recording; played back, the run is one wait and
// never a key.
TEST_F(FaultTest, ARecordingWithAMarkerRunPlaysBack)
{
    emu::EmulatedReader *slow = addFastReader("/dev/hidraw1");
    emu::EmulatedReader *target = addFastReader("/dev/hidraw2");
    MainForm &w = openWindow();
    slow->setLineGapMs(w.timing().quietMs * 2);
    click(button("BtnStartRec"));
    click(button("BtnSetup"));
    const auto answered = [&] { return !slow->isTyping() && w.session().readerIdle(); };
    ASSERT_TRUE(waitFor([&] { return slow->typedText().endsWith("> ") && answered(); }, 10000));
    ASSERT_TRUE(w.session().recordedText().startsWith(Header + "FF")) << w.session().recordedText().toStdString();
    for (int digit : {5, 8}) { // Beep off, then save and exit
        click(key(digit));
        ASSERT_TRUE(waitFor([&] { return slow->typedText().endsWith(digit == 5 ? "Beep = OFF\n> " : "Bye\n") && answered(); },
                            10000));
    }
    click(button("BtnClose"));
    const QString recorded = w.session().recordedText();
    QTemporaryDir dir;
    QFile file(dir.filePath("slow.TXT"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write((recorded + "\r\n").toLatin1());
    file.close();
    dialogs.openAnswers.push_back(file.fileName());
    click(button("BtnLoadFile"));
    combo("CbNumber")->setCurrentIndex(1);
    platform.clearLog();
    click(button("BtnConSetting"));
    ASSERT_TRUE(waitFor([&] { return !w.session().isScriptRunning(); }, 15000));
    EXPECT_EQ(w.panelText(6), "") << recorded.toStdString();
    EXPECT_EQ(target->storedSettings().value("beep"), "OFF") << recorded.toStdString() << "\n"
                                                             << payloadStrings().join(' ').toStdString();
    EXPECT_FALSE(payloadStrings().contains("FF"));
}

// Between the reader's answers the keyboard works the window: Tab moves on,
// Space presses the focused button; while the reader may be typing, keys
// still go to the receive box.
struct KeyboardRow
{
    const char *name;
    bool captureRefused; // false: no capture on this system at all
};

class KeyboardBetweenAnswersTest : public FaultTest, public ::testing::WithParamInterface<KeyboardRow>
{
};

TEST_P(KeyboardBetweenAnswersTest, WorksTheWindow)
{
    reader = addFastReader("/dev/hidraw1");
    if (GetParam().captureRefused) {
        platform.device("/dev/hidraw1")->captureRefusal = QStringLiteral("no permission to read /dev/input/event5");
        form = std::make_unique<MainForm>(platform, &platform, dialogs, Timing::faster(SpeedUp));
        form->show();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    } else {
        openWindow();
    }
    MainForm &w = *form;
    click(button("BtnSetup"));
    ASSERT_TRUE(waitForAnswer());
    // The note belongs where the system could capture the reader but did not.
    EXPECT_EQ(w.windowTitle().endsWith("keep this window in front"), GetParam().captureRefused)
        << w.windowTitle().toStdString();
    if (GetParam().captureRefused) {
        EXPECT_TRUE(receiveBox()->toolTip().contains("/dev/input/event5"));
    }
    platform.clearLog();
    const QString before = receivedText();

    button("BtnClose")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "TxtFileName");
    key(19)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(key(19), Qt::Key_Space); // "T": no answer
    EXPECT_TRUE(waitFor([&] { return !platform.sentReports().empty(); }, 2000));
    EXPECT_EQ(payloadStrings(), QStringList({"2CF02C"}));
    EXPECT_EQ(receivedText(), before);

    // A key that the reader answers: while it types, the focus is pulled back
    // and keys on a button land in the box.
    ASSERT_TRUE(waitForKeyboard());
    click(key(3));
    ASSERT_TRUE(waitFor([&] { return reader->isTyping(); }, 2000));
    button("BtnClose")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(button("BtnClose"), Qt::Key_Space);
    EXPECT_TRUE(w.session().isOpen()) << "a space typed by the reader pressed Close Device";
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "TxtRcv");
}

INSTANTIATE_TEST_SUITE_P(Capture, KeyboardBetweenAnswersTest,
                         ::testing::Values(KeyboardRow{"noCaptureOnThisSystem", false},
                                           KeyboardRow{"captureRefused", true}),
                         [](const auto &info) { return std::string(info.param.name); });
