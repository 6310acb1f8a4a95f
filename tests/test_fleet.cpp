// The emulated build of vortal9-batch, run as the program it is: readers
// from a fleet file, shown with the USB port and serial the file gives them,
// configured as the real tool configures real ones.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// Beep off, the next terminator, save and exit.
const char *const Script = "141109F009F011F014FF2EF02EFF26F026FF3EF03EFF\r\n";

const char *const TwoReaders = R"({ "readers": [
    { "path": "/dev/hidraw1", "usb": "1-2.1", "serial": "SN-A1",
      "typing": { "answerDelayMs": 5, "charIntervalMs": 1, "lineGapMs": 5 } },
    { "path": "/dev/hidraw7", "usb": "3-1", "serial": "SN-B2", "settings": { "beep": "OFF" },
      "typing": { "answerDelayMs": 5, "charIntervalMs": 1, "lineGapMs": 5 } } ] })";

struct ToolRun
{
    int status = -1;
    QString out, err;
};

class FleetToolTest : public ::testing::Test
{
protected:
    QString write(const char *name, const QByteArray &text)
    {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return file.fileName();
    }

    ToolRun runTool(const QStringList &arguments, const QByteArray &fleet = TwoReaders)
    {
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VORTAL9_EMULATED_FLEET", write("fleet.json", fleet));
        environment.insert("TMPDIR", dir.path());
        tool.setProcessEnvironment(environment);
        tool.setWorkingDirectory(dir.path());
        tool.start(VORTAL9_BATCH_EMULATED, arguments);
        EXPECT_TRUE(tool.waitForFinished(20000));
        return { tool.exitCode(), QString::fromUtf8(tool.readAllStandardOutput()),
            QString::fromUtf8(tool.readAllStandardError()) };
    }

    QTemporaryDir dir;
};

struct ShowsRow
{
    const char *name;
    QStringList arguments;
    int status;
    QStringList lines; // lines of its output, in order
};

class FleetShowsTest : public FleetToolTest, public ::testing::WithParamInterface<ShowsRow>
{
};

TEST_P(FleetShowsTest, ReadersByTheirFleetPathsPortsAndSerials)
{
    const ShowsRow &row = GetParam();
    QStringList arguments = row.arguments;
    arguments.replaceInStrings("SCRIPT", write("set.TXT", Script));
    const ToolRun run = runTool(arguments);
    EXPECT_EQ(run.status, row.status) << run.err.toStdString();
    QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
    for (QString &line : lines)
        line = line.simplified();
    EXPECT_EQ(lines, row.lines) << run.err.toStdString();
    // The scratch tree is an implementation detail, and gone afterwards.
    EXPECT_FALSE(run.out.contains(dir.path()) || run.err.contains(dir.path()));
    EXPECT_EQ(QDir(dir.path()).entryList({"vortal9-fleet-*"}, QDir::AllEntries | QDir::Hidden), QStringList());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, FleetShowsTest,
    ::testing::Values(
        ShowsRow{"list",
                 {"list"},
                 0,
                 {"# hidraw USB manufacturer serial open capturable", "1 /dev/hidraw1 1-2.1 VORTAL9 SN-A1 yes yes",
                  "2 /dev/hidraw7 3-1 VORTAL9 SN-B2 yes yes"}},
        ShowsRow{"doctor",
                 {"doctor"},
                 0,
                 {"/dev/hidraw1 (USB 1-2.1, serial SN-A1): ready", "/dev/hidraw7 (USB 3-1, serial SN-B2): ready"}},
        ShowsRow{"applyByPath",
                 {"apply", "SCRIPT", "--reader", "/dev/hidraw7", "--json"},
                 0,
                 {R"({"hidraw":"/dev/hidraw7","reader":2,"result":"configured","serial":"SN-B2","usb":"3-1","version":1})"}},
        ShowsRow{"applyAll",
                 {"apply", "SCRIPT", "--all"},
                 0,
                 {"reader 1 (/dev/hidraw1, USB 1-2.1): configured", "reader 2 (/dev/hidraw7, USB 3-1): configured"}}),
    [](const auto &info) { return std::string(info.param.name); });

// The example scripts in examples/, on the demo fleet's readers as the
// README runs them: each applies cleanly to every reader, and a transcript
// made with it on one reader is a reference that the readers set alike pass.
class ExampleTest : public FleetToolTest, public ::testing::WithParamInterface<const char *>
{
};

TEST_P(ExampleTest, AppliesToTheDemoFleetAndPassesItsOwnReference)
{
    // The demo fleet's readers, without their swipes: a card swiped during
    // the script lands, masked, in whichever answer is open at that moment,
    // and readers swiped at different moments would rightly differ.
    QFile demo(VORTAL9_DEMO_FLEET);
    ASSERT_TRUE(demo.open(QIODevice::ReadOnly));
    QJsonObject document = QJsonDocument::fromJson(demo.readAll()).object();
    QJsonArray readers = document.value("readers").toArray();
    ASSERT_EQ(readers.size(), 4);
    for (auto &&reader : readers) {
        QJsonObject o = reader.toObject();
        o.remove("swipes");
        reader = o;
    }
    document.insert("readers", readers);
    const QByteArray fleet = QJsonDocument(document).toJson();
    const QString script = QStringLiteral(VORTAL9_EXAMPLES "/") + GetParam();
    ASSERT_TRUE(QFile::exists(script)) << script.toStdString();

    const ToolRun all = runTool({"apply", script, "--all"}, fleet);
    EXPECT_EQ(all.status, 0) << all.out.toStdString() << all.err.toStdString();
    EXPECT_EQ(all.out.count(": configured\n"), 4) << all.out.toStdString();

    const ToolRun made = runTool({"apply", script, "--reader", "1", "--transcript", "reference.json"}, fleet);
    EXPECT_EQ(made.status, 0) << made.err.toStdString();
    const ToolRun expected
        = runTool({"apply", script, "--reader", "2", "--reader", "4", "--expect", "reference.json"}, fleet);
    EXPECT_EQ(expected.status, 0) << expected.out.toStdString() << expected.err.toStdString();
    EXPECT_EQ(expected.out.count(": configured\n"), 2) << expected.out.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleTest,
    ::testing::Values("show-menu.TXT", "terminator-crlf.TXT", "beep-off.TXT"), [](const auto &info) {
        return QString(info.param).section('.', 0, 0).remove('-').toStdString();
    });

struct BadFleetRow
{
    const char *name;
    QByteArray fleet;
    QString why;
};

class BadFleetTest : public FleetToolTest, public ::testing::WithParamInterface<BadFleetRow>
{
};

TEST_P(BadFleetTest, IsRefusedWithTheReason)
{
    const ToolRun run = runTool({"list"}, GetParam().fleet);
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.err.contains(GetParam().why)) << run.err.toStdString();
    EXPECT_TRUE(run.out.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadFleetTest,
    ::testing::Values(BadFleetRow{"notJson", "{ readers", "not JSON"},
                      BadFleetRow{"pathOutsideDev", R"({"readers":[{"path":"/tmp/../dev/hidraw1"}]})",
                                  "reader 1: \"path\" must be /dev/hidrawN"},
                      BadFleetRow{"samePortTwice",
                                  R"({"readers":[{"path":"/dev/hidraw1","usb":"1-2"},{"path":"/dev/hidraw2","usb":"1-2"}]})",
                                  "reader 2: USB port 1-2 is given twice"},
                      BadFleetRow{"portWithSlash", R"({"readers":[{"path":"/dev/hidraw1","usb":"1-2/../../x"}]})",
                                  "\"usb\" must be a bus and port path"},
                      BadFleetRow{"unknownTerminator",
                                  R"({"readers":[{"path":"/dev/hidraw1","settings":{"terminator":"LF"}}]})",
                                  "setting \"terminator\" cannot have that value"},
                      BadFleetRow{"negativeTime", R"({"readers":[{"path":"/dev/hidraw1","swipes":[{"atMs":-5}]}]})",
                                  "whole milliseconds"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
