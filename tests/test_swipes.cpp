// Card swipes end to end on emulated readers: the emulated reader types a
// swipe in the format its settings give; identify names the reader that
// typed; swipe-test flags the one reader configured differently; and no digit
// of the card reaches the output or a file.
#include "EmulatedPlatform.h"
#include "EmulatedReader.h"
#include "Fleet.h"
#include "batch/BatchTool.h"
#include "capture/KeyDecoder.h"
#include "keyboard/UsKeyboard.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>

using namespace vortal9;
using namespace vortal9::batch;

namespace {

// Beep off, the next terminator (CR to CRLF), save and exit.
const QString Script = QStringLiteral("141109F009F011F014FF2EF02EFF26F026FF3EF03EFF");

const emu::TestCard ShortCard { "B12^A B^34", "12=34", "5=6" };

struct FormatRow
{
    const char *name;
    QMap<QString, QString> settings;
    QString typed;
};

class EmulatedSwipeTest : public ::testing::TestWithParam<FormatRow>
{
};

TEST_P(EmulatedSwipeTest, TypesTheFormatItsSettingsGive)
{
    emu::EmulatedReader reader;
    reader.setTimings(1, 0, 1);
    reader.setStoredSettings(GetParam().settings);
    const std::unique_ptr<KeyCapture> capture = reader.grab();
    QString heard;
    QObject::connect(capture.get(), &KeyCapture::pressed, [&](const CapturedKeys &keys) {
        for (const CapturedKey &key : keys)
            heard += key.text;
    });
    reader.swipe(ShortCard);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !reader.isTyping(); }, 5000));
    EXPECT_EQ(heard, GetParam().typed);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, EmulatedSwipeTest,
    ::testing::Values(FormatRow{"defaults", {}, "%B12^A B^34?;12=34?;5=6?\n"},
                      FormatRow{"tracks12CRLF", {{"tracks", "12"}, {"terminator", "CRLF"}}, "%B12^A B^34?;12=34?\r\n"},
                      FormatRow{"tracks23Tab", {{"tracks", "23"}, {"terminator", "TAB"}}, ";12=34?;5=6?\t"},
                      FormatRow{"tracks13None", {{"tracks", "13"}, {"terminator", "NONE"}}, "%B12^A B^34?;5=6?"},
                      FormatRow{"track1PreAndPost", {{"tracks", "1"}, {"preamble", "#!"}, {"postamble", "*"}},
                                "#!%B12^A B^34?*\n"},
                      FormatRow{"track2", {{"tracks", "2"}}, ";12=34?\n"},
                      FormatRow{"track3", {{"tracks", "3"}}, ";5=6?\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// Four readers as the fleet file gives them: USB ports 1-1 to 1-4, serials S1 to S4.
class SwipeCommandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        emu::Fleet fleet;
        for (int i = 1; i <= 4; ++i) {
            emu::FleetReader r;
            r.path = QStringLiteral("/dev/hidraw%1").arg(i);
            r.usb = QStringLiteral("1-%1").arg(i);
            r.serial = QStringLiteral("S%1").arg(i);
            r.answerDelayMs = 5;
            r.charIntervalMs = 1;
            r.lineGapMs = 5;
            fleet.readers.push_back(r);
        }
        QString error;
        ASSERT_TRUE(emu::installFleet(fleet, dir.path(), platform, &error)) << error.toStdString();
        env.platform = &platform;
        env.capture = &platform;
        env.system.sysRoot = dir.filePath("sys");
        env.system.devRoot = dir.filePath("dev");
        env.timing = Timing::faster(5);
        env.out = &out;
        env.err = &err;
        env.onInterrupt = [this](std::function<void()> handler) { interrupt = std::move(handler); };
    }

    emu::EmulatedReader *reader(int number)
    {
        return platform.device(dir.filePath(QStringLiteral("dev/hidraw%1").arg(number)).toStdString())->reader;
    }

    // Swipes the card on the readers, one after the other, once the command runs.
    void swipeLater(const std::vector<int> &numbers, const emu::TestCard &card = {})
    {
        int at = 50;
        for (const int n : numbers) {
            emu::EmulatedReader *r = reader(n);
            QTimer::singleShot(at, r, [r, card] { r->swipe(card); });
            at += 150;
        }
    }

    int runTool(const QStringList &arguments)
    {
        outText.clear();
        errText.clear();
        const int status = run(arguments, env);
        out.flush();
        err.flush();
        outText.replace(dir.path(), "");
        errText.replace(dir.path(), "");
        return status;
    }

    QStringList outLines() const { return outText.split('\n', Qt::SkipEmptyParts); }

    QTemporaryDir dir;
    emu::EmulatedPlatform platform;
    QString outText, errText;
    QTextStream out { &outText }, err { &errText };
    Environment env;
    std::function<void()> interrupt;
};

TEST_F(SwipeCommandTest, IdentifyNamesTheReaderThatTypedAndHoldsItsKeys)
{
    swipeLater({ 3 });
    QObject::connect(reader(3), &emu::EmulatedReader::typingFinished, [this] {
        QTimer::singleShot(env.timing.quietMs * 2, [this] { interrupt(); });
    });
    EXPECT_EQ(runTool({ "identify" }), Success) << errText.toStdString();
    EXPECT_EQ(outLines(),
        QStringList({ "reader 1 (/dev/hidraw1, USB 1-1, serial S1)", "reader 2 (/dev/hidraw2, USB 1-2, serial S2)",
            "reader 3 (/dev/hidraw3, USB 1-3, serial S3)", "reader 4 (/dev/hidraw4, USB 1-4, serial S4)",
            "reader 3 (/dev/hidraw3, USB 1-3, serial S3) typed" }));
    EXPECT_EQ(reader(3)->droppedCharacters(), 0) << "every key went to the capture";
    EXPECT_TRUE(platform.sentReports().empty());
    for (int n = 1; n <= 4; ++n)
        EXPECT_FALSE(reader(n)->isGrabbed()) << n;
}

TEST_F(SwipeCommandTest, IdentifyTellsAReaderThatIsUnplugged)
{
    QTimer::singleShot(50, [this] { platform.removeDevice(dir.filePath("dev/hidraw2").toStdString()); });
    QTimer::singleShot(300, [this] { interrupt(); });
    EXPECT_EQ(runTool({ "identify", "--json" }), Success);
    const QStringList lines = outLines();
    ASSERT_EQ(lines.size(), 5);
    const QJsonObject last = QJsonDocument::fromJson(lines[4].toUtf8()).object();
    EXPECT_EQ(last.value("event").toString(), "unplugged");
    EXPECT_EQ(last.value("serial").toString(), "S2");
}

struct SwipeTestRow
{
    const char *name;
    QStringList arguments; // after swipe-test --all
    int status;
    QStringList results; // each reader's result word
};

class SwipeTestTest : public SwipeCommandTest, public ::testing::WithParamInterface<SwipeTestRow>
{
};

const QString CrShape = QStringLiteral(R"(pre:"" %[17^17^19]? ;[16=17]? ;[19=18]? post:"" term:CR)");
const QString CrlfShape = QStringLiteral(R"(pre:"" %[17^17^19]? ;[16=17]? ;[19=18]? post:"" term:CRLF)");

TEST_P(SwipeTestTest, FlagsTheReaderConfiguredDifferently)
{
    QFile script(dir.filePath("crlf.TXT"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(Script.toLatin1() + "\r\n");
    script.close();
    ASSERT_EQ(runTool({ "apply", script.fileName(), "--reader", "2" }), Success) << errText.toStdString();
    platform.clearLog();

    swipeLater({ 1, 2, 3, 4 });
    EXPECT_EQ(runTool(QStringList { "swipe-test", "--all", "--json" } + GetParam().arguments), GetParam().status)
        << errText.toStdString();
    QStringList results;
    for (const QString &line : outLines()) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        results << o.value("result").toString();
        const QString shape = o.value("shape").toObject().value("shape").toString();
        EXPECT_EQ(shape, o.value("reader").toInt() == 2 ? CrlfShape : CrShape);
    }
    EXPECT_EQ(results, GetParam().results);
    EXPECT_TRUE(platform.sentReports().empty()) << "swipe-test sends nothing";
}

INSTANTIATE_TEST_SUITE_P(
    References, SwipeTestTest,
    ::testing::Values(SwipeTestRow { "majority", {}, Differs, { "alike", "differs", "alike", "alike" } },
        SwipeTestRow { "expectedShape", { "--expect-shape", CrShape }, Differs, { "alike", "differs", "alike", "alike" } },
        SwipeTestRow {
            "expectedOtherShape", { "--expect-shape", CrlfShape }, Differs, { "differs", "alike", "differs", "differs" } }),
    [](const auto &info) { return std::string(info.param.name); });

// apply --expect: a reference made on reader 1 checked on reader 2. The
// menus compare as typed, whatever characters the settings hold; and a
// transcript made with a script is a reference for that script.
struct ExpectRow
{
    const char *name;
    QMap<QString, QString> reference; // reader 1's settings
    QMap<QString, QString> checked;   // reader 2's settings
    QString script;
    int status;
};

class ExpectTest : public SwipeCommandTest, public ::testing::WithParamInterface<ExpectRow>
{
};

TEST_P(ExpectTest, ComparesTheMenusAsTyped)
{
    reader(1)->setStoredSettings(GetParam().reference);
    reader(2)->setStoredSettings(GetParam().checked);
    QFile script(dir.filePath("row.TXT"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(GetParam().script.toLatin1() + "\r\n");
    script.close();
    const QString made = dir.filePath("made.json");
    ASSERT_EQ(runTool({ "apply", script.fileName(), "--reader", "1", "--transcript", made }), Success)
        << errText.toStdString();
    // The reference keeps the menu as the reader typed it.
    QFile reference(made);
    ASSERT_TRUE(reference.open(QIODevice::ReadOnly));
    const QString preamble = GetParam().reference.value("preamble");
    EXPECT_TRUE(QString::fromUtf8(reference.readAll())
                    .contains("1 Preamble: " + (preamble.isEmpty() ? QStringLiteral("(none)") : preamble)));
    EXPECT_EQ(runTool({ "apply", script.fileName(), "--reader", "2", "--expect", made }), GetParam().status)
        << outText.toStdString() << errText.toStdString();
}

const QString ExitWithoutSaving = QStringLiteral("141109F009F011F014FF46F046FF");
const QMap<QString, QString> Crlf12 { { "terminator", "CRLF" }, { "tracks", "12" } };

INSTANTIATE_TEST_SUITE_P(
    Menus, ExpectTest,
    ::testing::Values(
        ExpectRow { "percentPreambleDiffers", { { "preamble", "%" }, { "terminator", "CRLF" }, { "tracks", "12" } },
            { { "preamble", "%" }, { "terminator", "NONE" }, { "tracks", "23" } }, ExitWithoutSaving, Differs },
        ExpectRow { "hashPreambleDiffers", { { "preamble", "#" }, { "terminator", "CRLF" }, { "tracks", "12" } },
            { { "preamble", "#" }, { "terminator", "NONE" }, { "tracks", "23" } }, ExitWithoutSaving, Differs },
        ExpectRow { "percentPreambleAlike", { { "preamble", "%" }, { "terminator", "CRLF" }, { "tracks", "12" } },
            { { "preamble", "%" }, { "terminator", "CRLF" }, { "tracks", "12" } }, ExitWithoutSaving, Success },
        // Beep, then save, with no wait after the beep's break: one step.
        ExpectRow { "breakWithoutMarkerIsOneStep", {}, {}, QStringLiteral("141109F009F011F014FF2EF02E3EF03EFF"),
            Success },
        // The settings typed with every card compare exactly, whatever
        // sentinels, digits or end sentinels they hold.
        ExpectRow { "preamblePercentDigitsDiffer", { { "preamble", "%12" } }, { { "preamble", "%34" } },
            ExitWithoutSaving, Differs },
        ExpectRow { "postambleLetterEndDiffers", { { "postamble", "A?" } }, { { "postamble", "B?" } },
            ExitWithoutSaving, Differs },
        ExpectRow { "preambleSemicolonDigitDiffers", { { "preamble", ";5" } }, { { "preamble", ";7" } },
            ExitWithoutSaving, Differs },
        ExpectRow { "postambleHashDigitEndDiffers", { { "postamble", "#1?" } }, { { "postamble", "#2?" } },
            ExitWithoutSaving, Differs },
        ExpectRow { "preambleNumberDiffers", { { "preamble", "10" } }, { { "preamble", "20" } }, ExitWithoutSaving,
            Differs },
        ExpectRow { "preamblePercentDigitsAlike", { { "preamble", "%12" }, { "postamble", "#1?" } },
            { { "preamble", "%12" }, { "postamble", "#1?" } }, ExitWithoutSaving, Success }),
    [](const auto &info) { return std::string(info.param.name); });

// A card swiped while readers are configured and proven, at a moment of
// the playback, in a format, at a pace and under a host keymap of each row's
// own: no character of it, as the host decodes it, reaches the output or the
// transcript; answers that were kept still compare exactly with the
// reference; a step during which the card was typed is void ("card swiped").
enum class Moment {
    Opened,        // as the reader's keys are captured, before its first report
    HotKey,        // as the hot key's first report comes
    InsideAnswer,  // as it enters its configuration mode: typed right after its menu
    AcrossStepEnd, // as it finishes typing its second answer
};

struct CardRow
{
    const char *name;
    QString layout;  // the host's keymap
    QString typed;   // what the reader types for the card ("": the test card in its settings' format)
    Moment when;
    emu::SwipePace pace;
    std::set<int> statuses; // apply --expect's: where exactly a swipe falls depends on the machine's load
};

void PrintTo(const CardRow &row, std::ostream *os)
{
    *os << row.name;
}

class CardDataTest : public SwipeCommandTest, public ::testing::WithParamInterface<CardRow>
{
protected:
    // What the host's keymap makes of what the reader meant to type.
    QString asHostTypes(const QString &meant) const
    {
        QString text;
        for (const QChar ch : meant) {
            const auto key = keyboard::usKeyFor(ch);
            text += key && keymap ? keymap(key->code, key->shifted) : QString(ch);
        }
        return text;
    }

    // Each reader swipes the card once, at the row's moment.
    void swipeAtTheMoment(const QString &card)
    {
        for (int n = 1; n <= 3; ++n) {
            emu::EmulatedReader *r = reader(n);
            auto once = std::make_shared<QMetaObject::Connection>();
            auto swipe = [r, once, card, pace = GetParam().pace] {
                QObject::disconnect(*once);
                r->typeSwipe(card, pace);
            };
            switch (GetParam().when) {
            case Moment::Opened: *once = QObject::connect(r, &emu::EmulatedReader::grabbed, r, swipe); break;
            case Moment::HotKey: *once = QObject::connect(r, &emu::EmulatedReader::reportReceived, r, swipe); break;
            case Moment::InsideAnswer:
                *once = QObject::connect(r, &emu::EmulatedReader::configModeChanged, r, swipe);
                break;
            case Moment::AcrossStepEnd: {
                auto answers = std::make_shared<int>(0);
                *once = QObject::connect(r, &emu::EmulatedReader::answerTyped, r, [answers, swipe] {
                    if (++*answers == 2)
                        swipe();
                });
                break;
            }
            }
        }
    }

    emu::HostKeymap keymap;
};

TEST_P(CardDataTest, NoCardCharacterIsKeptAndAnswersStillCompare)
{
    // The host's keymap decodes the readers' keys, as a capture's does.
    std::shared_ptr<KeyDecoder> decoder(KeyDecoder::fromNames({ {}, {}, GetParam().layout, {}, {} }).release());
    ASSERT_TRUE(decoder);
    keymap = [decoder](quint16 code, bool shifted) { return decoder->typedAlone(code, shifted); };
    platform.setHostKeymap(keymap);

    // Show the beep twice, then leave without saving: four steps.
    QFile script(dir.filePath("proof.TXT"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("141109F009F011F014FF2EF02EFF2EF02EFF46F046FF\r\n");
    script.close();
    const QString reference = dir.filePath("reference.json");
    ASSERT_EQ(runTool({ "apply", script.fileName(), "--reader", "4", "--transcript", reference }), Success)
        << errText.toStdString();

    const QString track1 = "B4731829460571938^LEAKTEST/CARD^2908126481357";
    const QString track2 = "4731829460571938=2908126481357";
    const QString card = GetParam().typed.isEmpty()
        ? emu::EmulatedReader::swipeText({ { "tracks", "12" }, { "terminator", "CR" } }, { track1, track2, {} })
        : GetParam().typed;
    QString everything;
    for (const QStringList &arguments :
         { QStringList { "--expect", reference, "--json" }, QStringList { "--transcript", dir.filePath("t.json") } }) {
        swipeAtTheMoment(card);
        const int status = runTool(QStringList { "apply", script.fileName(), "--all" } + arguments);
        everything += outText + errText;
        if (arguments.contains("--json")) {
            EXPECT_TRUE(GetParam().statuses.count(status)) << status << "\n" << outText.toStdString();
            for (const QString &line : outLines()) {
                const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
                // Answers that were kept compare exactly: none differs.
                EXPECT_NE(o.value("result"), "differs") << line.toStdString();
                if (status != NotAllConfigured)
                    EXPECT_TRUE(o.value("result") == "configured" || o.value("result") == "card swiped")
                        << line.toStdString();
            }
        } else {
            EXPECT_TRUE(status == Success || status == CardSwiped) << status << "\n" << outText.toStdString();
            QFile transcript(dir.filePath("t.json"));
            ASSERT_TRUE(transcript.open(QIODevice::ReadOnly));
            everything += QString::fromUtf8(transcript.readAll());
        }
    }
    // Every three characters of the card's digits in a row, as the host
    // types them, and its name.
    QStringList secrets { asHostTypes("LEAKTEST") };
    static const QRegularExpression digits("[0-9]{3,}");
    for (auto m = digits.globalMatch(card); m.hasNext();) {
        const QString run = asHostTypes(m.next().captured());
        for (qsizetype i = 0; i + 3 <= run.size(); ++i)
            secrets << run.mid(i, 3);
    }
    for (const QString &secret : secrets)
        EXPECT_FALSE(everything.contains(secret)) << secret.toStdString() << " in\n" << everything.toStdString();
}

const std::set<int> ProvenOrVoid { Success, CardSwiped };

INSTANTIATE_TEST_SUITE_P(
    Swipes, CardDataTest,
    ::testing::Values(CardRow { "beforeTheFirstReport", "us", {}, Moment::Opened, {}, ProvenOrVoid },
        CardRow { "duringTheHotKey", "us", {}, Moment::HotKey, {}, { CardSwiped } },
        CardRow { "insideAnAnswer", "us", {}, Moment::InsideAnswer, {}, { CardSwiped } },
        CardRow { "acrossAStepsEnd", "us", {}, Moment::AcrossStepEnd, {}, { CardSwiped } },
        // Slower than the quiet period: one piece a step, or between steps.
        CardRow { "typedSlowly", "us", ";4731829460571938=2908?\n", Moment::InsideAnswer, { 110, 1, 0 },
            { CardSwiped, NotAllConfigured } },
        CardRow { "inThreePieces", "us", {}, Moment::InsideAnswer, { -1, 3, 150 }, { CardSwiped } },
        CardRow { "noSentinels", "us", "4731829460571938=2908126481357\n", Moment::InsideAnswer, {}, { CardSwiped } },
        CardRow { "otherSentinels", "us", "!4731829460571938=2908126481357!\n", Moment::InsideAnswer, {},
            { CardSwiped } },
        CardRow { "longTrack", "us", ";" + QString("4731829460571938").repeated(8) + "?\n", Moment::InsideAnswer, {},
            { CardSwiped } },
        CardRow { "frenchKeymap", "fr", {}, Moment::InsideAnswer, {}, { CardSwiped } },
        CardRow { "belgianKeymap", "be", {}, Moment::AcrossStepEnd, {}, { CardSwiped } },
        CardRow { "frenchKeymapNoSentinels", "fr", "4731829460571938=2908126481357\n", Moment::Opened, {},
            ProvenOrVoid }),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SwipeCommandTest, SwipeTestOfAlikeReadersSucceedsAndCtrlCLeavesTheRestNotSwiped)
{
    swipeLater({ 4, 1 });
    EXPECT_EQ(runTool({ "swipe-test", "--reader", "1", "--reader", dir.path() + "/dev/hidraw4" }), Success);
    EXPECT_EQ(outLines(),
        QStringList({ "reader 1 (/dev/hidraw1, USB 1-1, serial S1): alike: " + CrShape,
            "reader 4 (/dev/hidraw4, USB 1-4, serial S4): alike: " + CrShape }));

    swipeLater({ 3 });
    QObject::connect(reader(3), &emu::EmulatedReader::typingFinished, [this] {
        QTimer::singleShot(env.timing.quietMs * 2, [this] { interrupt(); });
    });
    EXPECT_EQ(runTool({ "swipe-test", "--all" }), Interrupted);
    const QStringList lines = outLines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], "reader 1 (/dev/hidraw1, USB 1-1, serial S1): not swiped");
    EXPECT_EQ(lines[2], "reader 3 (/dev/hidraw3, USB 1-3, serial S3): alike: " + CrShape);
}

TEST_F(SwipeCommandTest, SwipeTestRefusesAShapeItCannotRead)
{
    EXPECT_EQ(runTool({ "swipe-test", "--all", "--expect-shape", "%[16]?" }), UsageError);
    EXPECT_TRUE(errText.contains("not a swipe shape")) << errText.toStdString();
    EXPECT_EQ(runTool({ "list", "--expect-shape", CrShape }), UsageError);
    EXPECT_EQ(platform.captureCount(), 0);
}

// The emulated tool run as a program, with HOME, TMPDIR and the working
// folder in one scratch folder: whatever it writes is there to be searched.
// The swipes fall at several moments of apply and watch: before the first
// report, across it (the step begins in the middle of a track), during a
// step's wait and after the end; swipe-test and identify hear them while
// nothing is sent. The host's keymap decodes the readers' keys: every three
// characters of the card in a row as that keymap types them, and the card's
// name, are searched for in the output and every file.
class SwipeCardData : public ::testing::TestWithParam<const char *>
{
};

TEST_P(SwipeCardData, NoCharacterOfTheCardReachesOutputOrFiles)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString layout = GetParam();
    const std::unique_ptr<KeyDecoder> decoder = KeyDecoder::fromNames({ {}, {}, layout, {}, {} });
    ASSERT_TRUE(decoder);
    auto asHostTypes = [&](const QString &meant) {
        QString text;
        for (const QChar ch : meant) {
            const auto key = keyboard::usKeyFor(ch);
            text += key ? decoder->typedAlone(key->code, key->shifted) : QString(ch);
        }
        return text;
    };
    const QString track1 = "B4731829460571938^LEAKTEST/CARD^2908126481357";
    const QString track2 = "4731829460571938=2908126481357";
    // No run of three digits here is one of the script's scan codes ("F011").
    const QString track3 = "0154731829460571938=7294618";
    const QString swipe = QStringLiteral(R"({"atMs":%1,"track1":"%2","track2":"%3","track3":"%4"})");
    // settings(i) gives reader i's settings; swipes, the moments of its swipes.
    auto fleetFile = [&](const QString &name, const std::function<QString(int)> &settings, QList<int> swipes) {
        QString readers;
        for (int i = 1; i <= 3; ++i) {
            QStringList at;
            for (const int ms : swipes)
                at << swipe.arg(ms + 70 * (i - 1)).arg(track1, track2, track3);
            // Reader 3 also types a card without sentinels, in pieces.
            if (i == 3 && !swipes.isEmpty())
                at << QStringLiteral(R"({"atMs":%1,"typed":"%2\n","pieces":3,"gapMs":150})").arg(swipes.last()).arg(track2);
            readers += QStringLiteral(R"(%1{"path":"/dev/hidraw%2","typing":{"answerDelayMs":5,"charIntervalMs":1,)"
                                      R"("lineGapMs":1},"settings":{%3},"swipes":[%4]})")
                           .arg(i == 1 ? "" : ",")
                           .arg(i)
                           .arg(settings(i), at.join(','));
        }
        const QString path = dir.filePath("fleet/" + name);
        QFile fleet(path);
        EXPECT_TRUE(QDir().mkpath(dir.filePath("fleet")) && fleet.open(QIODevice::WriteOnly));
        fleet.write(("{\"readers\":[" + readers + "]}").toUtf8());
        return path;
    };
    const QString swipeFleet = fleetFile(
        "swipe.json", [](int i) { return i == 3 ? QString(R"("preamble":"29081")") : QString(); }, { 200, 1000 });
    // Reader 2 is set otherwise, so --expect prints what it typed.
    auto applySettings = [](int i) { return i == 2 ? QString(R"("terminator":"CRLF")") : QString(); };
    const QString cleanFleet = fleetFile("clean.json", applySettings, {});
    const QString applyFleet = fleetFile("apply.json", applySettings, { 0, 230, 3600, 4000, 4400, 4800, 5400 });

    const QString work = dir.filePath("work");
    ASSERT_TRUE(QDir().mkpath(work));
    QFile script(work + "/beep.TXT");
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(Script.toLatin1() + "\r\n");
    script.close();
    struct Run
    {
        QString fleet;
        QStringList arguments;
        std::set<int> statuses; // where each swipe falls depends on the machine's load
        int endAfterMs = 0;     // ended by a signal, as Ctrl+C ends it
    };
    QString everything;
    for (const Run &run : { Run { swipeFleet, { "swipe-test", "--all" }, { Differs } },
             Run { swipeFleet, { "swipe-test", "--all", "--json" }, { Differs } },
             Run { swipeFleet, { "identify" }, { Success }, 1800 },
             Run { cleanFleet, { "apply", script.fileName(), "--all", "--transcript", "made.json" }, { Success } },
             Run { applyFleet, { "apply", script.fileName(), "--all", "--transcript", "swiped.json" },
                 { Success, CardSwiped } },
             Run { applyFleet, { "apply", script.fileName(), "--all", "--expect", "made.json" }, { Differs, CardSwiped } },
             Run { applyFleet, { "apply", script.fileName(), "--all", "--expect", "made.json", "--json" },
                 { Differs, CardSwiped } },
             Run { applyFleet, { "watch", script.fileName(), "--json" }, { Success, NotAllConfigured }, 7000 } }) {
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VORTAL9_EMULATED_FLEET", run.fleet);
        environment.insert("XKB_DEFAULT_LAYOUT", layout);
        environment.insert("HOME", work);
        environment.insert("TMPDIR", work);
        environment.insert("XDG_RUNTIME_DIR", work);
        tool.setProcessEnvironment(environment);
        tool.setWorkingDirectory(work);
        tool.start(VORTAL9_BATCH_EMULATED, run.arguments);
        ASSERT_TRUE(tool.waitForStarted());
        if (run.endAfterMs > 0) {
            QTest::qWait(run.endAfterMs);
            tool.terminate(); // an ending signal, as Ctrl+C is
        }
        ASSERT_TRUE(tool.waitForFinished(30000));
        const QString out = QString::fromUtf8(tool.readAllStandardOutput());
        EXPECT_TRUE(run.statuses.count(tool.exitCode())) << tool.exitCode() << " " << run.arguments.join(' ').toStdString()
                                                         << "\n" << out.toStdString();
        EXPECT_TRUE(out.contains("/dev/hidraw3")) << "the run reached every reader";
        if (run.arguments.contains("--expect")) {
            EXPECT_TRUE(out.contains(run.arguments.contains("--json") ? "\"typed\"" : "typed:")) << out.toStdString();
        }
        everything += out + QString::fromUtf8(tool.readAllStandardError());
    }
    for (QDirIterator it(work, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            everything += QString::fromUtf8(file.readAll());
    }
    // The scratch folders' names are random: they could hold any three characters.
    everything.replace(dir.path(), "");
    everything.remove(QRegularExpression("vortal9-fleet-\\w+"));
    // Every run of three or more digits of the card as the host types it, and its name.
    QStringList secrets { asHostTypes("LEAKTEST") };
    static const QRegularExpression digits("[0-9]{3,}");
    for (const QString &track : { track1, track2, track3 }) {
        for (auto m = digits.globalMatch(track); m.hasNext();) {
            const QString run = asHostTypes(m.next().captured());
            for (qsizetype i = 0; i + 3 <= run.size(); ++i)
                secrets << run.mid(i, 3);
        }
    }
    ASSERT_FALSE(everything.isEmpty());
    for (const QString &secret : secrets)
        EXPECT_FALSE(everything.contains(secret)) << secret.toStdString() << " in\n" << everything.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Keymaps, SwipeCardData, ::testing::Values("us", "fr"),
                         [](const auto &info) { return std::string(info.param); });

} // namespace
