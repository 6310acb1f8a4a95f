// The on-screen keyboard on the emulated reader: what each key sends, the
// latching Shift and Alt Gr keys, the echo check and the key pictures.
#include "WindowFixture.h"

#include "keyboard/Layouts.h"
#include "ui/Controls.h"

#include <QFile>
#include <QImage>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace vortal9;
using namespace vortal9::test;
using Clock = std::chrono::steady_clock;

namespace {
constexpr int ShiftLeft = 41, ShiftRight = 53, RightAlt = 57;
constexpr int German = 1;

qint64 msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}
} // namespace

class KeyEntryTest : public WindowTest
{
protected:
    // Opens a configuration session on one reader and waits for its menu;
    // with recording, "Start Rec" is pressed first.
    MainForm &startSession(int country = 0, const Timing &timing = Timing::faster(SpeedUp), bool recording = false)
    {
        reader = addFastReader("/dev/hidraw1");
        MainForm &w = openWindow(timing);
        if (recording)
            click(button("BtnStartRec"));
        if (country != 0) {
            combo("CbKBType")->setCurrentIndex(country);
            QMetaObject::invokeMethod(combo("CbKBType"), "activated", Q_ARG(int, country));
        }
        click(button("BtnSetup"));
        EXPECT_TRUE(waitForKeyboard());
        platform.clearLog();
        return w;
    }

    // Clicks a key and waits until the keyboard is usable again.
    void press(int index)
    {
        ASSERT_TRUE(key(index)->isEnabled()) << "key " << index;
        click(key(index));
        ASSERT_TRUE(waitForKeyboard()) << "after key " << index;
    }

    bool isDark(int index) const
    {
        return key(index)->palette().color(QPalette::Button) == form->palette().color(QPalette::Dark);
    }

    emu::EmulatedReader *reader = nullptr;
};

TEST_F(KeyEntryTest, ShiftAShiftOnUSSendsInOrderAndIsRecordedSo)
{
    MainForm &w = startSession(0, Timing::faster(SpeedUp), true);

    press(ShiftLeft);
    EXPECT_EQ(w.session().modifierState(), 1);
    EXPECT_TRUE(isDark(ShiftLeft));
    EXPECT_TRUE(isDark(ShiftRight));
    EXPECT_EQ(w.keyPictureName(29), "1C2"); // the Shift pictures show
    press(29);
    press(ShiftLeft);
    EXPECT_EQ(w.session().modifierState(), 0);
    EXPECT_FALSE(isDark(ShiftLeft));
    EXPECT_EQ(w.keyPictureName(29), "1C1");

    EXPECT_EQ(payloadStrings(), QStringList({"12", "1CF01C", "F012"}));
    EXPECT_EQ(w.session().recordedText(), "141109F009F011F014FF121CF01CF012");
}

TEST_F(KeyEntryTest, AnsweredKeysAreMarkedInTheRecording)
{
    MainForm &w = startSession(0, Timing::faster(SpeedUp), true);
    press(3); // "3": the reader answers with the next terminator
    press(ShiftRight);
    press(ShiftRight);
    EXPECT_EQ(w.session().recordedText(), "141109F009F011F014FF26F026FF12F012");
    EXPECT_EQ(reader->workingSettings().value("terminator"), "CRLF");
}

TEST_F(KeyEntryTest, OrdinaryKeysSendTheSameWhateverIsLatched)
{
    MainForm &w = startSession();
    press(2);
    press(ShiftLeft);
    press(2);
    press(ShiftLeft);
    press(13);
    press(40);
    press(56);
    press(58);
    press(54);
    press(55);
    EXPECT_EQ(payloadStrings(), QStringList({"1EF01E", "12", "1EF01E", "F012", "66F066", "5AF05A", "29F029",
                                             "E014F0E014", "14F014", "11F011"}));
    EXPECT_EQ(w.session().modifierState(), 0);
}

TEST_F(KeyEntryTest, RightAltOnUSIsAPlainAltKey)
{
    MainForm &w = startSession();
    const QString before = w.keyPictureName(20);
    press(RightAlt);
    EXPECT_EQ(payloadStrings(), QStringList({"E011F0E011"}));
    EXPECT_EQ(w.session().modifierState(), 0);
    EXPECT_FALSE(isDark(RightAlt));
    EXPECT_EQ(w.keyPictureName(20), before);
    EXPECT_EQ(key(RightAlt)->text(), "Alt");
}

TEST_F(KeyEntryTest, GermanShiftThenAltGrThenShift)
{
    MainForm &w = startSession(German);
    EXPECT_EQ(key(RightAlt)->text(), "Alt Gr");
    press(ShiftLeft);
    EXPECT_EQ(w.keyPictureName(3), "f4a2");
    // With Shift latched, Alt Gr was disabled by the transition and enabled
    // again with the rest of the keyboard.
    press(RightAlt);
    EXPECT_EQ(payloadStrings(), QStringList({"12", "F012", "E011"}));
    EXPECT_EQ(w.session().modifierState(), 2);
    EXPECT_TRUE(isDark(RightAlt));
    EXPECT_FALSE(isDark(ShiftLeft));
    EXPECT_FALSE(isDark(ShiftRight));
    // The Alt Gr pictures: twelve keys carry one, the rest are blank.
    int shown = 0;
    for (int i = 0; i < 59; ++i) {
        if (keyboard::isCharacterKey(i) && !w.keyPictureName(i).isEmpty())
            ++shown;
    }
    EXPECT_EQ(shown, 12);
    EXPECT_EQ(w.keyPictureName(17), "F243");

    platform.clearLog();
    press(ShiftRight);
    EXPECT_EQ(payloadStrings(), QStringList({"F0E011", "12"}));
    EXPECT_EQ(w.session().modifierState(), 1);
    EXPECT_FALSE(isDark(RightAlt));
    EXPECT_TRUE(isDark(ShiftLeft));

    platform.clearLog();
    press(ShiftLeft);
    press(RightAlt);
    press(RightAlt);
    EXPECT_EQ(payloadStrings(), QStringList({"F012", "E011", "F0E011"}));
    EXPECT_EQ(w.session().modifierState(), 0);
}

TEST_F(KeyEntryTest, ChangingTheCountryDropsTheLatchButNotTheColour)
{
    MainForm &w = startSession();
    press(ShiftLeft);
    w.Btn1Enabled(); // the country list, as after Close Device
    combo("CbKBType")->setCurrentIndex(German);
    QMetaObject::invokeMethod(combo("CbKBType"), "activated", Q_ARG(int, German));
    EXPECT_EQ(w.session().modifierState(), 0);
    EXPECT_EQ(w.keyPictureName(20), "1A1"); // German unshifted
    EXPECT_TRUE(isDark(ShiftLeft));
    EXPECT_EQ(payloadStrings(), QStringList({"12"})); // a country change sends nothing
}

TEST_F(KeyEntryTest, KeysAreIgnoredWithoutAReaderOrWhileItTypes)
{
    MainForm &w = startSession();
    // Something arrives in the box: the reader is still answering.
    QTest::keyClicks(form->findChild<QPlainTextEdit *>("TxtRcv"), "x");
    ASSERT_FALSE(w.session().readerIdle());
    w.EnableKeyboard();
    click(key(2));
    QTest::qWait(w.timing().pacingMs * 2);
    EXPECT_TRUE(platform.sentReports().empty());

    ASSERT_TRUE(waitFor([&] { return w.session().readerIdle(); }, 2000));
    w.session().close();
    w.EnableKeyboard();
    click(key(ShiftLeft));
    QTest::qWait(w.timing().pacingMs * 2);
    EXPECT_TRUE(platform.sentReports().empty());
    EXPECT_EQ(w.session().modifierState(), 0);
    EXPECT_FALSE(isDark(ShiftLeft));
}

TEST_F(KeyEntryTest, AMouseReleaseOnAKeyPutsTheCaretAtTheEndOfTheBox)
{
    startSession();
    auto *box = form->findChild<QPlainTextEdit *>("TxtRcv");
    QTextCursor cursor = box->textCursor();
    cursor.setPosition(3);
    box->setTextCursor(cursor);
    click(key(19)); // "T": no answer
    EXPECT_EQ(QApplication::focusWidget(), box);
    EXPECT_EQ(box->textCursor().position(), box->toPlainText().size());
}

TEST_F(KeyEntryTest, RealSpeedEchoCheckAndQuietPeriod)
{
    MainForm &w = startSession(0, Timing::real());
    reader->setTimings(20, 3, 60);

    // A key the reader does not answer: on again about 700 ms after its report.
    click(key(19));
    ASSERT_TRUE(waitFor([&] { return !platform.sentReports().empty(); }, 2000));
    ASSERT_EQ(platform.sentReports().size(), 1u);
    const auto sent = platform.sentReports()[0].at;
    EXPECT_FALSE(key(2)->isEnabled());
    ASSERT_TRUE(waitForKeyboard(3000));
    const qint64 unanswered = msBetween(sent, Clock::now());
    EXPECT_GE(unanswered, 700);
    EXPECT_LT(unanswered, 850);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "TxtRcv");

    // A key the reader answers: off until the quiet period after the answer.
    Clock::time_point lastChange;
    QObject::connect(form->findChild<QPlainTextEdit *>("TxtRcv"), &QPlainTextEdit::textChanged, &w,
                     [&] { lastChange = Clock::now(); });
    platform.clearLog();
    click(key(4)); // "4": the reader types the next tracks setting
    ASSERT_TRUE(waitForKeyboard(5000));
    const auto enabled = Clock::now();
    EXPECT_GE(msBetween(lastChange, enabled), 500);
    EXPECT_LT(msBetween(lastChange, enabled), 650);
    EXPECT_TRUE(receivedText().endsWith("Tracks = 12\n> "));
}

TEST(PictureCacheTest, FindsNamesWithoutRegardToCaseAndLeavesBadFilesBlank)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(image.save(dir.filePath("F4A2.ico"), "ico"));
    ASSERT_TRUE(image.save(dir.filePath("s551.ICO"), "ico"));
    QFile broken(dir.filePath("0E1.ico"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("not an icon");
    broken.close();

    PictureCache cache(dir.path());
    EXPECT_FALSE(cache.picture("f4a2").isNull());
    EXPECT_FALSE(cache.picture("F4A2").isNull());
    EXPECT_FALSE(cache.picture("S551").isNull());
    EXPECT_TRUE(cache.picture("0E1").isNull()); // unreadable
    EXPECT_TRUE(cache.picture("0E2").isNull()); // missing
    EXPECT_TRUE(cache.picture("").isNull());
}

TEST_F(KeyEntryTest, EveryKeyOfEveryLayoutShowsADrawnPicture)
{
    MainForm &w = openWindow();
    for (int country = 0; country < keyboard::CountryCount; ++country) {
        combo("CbKBType")->setCurrentIndex(country);
        for (int state = 0; state < 3; ++state) {
            int s = state;
            w.ShowLayout(s);
            for (int i = 0; i < 59; ++i) {
                if (!keyboard::isCharacterKey(i))
                    continue;
                const QString name = w.keyPictureName(i);
                EXPECT_EQ(key(i)->icon().isNull(), name.isEmpty())
                    << "country " << country << " state " << state << " key " << i;
            }
        }
    }
}
