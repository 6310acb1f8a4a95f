// Readers heard from their own input devices: sessions side by side on one
// thread, each hearing only its own reader; the window with capture, where
// nothing the reader types reaches another window; and the grab let go
// whenever a session ends.
#include "WindowFixture.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

using namespace vortal9;
using namespace vortal9::test;
using Clock = std::chrono::steady_clock;

namespace {

const QString Header = QStringLiteral("141109F009F011F014FF");

// A window of another program that has the keyboard focus.
struct OtherWindow
{
    OtherWindow()
    {
        edit.show();
        QApplication::setActiveWindow(&edit);
        edit.setFocus();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&edit));
    }
    QLineEdit edit;
};

// One session on a captured emulated reader, and all the reader typed into it.
struct HeardReader
{
    HeardReader(emu::EmulatedPlatform &platform, const std::string &path, const Timing &timing)
        : reader(platform.addReader(path))
        , session(platform, &platform, timing)
    {
        QObject::connect(&session, &ReaderSession::typed, &session, [this](const QString &t) { heard += t; });
        QObject::connect(&session, &ReaderSession::quietPeriodEnded, &session, [this] { ++quiet; });
        QObject::connect(&session, &ReaderSession::playbackFinished, &session,
                         [this](ReaderSession::Outcome o) { outcome = o; });
        EXPECT_TRUE(session.open(path));
        EXPECT_TRUE(session.isCaptured());
    }
    emu::EmulatedReader *reader;
    ReaderSession session;
    QString heard;
    int quiet = 0;
    std::optional<ReaderSession::Outcome> outcome;
};

} // namespace

class SessionsTest : public WindowTest
{
};

TEST_F(SessionsTest, TwoReadersAnsweringAtTheSameMomentAreEachHeardByTheirOwnSession)
{
    OtherWindow other;
    const Timing timing = Timing::faster(SpeedUp);
    HeardReader a(platform, "/dev/hidraw1", timing), b(platform, "/dev/hidraw2", timing);
    a.reader->setTimings(5, 2, 5);
    b.reader->setTimings(5, 3, 4);
    a.session.enterConfig();
    b.session.enterConfig();
    ASSERT_TRUE(waitFor([&] { return a.quiet == 1 && b.quiet == 1; }, 5000));
    // Different keys at the same moment: the terminator on one, the tracks on the other.
    ASSERT_TRUE(a.session.pressKey(3, false));
    ASSERT_TRUE(b.session.pressKey(4, false));
    ASSERT_TRUE(waitFor([&] { return a.quiet == 2 && b.quiet == 2; }, 5000));

    EXPECT_EQ(a.heard, a.reader->typedText());
    EXPECT_EQ(b.heard, b.reader->typedText());
    EXPECT_TRUE(a.heard.endsWith("3\nTerminator = CRLF\n> ")) << a.heard.toStdString();
    EXPECT_TRUE(b.heard.endsWith("4\nTracks = 12\n> ")) << b.heard.toStdString();
    EXPECT_EQ(other.edit.text(), "");
}

TEST_F(SessionsTest, AReaderUnpluggedMidPlaybackEndsItsPlaybackAlone)
{
    const Timing timing = Timing::faster(SpeedUp);
    HeardReader a(platform, "/dev/hidraw1", timing), b(platform, "/dev/hidraw2", timing);
    const QString script = Header + "2EF02EFF26F026FF3EF03EFF";
    a.session.playScript(script);
    b.session.playScript(script);
    ASSERT_TRUE(waitFor([&] { return b.quiet >= 1; }, 5000)); // the menu is in
    platform.removeDevice("/dev/hidraw2");
    ASSERT_TRUE(waitFor([&] { return a.outcome && b.outcome; }, 10000));
    EXPECT_EQ(*b.outcome, ReaderSession::Outcome::Unplugged);
    EXPECT_FALSE(b.reader->isGrabbed());
    EXPECT_FALSE(b.session.isOpen());
    EXPECT_EQ(*a.outcome, ReaderSession::Outcome::Configured);
    EXPECT_EQ(a.reader->storedSettings().value("beep"), "OFF");
}

TEST_F(SessionsTest, TwoReadersPlayedFromOneScriptAtOnceAreEachAsFastAsOneAlone)
{
    // Real intervals. Beep off, next terminator, save and exit.
    const QString script = Header + "2EF02EFF26F026FF3EF03EFF";
    HeardReader alone(platform, "/dev/hidraw1", Timing::real());
    auto played = [&](std::vector<HeardReader *> readers) {
        const auto start = Clock::now();
        for (HeardReader *r : readers)
            r->session.playScript(script);
        EXPECT_TRUE(waitFor(
            [&] { return std::all_of(readers.begin(), readers.end(), [](HeardReader *r) { return r->outcome; }); },
            30000));
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    const double one = played({&alone});
    HeardReader a(platform, "/dev/hidraw2", Timing::real()), b(platform, "/dev/hidraw3", Timing::real());
    const double two = played({&a, &b});

    for (HeardReader *r : {&alone, &a, &b}) {
        EXPECT_EQ(r->outcome, ReaderSession::Outcome::Configured);
        EXPECT_FALSE(r->reader->inConfigMode());
    }
    EXPECT_EQ(alone.reader->storedSettings().value("beep"), "OFF");
    EXPECT_EQ(a.reader->storedSettings(), alone.reader->storedSettings());
    EXPECT_EQ(b.reader->storedSettings(), alone.reader->storedSettings());
    EXPECT_LT(two, one * 1.1) << two << " ms for two against " << one << " ms for one";
}

class CapturedWindowTest : public WindowTest
{
protected:
    MainForm &openCapturedWindow()
    {
        form = std::make_unique<MainForm>(platform, &platform, dialogs, Timing::faster(SpeedUp));
        form->show();
        return *form;
    }
};

TEST_F(CapturedWindowTest, AnotherWindowInFrontGetsNothingAndTheSessionRunsAsWithFocus)
{
    emu::EmulatedReader *reader = addFastReader("/dev/hidraw1");
    MainForm &w = openCapturedWindow();
    OtherWindow other;
    click(button("BtnStartRec"));
    click(button("BtnSetup"));
    ASSERT_TRUE(waitForKeyboard());
    EXPECT_TRUE(reader->isGrabbed());
    EXPECT_EQ(w.windowTitle(), "VORTAL9 Configuration Setup AP (PX4KQ905)"); // no note: captured
    click(key(3));
    ASSERT_TRUE(waitFor([&] { return receivedText().endsWith("Terminator = CRLF\n> "); }, 3000));
    ASSERT_TRUE(waitForKeyboard());
    click(key(1));
    ASSERT_TRUE(waitForKeyboard());
    click(key(29)); // "a" into the preamble
    ASSERT_TRUE(waitForKeyboard());
    click(key(13)); // BackSp takes it again
    ASSERT_TRUE(waitForKeyboard());

    EXPECT_EQ(other.edit.text(), "");
    EXPECT_EQ(receivedText(), QString(reader->typedText()).replace("a\b", ""));
    EXPECT_EQ(w.session().recordedText(), Header + "26F026FF16F016FF1CF01CFF66F066FF");
}

// A card swiped while the window holds the reader never reaches the receive
// box: not while nothing is awaited, not inside the answer to a key.
TEST_F(CapturedWindowTest, NoCardReachesTheReceiveBox)
{
    emu::EmulatedReader *reader = addFastReader("/dev/hidraw1");
    MainForm &w = openCapturedWindow();
    click(button("BtnSetup"));
    ASSERT_TRUE(waitForKeyboard());
    const QString menu = receivedText();
    reader->swipe();
    ASSERT_TRUE(waitFor([&] { return !reader->isTyping() && w.session().readerIdle(); }, 3000));
    // The next terminator: the reader types a swipe right after its answer.
    const auto once = QObject::connect(reader, &emu::EmulatedReader::reportReceived, reader, [reader] { reader->swipe(); });
    click(key(3));
    ASSERT_TRUE(waitFor([&] { return reader->typedText().count("4731829460571938") == 6; }, 3000));
    QObject::disconnect(once);
    ASSERT_TRUE(waitForKeyboard());
    EXPECT_TRUE(reader->typedText().contains("4731829460571938")) << "the reader typed the card";
    EXPECT_EQ(receivedText().left(menu.size()), menu);
    EXPECT_TRUE(receivedText().mid(menu.size()).startsWith("3\nTerminator = CRLF\n"))
        << receivedText().toStdString();
    for (const char *part : {"473", "1829", "TESTCARD", "%B", ";4"})
        EXPECT_FALSE(receivedText().contains(QLatin1String(part))) << part << " in " << receivedText().toStdString();
}

// The grab ends with the session, whichever way it ends.
enum class Ending { CloseDevice, CheckDevice, Exit, WindowClosed, Unplugged };

struct EndingRow
{
    const char *name;
    Ending ending;
};

class GrabReleaseTest : public CapturedWindowTest, public ::testing::WithParamInterface<EndingRow>
{
};

TEST_P(GrabReleaseTest, LetsTheReaderGo)
{
    emu::EmulatedReader *reader = addFastReader("/dev/hidraw1");
    MainForm &w = openCapturedWindow();
    click(button("BtnSetup"));
    ASSERT_TRUE(waitForKeyboard());
    ASSERT_TRUE(reader->isGrabbed());
    switch (GetParam().ending) {
    case Ending::CloseDevice: click(button("BtnClose")); break;
    case Ending::CheckDevice: w.Btn1Enabled(); click(button("BtnStart")); break;
    case Ending::Exit:
        w.Btn1Enabled();
        dialogs.yesNoAnswers.push_back(true);
        click(button("BtnExit"));
        break;
    case Ending::WindowClosed: w.close(); break;
    case Ending::Unplugged: platform.removeDevice("/dev/hidraw1"); break;
    }
    EXPECT_FALSE(reader->isGrabbed());
    if (GetParam().ending == Ending::Unplugged) {
        EXPECT_EQ(w.panelText(6), "Can't Find VORTAL9");
        EXPECT_EQ(w.panelText(2), "Disconnect");
        EXPECT_EQ(enabledControls(), mainGroup());
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, GrabReleaseTest,
                         ::testing::Values(EndingRow{"closeDevice", Ending::CloseDevice},
                                           EndingRow{"checkDevice", Ending::CheckDevice},
                                           EndingRow{"exit", Ending::Exit},
                                           EndingRow{"windowClosed", Ending::WindowClosed},
                                           EndingRow{"unplugged", Ending::Unplugged}),
                         [](const auto &info) { return std::string(info.param.name); });

// Close Device while the reader is still typing keeps its keys until the
// answer has ended, whatever is clicked next.
enum class Next { Nothing, CloseAgain, CheckDevice, EnterConfigOther, EnterConfigSame };

struct HeldRow
{
    const char *name;
    Next next;
};

class HeldUntilTheAnswerEndsTest : public CapturedWindowTest, public ::testing::WithParamInterface<HeldRow>
{
};

TEST_P(HeldUntilTheAnswerEndsTest, WhateverIsClickedNext)
{
    emu::EmulatedReader *reader = addFastReader("/dev/hidraw1");
    emu::EmulatedReader *second = addFastReader("/dev/hidraw2");
    MainForm &w = openCapturedWindow();
    click(button("BtnSetup"));
    ASSERT_TRUE(waitForKeyboard());
    OtherWindow other;
    reader->setCharIntervalMs(10);
    click(key(3));
    ASSERT_TRUE(waitFor([&] { return reader->isTyping() && !receivedText().endsWith("> "); }, 2000));
    click(button("BtnClose"));
    switch (GetParam().next) {
    case Next::Nothing: break;
    case Next::CloseAgain: click(button("BtnClose")); break;
    case Next::CheckDevice: click(button("BtnStart")); break;
    case Next::EnterConfigOther:
        combo("CbNumber")->setCurrentIndex(1);
        click(button("BtnSetup"));
        EXPECT_TRUE(second->isGrabbed());
        break;
    case Next::EnterConfigSame: click(button("BtnSetup")); break;
    }
    EXPECT_TRUE(reader->isGrabbed());
    ASSERT_TRUE(waitFor([&] { return !reader->isTyping(); }, 3000));
    if (GetParam().next != Next::EnterConfigSame) {
        EXPECT_TRUE(waitFor([&] { return !reader->isGrabbed(); }, 3000));
    }
    EXPECT_EQ(other.edit.text(), "");
    EXPECT_EQ(reader->droppedCharacters(), 0);
    // Enter Config empties the receive box; the rest of the answer lands there after it.
    if (GetParam().next < Next::EnterConfigOther) {
        EXPECT_TRUE(receivedText().endsWith("Terminator = CRLF\n> ")) << receivedText().toStdString();
    }
    EXPECT_EQ(w.session().isOpen(), GetParam().next >= Next::EnterConfigOther);
}

INSTANTIATE_TEST_SUITE_P(Clicks, HeldUntilTheAnswerEndsTest,
                         ::testing::Values(HeldRow{"nothing", Next::Nothing}, HeldRow{"closeAgain", Next::CloseAgain},
                                           HeldRow{"checkDevice", Next::CheckDevice},
                                           HeldRow{"enterConfigOnAnother", Next::EnterConfigOther},
                                           HeldRow{"enterConfigOnTheSame", Next::EnterConfigSame}),
                         [](const auto &info) { return std::string(info.param.name); });

// Another program (another session here) holds the reader's keys: the
// window says the reader is in use and sends it nothing.
TEST_F(CapturedWindowTest, AReaderHeldByAnotherProgramIsInUseAndGetsNothing)
{
    addFastReader("/dev/hidraw1");
    CaptureAttempt otherProgram = platform.capture("/dev/hidraw1");
    ASSERT_TRUE(otherProgram.capture);
    MainForm &w = openCapturedWindow();
    click(button("BtnSetup"));
    QTest::qWait(w.timing().pacingMs * 2);
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_EQ(w.panelText(6), "VORTAL9 In Use");
    EXPECT_TRUE(label("StatusBar1_Panel6")->toolTip().contains("Another program"));
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_FALSE(w.windowTitle().contains("keep this window in front"));
    EXPECT_FALSE(w.session().isOpen());
    EXPECT_EQ(platform.openHandleCount(), 0);
}
