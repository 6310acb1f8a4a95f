// The emulated HID platform and the emulated reader's firmware: scan-code
// decoding, the configuration menu, typing into the focused widget, and the
// failures that the platform can inject.
#include "EmulatedPlatform.h"
#include "EmulatedReader.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

using namespace vortal9;
using namespace vortal9::emu;
using Key = EmulatedReader::KeyEvent;

namespace vortal9::emu {
void PrintTo(const EmulatedReader::KeyEvent &key, std::ostream *os)
{
    *os << (key.release ? "break " : "make ") << (key.extended ? "E0 " : "") << std::hex << int(key.code);
}
} // namespace vortal9::emu

namespace {

using Bytes = std::vector<std::uint8_t>;

// Report ID 0, the payload, zero fill to length.
Bytes report(const Bytes &payload, std::size_t length = 9)
{
    Bytes r{0};
    r.insert(r.end(), payload.begin(), payload.end());
    r.resize(std::max(length, r.size()), 0);
    return r;
}

std::string repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

Bytes hexBytes(const std::string &hex)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(std::uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Table rows print as their names in failure messages.
template <class Row>
    requires requires(const Row &r) { r.name; }
void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

const QString DefaultMenu = QStringLiteral("VORTAL9 SETUP\n1 Preamble: (none)\n2 Postamble: (none)\n"
                                           "3 Terminator: CR\n4 Tracks: 123\n5 Beep: ON\n"
                                           "8 Save and exit\n9 Exit without saving\n> ");

class ReaderTest : public ::testing::Test
{
protected:
    void SetUp() override { reader->setTimings(0, 0, 0); }

    // Sends a scan-code string the way the program does: cut into reports of
    // at most 7 payload bytes by position.
    void send(const std::string &hex)
    {
        const Bytes bytes = hexBytes(hex);
        for (std::size_t i = 0; i < bytes.size(); i += 7) {
            const auto from = bytes.begin() + long(i);
            reader->receiveReport(report(Bytes(from, from + long(std::min<std::size_t>(7, bytes.size() - i)))));
        }
    }

    // Sends and returns what the reader types in answer.
    QString answerTo(const std::string &hex)
    {
        const qsizetype before = reader->typedText().size();
        send(hex);
        EXPECT_TRUE(waitUntilIdle());
        return reader->typedText().mid(before);
    }

    // Runs the event loop until the reader has typed everything it queued and
    // the key events of the last character have been delivered.
    bool waitUntilIdle(int timeoutMs = 5000)
    {
        if (reader->isTyping()) {
            QEventLoop loop;
            QObject::connect(reader, &EmulatedReader::typingFinished, &loop, &QEventLoop::quit);
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            loop.exec();
        }
        QCoreApplication::processEvents();
        return !reader->isTyping();
    }

    void enterConfig() { ASSERT_EQ(answerTo("141109F009F011F014"), DefaultMenu); }

    QObject root;
    EmulatedReader *reader = new EmulatedReader(&root);
};

// ---- decoding --------------------------------------------------------------

struct DecodeCase
{
    const char *name;
    std::vector<Bytes> payloads; // one report each
    std::vector<Key> expected;
};

class DecodeTest : public ReaderTest, public ::testing::WithParamInterface<DecodeCase>
{
};

TEST_P(DecodeTest, DecodesKeyTransitions)
{
    for (const Bytes &p : GetParam().payloads)
        reader->receiveReport(report(p));
    EXPECT_EQ(reader->keyEvents(), GetParam().expected);
    EXPECT_EQ(reader->receivedReports().size(), GetParam().payloads.size());
}

INSTANTIATE_TEST_SUITE_P(
    Emulator, DecodeTest,
    ::testing::Values(
        DecodeCase{"MakeAndBreak", {{0x1C, 0xF0, 0x1C}}, {{0x1C, false, false}, {0x1C, false, true}}},
        DecodeCase{"ExtendedBreakF0First", {{0xE0, 0x11, 0xF0, 0xE0, 0x11}}, {{0x11, true, false}, {0x11, true, true}}},
        DecodeCase{"ExtendedBreakE0First", {{0xE0, 0x14, 0xE0, 0xF0, 0x14}}, {{0x14, true, false}, {0x14, true, true}}},
        DecodeCase{"BreakPrefixEndsReport", {{0x1C, 0xF0}, {0x1C}}, {{0x1C, false, false}, {0x1C, false, true}}},
        DecodeCase{"BothPrefixesEndReport", {{0xF0, 0xE0}, {0x11}}, {{0x11, true, true}}},
        DecodeCase{"PrefixesInTwoReports", {{0xE0}, {0xF0}, {0x14}}, {{0x14, true, true}}},
        DecodeCase{"ZeroFillIgnored", {{0x00, 0x1C, 0x00, 0xF0, 0x00, 0x1C}},
                   {{0x1C, false, false}, {0x1C, false, true}}},
        DecodeCase{"EmptyReport", {{}}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

struct ModifierCase
{
    const char *name;
    std::string hex;
    unsigned held;
};

class ModifierTest : public ReaderTest, public ::testing::WithParamInterface<ModifierCase>
{
};

TEST_P(ModifierTest, TracksHeldModifiersAndNeverAnswersThem)
{
    enterConfig();
    EXPECT_EQ(answerTo(GetParam().hex), QString());
    EXPECT_EQ(reader->heldModifiers(), GetParam().held);
}

INSTANTIATE_TEST_SUITE_P(
    Emulator, ModifierTest,
    ::testing::Values(ModifierCase{"LeftShift", "12", EmulatedReader::LeftShift},
                      ModifierCase{"RightShift", "59", EmulatedReader::RightShift},
                      ModifierCase{"LeftCtrl", "14", EmulatedReader::LeftCtrl},
                      ModifierCase{"RightCtrl", "E014", EmulatedReader::RightCtrl},
                      ModifierCase{"LeftAlt", "11", EmulatedReader::LeftAlt},
                      ModifierCase{"AltGr", "E011", EmulatedReader::AltGr},
                      ModifierCase{"ShiftAndAltGr", "12E011", EmulatedReader::LeftShift | EmulatedReader::AltGr},
                      ModifierCase{"ShiftReleased", "12F012", 0},
                      ModifierCase{"AltGrReleasedF0First", "E011F0E011", 0},
                      ModifierCase{"CtrlReleasedE0First", "E014E0F014", 0},
                      ModifierCase{"ExtendedTwelveIsNoShift", "E012", 0}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- the configuration menu ------------------------------------------------

TEST_F(ReaderTest, KeysOutsideConfigModeGetNoAnswer)
{
    EXPECT_EQ(answerTo("16F0161CF01C5AF05A3EF03E"), QString());
    EXPECT_FALSE(reader->inConfigMode());
    EXPECT_EQ(reader->receivedReports().size(), 2u);
}

struct HotKeyCase
{
    const char *name;
    std::string hex;
    bool enters;
};

class HotKeyTest : public ReaderTest, public ::testing::WithParamInterface<HotKeyCase>
{
};

TEST_P(HotKeyTest, NeedsLeftCtrlAndLeftAltHeldAtF10)
{
    const QString answer = answerTo(GetParam().hex);
    EXPECT_EQ(reader->inConfigMode(), GetParam().enters);
    EXPECT_EQ(answer, GetParam().enters ? DefaultMenu : QString());
}

INSTANTIATE_TEST_SUITE_P(Emulator, HotKeyTest,
                         ::testing::Values(HotKeyCase{"ProgramsOrder", "141109F009F011F014", true},
                                           HotKeyCase{"AltFirst", "111409", true},
                                           HotKeyCase{"CtrlOnly", "1409F009F014", false},
                                           HotKeyCase{"AltOnly", "1109F009F011", false},
                                           HotKeyCase{"RightCtrl", "E0141109", false},
                                           HotKeyCase{"RightAlt", "14E01109", false},
                                           HotKeyCase{"ReleasedBeforeF10", "1411F011F01409", false},
                                           HotKeyCase{"F10BreakOnly", "1411F009", false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ReaderTest, FullSessionSavesEditedSettings)
{
    enterConfig();
    EXPECT_EQ(answerTo("16F016"), QStringLiteral("1\nPreamble? "));
    EXPECT_EQ(reader->menuState(), EmulatedReader::MenuState::EditPreamble);
    EXPECT_EQ(answerTo("12"), QString());
    EXPECT_EQ(answerTo("1CF01C"), QStringLiteral("A"));
    EXPECT_EQ(answerTo("F012"), QString());
    EXPECT_EQ(answerTo("32F032"), QStringLiteral("b"));
    EXPECT_EQ(answerTo("5AF05A"), QStringLiteral("\nPreamble = Ab\n> "));
    EXPECT_EQ(answerTo("26F026"), QStringLiteral("3\nTerminator = CRLF\n> "));
    EXPECT_EQ(reader->workingSettings().value("terminator"), "CRLF");
    EXPECT_EQ(reader->storedSettings().value("terminator"), "CR"); // not saved yet
    EXPECT_EQ(answerTo("3EF03E"), QStringLiteral("8\nSaved. Bye\n"));

    const QMap<QString, QString> expected{{"preamble", "Ab"}, {"postamble", ""}, {"terminator", "CRLF"},
                                          {"tracks", "123"},  {"beep", "ON"}};
    EXPECT_EQ(reader->storedSettings(), expected);
    EXPECT_FALSE(reader->inConfigMode());
    EXPECT_EQ(answerTo("16F016"), QString()); // the menu is closed

    // The next session's menu shows the saved values.
    EXPECT_TRUE(answerTo("141109F009F011F014").startsWith("VORTAL9 SETUP\n1 Preamble: Ab\n2 Postamble: (none)\n"
                                                          "3 Terminator: CRLF\n"));
}

TEST_F(ReaderTest, ExitWithoutSavingDiscardsChanges)
{
    enterConfig();
    answerTo("1EF0161CF01C5AF05A"); // "2", "a", Enter: postamble "a"
    EXPECT_EQ(answerTo("2EF02E"), QStringLiteral("5\nBeep = OFF\n> "));
    EXPECT_EQ(reader->workingSettings().value("postamble"), "a");
    EXPECT_EQ(answerTo("46F046"), QStringLiteral("9\nBye\n"));
    EXPECT_FALSE(reader->inConfigMode());
    EXPECT_EQ(reader->storedSettings().value("postamble"), "");
    EXPECT_EQ(reader->storedSettings().value("beep"), "ON");
    EXPECT_EQ(reader->workingSettings(), reader->storedSettings());
}

struct CycleCase
{
    const char *name;
    std::string key;
    QString menuDigit;
    QString setting;
    QString answerWord;
    QStringList values; // after each press
};

class CycleTest : public ReaderTest, public ::testing::WithParamInterface<CycleCase>
{
};

TEST_P(CycleTest, EachPressMovesToTheNextValue)
{
    const CycleCase &c = GetParam();
    enterConfig();
    for (const QString &value : c.values) {
        EXPECT_EQ(answerTo(c.key), QStringLiteral("%1\n%2 = %3\n> ").arg(c.menuDigit, c.answerWord, value));
        EXPECT_EQ(reader->workingSettings().value(c.setting), value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Emulator, CycleTest,
    ::testing::Values(CycleCase{"Terminator", "26F026", "3", "terminator", "Terminator", {"CRLF", "TAB", "NONE", "CR"}},
                      CycleCase{"Tracks", "25F025", "4", "tracks", "Tracks", {"12", "23", "13", "1", "2", "3", "123"}},
                      CycleCase{"Beep", "2EF02E", "5", "beep", "Beep", {"OFF", "ON"}}),
    [](const auto &info) { return std::string(info.param.name); });

// Keys at the menu prompt that are not menu entries, and chords, get no answer.
TEST_F(ReaderTest, PromptIgnoresOtherKeys)
{
    enterConfig();
    for (const char *hex : {"1CF01C", "36F036", "5AF05A", "66F066", "29F029", "F016", "1216F016F012",
                            "E0111EF01EF0E011", "1426F026F014", "E0141EF01EF0E014"}) {
        EXPECT_EQ(answerTo(hex), QString()) << hex;
    }
    EXPECT_EQ(reader->workingSettings(), reader->storedSettings());
    EXPECT_EQ(reader->menuState(), EmulatedReader::MenuState::Prompt);
}

struct EditCase
{
    const char *name;
    std::string keys;  // after "1"
    QString echo;      // what the reader typed for them
    QString value;     // preamble after Enter
};

class EditTest : public ReaderTest, public ::testing::WithParamInterface<EditCase>
{
};

TEST_P(EditTest, EchoesAndStoresCharacters)
{
    enterConfig();
    answerTo("16F016");
    EXPECT_EQ(answerTo(GetParam().keys), GetParam().echo);
    const QString shown = GetParam().value.isEmpty() ? QStringLiteral("(none)") : GetParam().value;
    EXPECT_EQ(answerTo("5AF05A"), QStringLiteral("\nPreamble = %1\n> ").arg(shown));
    EXPECT_EQ(reader->workingSettings().value("preamble"), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Emulator, EditTest,
    ::testing::Values(
        EditCase{"Empty", "", "", ""},
        EditCase{"DigitsAndSpace", "16F01629F02945F045", "1 0", "1 0"},
        EditCase{"ShiftedSymbols", "5916F0164AF04AF059", "!?", "!?"},
        EditCase{"Backspace", "1CF01C1BF01B66F066", "as\b", "a"},
        EditCase{"BackspaceOnEmptyIsSilent", "66F0661CF01C", "a", "a"},
        EditCase{"AltGrTable", "E01115F01524F0241EF01E61F0611CF01CF0E011", "@\u20AC\u00B2|", "@\u20AC\u00B2|"},
        EditCase{"CtrlChordIgnored", "141CF01CF014", "", ""},
        EditCase{"LimitOfFifteen", repeat("1CF01C", 15) + "1BF01B1BF01B", QString(15, 'a'), QString(15, 'a')},
        EditCase{"BackspaceAtLimit", repeat("1CF01C", 15) + "66F0661BF01B", QString(15, 'a') + "\bs",
                 QString(14, 'a') + "s"}),
    [](const auto &info) { return std::string(info.param.name); });

// The digit that picks an entry is not part of the value: as one report per
// key (the on-screen keyboard) and as one report per token (playback).
struct EntryCase
{
    const char *name;
    std::vector<std::string> reports;
    const char *field;
};

class EntryTest : public ReaderTest, public ::testing::WithParamInterface<EntryCase>
{
};

TEST_P(EntryTest, StoresOnlyWhatIsTypedAfterTheChoice)
{
    enterConfig();
    for (const std::string &hex : GetParam().reports)
        answerTo(hex);
    EXPECT_EQ(reader->workingSettings().value(GetParam().field), "a");
}

INSTANTIATE_TEST_SUITE_P(
    Emulator, EntryTest,
    ::testing::Values(EntryCase{"PostambleByKeys", {"1EF01E", "1CF01C", "5AF05A"}, "postamble"},
                      EntryCase{"PostambleByTokens", {"1E", "F01E", "1C", "F01C", "5A", "F05A"}, "postamble"},
                      EntryCase{"PreambleInOneReport", {"16F0161CF01C5AF05A"}, "preamble"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ReaderTest, HotKeyDuringEditShowsMenuAndKeepsOldValue)
{
    enterConfig();
    answerTo("16F0161CF01C");
    EXPECT_EQ(answerTo("141109F009F011F014"), DefaultMenu);
    EXPECT_EQ(reader->menuState(), EmulatedReader::MenuState::Prompt);
    EXPECT_EQ(reader->workingSettings().value("preamble"), "");
}

// ---- typing ----------------------------------------------------------------

TEST_F(ReaderTest, AnswersWaitForEachOtherAndKeepTheirTiming)
{
    reader->setTimings(60, 1, 25);
    QElapsedTimer clock;
    clock.start();
    send("141109F009F011F014");
    send("26F026"); // arrives while the menu is still being typed
    ASSERT_TRUE(QTest::qWaitFor([&] { return !reader->typedText().isEmpty(); }, 2000));
    EXPECT_GE(clock.elapsed(), 55);
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(reader->typedText(), DefaultMenu + "3\nTerminator = CRLF\n> ");
    // Ten newlines, each followed by a gap.
    EXPECT_GE(clock.elapsed(), 60 + 10 * 25 - 15);
}

TEST_F(ReaderTest, CharactersWithoutFocusAreLost)
{
    ASSERT_EQ(QApplication::focusWidget(), nullptr);
    enterConfig();
    EXPECT_EQ(reader->droppedCharacters(), DefaultMenu.size());
}

class TypingTest : public ReaderTest
{
protected:
    void SetUp() override
    {
        ReaderTest::SetUp();
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(edit);
        layout->addWidget(line);
        window.show();
        QApplication::setActiveWindow(&window);
        edit->setFocus();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    QWidget window;
    QPlainTextEdit *edit = new QPlainTextEdit(&window);
    QLineEdit *line = new QLineEdit(&window);
};

TEST_F(TypingTest, MenuAndEditsLandInFocusedTextBox)
{
    send("141109F009F011F014");
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(edit->toPlainText(), DefaultMenu);
    send("16F016" "12" "1CF01C" "F012" "1BF01B" "66F066" "32F032" "5AF05A");
    const QString expected = DefaultMenu + "1\nPreamble? Ab\nPreamble = Ab\n> ";
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(edit->toPlainText(), expected);
    EXPECT_EQ(reader->droppedCharacters(), 0);
}

TEST_F(TypingTest, FocusChangeMidAnswerMovesTheRest)
{
    // The focus moves the moment the third line starts to arrive.
    QObject::connect(edit, &QPlainTextEdit::textChanged, line, [this] {
        if (edit->toPlainText().contains("Postamble: (none)\n3"))
            line->setFocus();
    });
    send("141109F009F011F014");
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_TRUE(line->hasFocus());

    const QString inEdit = edit->toPlainText();
    ASSERT_GT(inEdit.size(), 0);
    ASSERT_LT(inEdit.size(), DefaultMenu.size());
    EXPECT_EQ(inEdit, DefaultMenu.left(inEdit.size()));
    // A line edit takes no newlines.
    EXPECT_EQ(line->text(), DefaultMenu.mid(inEdit.size()).remove('\n'));
    EXPECT_FALSE(line->text().isEmpty());
}

TEST_F(TypingTest, KeyEventsCarryKeyModifiersAndText)
{
    struct Recorder : QObject
    {
        using QObject::QObject;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::KeyPress || e->type() == QEvent::KeyRelease) {
                auto *k = static_cast<QKeyEvent *>(e);
                seen.push_back({e->type(), k->key(), k->modifiers(), k->text()});
            }
            return false;
        }
        struct Seen
        {
            QEvent::Type type;
            int key;
            Qt::KeyboardModifiers mods;
            QString text;
        };
        std::vector<Seen> seen;
    } recorder(&window);
    edit->installEventFilter(&recorder);

    enterConfig();
    answerTo("16F016");
    answerTo("12" "1CF01C" "F012" "1CF01C" "E01115F015F0E011" "66F066" "5AF05A");

    // "A", "a", "@", backspace, then the Return that starts the confirmation.
    const auto &s = recorder.seen;
    const std::size_t first = std::size_t(DefaultMenu.size() + 12) * 2; // menu + "1\nPreamble? "
    ASSERT_GE(s.size(), first + 10);
    const struct { int key; Qt::KeyboardModifiers mods; QString text; } expected[] = {
        {Qt::Key_A, Qt::ShiftModifier, "A"}, {Qt::Key_A, Qt::NoModifier, "a"},
        {Qt::Key_At, Qt::ShiftModifier, "@"}, {Qt::Key_Backspace, Qt::NoModifier, "\b"},
        {Qt::Key_Return, Qt::NoModifier, "\r"}};
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(s[first + 2 * i].type, QEvent::KeyPress);
        EXPECT_EQ(s[first + 2 * i + 1].type, QEvent::KeyRelease);
        EXPECT_EQ(s[first + 2 * i].key, expected[i].key);
        EXPECT_EQ(s[first + 2 * i].mods, expected[i].mods);
        EXPECT_EQ(s[first + 2 * i].text, expected[i].text);
    }
    EXPECT_TRUE(edit->toPlainText().endsWith("Preamble? Aa\nPreamble = Aa\n> "));
}

// ---- the platform ----------------------------------------------------------

TEST(EmulatedPlatformTest, DeviceSetIsLiveAndIndexedByPosition)
{
    EmulatedPlatform hid;
    hid.addReader("/dev/r1");
    hid.addDevice({.path = "/dev/kbd", .vendorId = 0x046D, .productId = 0xC31C});

    const HidDeviceSet set = hid.createDeviceSet();
    EXPECT_GE(set, 1);
    EXPECT_EQ(hid.liveDeviceSetCount(), 1);
    EXPECT_TRUE(hid.enumInterface(set, 0));
    EXPECT_TRUE(hid.enumInterface(set, 1));
    EXPECT_FALSE(hid.enumInterface(set, 2));
    EXPECT_FALSE(hid.enumInterface(set, -1));
    EXPECT_EQ(hid.interfacePath(set, 1), "/dev/kbd");

    // A reader plugged in just before index 2 is asked for shows up.
    std::vector<int> asked;
    hid.beforeEnumInterface = [&](int index) {
        asked.push_back(index);
        if (index == 2 && !hid.device("/dev/r2"))
            hid.addReader("/dev/r2");
    };
    int count = 0;
    while (hid.enumInterface(set, count))
        ++count;
    EXPECT_EQ(count, 3);
    EXPECT_EQ(asked, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(hid.interfacePath(set, 2), "/dev/r2");

    hid.beforeEnumInterface = nullptr;
    hid.removeDevice("/dev/r1");
    EXPECT_EQ(hid.interfacePath(set, 0), "/dev/kbd");
    EXPECT_FALSE(hid.enumInterface(set, 2));

    const HidDeviceSet second = hid.createDeviceSet();
    EXPECT_GT(second, set);
    hid.destroyDeviceSet(set);
    EXPECT_FALSE(hid.enumInterface(set, 0));
    EXPECT_EQ(hid.interfacePath(set, 0), std::nullopt);
    hid.destroyDeviceSet(set);  // twice
    hid.destroyDeviceSet(4711); // unknown
    EXPECT_EQ(hid.liveDeviceSetCount(), 1);
    EXPECT_EQ(hid.createdDeviceSetCount(), 2);
}

TEST(EmulatedPlatformTest, HandlesAreCountedAndLogged)
{
    EmulatedPlatform hid;
    hid.addReader("/dev/r1");
    const HidHandle a = hid.open("/dev/r1", AccessNone);
    const HidHandle b = hid.open("/dev/r1", AccessReadWrite);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(hid.open("/dev/none", AccessNone), InvalidHandle);
    EXPECT_EQ(hid.open("", AccessNone), InvalidHandle);
    EXPECT_EQ(hid.openHandleCount(), 2);
    EXPECT_EQ(hid.handlePath(b), "/dev/r1");

    hid.close(a);
    hid.close(a);
    hid.close(99);
    EXPECT_EQ(hid.openHandleCount(), 1);
    EXPECT_EQ(hid.open("/dev/r1", AccessNone), 3); // never reused
    const std::vector<std::pair<std::string, std::uint32_t>> calls{
        {"/dev/r1", AccessNone}, {"/dev/r1", AccessReadWrite}, {"/dev/none", AccessNone},
        {"", AccessNone},        {"/dev/r1", AccessNone}};
    EXPECT_EQ(hid.openCalls(), calls);
    EXPECT_EQ(hid.closeCalls(), (std::vector<HidHandle>{a, a, 99}));

    // A closed handle sends nothing, and the attempt is logged as refused.
    EXPECT_FALSE(hid.setFeature(a, report({0x1C})));
    ASSERT_EQ(hid.sentReports().size(), 1u);
    EXPECT_FALSE(hid.sentReports()[0].accepted);
    EXPECT_EQ(hid.sentReports()[0].path, "");
    EXPECT_EQ(hid.featureReportByteLength(a), 0);
    EXPECT_EQ(hid.manufacturerString(a), std::nullopt);
    EXPECT_EQ(hid.attributes(a).vendorId, 0);
}

struct FailureCase
{
    const char *name;
    EmulatedDevice device;
    bool pathKnown;
    bool opensReadWrite;
    bool opensWithoutAccess;
    int featureLength;
    std::optional<std::u16string> manufacturer;
    bool sendAccepted;
};

class PlatformFailureTest : public ::testing::TestWithParam<FailureCase>
{
};

TEST_P(PlatformFailureTest, InjectedFailureShowsWhereExpected)
{
    const FailureCase &c = GetParam();
    EmulatedPlatform hid;
    EmulatedDevice d = c.device;
    d.path = "/dev/x";
    QObject root;
    auto *reader = new EmulatedReader(&root);
    d.reader = reader;
    hid.addDevice(d);

    const HidDeviceSet set = hid.createDeviceSet();
    ASSERT_TRUE(hid.enumInterface(set, 0));
    EXPECT_EQ(hid.interfacePath(set, 0).has_value(), c.pathKnown);
    EXPECT_EQ(hid.open("/dev/x", AccessReadWrite) != InvalidHandle, c.opensReadWrite);
    const HidHandle h = hid.open("/dev/x", AccessNone);
    ASSERT_EQ(h != InvalidHandle, c.opensWithoutAccess);
    if (h == InvalidHandle)
        return;
    EXPECT_EQ(hid.attributes(h).vendorId, 0x04B4);
    EXPECT_EQ(hid.attributes(h).productId, 0x210A);
    EXPECT_EQ(hid.featureReportByteLength(h), c.featureLength);
    EXPECT_EQ(hid.manufacturerString(h), c.manufacturer);
    EXPECT_EQ(hid.setFeature(h, report({0x1C}, std::size_t(std::max(c.featureLength, 2)))), c.sendAccepted);
    EXPECT_EQ(reader->receivedReports().size(), c.sendAccepted ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Emulator, PlatformFailureTest,
    ::testing::Values(
        // name, device, path known, opens read/write, opens with access 0, feature length, manufacturer, send accepted
        FailureCase{"Healthy", {}, true, true, true, 9, u"VORTAL9", true},
        FailureCase{"DetailQueryFails", {.failDetailQuery = true}, false, true, true, 9, u"VORTAL9", true},
        FailureCase{"OpenRefused", {.refuseOpen = true}, true, false, false, 0, std::nullopt, false},
        FailureCase{"ReadWriteRefused", {.refuseReadWriteOpen = true}, true, false, true, 9, u"VORTAL9", true},
        FailureCase{"NoFeatureReport", {.featureLength = 0}, true, true, true, 0, u"VORTAL9", false},
        FailureCase{"ManufacturerFails", {.manufacturer = std::nullopt}, true, true, true, 9, std::nullopt, true},
        FailureCase{"SetFeatureRefused", {.refuseSetFeature = true}, true, true, true, 9, u"VORTAL9", false},
        FailureCase{"LongReport", {.featureLength = 65}, true, true, true, 65, u"VORTAL9", true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(EmulatedPlatformTest, RefusesReportsAfterTheGivenNumber)
{
    EmulatedPlatform hid;
    EmulatedReader *reader = hid.addReader("/dev/r1");
    hid.device("/dev/r1")->refuseSetFeatureAfter = 2;
    const HidHandle h = hid.open("/dev/r1", AccessReadWrite);
    EXPECT_TRUE(hid.setFeature(h, report({0x14, 0x11, 0x09})));
    EXPECT_TRUE(hid.setFeature(h, report({0xF0, 0x09, 0xF0, 0x11, 0xF0, 0x14})));
    EXPECT_FALSE(hid.setFeature(h, report({0x16, 0xF0, 0x16})));
    EXPECT_EQ(reader->receivedReports().size(), 2u);
    ASSERT_EQ(hid.sentReports().size(), 3u);
    EXPECT_EQ(hid.sentReports()[2].bytes, report({0x16, 0xF0, 0x16}));
    EXPECT_FALSE(hid.sentReports()[2].accepted);
    EXPECT_EQ(hid.sentReports()[0].path, "/dev/r1");
    EXPECT_LE(hid.sentReports()[0].at, hid.sentReports()[1].at);
    EXPECT_TRUE(reader->inConfigMode()); // the accepted hot key reached it
}

TEST(EmulatedPlatformTest, AReportKeepsItsSenderWaitingUntilTheDeviceAnswers)
{
    EmulatedPlatform hid;
    EmulatedReader *reader = hid.addReader("/dev/r1");
    hid.device("/dev/r1")->answerTime = std::chrono::milliseconds(40);
    const HidHandle h = hid.open("/dev/r1", AccessReadWrite);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(hid.setFeature(h, report({0x16})));
    EXPECT_GE(clock.elapsed(), 40);
    ASSERT_EQ(reader->receivedReports().size(), 1u);
    EXPECT_GE(reader->receivedReports()[0].at - hid.sentReports()[0].at, std::chrono::milliseconds(40));
}

TEST(EmulatedPlatformTest, RefusesMalformedReports)
{
    EmulatedPlatform hid;
    EmulatedReader *reader = hid.addReader("/dev/r1");
    const HidHandle h = hid.open("/dev/r1", AccessNone);
    EXPECT_FALSE(hid.setFeature(h, report({0x1C}, 8)));        // shorter than the feature report
    EXPECT_FALSE(hid.setFeature(h, {1, 0x1C, 0, 0, 0, 0, 0, 0, 0})); // report ID 1
    EXPECT_FALSE(hid.setFeature(h, {}));
    EXPECT_TRUE(reader->receivedReports().empty());
    hid.device("/dev/r1")->strictReportLength = false;
    EXPECT_TRUE(hid.setFeature(h, report({0x1C}, 8)));
}

TEST(EmulatedPlatformTest, UnplugPowersDownTheReaderAndStrandsItsHandles)
{
    EmulatedPlatform hid;
    EmulatedReader *reader = hid.addReader("/dev/r1", u"ACME");
    reader->setTimings(30, 0, 0);
    const HidHandle h = hid.open("/dev/r1", AccessReadWrite);
    EXPECT_EQ(hid.manufacturerString(h), u"ACME");
    ASSERT_TRUE(hid.setFeature(h, report({0x14, 0x11, 0x09, 0xF0, 0x09, 0xF0, 0x11})));
    ASSERT_TRUE(reader->inConfigMode());

    hid.removeDevice("/dev/r1");
    EXPECT_EQ(hid.device("/dev/r1"), nullptr);
    EXPECT_FALSE(reader->inConfigMode());
    EXPECT_FALSE(reader->isTyping());
    QTest::qWait(60);
    EXPECT_EQ(reader->typedText(), QString()); // the menu it was about to type is gone
    EXPECT_EQ(hid.open("/dev/r1", AccessNone), InvalidHandle);
    EXPECT_FALSE(hid.setFeature(h, report({0x16})));
    EXPECT_EQ(hid.openHandleCount(), 1); // still to be closed by its owner

    // Plugging a device in under the same path does not revive the old handle.
    hid.addReader("/dev/r1");
    EXPECT_FALSE(hid.setFeature(h, report({0x16})));
    EXPECT_EQ(hid.featureReportByteLength(h), 0);
}

} // namespace
