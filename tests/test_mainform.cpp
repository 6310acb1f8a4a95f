// The window after start-up, reader discovery, the button groups and the
// session-control buttons, on the emulated platform.
#include "WindowFixture.h"
#include "session/MinimumTimer.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace vortal9;
using namespace vortal9::test;

namespace {

emu::EmulatedDevice plainDevice(const std::string &path, std::uint16_t vid, std::uint16_t pid, int featureLength)
{
    emu::EmulatedDevice d;
    d.path = path;
    d.vendorId = vid;
    d.productId = pid;
    d.featureLength = featureLength;
    return d;
}

QStringList listEntries(QComboBox *box)
{
    QStringList entries;
    for (int i = 0; i < box->count(); ++i)
        entries << box->itemText(i);
    return entries;
}

} // namespace

class StartupTest : public WindowTest
{
};

TEST_F(StartupTest, WindowAfterStartUpWithoutReader)
{
    MainForm &w = openWindow();
    EXPECT_EQ(w.windowTitle(), "VORTAL9 Configuration Setup AP (PX4KQ905)");
    EXPECT_EQ(w.size(), QSize(504, 532));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_FALSE(w.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(w.windowIcon().isNull());

    EXPECT_EQ(w.panelText(1), " Status ");
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_EQ(w.panelText(3), "IV.");
    EXPECT_EQ(w.panelText(4), "");
    EXPECT_EQ(w.panelText(5), "Error Msg");
    // The enumeration's "Can't Find VORTAL9" is cleared again at the end of start-up.
    EXPECT_EQ(w.panelText(6), "");
    EXPECT_EQ(label("Lb1")->text(), "[ 0 ]");
    EXPECT_EQ(combo("CbNumber")->count(), 0);
    EXPECT_FALSE(w.usb().ReaderFound);
    EXPECT_FALSE(w.session().isOpen());

    EXPECT_EQ(combo("CbKBType")->currentText(), "U.S.");
    EXPECT_EQ(listEntries(combo("CbKBType")),
              QStringList({"U.S.", "German", "French/Belgian", "U.K. English", "Spanish", "Italian", "Dutch",
                           "Portuguese", "Swedish/Finland", "Danish"}));
    EXPECT_EQ(w.keyPictureName(0), "0E1");
    EXPECT_EQ(w.keyPictureName(42), "611");
    EXPECT_EQ(w.keyPictureName(52), "4A1");
    EXPECT_EQ(key(57)->text(), "Alt");
    for (int i = 0; i < 59; ++i)
        EXPECT_FALSE(key(i)->isEnabled()) << "key " << i;
    for (const char *name : {"BtnStart", "BtnSetup", "BtnClose", "BtnClear", "BtnExit", "BtnLoadFile",
                             "BtnConSetting", "BtnStartRec", "BtnSave"})
        EXPECT_TRUE(button(name)->isEnabled()) << name;
    EXPECT_TRUE(combo("CbKBType")->isEnabled());
    EXPECT_TRUE(combo("CbNumber")->isEnabled());
    // QTimer or MinimumTimer: both say whether they run as "active".
    for (const char *timer : {"Timer1", "Timer2", "Timer3"}) {
        const QObject *t = w.findChild<QObject *>(QLatin1String(timer));
        ASSERT_NE(t, nullptr) << timer;
        ASSERT_TRUE(t->property("active").isValid()) << timer;
        EXPECT_FALSE(t->property("active").toBool()) << timer;
    }
    EXPECT_FALSE(w.session().readerIdle());
    EXPECT_FALSE(w.session().isScriptRunning());
    EXPECT_EQ(w.session().modifierState(), 0);

    const QString warning = label("Label3")->text();
    const QStringList lines = warning.split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "Warning : Before you close the application program, please make sure the device is ");
    EXPECT_EQ(lines[1], QString(16, ' ') + "not in the configuration mode.");
    EXPECT_LE(QFontMetrics(label("Label3")->font()).horizontalAdvance(lines[0].trimmed()),
              label("Label3")->width());
}

TEST_F(StartupTest, TypingAfterStartUpLandsInTheReceiveBox)
{
    openWindow();
    QWidget *focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    EXPECT_EQ(focus->objectName(), "TxtRcv");
    QTest::keyClicks(focus, "hello 1");
    EXPECT_EQ(receivedText(), "hello 1");
}

TEST_F(StartupTest, ControlsStandWhereTheDesignPutsThem)
{
    openWindow();
    struct Row
    {
        const char *name;
        QRect pixels;
    };
    // Twips of the design divided by 15, relative to the window or frame.
    const Row rows[] = {
        {"Label1", {8, 8, 129, 25}},        {"CbKBType", {120, 8, 153, 24}},
        {"LbModel", {8, 40, 209, 25}},      {"Lb1", {192, 40, 57, 25}},
        {"Label2", {8, 64, 121, 25}},       {"CbNumber", {120, 64, 65, 24}},
        {"BtnStart", {288, 8, 65, 33}},     {"BtnSetup", {288, 48, 65, 33}},
        {"BtnClose", {360, 8, 65, 33}},     {"BtnClear", {360, 48, 65, 33}},
        {"BtnExit", {432, 8, 57, 73}},      {"FrameFile", {8, 88, 489, 41}},
        {"TxtFileName", {8, 16, 121, 19}},  {"BtnLoadFile", {136, 16, 81, 17}},
        {"BtnConSetting", {224, 16, 81, 17}}, {"BtnStartRec", {312, 16, 81, 17}},
        {"BtnSave", {400, 16, 81, 17}},     {"Label3", {8, 136, 489, 33}},
        {"TxtRcv", {8, 168, 489, 193}},     {"FrameKB", {8, 360, 489, 145}},
        {"StatusBar1", {0, 507, 504, 25}},  {"BtnKB_0", {8, 16, 33, 25}},
        {"BtnKB_13", {424, 16, 57, 25}},    {"BtnKB_14", {8, 40, 57, 25}},
        {"BtnKB_27", {448, 40, 33, 25}},    {"BtnKB_28", {8, 64, 65, 25}},
        {"BtnKB_40", {424, 64, 57, 25}},    {"BtnKB_41", {8, 88, 57, 25}},
        {"BtnKB_53", {416, 88, 65, 25}},    {"BtnKB_54", {8, 112, 73, 25}},
        {"BtnKB_56", {152, 112, 201, 25}},  {"BtnKB_58", {424, 112, 57, 25}},
    };
    for (const Row &row : rows) {
        QWidget *widget = form->findChild<QWidget *>(QLatin1String(row.name));
        ASSERT_NE(widget, nullptr) << row.name;
        EXPECT_EQ(widget->geometry(), row.pixels) << row.name;
    }
    EXPECT_EQ(key(14)->text(), "Tab");
    EXPECT_EQ(key(13)->accessibleName(), "BackSp");
    EXPECT_EQ(button("BtnSetup")->accessibleName(), "Enter Config");
    // Panels whose text changes must not carry a fixed accessible name.
    EXPECT_TRUE(label("StatusBar1_Panel6")->accessibleName().isEmpty());
    EXPECT_TRUE(label("Lb1")->accessibleName().isEmpty());
}

TEST_F(StartupTest, TabOrderStartsAtTheReceiveBox)
{
    openWindow();
    QStringList order;
    QWidget *w = form->findChild<QWidget *>("TxtRcv");
    for (int i = 0; i < 14; ++i) {
        order << w->objectName();
        do {
            w = w->nextInFocusChain();
        } while (!(w->focusPolicy() & Qt::TabFocus) || w->objectName().isEmpty());
    }
    EXPECT_EQ(order, QStringList({"TxtRcv", "BtnExit", "CbNumber", "BtnSetup", "BtnClear", "CbKBType", "BtnClose",
                                  "TxtFileName", "BtnLoadFile", "BtnStart", "BtnStartRec", "BtnSave",
                                  "BtnConSetting", "BtnKB_0"}));
}

class DiscoveryTest : public WindowTest
{
};

TEST_F(DiscoveryTest, NoInterfaceAtAll)
{
    MainForm &w = openWindow();
    EXPECT_FALSE(w.usb().FindReaders());
    EXPECT_EQ(w.usb().ReaderCount, 0);
    EXPECT_EQ(label("Lb1")->text(), "[ 0 ]");
    EXPECT_EQ(combo("CbNumber")->count(), 0);
    EXPECT_EQ(combo("CbNumber")->currentIndex(), -1);
    EXPECT_EQ(w.panelText(6), "Can't Find VORTAL9");
    // The set is held until the reader is closed, and released only once.
    EXPECT_EQ(platform.liveDeviceSetCount(), 1);
    w.usb().CloseReader();
    EXPECT_EQ(platform.liveDeviceSetCount(), 0);
}

TEST_F(DiscoveryTest, DevicesThatAreNotReadersAreProbedAndSkipped)
{
    platform.addDevice(plainDevice("/dev/hidraw0", 0x04B4, 0x210A, 0)); // a reader's ids, no feature report
    platform.addDevice(plainDevice("/dev/hidraw1", 0x046D, 0xC31C, 9)); // feature report, other ids
    platform.addDevice(plainDevice("/dev/hidraw2", 0x04B4, 0x210B, 9)); // other product
    addFastReader("/dev/hidraw3");
    MainForm &w = openWindow();
    platform.clearLog();

    EXPECT_TRUE(w.usb().FindReaders());
    EXPECT_EQ(w.usb().ReaderCount, 1);
    EXPECT_EQ(w.usb().DevicePaths, std::vector<std::string>({"/dev/hidraw3"}));
    EXPECT_EQ(w.panelText(6), "Write Data Length Error");
    // Two passes, each opening every interface once with no access rights,
    // and every handle closed again.
    const auto opens = platform.openCalls();
    ASSERT_EQ(opens.size(), 8u);
    for (const auto &[path, access] : opens)
        EXPECT_EQ(access, AccessNone) << path;
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_EQ(platform.liveDeviceSetCount(), 0);
    EXPECT_FALSE(w.session().isOpen());
}

TEST_F(DiscoveryTest, TwoReadersInEnumerationOrder)
{
    addFastReader("/dev/hidraw7");
    platform.addDevice(plainDevice("/dev/hidraw2", 0x1234, 0x5678, 4));
    addFastReader("/dev/hidraw4");
    MainForm &w = openWindow();
    EXPECT_TRUE(w.usb().ReaderFound);
    EXPECT_EQ(label("Lb1")->text(), "[ 2 ]");
    EXPECT_EQ(listEntries(combo("CbNumber")), QStringList({" 1", " 2"}));
    EXPECT_EQ(combo("CbNumber")->currentIndex(), 0);
    EXPECT_EQ(w.usb().DevicePaths, std::vector<std::string>({"/dev/hidraw7", "/dev/hidraw4"}));
    EXPECT_EQ(w.panelText(6), "");
}

TEST_F(DiscoveryTest, ReaderAttachedBetweenThePassesIsIgnored)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    int firstIndexCalls = 0;
    platform.beforeEnumInterface = [&](int index) {
        if (index == 0 && ++firstIndexCalls == 2) // the fill pass begins
            platform.addDevice(plainDevice("/dev/hidraw0", 0x04B4, 0x210A, 9));
    };
    EXPECT_TRUE(w.usb().FindReaders());
    EXPECT_EQ(w.usb().ReaderCount, 1);
    EXPECT_EQ(combo("CbNumber")->count(), 1);
    EXPECT_EQ(w.usb().DevicePaths, std::vector<std::string>({"/dev/hidraw1"}));
}

TEST_F(DiscoveryTest, ReaderRemovedBetweenThePassesLeavesAnEmptyPath)
{
    addFastReader("/dev/hidraw1");
    addFastReader("/dev/hidraw2");
    MainForm &w = openWindow();
    int firstIndexCalls = 0;
    platform.beforeEnumInterface = [&](int index) {
        if (index == 0 && ++firstIndexCalls == 2)
            platform.removeDevice("/dev/hidraw2");
    };
    EXPECT_TRUE(w.usb().FindReaders());
    EXPECT_EQ(w.usb().DevicePaths, std::vector<std::string>({"/dev/hidraw1", ""}));
    platform.beforeEnumInterface = nullptr;

    // Opening the empty path fails like any failed open.
    combo("CbNumber")->setCurrentIndex(1);
    click(button("BtnSetup"));
    EXPECT_EQ(w.panelText(6), "Open VORTAL9 Error");
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_FALSE(w.session().isOpen());
    EXPECT_TRUE(payloads().empty());
}

TEST_F(DiscoveryTest, DetailQueryFailureEndsTheScan)
{
    auto failing = plainDevice("/dev/hidraw5", 0x1111, 0x2222, 9);
    failing.failDetailQuery = true;

    // Before any reader: the path message, then "Can't Find VORTAL9" over it.
    platform.addDevice(failing);
    addFastReader("/dev/hidraw6");
    MainForm &w = openWindow();
    platform.clearLog();
    EXPECT_FALSE(w.usb().FindReaders());
    EXPECT_EQ(w.panelText(6), "Can't Find VORTAL9");
    EXPECT_EQ(w.usb().ReaderCount, 0);
    EXPECT_TRUE(platform.openCalls().empty()); // nothing after the failing interface is probed

    // After a reader: what was counted stands and is listed.
    platform.removeDevice("/dev/hidraw5");
    platform.addDevice(failing);
    EXPECT_TRUE(w.usb().FindReaders());
    EXPECT_EQ(w.usb().ReaderCount, 1);
    EXPECT_EQ(w.panelText(6), "Can't Get Device Path Name");
    EXPECT_EQ(w.usb().DevicePaths, std::vector<std::string>({"/dev/hidraw6"}));
}

struct ManufacturerRow
{
    const char *name;
    std::optional<std::u16string> reported;
    QString shown;
};

class ManufacturerTest : public WindowTest, public ::testing::WithParamInterface<ManufacturerRow>
{
};

TEST_P(ManufacturerTest, ShowsTheLastEightCharactersPaddedWithZeros)
{
    emu::EmulatedDevice reader;
    reader.path = "/dev/hidraw3";
    reader.manufacturer = GetParam().reported;
    platform.addDevice(reader);
    MainForm &w = openWindow();
    ASSERT_GE(w.usb().OpenReader("/dev/hidraw3", AccessReadWrite), 1);
    EXPECT_EQ(w.usb().ReadManufacturerString(), GetParam().shown);
    w.usb().CloseReader();
}

INSTANTIATE_TEST_SUITE_P(
    Strings, ManufacturerTest,
    ::testing::Values(ManufacturerRow{"empty", std::u16string(), "00000000"},
                      ManufacturerRow{"four", std::u16string(u"ACME"), "0000ACME"},
                      ManufacturerRow{"eight", std::u16string(u"VORTAL9X"), "VORTAL9X"},
                      ManufacturerRow{"ten", std::u16string(u"0123456789"), "23456789"},
                      ManufacturerRow{"wide", std::u16string(u"A\u0142B"), "00000ABB"},
                      ManufacturerRow{"failed", std::nullopt, ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DiscoveryTest, CheckDeviceRebuildsTheListAndResetsTheSelection)
{
    addFastReader("/dev/hidraw1");
    addFastReader("/dev/hidraw2");
    MainForm &w = openWindow();
    combo("CbNumber")->setCurrentIndex(1);
    addFastReader("/dev/hidraw3");
    click(button("BtnStart"));
    EXPECT_EQ(listEntries(combo("CbNumber")), QStringList({" 1", " 2", " 3"}));
    EXPECT_EQ(combo("CbNumber")->currentIndex(), 0);
    EXPECT_EQ(label("Lb1")->text(), "[ 3 ]");

    platform.removeDevice("/dev/hidraw1");
    platform.removeDevice("/dev/hidraw2");
    platform.removeDevice("/dev/hidraw3");
    click(button("BtnStart"));
    EXPECT_EQ(combo("CbNumber")->count(), 0);
    EXPECT_EQ(label("Lb1")->text(), "[ 0 ]");
    EXPECT_FALSE(w.usb().ReaderFound);
    EXPECT_EQ(w.panelText(6), ""); // cleared right after the enumeration
    EXPECT_EQ(w.panelText(2), "Disconnect");
}

TEST_F(DiscoveryTest, AttachedReadersThatCannotBeOpenedAreNamedNotSilentlyUncounted)
{
    // The panel shows what fits of the hint, its tooltip the whole hint.
    const auto shown = [&] {
        QLabel *panel = label("StatusBar1_Panel6");
        EXPECT_LE(panel->fontMetrics().horizontalAdvance(panel->text()), panel->contentsRect().width());
        return std::make_pair(panel->text(), panel->toolTip());
    };
    platform.blockedSummary = "1 reader can't be opened: /usr/local/bin/vortal9-batch doctor";
    form = std::make_unique<MainForm>(platform, &platform, dialogs, Timing::faster(SpeedUp));
    EXPECT_EQ(shown(), std::make_pair(QString("1 reader can't be opened"), platform.blockedSummary)); // at start-up
    EXPECT_EQ(label("Lb1")->text(), "[ 0 ]");
    platform.blockedSummary = "2 readers can't be opened: vortal9-batch doctor";
    click(button("BtnStart"));
    EXPECT_EQ(shown(), std::make_pair(QString("2 readers can't be opened"), platform.blockedSummary));
    platform.blockedSummary.clear();
    click(button("BtnStart"));
    EXPECT_EQ(shown(), std::make_pair(QString(), QString())); // the design's Check Device
}

TEST_F(DiscoveryTest, CheckDeviceWithAReaderStillOpenClosesItFirst)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    ASSERT_TRUE(w.session().open("/dev/hidraw1"));
    ASSERT_EQ(platform.openHandleCount(), 1);
    click(button("BtnStart"));
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_FALSE(w.session().isOpen());

    // A set held from a scan that found nothing is released by the next one.
    platform.removeDevice("/dev/hidraw1");
    click(button("BtnStart"));
    EXPECT_EQ(platform.liveDeviceSetCount(), 1);
    click(button("BtnStart"));
    EXPECT_EQ(platform.liveDeviceSetCount(), 1);
    click(button("BtnClose"));
    EXPECT_EQ(platform.liveDeviceSetCount(), 0);
}

class ButtonGroupTest : public WindowTest
{
protected:
    QList<int> enabledKeys() const
    {
        QList<int> keys;
        for (int i = 0; i < 59; ++i) {
            if (key(i)->isEnabled())
                keys << i;
        }
        return keys;
    }
};

TEST_F(ButtonGroupTest, EachProcedureSwitchesItsGroup)
{
    MainForm &w = openWindow();
    const QStringList all = mainGroup();
    w.Btn1Disabled();
    EXPECT_TRUE(enabledMainGroup().isEmpty());
    w.Btn1Enabled();
    EXPECT_EQ(enabledMainGroup(), all);
    w.Btn2Disabled();
    EXPECT_EQ(enabledMainGroup(), QStringList({"BtnClose"}));
    w.Btn2Disabled();
    EXPECT_EQ(enabledMainGroup(), QStringList({"BtnClose"}));
    w.Btn1Disabled();
    w.Btn2Disabled(); // leaves a disabled "Close Device" disabled
    EXPECT_TRUE(enabledMainGroup().isEmpty());
    w.Btn2Enabled();
    EXPECT_EQ(enabledMainGroup(), all);

    w.EnableKeyboard();
    QList<int> expected;
    for (int i = 0; i < 59; ++i) {
        if (i != 14 && i != 28)
            expected << i;
    }
    EXPECT_EQ(enabledKeys(), expected);
    w.EnableKeyboard();
    EXPECT_EQ(enabledKeys(), expected);
    w.DisableKeyboard();
    EXPECT_TRUE(enabledKeys().isEmpty());
    // The groups touch nothing but the enabled state.
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "TxtRcv");
    EXPECT_EQ(button("BtnSetup")->text(), "Enter Config");
}

class SessionControlTest : public WindowTest
{
};

TEST_F(SessionControlTest, ExitAsksAndNoChangesNothing)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    ASSERT_TRUE(w.session().open("/dev/hidraw1"));
    QTest::keyClicks(QApplication::focusWidget(), "abc");
    QSignalSpy unloaded(&w, &MainForm::unloaded);

    dialogs.yesNoAnswers.push_back(false);
    click(button("BtnExit"));
    EXPECT_EQ(dialogs.asked, QStringList({"yesno:Warning"}));
    EXPECT_EQ(dialogs.lastText,
              "Before you close the application program, please make sure the device is not in the configuration "
              "mode.\nOtherwise, you have to re-attach the device after close the application program.\nIf you want "
              "to close the, please press YES. Or press NO to back to the application program.");
    EXPECT_EQ(unloaded.count(), 0);
    EXPECT_TRUE(w.session().isOpen());
    EXPECT_EQ(receivedText(), "abc");
    EXPECT_TRUE(w.isVisible());

    dialogs.yesNoAnswers.push_back(true);
    click(button("BtnExit"));
    EXPECT_EQ(unloaded.count(), 1);
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_FALSE(w.isVisible());
}

TEST_F(SessionControlTest, ClosingTheWindowAnyOtherWayUnloadsIt)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    ASSERT_TRUE(w.session().open("/dev/hidraw1"));
    QSignalSpy unloaded(&w, &MainForm::unloaded);
    EXPECT_TRUE(w.close());
    EXPECT_EQ(unloaded.count(), 1);
    EXPECT_EQ(platform.openHandleCount(), 0);
}

TEST_F(SessionControlTest, CloseDeviceWithoutReaderEndsIdle)
{
    MainForm &w = openWindow();
    w.Btn2Disabled();
    w.EnableKeyboard();
    click(button("BtnClose"));
    EXPECT_EQ(w.panelText(2), "Disconnect");
    EXPECT_EQ(w.panelText(4), "");
    EXPECT_EQ(w.panelText(6), "");
    EXPECT_TRUE(button("BtnSetup")->isEnabled());
    EXPECT_TRUE(combo("CbNumber")->isEnabled());
    EXPECT_FALSE(key(2)->isEnabled());
    EXPECT_FALSE(w.session().readerIdle());
}

TEST_F(SessionControlTest, ClearEmptiesTheBoxAndNothingElse)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    ASSERT_TRUE(w.session().open("/dev/hidraw1"));
    QTest::keyClicks(QApplication::focusWidget(), "menu");
    auto *timer1 = w.findChild<MinimumTimer *>("Timer1");
    EXPECT_TRUE(timer1->isActive());
    click(button("BtnClear"));
    EXPECT_EQ(receivedText(), "");
    // The quiet timer still runs out and marks the reader idle.
    EXPECT_TRUE(timer1->isActive());
    EXPECT_TRUE(waitFor([&] { return w.session().readerIdle(); }, 2000));
    EXPECT_TRUE(key(2)->isEnabled());
}

TEST_F(SessionControlTest, TextWithoutAnOpenReaderNeverEnablesTheKeyboard)
{
    MainForm &w = openWindow();
    QTest::keyClicks(QApplication::focusWidget(), "typed by hand");
    EXPECT_FALSE(w.findChild<MinimumTimer *>("Timer1")->isActive());
    QTest::qWait(w.timing().quietMs * 2);
    EXPECT_FALSE(w.session().readerIdle());
    EXPECT_FALSE(key(2)->isEnabled());
}

TEST_F(SessionControlTest, BurstsCloserThanTheQuietPeriodGiveOneQuietPeriod)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    ASSERT_TRUE(w.session().open("/dev/hidraw1"));
    // Something was sent in this recording: each end of an answer after it
    // is marked.
    w.session().resumeRecording("1EF01E");
    int fired = 0;
    QObject::connect(w.findChild<MinimumTimer *>("Timer1"), &MinimumTimer::timeout, &w, [&] { ++fired; });
    for (int burst = 0; burst < 4; ++burst) {
        QTest::keyClicks(QApplication::focusWidget(), "ab");
        QTest::qWait(w.timing().quietMs / 3);
    }
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(waitFor([&] { return fired > 0; }, 2000));
    QTest::qWait(w.timing().quietMs);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(w.session().recordedText(), "1EF01EFF");

    // A second answer after a quiet period adds a second marker.
    QTest::keyClicks(QApplication::focusWidget(), "c");
    EXPECT_TRUE(waitFor([&] { return fired == 2; }, 2000));
    EXPECT_EQ(w.session().recordedText(), "1EF01EFFFF");
}

TEST_F(SessionControlTest, AClickIntoTheTextInsertsThereThenTheCaretMovesToTheEnd)
{
    addFastReader("/dev/hidraw1");
    MainForm &w = openWindow();
    ASSERT_TRUE(w.session().open("/dev/hidraw1"));
    auto *box = w.findChild<QPlainTextEdit *>("TxtRcv");
    QTest::keyClicks(box, "abcdef");
    QTextCursor cursor = box->textCursor();
    cursor.setPosition(2);
    box->setTextCursor(cursor);
    QTest::keyClicks(box, "XY");
    EXPECT_EQ(receivedText(), "abXcdefY");
}
