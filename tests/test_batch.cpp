// vortal9-batch on emulated readers: one script to several readers at once,
// readers plugged in and out while it watches, Ctrl+C, a bad script, and the
// command line itself.
#include "EmulatedMonitor.h"
#include "FakeInputTree.h"
#include "EmulatedPlatform.h"
#include "EmulatedReader.h"
#include "batch/BatchTool.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <gtest/gtest.h>

using namespace vortal9;
using namespace vortal9::batch;

namespace {

// Beep off, the next terminator, save and exit.
const QString Script = QStringLiteral("141109F009F011F014FF2EF02EFF26F026FF3EF03EFF");
// Said of a reader whose playback stopped after the hot key had gone out.
const QString Advice = QStringLiteral(
    ": the reader may be left in its configuration mode: choose its exit choice in the window's Enter Config "
    "session, or unplug it and plug it in again");

class BatchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        env.platform = &platform;
        env.capture = &platform;
        env.monitor = &monitor;
        env.system.sysRoot = dir.filePath("sys"); // no sysfs: nothing for the doctor
        env.system.devRoot = dir.filePath("dev");
        env.timing = Timing::faster(5);
        env.out = &out;
        env.err = &err;
        env.onInterrupt = [this](std::function<void()> handler) { interrupt = std::move(handler); };
    }

    emu::EmulatedReader *addReader(const std::string &path)
    {
        emu::EmulatedReader *reader = platform.addReader(path);
        reader->setTimings(5, 1, 5);
        return reader;
    }

    QString scriptFile(const QString &text, const char *name = "fleet.TXT")
    {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toLatin1() + "\r\n");
        return file.fileName();
    }

    int runTool(const QStringList &arguments)
    {
        const int status = run(arguments, env);
        out.flush();
        err.flush();
        return status;
    }

    QStringList outLines() const { return outText.split('\n', Qt::SkipEmptyParts); }

    static bool configured(emu::EmulatedReader *reader)
    {
        return reader->storedSettings().value("beep") == "OFF" && reader->storedSettings().value("terminator") == "CRLF"
               && !reader->inConfigMode();
    }

    QTemporaryDir dir;
    emu::EmulatedPlatform platform;
    emu::EmulatedMonitor monitor{platform};
    QString outText, errText;
    QTextStream out{&outText}, err{&errText};
    Environment env;
    std::function<void()> interrupt;
};

TEST_F(BatchTest, ApplyConfiguresFourReadersAtOnce)
{
    std::vector<emu::EmulatedReader *> readers;
    for (const char *path : {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3", "/dev/hidraw4"})
        readers.push_back(addReader(path));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runTool({"apply", scriptFile(Script), "--all"}), Success) << errText.toStdString();
    const auto took = std::chrono::steady_clock::now() - start;
    for (auto *reader : readers) {
        EXPECT_TRUE(configured(reader));
        EXPECT_FALSE(reader->isGrabbed());
    }
    EXPECT_EQ(outLines(), QStringList({"reader 1 (/dev/hidraw1): configured", "reader 2 (/dev/hidraw2): configured",
                                       "reader 3 (/dev/hidraw3): configured", "reader 4 (/dev/hidraw4): configured"}));
    // At the same time: four readers take about as long as one would.
    const auto reports = platform.sentReports();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 6000);
    EXPECT_LT(reports[3].at - reports[0].at, std::chrono::milliseconds(20)) << "the hot keys went out together";
}

// One reader of four that fails; the other three are configured.
enum class Failure { Silent, UnpluggedMidPlayback, NotCapturable };

struct FailureRow
{
    const char *name;
    Failure failure;
    QString line; // the failing reader's result line
};

class ApplyFailureTest : public BatchTest, public ::testing::WithParamInterface<FailureRow>
{
};

TEST_P(ApplyFailureTest, IsReportedAndTheRestFinish)
{
    std::vector<emu::EmulatedReader *> readers;
    for (const char *path : {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3", "/dev/hidraw4"})
        readers.push_back(addReader(path));
    switch (GetParam().failure) {
    case Failure::Silent: readers[2]->setAnswerDelayMs(60000); break;
    case Failure::NotCapturable:
        platform.device("/dev/hidraw3")->captureRefusal = "no permission to read /dev/input/event9";
        break;
    case Failure::UnpluggedMidPlayback:
        QObject::connect(readers[2], &emu::EmulatedReader::answerTyped, readers[2], [&](const QString &answer) {
            if (answer.contains("Beep = OFF"))
                QTimer::singleShot(0, readers[2], [&] { platform.removeDevice("/dev/hidraw3"); });
        });
        break;
    }
    EXPECT_EQ(runTool({"apply", scriptFile(Script), "--all"}), NotAllConfigured);
    const QStringList lines = outLines();
    ASSERT_EQ(lines.size(), 4) << outText.toStdString();
    EXPECT_EQ(lines[2], GetParam().line);
    for (int i : {0, 1, 3}) {
        EXPECT_TRUE(configured(readers[std::size_t(i)])) << i;
        EXPECT_TRUE(lines[i].endsWith("configured"));
    }
    for (auto *reader : readers)
        EXPECT_FALSE(reader->isGrabbed());
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ApplyFailureTest,
    ::testing::Values(FailureRow{"silent", Failure::Silent, "reader 3 (/dev/hidraw3): reader not responding" + Advice},
                      FailureRow{"unpluggedMidPlayback", Failure::UnpluggedMidPlayback,
                                 "reader 3 (/dev/hidraw3): unplugged"},
                      FailureRow{"notCapturable", Failure::NotCapturable,
                                 "reader 3 (/dev/hidraw3): refused: its keys cannot be captured (no permission to "
                                 "read /dev/input/event9): without capture its typing would land in this terminal"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BatchTest, ApplyChoosesReadersByNumberOrPathAndJsonTellsTheResults)
{
    emu::EmulatedReader *first = addReader("/dev/hidraw1");
    emu::EmulatedReader *second = addReader("/dev/hidraw2");
    emu::EmulatedReader *third = addReader("/dev/hidraw3");
    EXPECT_EQ(runTool({"apply", scriptFile(Script), "--reader", "3", "--reader", "/dev/hidraw1", "--json"}), Success);
    EXPECT_TRUE(configured(first));
    EXPECT_FALSE(second->inConfigMode() || configured(second));
    EXPECT_TRUE(configured(third));
    EXPECT_EQ(outLines(),
              QStringList({R"({"hidraw":"/dev/hidraw3","reader":3,"result":"configured","serial":"","usb":""})",
                           R"({"hidraw":"/dev/hidraw1","reader":1,"result":"configured","serial":"","usb":""})"}));
}

struct ScriptRow
{
    const char *name;
    QString text; // nullptr-like "": no file at all
    QString message;
};

class BadScriptTest : public BatchTest, public ::testing::WithParamInterface<ScriptRow>
{
};

TEST_P(BadScriptTest, IsRefusedBeforeAnyReaderIsTouched)
{
    addReader("/dev/hidraw1");
    addReader("/dev/hidraw2");
    const QString file = GetParam().text.isNull() ? dir.filePath("missing.TXT") : scriptFile(GetParam().text);
    for (const char *command : {"apply", "watch"}) {
        errText.clear();
        platform.clearLog();
        EXPECT_EQ(runTool({command, file, command == QLatin1String("apply") ? "--all" : "--json"}), ScriptRefused);
        EXPECT_EQ(errText, "vortal9-batch: " + file + ": " + GetParam().message + "\n");
        EXPECT_TRUE(platform.openCalls().empty());
        EXPECT_TRUE(platform.sentReports().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, BadScriptTest,
    ::testing::Values(
        ScriptRow{"missing", QString(), "cannot be read as a script file"},
        ScriptRow{"wrongHeader", "141109F009F011F015FF2EF02EFF",
                  "cannot be played: it does not start with the configuration hot key 141109F009F011F014"},
        ScriptRow{"oddDigits", Script + "2",
                  "cannot be played: its keys end in a single digit: every key code is a pair of digits"},
        ScriptRow{"notHex", "141109F009F011F014FF2EF02G", "cannot be played: character 26 is not a hexadecimal digit"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BatchTest, WatchConfiguresEachReaderAsItComesAndCtrlCEndsCleanly)
{
    const Timing t = env.timing;
    emu::EmulatedReader *b = nullptr;
    emu::EmulatedReader *c = nullptr;
    // A: plugged and configured. B: unplugged in the middle. A again: plugged
    // a second time, configured again. C: Ctrl+C during its playback.
    QTimer::singleShot(50, &monitor, [&] { monitor.plug("/dev/hidraw1")->setTimings(5, 1, 5); });
    QTimer::singleShot(100, &monitor, [&] {
        b = monitor.plug("/dev/hidraw2");
        b->setTimings(5, 1, 5);
        QObject::connect(b, &emu::EmulatedReader::answerTyped, b, [&](const QString &answer) {
            if (answer.contains("SETUP"))
                QTimer::singleShot(0, &monitor, [&] { monitor.unplug("/dev/hidraw2"); });
        });
    });
    // Timers of two seconds and more are coarse (5 % either way): the plug is
    // started from the unplug so that the two cannot change places.
    QTimer::singleShot(2500, &monitor, [&] {
        monitor.unplug("/dev/hidraw1");
        QTimer::singleShot(100, &monitor, [&] { monitor.plug("/dev/hidraw1"); });
    });
    QTimer::singleShot(5000, &monitor, [&] {
        c = monitor.plug("/dev/hidraw3");
        c->setTimings(5, 1, 5);
        QObject::connect(c, &emu::EmulatedReader::answerTyped, c, [&](const QString &answer) {
            if (answer.contains("Beep = OFF")) // Shift-free, but the reader is in its menu
                QTimer::singleShot(t.pacingMs / 2, &monitor, [&] { interrupt(); });
        });
    });
    EXPECT_EQ(runTool({"watch", scriptFile(Script)}), NotAllConfigured);
    EXPECT_EQ(outLines(), QStringList({"reader 2 (/dev/hidraw2): unplugged", "reader 1 (/dev/hidraw1): configured",
                                       "reader 3 (/dev/hidraw1): configured",
                                       "reader 4 (/dev/hidraw3): interrupted" + Advice}));
    EXPECT_TRUE(errText.endsWith("2 of 4 readers configured.\n")) << errText.toStdString();
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(c->isGrabbed());
    EXPECT_EQ(c->heldModifiers(), 0u);
    // Nothing was left waiting: no report reaches C after the tool ended.
    const std::size_t reports = c->receivedReports().size();
    QTest::qWait(t.pacingMs * 3);
    EXPECT_EQ(c->receivedReports().size(), reports);
}

struct UsageRow
{
    const char *name;
    QStringList arguments;
    QString message;
};

class UsageTest : public BatchTest, public ::testing::WithParamInterface<UsageRow>
{
};

TEST_P(UsageTest, SaysWhatIsWrong)
{
    addReader("/dev/hidraw1");
    addReader("/dev/hidraw2");
    QStringList arguments = GetParam().arguments;
    arguments.replaceInStrings("SCRIPT", scriptFile(Script));
    EXPECT_EQ(runTool(arguments), UsageError);
    EXPECT_TRUE(errText.startsWith("vortal9-batch: " + GetParam().message)) << errText.toStdString();
    EXPECT_TRUE(platform.sentReports().empty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UsageTest,
    ::testing::Values(UsageRow{"noCommand", {}, "no command given"},
                      UsageRow{"unknownCommand", {"configure"}, "unknown command \"configure\""},
                      UsageRow{"unknownOption", {"list", "--fast"}, "Unknown option 'fast'."},
                      UsageRow{"applyWithoutScript", {"apply", "--all"}, "apply takes one script file"},
                      UsageRow{"readerWithList", {"list", "--all"}, "--reader and --all go with apply"},
                      UsageRow{"twoReadersNoneChosen", {"apply", "SCRIPT"}, "2 readers are attached"},
                      UsageRow{"readerNotAttached", {"apply", "SCRIPT", "--reader", "3"}, "no reader 3 is attached"},
                      UsageRow{"pathNotAttached", {"apply", "SCRIPT", "--reader", "/dev/hidraw9"},
                               "no reader /dev/hidraw9 is attached"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BatchTest, HelpListsTheCommandsAndExitStatusesAndNoReaderIsItsOwnStatus)
{
    EXPECT_EQ(runTool({"--help"}), Success);
    for (const char *word : {"list", "doctor", "apply SCRIPT", "watch SCRIPT", "--json", "Exit status", "130"})
        EXPECT_TRUE(outText.contains(word)) << word;
    for (const QStringList &args : {QStringList{"apply", scriptFile(Script), "--all"}, QStringList{"list"}}) {
        errText.clear();
        EXPECT_EQ(runTool(args), NoReader) << args.join(' ').toStdString();
        EXPECT_TRUE(errText.contains("No VORTAL9 reader is attached"));
    }
}

TEST_F(BatchTest, ListNumbersTheReadersAsTheWindowDoes)
{
    emu::EmulatedDevice keyboard;
    keyboard.path = "/dev/hidraw0";
    keyboard.vendorId = 0x046D;
    keyboard.featureLength = 0;
    platform.addDevice(keyboard);
    addReader("/dev/hidraw4");
    addReader("/dev/hidraw2");
    platform.device("/dev/hidraw2")->captureRefusal = "no permission to read /dev/input/event3";
    EXPECT_EQ(runTool({"list"}), Success);
    const QStringList lines = outLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[1].startsWith("1  /dev/hidraw4")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith("VORTAL9       -             yes   yes")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith("2  /dev/hidraw2"));
    EXPECT_TRUE(lines[2].endsWith("yes   no (no permission to read /dev/input/event3)"));
    for (const char *path : {"/dev/hidraw4", "/dev/hidraw2"})
        EXPECT_FALSE(platform.device(path)->reader->isGrabbed());
}

// The doctor on a scratch sysfs and /dev: what blocks each reader, the fix,
// and the exit status, as a technician's account meets them.
struct DoctorRow
{
    const char *name;
    mode_t hidrawMode;
    mode_t eventMode;
    bool featureReport;
    int status;
    QStringList expected; // lines that the output holds
};

class DoctorTest : public BatchTest, public ::testing::WithParamInterface<DoctorRow>
{
};

TEST_P(DoctorTest, SaysWhatBlocksAReaderAndHowToFixIt)
{
    const DoctorRow &row = GetParam();
    test::FakeHidDevice reader;
    reader.usbDevice = "1-2.4";
    reader.inputs = {{"input15", {"event7"}}};
    reader.reportDescriptor = QByteArray::fromHex(row.featureReport ? "05010906a1017508950881009508b102c0"
                                                                    : "05010906a101750895088100c0");
    reader.hidrawMode = row.hidrawMode;
    reader.eventMode = row.eventMode;
    ASSERT_TRUE(test::makeHidDevice(dir.path(), reader));
    env.system.udevRuleDirs = {dir.filePath("etc/udev/rules.d")};
    const std::string result = test::asUnprivileged([this] {
        outText.clear();
        const int status = runTool({"doctor"});
        return QString("%1\n%2").arg(status).arg(outText).toStdString();
    });
    const QString shown = QString::fromStdString(result).remove(dir.path());
    EXPECT_TRUE(shown.startsWith(QString::number(row.status) + "\n")) << result;
    for (const QString &line : row.expected)
        EXPECT_TRUE(shown.contains(line)) << line.toStdString() << "\nin\n" << shown.toStdString();
    EXPECT_EQ(shown.contains("To fix:"), row.status != Success);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, DoctorTest,
    ::testing::Values(
        DoctorRow{"allFine", 0666, 0644, true, Success, {"/dev/hidraw3 (USB 1-2.4): ready"}},
        DoctorRow{"hidrawWithoutPermission",
                  0600,
                  0644,
                  true,
                  NotAllConfigured,
                  {"no read/write permission on /dev/hidraw3", "/etc/udev/rules.d/70-vortal9.rules",
                   "sudo udevadm control --reload && sudo udevadm trigger"}},
        DoctorRow{"eventNodeWithoutPermission",
                  0666,
                  0600,
                  true,
                  NotAllConfigured,
                  {"no permission to read /dev/input/event7, so its keys cannot be captured",
                   "Then unplug the reader and plug it in again."}},
        DoctorRow{"noFeatureReport", 0666, 0644, false, NotAllConfigured, {"no feature report"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BatchTest, DoctorWithoutReadersSaysSo)
{
    EXPECT_EQ(runTool({"doctor"}), NoReader);
    EXPECT_EQ(errText, "No VORTAL9 reader is attached.\n");
}

} // namespace
