// vortal9-batch on emulated readers: one script to several readers at once,
// readers plugged in and out while it watches, Ctrl+C, a bad script, and the
// command line itself.
#include "EmulatedMonitor.h"
#include "FakeInputTree.h"
#include "EmulatedPlatform.h"
#include "EmulatedReader.h"
#include "batch/BatchTool.h"

#include "batch/Job.h"
#include "batch/Runner.h"
#include "batch/Output.h"
#include "platform/EndingSignals.h"
#include "capture/ReaderDoctor.h"
#include "session/Transcript.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vortal9;
using namespace vortal9::batch;

namespace {

// Beep off, the next terminator, save and exit.
const QString Header = QStringLiteral("141109F009F011F014FF");
const QString Script = Header + QStringLiteral("2EF02EFF26F026FF3EF03EFF");
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
        // A udev daemon runs: its control socket is there.
        env.system.udevControl = dir.filePath("udev-control");
        ASSERT_TRUE(test::writeFile(env.system.udevControl, {}));
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

// The opens of the readers' report descriptors in the scratch sysfs while
// fn runs, as the kernel tells them (inotify).
int descriptorOpens(const QString &sysRoot, const std::function<void()> &fn)
{
    const int watcher = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watcher < 0)
        return -1;
    const QDir hidDevices(sysRoot + "/bus/hid/devices");
    for (const QString &name : hidDevices.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        ::inotify_add_watch(watcher, QFile::encodeName(hidDevices.filePath(name)).constData(), IN_OPEN);
    fn();
    int opens = 0;
    alignas(inotify_event) char buffer[64 * 1024];
    for (ssize_t n; (n = ::read(watcher, buffer, sizeof buffer)) > 0;) {
        for (char *p = buffer; p < buffer + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            opens += event->len > 0 && std::strcmp(event->name, "report_descriptor") == 0;
            p += sizeof(inotify_event) + event->len;
        }
    }
    ::close(watcher);
    return opens;
}

TEST_F(BatchTest, ApplyConfiguresFourReadersAtOnce)
{
    std::vector<emu::EmulatedReader *> readers;
    for (const char *path : {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3", "/dev/hidraw4"})
        readers.push_back(addReader(path));
    // Their sysfs, for the doctor: it is read once per run, not once per
    // reader (each reader added read every reader's entries: N² opens).
    for (int n = 1; n <= 4; ++n) {
        test::FakeHidDevice tree;
        tree.hidraw = QString("hidraw%1").arg(n);
        tree.usbDevice = QString("1-%1").arg(n);
        tree.hidDevice = QString("0003:04B4:210A.000%1").arg(n);
        tree.reportDescriptor = QByteArray::fromHex("05010906a1017508950881009508b102c0");
        ASSERT_TRUE(test::makeHidDevice(dir.path(), tree));
    }
    const auto start = std::chrono::steady_clock::now();
    const int opens = descriptorOpens(env.system.sysRoot, [&] {
        EXPECT_EQ(runTool({"apply", scriptFile(Script), "--all"}), Success) << errText.toStdString();
    });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(opens, 4) << "each report descriptor read once";
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

// One reader of four that fails; the other three are configured. Or a
// fifth reader attached that apply cannot reach: the four are configured,
// and it is named after them as not configured.
enum class Failure {
    Silent,
    UnpluggedMidPlayback,
    KeysLostMidPlayback,
    NotCapturable,
    InUse,
    NodeReused,
    NoHidrawNode,
    NodeMissing
};

struct FailureRow
{
    const char *name;
    Failure failure;
    QString line; // reader 3's result line
    QStringList after = {}; // the lines after the four, DIR standing for the scratch folder
};

class ApplyFailureTest : public BatchTest, public ::testing::WithParamInterface<FailureRow>
{
protected:
    std::unique_ptr<KeyCapture> otherProgram;
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
    case Failure::InUse: // another program holds it, and keeps holding it
        otherProgram = platform.capture("/dev/hidraw3").capture;
        break;
    case Failure::NodeReused: // listed as a reader, then the node went to a keyboard
        // Discovery looks at the list twice; the node changes hands after it.
        platform.beforeEnumInterface = [this, ends = 0](int index) mutable {
            if (index == 4 && ++ends == 2)
                platform.device("/dev/hidraw3")->vendorId = 0x046D;
        };
        break;
    case Failure::UnpluggedMidPlayback:
        QObject::connect(readers[2], &emu::EmulatedReader::answerTyped, readers[2], [&](const QString &answer) {
            if (answer.contains("Beep = OFF"))
                QTimer::singleShot(0, readers[2], [&] { platform.removeDevice("/dev/hidraw3"); });
        });
        break;
    case Failure::KeysLostMidPlayback: // its answer is heard, but not in full
        QObject::connect(readers[2], &emu::EmulatedReader::answerTyped, readers[2], [&](const QString &answer) {
            if (answer.contains("Beep = OFF"))
                readers[2]->loseCapturedKeys();
        });
        break;
    case Failure::NoHidrawNode: // the kernel had no node left for it
    case Failure::NodeMissing: { // the kernel made one, but this /dev does not have it
        test::FakeHidDevice fifth;
        fifth.hidraw = GetParam().failure == Failure::NoHidrawNode ? "" : "hidraw5";
        fifth.hidrawMode = 0;
        fifth.usbDevice = "1-5";
        fifth.hidDevice = "0003:04B4:210A.0041";
        fifth.inputs = {{"input41", {"event41"}}};
        fifth.reportDescriptor = QByteArray::fromHex("05010906a1017508950881009508b102c0");
        ASSERT_TRUE(test::makeHidDevice(dir.path(), fifth));
        break;
    }
    }
    EXPECT_EQ(runTool({"apply", scriptFile(Script), "--all"}), NotAllConfigured);
    const QStringList lines = outLines().replaceInStrings(dir.path(), "DIR");
    ASSERT_EQ(lines.size(), 4 + GetParam().after.size()) << outText.toStdString();
    EXPECT_EQ(lines[2], GetParam().line);
    EXPECT_EQ(lines.mid(4), GetParam().after);
    for (int i : {0, 1, 3}) {
        EXPECT_TRUE(configured(readers[std::size_t(i)])) << i;
        EXPECT_TRUE(lines[i].endsWith("configured"));
    }
    for (int i : {0, 1, 3})
        EXPECT_FALSE(readers[std::size_t(i)]->isGrabbed());
    // Nothing reached a reader that another program holds or that is gone from its node.
    if (GetParam().failure == Failure::InUse || GetParam().failure == Failure::NodeReused) {
        EXPECT_TRUE(readers[2]->receivedReports().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ApplyFailureTest,
    ::testing::Values(FailureRow{"silent", Failure::Silent, "reader 3 (/dev/hidraw3): reader not responding" + Advice},
                      FailureRow{"unpluggedMidPlayback", Failure::UnpluggedMidPlayback,
                                 "reader 3 (/dev/hidraw3): unplugged"},
                      // Not "configured", nor "differs" with --expect: what it typed was not all heard.
                      FailureRow{"keysLostMidPlayback", Failure::KeysLostMidPlayback,
                                 "reader 3 (/dev/hidraw3): keys lost: repeat: the system dropped some of the keys the "
                                 "reader typed (its input queue overflowed), so its answers cannot be checked; apply "
                                 "the script to it again"},
                      FailureRow{"inUse", Failure::InUse,
                                 "reader 3 (/dev/hidraw3): in use: another program holds the reader; nothing was "
                                 "sent to it. Try again when it has finished"},
                      FailureRow{"nodeReused", Failure::NodeReused,
                                 "reader 3 (/dev/hidraw3): refused: another device than a VORTAL9 reader answers "
                                 "there now (the node was given to it after the readers were listed); nothing was "
                                 "sent to it"},
                      FailureRow{"notCapturable", Failure::NotCapturable,
                                 "reader 3 (/dev/hidraw3): refused: its keys cannot be captured (no permission to "
                                 "read /dev/input/event9): without capture its typing would land in this terminal"},
                      // Before, "every reader configured" and exit 0 with 64 of 128 readers without a node.
                      FailureRow{"noHidrawNode", Failure::NoHidrawNode, "reader 3 (/dev/hidraw3): configured",
                                 {"reader - (0003:04B4:210A.0041, USB 1-5): not opened: the kernel gave it no hidraw "
                                  "node: it gives at most 64 HID devices one, keyboards and mice included, and had "
                                  "none left",
                                  "That reader was not configured. To fix:",
                                  "1 of the attached readers got no hidraw node: the kernel gives at most 64 HID "
                                  "devices one, keyboards and mice included. Attach fewer readers to this computer "
                                  "at once (configure them in groups), or unplug other USB input devices."}},
                      FailureRow{"nodeMissing", Failure::NodeMissing, "reader 3 (/dev/hidraw3): configured",
                                 {"reader - (DIR/dev/hidraw5, USB 1-5): not opened: its hidraw node "
                                  "DIR/dev/hidraw5 is missing",
                                  "That reader was not configured. To fix:",
                                  "DIR/dev/hidraw5 is missing although the kernel has the device: this /dev is not "
                                  "the system's own (a container?); give it the node, e.g. --device DIR/dev/hidraw5, "
                                  "then check again."}}),
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
              QStringList({R"({"hidraw":"/dev/hidraw3","reader":3,"result":"configured","serial":"","usb":"","version":1})",
                           R"({"hidraw":"/dev/hidraw1","reader":1,"result":"configured","serial":"","usb":"","version":1})"}));
}

enum class ScriptFile { Written, Missing, Folder, Unreadable };

struct ScriptRow
{
    const char *name;
    QString text; // null: no file written
    QString message;
    ScriptFile file = ScriptFile::Written;
};

class BadScriptTest : public BatchTest, public ::testing::WithParamInterface<ScriptRow>
{
};

TEST_P(BadScriptTest, IsRefusedBeforeAnyReaderIsTouched)
{
    addReader("/dev/hidraw1");
    addReader("/dev/hidraw2");
    QString file = dir.filePath("missing.TXT");
    if (GetParam().file == ScriptFile::Written || GetParam().file == ScriptFile::Unreadable)
        file = scriptFile(GetParam().text);
    if (GetParam().file == ScriptFile::Folder) {
        ASSERT_TRUE(QDir(dir.path()).mkdir("missing.TXT"));
    }
    if (GetParam().file == ScriptFile::Unreadable) {
        ASSERT_EQ(::chmod(QFile::encodeName(file), 0), 0);
    }
    // As "nobody" where root would read any file.
    const passwd *nobody = getpwnam("nobody");
    const bool asNobody = GetParam().file == ScriptFile::Unreadable && ::geteuid() == 0;
    ASSERT_TRUE(!asNobody || nobody);
    for (const char *command : {"apply", "watch"}) {
        errText.clear();
        platform.clearLog();
        ASSERT_TRUE(!asNobody || ::seteuid(nobody->pw_uid) == 0);
        const int status = runTool({command, file, command == QLatin1String("apply") ? "--all" : "--json"});
        ASSERT_TRUE(!asNobody || ::seteuid(0) == 0);
        EXPECT_EQ(status, ScriptRefused);
        EXPECT_EQ(errText, "vortal9-batch: " + file + ": " + GetParam().message + "\n");
        EXPECT_TRUE(platform.openCalls().empty());
        EXPECT_TRUE(platform.sentReports().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, BadScriptTest,
    ::testing::Values(
        ScriptRow{"missing", QString(), "no such file", ScriptFile::Missing},
        ScriptRow{"folder", QString(), "is a folder, not a script file", ScriptFile::Folder},
        ScriptRow{"unreadable", Script, "cannot be read: permission denied", ScriptFile::Unreadable},
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
    // Each next step once the results before it are printed, however long
    // they take on a loaded machine.
    int phase = 0;
    QTimer next;
    next.setInterval(20);
    QObject::connect(&next, &QTimer::timeout, &monitor, [&] {
        if (phase == 0 && outText.contains("reader 1 (/dev/hidraw1): configured")
            && outText.contains("reader 2 (/dev/hidraw2): unplugged")) {
            phase = 1;
            monitor.unplug("/dev/hidraw1");
            QTimer::singleShot(100, &monitor, [&] { monitor.plug("/dev/hidraw1"); });
        } else if (phase == 1 && outText.contains("reader 3 (/dev/hidraw1): configured")) {
            phase = 2;
            c = monitor.plug("/dev/hidraw3");
            c->setTimings(5, 1, 5);
            QObject::connect(c, &emu::EmulatedReader::answerTyped, c, [&](const QString &answer) {
                if (answer.contains("Beep = OFF")) // Shift-free, but the reader is in its menu
                    QTimer::singleShot(t.pacingMs / 2, &monitor, [&] { interrupt(); });
            });
        }
    });
    next.start();
    QTimer::singleShot(60000, &monitor, [&] {
        ADD_FAILURE() << "stuck in phase " << phase;
        interrupt();
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

// A station that runs for weeks: every reader that is gone (its job done)
// frees its job, session, capture and report thread. Rounds of readers
// plugged in, configured and unplugged, one of them each round unplugged in
// the middle of its script; after each round the threads are back to what
// they were after the first. Before, each job stayed with its session and
// report thread: one thread more per reader and round.
TEST_F(BatchTest, WatchFreesEveryReaderThatIsGone)
{
    platform.answerReportsOnThread(true); // one report thread per open reader, as on hidraw
    constexpr int Rounds = 4, Readers = 4;
    const auto threads = [] { return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()); };
    std::vector<int> after; // threads once each round's readers are done
    int most = 0;           // threads while readers are configured
    int round = 0;
    bool plugged = false;
    QTimer next;
    next.setInterval(20);
    QObject::connect(&next, &QTimer::timeout, &monitor, [&] {
        most = std::max(most, threads());
        if (!plugged) {
            if (round == Rounds)
                return interrupt();
            plugged = true;
            for (int i = 1; i <= Readers; ++i) {
                const std::string path = "/dev/hidraw" + std::to_string(i);
                emu::EmulatedReader *reader = monitor.plug(path);
                reader->setTimings(5, 1, 5);
                if (i == Readers) { // gone at its second answer
                    QObject::connect(reader, &emu::EmulatedReader::answerTyped, reader, [&, path](const QString &answer) {
                        if (answer.contains("SETUP"))
                            QTimer::singleShot(0, &monitor, [&, path] { monitor.unplug(path); });
                    });
                }
            }
        } else if (outLines().size() == (round + 1) * Readers) {
            // Every result of the round is out: the jobs are done. The next
            // tick sees what they left.
            if (after.size() == std::size_t(round)) {
                after.push_back(-1);
                return;
            }
            after.back() = threads();
            for (int i = 1; i < Readers; ++i)
                monitor.unplug("/dev/hidraw" + std::to_string(i));
            plugged = false;
            ++round;
        }
    });
    next.start();
    QTimer::singleShot(60000, &monitor, [&] {
        ADD_FAILURE() << "stuck in round " << round << " with " << outLines().size() << " results";
        interrupt();
    });
    EXPECT_EQ(runTool({"watch", scriptFile(Script)}), NotAllConfigured);
    ASSERT_EQ(after.size(), std::size_t(Rounds));
    EXPECT_GT(most, after.front()) << "the readers had no report thread";
    EXPECT_EQ(after.back(), after.front()) << "threads after each round: " << testing::PrintToString(after);
    EXPECT_EQ(outText.count("configured"), Rounds * (Readers - 1)) << outText.toStdString();
    EXPECT_EQ(outText.count("unplugged"), Rounds) << outText.toStdString();
    EXPECT_TRUE(errText.endsWith(QStringLiteral("%1 of %2 readers configured.\n").arg(Rounds * (Readers - 1)).arg(Rounds * Readers)))
        << errText.toStdString();
    EXPECT_EQ(platform.openHandleCount(), 0);
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

// A reader's interface as the kernel shows it: feature report, one event node.
test::FakeHidDevice readerTree(const char *hidraw, const char *usb, const char *hid, const char *event)
{
    test::FakeHidDevice d;
    d.hidraw = hidraw;
    d.usbDevice = usb;
    d.hidDevice = hid;
    if (event[0] != '\0')
        d.inputs = {{"input1", {event}}};
    d.reportDescriptor = QByteArray::fromHex("05010906a1017508950881009508b102c0");
    return d;
}

// list tells capturability by the doctor's checks of the event nodes, and
// never asks for a capture: no reader is grabbed, not even for a moment.
TEST_F(BatchTest, ListNumbersTheReadersAsTheWindowDoesAndGrabsNone)
{
    emu::EmulatedDevice keyboard;
    keyboard.path = "/dev/hidraw0";
    keyboard.vendorId = 0x046D;
    keyboard.featureLength = 0;
    platform.addDevice(keyboard);
    ASSERT_TRUE(test::makeHidDevice(dir.path(), readerTree("hidraw4", "1-2", "0003:04B4:210A.0004", "event4")));
    ASSERT_TRUE(test::makeHidDevice(dir.path(), readerTree("hidraw2", "1-3", "0003:04B4:210A.0002", "")));
    addReader(dir.filePath("dev/hidraw4").toStdString());
    addReader(dir.filePath("dev/hidraw2").toStdString());
    addReader("/dev/hidraw7"); // one that sysfs does not know
    EXPECT_EQ(runTool({"list"}), Success);
    QStringList lines = outLines().replaceInStrings(dir.path(), "");
    ASSERT_EQ(lines.size(), 4);
    for (QString &line : lines)
        line = line.simplified();
    EXPECT_EQ(lines.mid(1), QStringList({"1 /dev/hidraw4 1-2 VORTAL9 - yes yes",
                                         "2 /dev/hidraw2 1-3 VORTAL9 - yes no (no input device, so its keys cannot be "
                                         "captured)",
                                         "3 /dev/hidraw7 - VORTAL9 - yes no (not found in sysfs)"}));
    EXPECT_EQ(platform.captureCount(), 0);
    EXPECT_TRUE(errText.contains("checked, not taken"));
}

// Texts a device chose reach the terminal with their control characters
// shown, never acted on; JSON keeps them, escaped.
struct DeviceTextRow
{
    const char *name;
    QStringList arguments;
    QStringList shownParts; // what the output holds
};

class DeviceTextTest : public BatchTest, public ::testing::WithParamInterface<DeviceTextRow>
{
};

TEST_P(DeviceTextTest, HasNoControlCharacters)
{
    test::FakeHidDevice tree = readerTree("hidraw3", "1-2", "0003:04B4:210A.0003", "event3");
    tree.serial = "\x1b]0;owned\x07SN1\xe2\x80\xae\n"; // U+202E shows the rest of a line reversed
    ASSERT_TRUE(test::makeHidDevice(dir.path(), tree));
    addReader(dir.filePath("dev/hidraw3").toStdString());
    platform.device(dir.filePath("dev/hidraw3").toStdString())->manufacturer
        = u"\x1b[2JMaker\u009b1m\r\nreader 9\u2028\u2066";
    runTool(GetParam().arguments);
    for (const QChar c : outText + errText) {
        EXPECT_FALSE((c < u' ' && c != u'\n') || (c >= u'\x7f' && c <= u'\x9f')) << int(c.unicode());
        EXPECT_FALSE(c.category() == QChar::Other_Format || c.category() == QChar::Separator_Line) << int(c.unicode());
    }
    for (const QString &part : GetParam().shownParts)
        EXPECT_TRUE(outText.contains(part)) << part.toStdString() << "\nin\n" << outText.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Commands, DeviceTextTest,
    ::testing::Values(DeviceTextRow{"list",
                                    {"list"},
                                    {R"(\x1B[2JMaker\x9B1m\x0D\x0Areader 9\u2028\u2066)", R"(\x1B]0;owned\x07SN1\u202E)"}},
                      DeviceTextRow{"doctor", {"doctor"}, {R"(serial \x1B]0;owned\x07SN1\u202E): ready)"}},
                      DeviceTextRow{"listJson",
                                    {"list", "--json"},
                                    {R"("serial":"\u001b]0;owned\u0007SN1\u202e")",
                                     R"("manufacturer":"\u001b[2JMaker\u009b1m\r\nreader 9\u2028\u2066")"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Output, ShowsEveryByteAndGivesItBack)
{
    const std::vector<std::pair<QByteArray, QString>> rows = {
        {"plain.TXT", "plain.TXT"},
        {"caf\xc3\xa9.TXT", QString::fromUtf8("caf\xc3\xa9.TXT")},
        {"caf\xe9.TXT", R"(caf\xE9.TXT)"},
        {"\xed\xa0\x80", R"(\xED\xA0\x80)"}, // a surrogate, encoded: not UTF-8
        {"\xc0\xaf", R"(\xC0\xAF)"},         // overlong
        {"\xf0\x9f\x98\x80\xf0\x9f", QString::fromUtf8("\xf0\x9f\x98\x80") + R"(\xF0\x9F)"},
        {"a\x1b[2J\x7f\xc2\x9b", R"(a\x1B[2J\x7F\x9B)"},
        // Format characters and separators: a right-to-left override, an
        // isolate, a zero-width space, a tag character, a line separator.
        {"a\xe2\x80\xae" "b\xe2\x81\xa6\xe2\x80\x8b", R"(a\u202Eb\u2066\u200B)"},
        {"\xf3\xa0\x80\x81\xe2\x80\xa8x", R"(\U000E0001\u2028x)"},
    };
    for (const auto &[bytes, text] : rows) {
        const QString argument = argumentFromBytes(bytes);
        EXPECT_EQ(shown(argument), text) << bytes.toHex().toStdString();
        EXPECT_EQ(argumentBytes(argument), bytes) << bytes.toHex().toStdString();
    }
}

// A script's name is opened as the bytes the user gave, and shown as the
// terminal can show it.
struct FileNameRow
{
    const char *name;
    QByteArray fileName;
    bool exists;
    int status;
    QString shownName; // in the message; "" when there is none
};

class FileNameTest : public BatchTest, public ::testing::WithParamInterface<FileNameRow>
{
};

TEST_P(FileNameTest, IsOpenedAsGiven)
{
    const FileNameRow &row = GetParam();
    emu::EmulatedReader *reader = addReader("/dev/hidraw1");
    const QByteArray path = QFile::encodeName(dir.path()) + "/" + row.fileName;
    if (row.exists) {
        const QByteArray bytes = Script.toLatin1() + "\r\n";
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.constData(), std::size_t(bytes.size())), bytes.size());
        ::close(fd);
    }
    EXPECT_EQ(runTool({"apply", argumentFromBytes(path)}), row.status) << errText.toStdString();
    EXPECT_EQ(configured(reader), row.status == Success);
    EXPECT_EQ(errText, row.shownName.isEmpty() ? QString()
                                               : "vortal9-batch: " + dir.path() + "/" + row.shownName
                                                     + ": no such file\n");
    ::unlink(path.constData()); // QTemporaryDir cannot name it to remove it
}

INSTANTIATE_TEST_SUITE_P(
    Names, FileNameTest,
    ::testing::Values(FileNameRow{"latin1", "caf\xe9.TXT", true, Success, {}},
                      FileNameRow{"latin1Missing", "caf\xe9-2.TXT", false, ScriptRefused, R"(caf\xE9-2.TXT)"},
                      FileNameRow{"escapeMissing", "a\x1b[2Jb.TXT", false, ScriptRefused, R"(a\x1B[2Jb.TXT)"}),
    [](const auto &info) { return std::string(info.param.name); });

// Every fix is printed so that its commands, pasted into a shell as printed,
// do what they say: run here with "sudo" standing in, which notes its
// arguments one by one and keeps what it would write with tee.
struct PasteRow
{
    const char *name;
    QStringList arguments;
    const char *ruleCopyFolder; // "": no copy of the rule
    QStringList calls;
};

class PasteTest : public BatchTest, public ::testing::WithParamInterface<PasteRow>
{
};

// The lines a user copies: each "sudo" line, and a here-document to the line
// that ends it for the eye.
QStringList commandLines(const QString &output)
{
    const QStringList lines = output.split('\n');
    QStringList picked;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!lines[i].trimmed().startsWith("sudo "))
            continue;
        picked << lines[i];
        if (lines[i].trimmed().endsWith("<<'EOF'")) {
            while (++i < lines.size() && (picked << lines[i], lines[i].trimmed() != "EOF")) {
            }
        }
    }
    return picked;
}

TEST_P(PasteTest, FixCommandsWorkAsPrinted)
{
    const PasteRow &row = GetParam();
    test::FakeHidDevice tree = readerTree("hidraw3", "1-2", "0003:04B4:210A.0003", "event3");
    tree.eventMode = 0600; // its keys cannot be captured by a technician
    ASSERT_TRUE(test::makeHidDevice(dir.path(), tree));
    addReader(dir.filePath("dev/hidraw3").toStdString());
    platform.device(dir.filePath("dev/hidraw3").toStdString())->captureRefusal = "no permission";
    env.system.udevRuleDirs = {dir.filePath("etc/udev/rules.d")};
    if (row.ruleCopyFolder[0] != '\0') {
        ASSERT_TRUE(QDir(dir.path()).mkpath(row.ruleCopyFolder));
        env.system.ruleCopies = {dir.filePath(QString(row.ruleCopyFolder) + "/70-vortal9.rules")};
        ASSERT_TRUE(test::writeFile(env.system.ruleCopies[0], "#"));
    }
    QStringList arguments = row.arguments;
    arguments.replaceInStrings("SCRIPT", scriptFile(Script));
    // As "nobody" for the permission checks, in this process: the event
    // loop that apply runs cannot run in a forked child.
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const bool root = ::geteuid() == 0;
    ASSERT_TRUE(!root || ::seteuid(nobody->pw_uid) == 0);
    runTool(arguments);
    ASSERT_TRUE(!root || ::seteuid(0) == 0);
    const QString output = outText;
    QFile script(dir.filePath("paste.sh"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("sudo() { printf '[%s]' \"$@\" >> calls; echo >> calls; if [ \"$1\" = tee ]; then cat > tee.out; "
                 "fi; }\n");
    script.write(commandLines(output).join('\n').toUtf8() + "\n");
    script.close();
    QProcess sh;
    sh.setWorkingDirectory(dir.path());
    sh.start("sh", {"paste.sh"});
    ASSERT_TRUE(sh.waitForFinished());
    EXPECT_EQ(sh.exitCode(), 0) << sh.readAllStandardError().toStdString();
    EXPECT_TRUE(sh.readAllStandardError().isEmpty());
    QFile calls(dir.filePath("calls"));
    EXPECT_TRUE(calls.open(QIODevice::ReadOnly)) << output.toStdString();
    EXPECT_EQ(QString::fromUtf8(calls.readAll()).replace(dir.path(), "DIR").split('\n', Qt::SkipEmptyParts), row.calls)
        << output.toStdString();
    if (row.calls.value(0).startsWith("[tee]")) {
        QFile written(dir.filePath("tee.out"));
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_EQ(written.readAll(), QByteArray(vortal9::UdevRuleLines[0]) + "\n" + vortal9::UdevRuleLines[1] + "\n");
    }
}

const QString Reload = "[udevadm][control][--reload]";
const QString Trigger = "[udevadm][trigger]";
const QString Tee = "[tee][/etc/udev/rules.d/70-vortal9.rules]";

INSTANTIATE_TEST_SUITE_P(
    Fixes, PasteTest,
    ::testing::Values(PasteRow{"doctorHereDocument", {"doctor"}, "", {Tee, Reload, Trigger}},
                      PasteRow{"doctorCopyFromFolderWithSpace",
                               {"doctor"},
                               "my rules",
                               {"[cp][DIR/my rules/70-vortal9.rules][/etc/udev/rules.d/]", Reload, Trigger}},
                      PasteRow{"applyRefusal", {"apply", "SCRIPT"}, "", {Tee, Reload, Trigger}}),
    [](const auto &info) { return std::string(info.param.name); });

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
    bool otherInterface = false; // a second device of the reader's ids, without feature report
    bool withoutNode = false; // a second reader, that the kernel gave no hidraw node
    gid_t nodeGroup = gid_t(-1); // the group of the reader's nodes
    QStringList arguments = {"doctor"}; // SCRIPT: a script file
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
    reader.nodeGroup = row.nodeGroup;
    if (row.nodeGroup != gid_t(-1) && ::geteuid() != 0)
        GTEST_SKIP() << "giving a node to another group needs root";
    ASSERT_TRUE(test::makeHidDevice(dir.path(), reader));
    if (row.otherInterface || row.withoutNode) {
        test::FakeHidDevice other = reader;
        other.hidraw = row.withoutNode ? "" : "hidraw4";
        other.usbDevice = "1-2.5";
        other.hidDevice = "0003:04B4:210A.0008";
        other.inputs = {{"input16", {"event8"}}};
        if (row.otherInterface)
            other.reportDescriptor = QByteArray::fromHex("05010906a101750895088100c0");
        ASSERT_TRUE(test::makeHidDevice(dir.path(), other));
    }
    env.system.udevRuleDirs = {dir.filePath("etc/udev/rules.d")};
    QStringList arguments = row.arguments;
    arguments.replaceInStrings("SCRIPT", scriptFile(Script));
    const std::string result = test::asUnprivileged([this, arguments] {
        outText.clear();
        const int status = runTool(arguments);
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
        DoctorRow{"noFeatureReport", 0666, 0644, false, NotAllConfigured, {"no feature report"}},
        // Its text says "nothing to fix": the readers are ready.
        DoctorRow{"readyBesideAnotherInterface",
                  0666,
                  0644,
                  true,
                  Success,
                  {"/dev/hidraw3 (USB 1-2.4): ready", "Note:\n/dev/hidraw4 has no feature report",
                   "nothing to fix with udev"},
                  true},
        // The kernel gives hidraw nodes to 64 HID devices at most.
        DoctorRow{"readerWithoutHidrawNode",
                  0666,
                  0644,
                  true,
                  NotAllConfigured,
                  {"/dev/hidraw3 (USB 1-2.4): ready",
                   "0003:04B4:210A.0008 (USB 1-2.5): the kernel gave it no hidraw node",
                   "1 of the attached readers got no hidraw node"},
                  false,
                  true},
        DoctorRow{"listNamesTheReaderWithoutHidrawNode",
                  0666,
                  0644,
                  true,
                  Success,
                  {"0003:04B4:210A.0008 1-2.5", "no (the kernel gave it no hidraw node"},
                  false,
                  true,
                  gid_t(-1),
                  {"list"}},
        // The station's rule gives the nodes to its group (vortal9; dialout here).
        DoctorRow{"nodesOfAGroupTheUserIsNotIn",
                  0660,
                  0640,
                  true,
                  NotAllConfigured,
                  {"no read/write permission on /dev/hidraw3", "sudo udevadm control --reload && sudo udevadm trigger",
                   "open to the group \"dialout\", and you are not in it", "sudo usermod -aG dialout nobody"},
                  false,
                  false,
                  20},
        // Attached but not to be opened: not configured (1), not "no reader attached" (4).
        DoctorRow{"applyToAReaderThatCannotBeOpened",
                  0600,
                  0644,
                  true,
                  NotAllConfigured,
                  {"reader - (/dev/hidraw3, USB 1-2.4): not opened: no read/write permission on /dev/hidraw3",
                   "That reader was not configured. To fix:", "sudo udevadm control --reload && sudo udevadm trigger"},
                  false,
                  false,
                  gid_t(-1),
                  {"apply", "SCRIPT", "--all"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BatchTest, DoctorWithoutReadersSaysWhatToCheck)
{
    EXPECT_EQ(runTool({"doctor"}), NoReader);
    const QStringList lines = errText.split('\n');
    EXPECT_EQ(lines.value(0), "No VORTAL9 reader is attached.");
    for (const char *check : {"cable", "hub", "04b4:210a"})
        EXPECT_TRUE(lines.value(1).contains(check) || lines.value(2).contains(check)) << check;
    EXPECT_TRUE(lines.contains("lsusb -d 04b4:210a"));
}

// Every signal that ends the tool takes the path Ctrl+C takes: the sessions
// closed, no key left held, the reader let go, the status of an interrupted
// apply. Before, only SIGINT and SIGTERM were caught: the others killed the
// tool with the reader in its menu and still grabbed.
class EndingSignalTest : public BatchTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(EndingSignalTest, EndsApplyAsCtrlCDoes)
{
    EndingSignals endingSignals;
    ASSERT_TRUE(endingSignals.isActive());
    env.onInterrupt = [&](std::function<void()> handler) { endingSignals.setHandler(std::move(handler)); };
    emu::EmulatedReader *reader = addReader("/dev/hidraw1");
    QObject::connect(reader, &emu::EmulatedReader::answerTyped, reader, [&](const QString &answer) {
        if (answer.contains("Beep = OFF"))
            ::raise(GetParam());
    });
    EXPECT_EQ(runTool({"apply", scriptFile(Script)}), Interrupted);
    EXPECT_EQ(outLines(), QStringList({"reader 1 (/dev/hidraw1): interrupted" + Advice}));
    EXPECT_FALSE(reader->isGrabbed());
    EXPECT_EQ(reader->heldModifiers(), 0u);
}

// A signal that comes while the program tears down, after its result, leaves
// its exit status as it was: the program's own handlers are held until the
// process ends. Before, the default actions came back first (status 143).
TEST_P(EndingSignalTest, AfterTheResultLeavesTheExitStatus)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        {
            EndingSignals endingSignals;
            endingSignals.holdUntilExit();
            if (!endingSignals.isActive())
                ::_exit(99);
        }
        ::raise(GetParam());
        ::_exit(Success);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, Success);
}

// The same signal while a report waits for its answer: the kernel ends that
// wait with EIO (uhid), the error a time-out gives, before the event loop
// hears the signal. Before, the reader's result was "write error".
TEST_P(EndingSignalTest, EndsApplyAsCtrlCDoesWhenItBreaksAReportsWait)
{
    EndingSignals endingSignals;
    ASSERT_TRUE(endingSignals.isActive());
    env.onInterrupt = [&](std::function<void()> handler) { endingSignals.setHandler(std::move(handler)); };
    emu::EmulatedReader *reader = addReader("/dev/hidraw1");
    platform.device("/dev/hidraw1")->refuseSetFeatureAfter = 3;
    platform.device("/dev/hidraw1")->signalWhileRefused = GetParam();
    EXPECT_EQ(runTool({"apply", scriptFile(Script)}), Interrupted);
    EXPECT_EQ(outLines(), QStringList({"reader 1 (/dev/hidraw1): interrupted" + Advice}));
    EXPECT_FALSE(reader->isGrabbed());
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE),
                         [](const auto &info) { return std::string(sigabbrev_np(info.param)); });

// A pager or head that closes the output makes a write fail, nothing more.
TEST(EndingSignals, AClosedOutputIsAnEndingSignalAndTheHandlersComeBack)
{
    struct sigaction before = {};
    sigaction(SIGPIPE, nullptr, &before);
    {
        EndingSignals endingSignals;
        int calls = 0;
        endingSignals.setHandler([&] { ++calls; });
        int pipeEnds[2];
        ASSERT_EQ(::pipe(pipeEnds), 0);
        ::close(pipeEnds[0]);
        EXPECT_EQ(::write(pipeEnds[1], "x", 1), -1);
        EXPECT_EQ(errno, EPIPE);
        ::close(pipeEnds[1]);
        QTRY_COMPARE(calls, 1);
    }
    struct sigaction after = {};
    sigaction(SIGPIPE, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

// A job's life as a table: in this state, this event gives that state and
// result. Leaving "waiting to capture" stops its retry timer. The reader
// opened comes back after the event that asked for it, so a job is seen
// "opening" right after its start.
enum class Reach { New, Opening, WaitingToCapture, Playing };

struct JobRow
{
    const char *name;
    Reach reach;
    Job::Event event;
    Job::State state;
    Job::Result result;
    bool mayBeInConfigMode;
};

class JobTest : public BatchTest, public ::testing::WithParamInterface<JobRow>
{
};

TEST_P(JobTest, MovesAsTheTableSays)
{
    const JobRow &row = GetParam();
    emu::EmulatedReader *reader = addReader("/dev/hidraw1");
    reader->setAnswerDelayMs(60000); // it stays silent: playback waits
    if (row.reach == Reach::WaitingToCapture)
        platform.device("/dev/hidraw1")->captureRefusal = "not yet";
    Job job(1, "/dev/hidraw1", platform, &platform, env.timing, Script, 3);
    if (row.reach != Reach::New)
        job.handle(Job::Event::Start);
    if (row.reach == Reach::Opening) {
        ASSERT_EQ(job.state(), Job::State::Opening);
    } else {
        QTRY_COMPARE(job.state(), row.reach == Reach::Playing ? Job::State::Playing
                                  : row.reach == Reach::New   ? Job::State::New
                                                              : Job::State::WaitingToCapture);
    }
    if (row.event == Job::Event::RetryDue)
        platform.device("/dev/hidraw1")->captureRefusal.clear();
    if (row.event == Job::Event::Unplugged)
        platform.removeDevice("/dev/hidraw1");
    job.handle(row.event);
    if (row.reach == Reach::Opening) {
        EXPECT_EQ(job.state(), Job::State::Cancelling);
    }
    QTRY_COMPARE(job.state(), row.state);
    EXPECT_EQ(job.result(), row.result);
    EXPECT_EQ(job.mayBeInConfigMode(), row.mayBeInConfigMode);
    EXPECT_FALSE(reader->isGrabbed() && row.state == Job::State::Done);
    if (row.state == Job::State::Done) {
        EXPECT_EQ(platform.openHandleCount(), 0);
    }
    if (row.reach == Reach::Opening) {
        EXPECT_TRUE(platform.sentReports().empty());
    }
    // Nothing runs on after the job ended: no retry, no report.
    const std::size_t opens = platform.openCalls().size();
    const std::size_t reports = platform.sentReports().size();
    QTest::qWait(Job::CaptureRetryMs * 2);
    if (row.state == Job::State::Done) {
        EXPECT_EQ(platform.openCalls().size(), opens);
        EXPECT_EQ(platform.sentReports().size(), reports);
    }
}

// Where the system has no capture, a reader is opened but never played to:
// its typing would land in the terminal.
TEST_F(BatchTest, AJobWithoutCaptureIsRefusedAndSendsNothing)
{
    emu::EmulatedReader *reader = addReader("/dev/hidraw1");
    Job job(1, "/dev/hidraw1", platform, nullptr, env.timing, Script, 1);
    job.handle(Job::Event::Start);
    QTRY_COMPARE(job.state(), Job::State::Done);
    EXPECT_EQ(job.result(), Job::Result::NotCaptured);
    EXPECT_TRUE(reader->receivedReports().empty());
    EXPECT_EQ(platform.openHandleCount(), 0);
}

using E = Job::Event;
using S = Job::State;
using R = Job::Result;

INSTANTIATE_TEST_SUITE_P(
    States, JobTest,
    ::testing::Values(JobRow{"newInterrupted", Reach::New, E::Interrupted, S::Done, R::Interrupted, false},
                      JobRow{"newUnplugged", Reach::New, E::Unplugged, S::Done, R::Unplugged, false},
                      // What the opening gives is let go as it comes back: nothing is sent.
                      JobRow{"openingInterrupted", Reach::Opening, E::Interrupted, S::Done, R::Interrupted, false},
                      JobRow{"openingUnplugged", Reach::Opening, E::Unplugged, S::Done, R::Unplugged, false},
                      JobRow{"waitingInterrupted", Reach::WaitingToCapture, E::Interrupted, S::Done, R::Interrupted,
                             false},
                      JobRow{"waitingUnplugged", Reach::WaitingToCapture, E::Unplugged, S::Done, R::Unplugged, false},
                      JobRow{"waitingRetryCaptures", Reach::WaitingToCapture, E::RetryDue, S::Playing, R::None, false},
                      JobRow{"playingInterrupted", Reach::Playing, E::Interrupted, S::Done, R::Interrupted, true},
                      JobRow{"playingUnplugged", Reach::Playing, E::Unplugged, S::Done, R::Unplugged, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BatchTest, JsonSaysWhenTheReaderMayBeLeftInItsConfigurationMode)
{
    addReader("/dev/hidraw1")->setAnswerDelayMs(60000);
    EXPECT_EQ(runTool({"apply", scriptFile(Script), "--json"}), NotAllConfigured);
    EXPECT_EQ(outLines(), QStringList({R"({"hidraw":"/dev/hidraw1","mayBeInConfigMode":true,"message":")"
                                       + Advice.mid(2) + R"(","reader":1,"result":"reader not responding",)"
                                       + R"("serial":"","usb":"","version":1})"}));
}

} // namespace

// The reference made on one reader; applied with --expect to three more, of
// which one was configured otherwise beforehand: only that one differs.
TEST_F(BatchTest, ExpectFindsTheReaderThatAnswersOtherwise)
{
    std::vector<emu::EmulatedReader *> readers;
    for (const char *path : {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3", "/dev/hidraw4"})
        readers.push_back(addReader(path));
    // Reader 3: next terminator, save and exit.
    ASSERT_EQ(runTool({"apply", scriptFile(Header + "26F026FF3EF03EFF", "other.TXT"), "--reader", "3"}), Success);
    const QString reference = dir.filePath("reference.json");
    // An earlier file open to everyone is replaced by one its owner alone may read.
    ASSERT_TRUE(test::writeFile(reference, "{}") && ::chmod(QFile::encodeName(reference), 0644) == 0);
    ASSERT_EQ(runTool({"apply", scriptFile(Script), "--reader", "1", "--transcript", reference}), Success);
    struct stat transcriptMode = {};
    ASSERT_EQ(::stat(QFile::encodeName(reference), &transcriptMode), 0);
    EXPECT_EQ(transcriptMode.st_mode & 07777, 0600u);
    QFile file(reference);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject made = QJsonDocument::fromJson(file.readAll()).object();
    EXPECT_EQ(made.value("schema").toString(), "vortal9-transcript");
    const QJsonArray steps = made.value("readers").toArray().first().toObject().value("steps").toArray();
    ASSERT_EQ(steps.size(), 4);
    EXPECT_EQ(steps[0].toObject().value("keys").toString(), "141109F009F011F014");
    EXPECT_TRUE(steps[0].toObject().value("answer").toString().startsWith("VORTAL9 SETUP\n"));
    EXPECT_EQ(steps[1].toObject(), (QJsonObject{{"keys", "2EF02E"}, {"answer", "5\nBeep = OFF\n> "}}));

    outText.clear();
    EXPECT_EQ(runTool({"apply", scriptFile(Script), "--reader", "2", "--reader", "3", "--reader", "4", "--expect",
                       reference, "--json"}),
              Differs);
    QStringList results;
    for (const QString &line : outLines()) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        results << QString::number(o.value("reader").toInt()) + " " + o.value("result").toString() + " "
                       + QString::number(o.value("step").toInt());
        if (o.value("result") == "differs") {
            EXPECT_TRUE(o.value("expected").toString().contains("3 Terminator: CR\n"));
            EXPECT_TRUE(o.value("typed").toString().contains("3 Terminator: CRLF\n"));
        }
    }
    EXPECT_EQ(results, QStringList({"2 configured 0", "3 differs 1", "4 configured 0"}));
}

// A reader whose keys the system dropped answered, as far as it was heard,
// otherwise than the reference; it is to be applied again, not "differs".
TEST_F(BatchTest, AReaderWhoseKeysWereLostIsToBeAppliedAgainNotCalledDifferent)
{
    emu::EmulatedReader *first = addReader("/dev/hidraw1");
    emu::EmulatedReader *second = addReader("/dev/hidraw2");
    const QString reference = dir.filePath("reference.json");
    ASSERT_EQ(runTool({"apply", scriptFile(Script), "--reader", "1", "--transcript", reference}), Success);
    outText.clear();
    first->setStoredSettings(second->storedSettings());
    QObject::connect(second, &emu::EmulatedReader::answerTyped, second, [second](const QString &answer) {
        if (answer.startsWith("VORTAL9 SETUP"))
            second->loseCapturedKeys();
    });
    EXPECT_EQ(runTool({"apply", scriptFile(Script), "--all", "--expect", reference, "--json"}), NotAllConfigured);
    const QStringList lines = outLines();
    ASSERT_EQ(lines.size(), 2) << outText.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(lines[0].toUtf8()).object().value("result"), "configured");
    const QJsonObject lost = QJsonDocument::fromJson(lines[1].toUtf8()).object();
    EXPECT_EQ(lost.value("result"), "keys lost: repeat");
    EXPECT_TRUE(lost.value("message").toString().contains("apply the script to it again"));
    EXPECT_FALSE(lost.contains("step") || lost.contains("mayBeInConfigMode"));
}

// A reference is checked against the script's steps before any reader is
// touched: made with another script, it is refused (exit 3). Its keys are
// compared without regard to case, and a script of thousands of steps is
// checked at once: before, the script's steps were cut again for every step
// (8000 steps took half a minute, and longer on a busy machine).
struct ReferenceRow
{
    const char *name;
    int scriptSteps;    // each "1EF01E" and a wait, after the header
    int referenceSteps; // the same keys, after the hot key's step
    const char *keys;   // of each reference step
    int status;         // no reader is attached: 4 once the reference is taken
};

class ReferenceCheckTest : public BatchTest, public ::testing::WithParamInterface<ReferenceRow>
{
};

TEST_P(ReferenceCheckTest, IsTakenOrRefusedAtOnce)
{
    const ReferenceRow &row = GetParam();
    QJsonArray steps{QJsonObject{{"keys", "141109F009F011F014"}, {"answer", "VORTAL9 SETUP\n> "}}};
    for (int i = 0; i < row.referenceSteps; ++i)
        steps.append(QJsonObject{{"keys", row.keys}, {"answer", "1\n> "}});
    const QJsonObject reference{{"schema", "vortal9-transcript"},
                                {"version", 1},
                                {"readers", QJsonArray{QJsonObject{{"reader", 1}, {"steps", steps}}}}};
    const QString file = dir.filePath("reference.json");
    ASSERT_TRUE(test::writeFile(file, QJsonDocument(reference).toJson(QJsonDocument::Compact)));
    QString script = Header;
    for (int i = 0; i < row.scriptSteps; ++i)
        script += "1EF01EFF";
    QElapsedTimer checking;
    checking.start();
    EXPECT_EQ(runTool({"apply", scriptFile(script), "--expect", file}), row.status) << errText.toStdString();
    EXPECT_LT(checking.elapsed(), 10000);
    EXPECT_EQ(errText.contains("it was made with another script"), row.status == ScriptRefused) << errText.toStdString();
    EXPECT_TRUE(platform.sentReports().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Apply, ReferenceCheckTest,
    ::testing::Values(ReferenceRow{"sameScript", 3, 3, "1EF01E", NoReader},
                      ReferenceRow{"keysInLowerCase", 3, 3, "1ef01e", NoReader},
                      ReferenceRow{"otherKeys", 3, 3, "1EF01F", ScriptRefused},
                      ReferenceRow{"fewerSteps", 3, 2, "1EF01E", ScriptRefused},
                      ReferenceRow{"moreSteps", 3, 4, "1EF01E", ScriptRefused},
                      ReferenceRow{"eightThousandSteps", 8000, 8000, "1EF01E", NoReader}),
    [](const auto &info) { return std::string(info.param.name); });

// Line ends and trailing spaces do not make an answer differ; anything else does.
TEST(TranscriptTest, AnswersDifferAsAPersonReadsThem)
{
    using transcript::Step;
    const transcript::Steps reference{{"1", "menu\n> "}, {"2", "Beep = OFF\n"}};
    EXPECT_FALSE(transcript::firstDifference(reference, {{"1", "menu\r\n>"}, {"2", "Beep = OFF  \r"}}));
    const auto other = transcript::firstDifference(reference, {{"1", "menu\n> "}, {"2", "Beep = ON\n"}});
    ASSERT_TRUE(other);
    EXPECT_EQ(other->step, 2);
    const auto shorter = transcript::firstDifference(reference, {{"1", "menu\n> "}});
    ASSERT_TRUE(shorter);
    EXPECT_EQ(std::make_pair(shorter->step, shorter->typed), std::make_pair(2, QString()));
}

// --check opens and captures each reader, sends nothing, and says what apply would do.
TEST_F(BatchTest, CheckSendsNothingAndTellsWhatApplyWouldDo)
{
    for (const char *path : {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3"})
        addReader(path);
    platform.device("/dev/hidraw2")->captureRefusal = "no permission to read /dev/input/event9";
    const std::unique_ptr<KeyCapture> otherProgram = platform.capture("/dev/hidraw3").capture;
    EXPECT_EQ(runTool({"apply", scriptFile(Script), "--all", "--check"}), NotAllConfigured);
    EXPECT_TRUE(platform.sentReports().empty());
    const QStringList lines = outLines();
    ASSERT_EQ(lines.size(), 3) << outText.toStdString();
    EXPECT_EQ(lines[0], "reader 1 (/dev/hidraw1): ready");
    EXPECT_TRUE(lines[1].startsWith("reader 2 (/dev/hidraw2): refused: its keys cannot be captured"));
    EXPECT_TRUE(lines[2].startsWith("reader 3 (/dev/hidraw3): in use"));
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_EQ(runTool({"apply", scriptFile(Script), "--reader", "1", "--check"}), Success);
}

// A station started with a reader already plugged in configures it too.
// Also where no udev daemon runs (a container, a chroot): watch says that
// plug-ins cannot be seen there, and still configures the readers attached.
TEST_F(BatchTest, WatchConfiguresTheReadersAttachedWhenItStarts)
{
    for (const bool daemon : {true, false}) {
        if (!daemon)
            env.system.udevControl = dir.filePath("run/udev/control");
        outText.clear();
        errText.clear();
        const QString path = daemon ? "/dev/hidraw1" : "/dev/hidraw2";
        emu::EmulatedReader *attached = addReader(path.toStdString());
        QTimer done;
        QObject::connect(&done, &QTimer::timeout, &monitor, [&] {
            if (outText.contains("configured"))
                interrupt();
        });
        done.start(20);
        QTimer::singleShot(30000, &monitor, [&] { interrupt(); });
        EXPECT_EQ(runTool({"watch", scriptFile(Script)}), Success);
        EXPECT_EQ(outLines(), QStringList({"reader 1 (" + path + "): configured"}));
        EXPECT_TRUE(configured(attached));
        EXPECT_EQ(errText.contains("no udev daemon runs here (" + dir.filePath("run/udev/control")
                                   + " is missing: a container or a chroot?): readers plugged in from now on cannot "
                                     "be seen"),
                  !daemon)
            << errText.toStdString();
        platform.removeDevice(path.toStdString());
    }
}

// 128 readers need more open files than a soft limit of 100 allows: the
// tool raises its own limit and says so.
TEST_F(BatchTest, RaisesItsOpenFileLimitForManyReaders)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < 600)
        GTEST_SKIP() << "hard limit of open files below 600";
    rlimit low = saved;
    low.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    Runner runner(env);
    runner.makeRoomForReaders(128);
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(now.rlim_cur, rlim_t(64 + 4 * 128));
    err.flush();
    EXPECT_TRUE(errText.contains("the limit was raised from 100 to 576")) << errText.toStdString();
}
