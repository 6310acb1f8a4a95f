// vortal9-batch --json against docs/json.md: the commands run on emulated
// readers (with a scratch sysfs for list and doctor) and every line they
// print must fit the table the document gives for it, field by field.
#include "EmulatedMonitor.h"
#include "EmulatedPlatform.h"
#include "EmulatedReader.h"
#include "FakeInputTree.h"
#include "batch/BatchTool.h"
#include "batch/Output.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <gtest/gtest.h>

#include <map>

using namespace vortal9;
using namespace vortal9::batch;

namespace {

// One row of a table in docs/json.md.
struct Field
{
    QString type; // as docs/json.md lists them: "integer", "string", "boolean", "object", ...
    bool always = false;
    QJsonArray values; // every value the field may have; empty: any of its type
};

// The fields of one kind of object: "a.b" for the fields of object a, "a[].b"
// for those of the objects in array a.
using Schema = std::map<QString, Field>;

// Every table that follows a "<!-- json-schema: NAME -->" line.
std::map<QString, Schema> readSchemas(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = path + ": " + file.errorString();
        return {};
    }
    static const QRegularExpression marker(QStringLiteral(R"(^<!-- json-schema: (\S+) -->$)"));
    std::map<QString, Schema> schemas;
    QString name;
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (const auto m = marker.match(line); m.hasMatch()) {
            name = m.captured(1);
            schemas[name];
            continue;
        }
        if (name.isEmpty() || !line.startsWith('|')) {
            if (!line.trimmed().isEmpty() && !name.isEmpty() && !schemas[name].empty())
                name.clear();
            continue;
        }
        const QStringList cells = line.mid(1, line.size() - 2).split('|');
        if (cells.size() != 4) {
            *error = QStringLiteral("%1: a row of %2 has %3 cells: %4").arg(path, name).arg(cells.size()).arg(line);
            return {};
        }
        const QString field = cells[0].trimmed();
        if (field == QLatin1String("field") || field.startsWith(QLatin1String("---")))
            continue;
        Field f { cells[1].trimmed(), cells[2].trimmed() == QLatin1String("always"), {} };
        const QString values = cells[3].trimmed();
        if (!values.isEmpty()) {
            // JSON values separated by commas: "a", "b" or 1 or true.
            const auto parsed = QJsonDocument::fromJson(("[" + values + "]").toUtf8());
            if (!parsed.isArray()) {
                *error = QStringLiteral("%1: the values of %2.%3 are not JSON: %4").arg(path, name, field, values);
                return {};
            }
            f.values = parsed.array();
        }
        schemas[name][field] = f;
    }
    return schemas;
}

bool hasType(const QJsonValue &value, const QString &type)
{
    if (type == QLatin1String("integer"))
        return value.isDouble() && value.toDouble() == double(value.toInteger());
    if (type == QLatin1String("integer or null"))
        return value.isNull() || hasType(value, QStringLiteral("integer"));
    if (type == QLatin1String("string"))
        return value.isString();
    if (type == QLatin1String("boolean"))
        return value.isBool();
    if (type == QLatin1String("array of strings")) {
        const QJsonArray a = value.toArray();
        return value.isArray() && std::all_of(a.begin(), a.end(), [](const QJsonValue &v) { return v.isString(); });
    }
    if (type == QLatin1String("object"))
        return value.isObject();
    if (type == QLatin1String("array of integers")) {
        const QJsonArray a = value.toArray();
        return value.isArray() && std::all_of(a.begin(), a.end(), [](const QJsonValue &v) {
            return hasType(v, QStringLiteral("integer"));
        });
    }
    if (type == QLatin1String("array of objects")) {
        const QJsonArray a = value.toArray();
        return value.isArray() && std::all_of(a.begin(), a.end(), [](const QJsonValue &v) { return v.isObject(); });
    }
    return false; // a type the document does not define
}

// What in object does not fit the schema's fields under prefix ("" or "a[].").
QStringList misfits(const Schema &schema, const QJsonObject &object, const QString &prefix = {})
{
    QStringList found;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const auto field = schema.find(prefix + it.key());
        if (field == schema.end()) {
            found << prefix + it.key() + ": not documented";
            continue;
        }
        const Field &f = field->second;
        if (!hasType(it.value(), f.type))
            found << prefix + it.key() + ": not " + f.type;
        else if (!f.values.isEmpty() && !f.values.contains(it.value()))
            found << prefix + it.key() + ": a value not listed: "
                    + QJsonDocument(QJsonArray { it.value() }).toJson(QJsonDocument::Compact);
        if (f.type == QLatin1String("array of objects")) {
            for (const QJsonValue &item : it.value().toArray())
                found << misfits(schema, item.toObject(), prefix + it.key() + "[].");
        } else if (f.type == QLatin1String("object")) {
            found << misfits(schema, it.value().toObject(), prefix + it.key() + ".");
        }
    }
    for (const auto &[name, f] : schema) {
        const QString own = name.mid(prefix.size());
        if (name.startsWith(prefix) && !own.contains('.') && f.always && !object.contains(own))
            found << name + ": missing";
    }
    return found;
}

const std::map<QString, Schema> &schemas()
{
    static const std::map<QString, Schema> all = [] {
        QString error;
        auto read = readSchemas(QStringLiteral(VORTAL9_JSON_DOC), &error);
        EXPECT_TRUE(error.isEmpty()) << error.toStdString();
        return read;
    }();
    return all;
}

// The validator itself: each of these lines breaks the "apply" or
// "transcript" table in one way.
struct MisfitRow
{
    const char *name;
    const char *schema;
    const char *json;
    const char *misfit;
};

void PrintTo(const MisfitRow &row, std::ostream *os)
{
    *os << row.name;
}

class Misfits : public ::testing::TestWithParam<MisfitRow>
{
};

TEST_P(Misfits, AreFound)
{
    ASSERT_TRUE(schemas().count(GetParam().schema));
    const QJsonObject object = QJsonDocument::fromJson(GetParam().json).object();
    EXPECT_EQ(misfits(schemas().at(GetParam().schema), object), QStringList { GetParam().misfit });
}

#define APPLY_LINE R"("reader":1,"hidraw":"/dev/hidraw1","usb":"1-2","serial":"")"
INSTANTIATE_TEST_SUITE_P(Lines, Misfits,
    ::testing::Values(MisfitRow { "undocumented", "apply",
                          R"({)" APPLY_LINE R"(,"result":"configured","version":1,"x":0})", "x: not documented" },
        MisfitRow {
            "missing", "apply", R"({"reader":1,"hidraw":"","usb":"","serial":"","version":1})", "result: missing" },
        MisfitRow { "wrongType", "apply", R"({)" APPLY_LINE R"(,"result":"configured","version":"1"})",
            "version: not integer" },
        MisfitRow { "fraction", "apply", R"({)" APPLY_LINE R"(,"result":"configured","version":1,"step":1.5})",
            "step: not integer" },
        MisfitRow { "unlistedValue", "apply", R"({)" APPLY_LINE R"(,"result":"done","version":1})",
            R"(result: a value not listed: ["done"])" },
        MisfitRow { "otherVersion", "apply", R"({)" APPLY_LINE R"(,"result":"configured","version":2})",
            "version: a value not listed: [2]" },
        MisfitRow { "nestedMissing", "transcript",
            R"({"schema":"vortal9-transcript","version":1,"script":"a.txt","readers":[{)" APPLY_LINE
            R"(,"result":"configured","steps":[{"keys":"14"}]}]})",
            "readers[].steps[].answer: missing" }),
    [](const auto &info) { return std::string(info.param.name); });

// Beep off, the next terminator, save and exit.
const QByteArray Script = "141109F009F011F014FF2EF02EFF26F026FF3EF03EFF\r\n";

enum class Fleet {
    TwoReaders, // hidraw1 with its input device, hidraw2 without one (list: not capturable)
    OneSilent, // as TwoReaders, hidraw2 never answers
    OneRefused, // as TwoReaders, hidraw2's keys cannot be captured
    OneDiffers, // as TwoReaders, hidraw2's beep set otherwise; DIR/reference.json made on another reader
    BothSwiped, // as TwoReaders, a card swiped on each soon after the start, then Ctrl+C
    SwipedUnalike, // as BothSwiped, hidraw2's terminator set otherwise: no shape has a majority
    CtrlCLater, // as TwoReaders, Ctrl+C when both have long been configured
    None,
};

struct CommandRow
{
    const char *name;
    Fleet fleet;
    QStringList arguments; // SCRIPT stands for the script file, DIR for a scratch folder
    const char *schema;
    int exit;
    QStringList outcomes; // the "result" (identify: "event") of each line
    const char *document = nullptr; // a file the command writes, in DIR, and its schema
    const char *documentSchema = nullptr;
    QStringList differsCarry = {}; // fields that every "differs" line carries
};

void PrintTo(const CommandRow &row, std::ostream *os)
{
    *os << row.name;
}

class JsonOutput : public ::testing::TestWithParam<CommandRow>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        env.platform = &platform;
        env.capture = &platform;
        env.monitor = &monitor;
        env.system.sysRoot = dir.filePath("sys");
        env.system.devRoot = dir.filePath("dev");
        env.timing = Timing::faster(5);
        env.out = &out;
        env.err = &err;
        env.onInterrupt = [this](std::function<void()> handler) { interrupt = std::move(handler); };
    }

    emu::EmulatedReader *addReader(const char *hidraw, const char *usb, const char *hid, const char *event)
    {
        test::FakeHidDevice d;
        d.hidraw = hidraw;
        d.usbDevice = usb;
        d.hidDevice = hid;
        d.serial = QByteArray("SN-") + usb;
        if (event[0] != '\0')
            d.inputs = { { "input1", { event } } };
        EXPECT_TRUE(test::makeHidDevice(dir.path(), d));
        emu::EmulatedReader *reader = platform.addReader(dir.filePath(QStringLiteral("dev/") + hidraw).toStdString());
        reader->setTimings(5, 1, 5);
        return reader;
    }

    int runTool(QStringList arguments)
    {
        arguments.replaceInStrings(QStringLiteral("SCRIPT"), dir.filePath("fleet.txt"));
        arguments.replaceInStrings(QStringLiteral("DIR"), dir.path());
        return run(arguments, env);
    }

    QTemporaryDir dir;
    emu::EmulatedPlatform platform;
    emu::EmulatedMonitor monitor { platform };
    QString outText, errText;
    QTextStream out { &outText }, err { &errText };
    Environment env;
    std::function<void()> interrupt;
};

TEST_P(JsonOutput, FitsTheDocumentedSchema)
{
    const CommandRow &row = GetParam();
    ASSERT_TRUE(schemas().count(row.schema)) << "docs/json.md has no table for " << row.schema;
    QFile script(dir.filePath("fleet.txt"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly) && script.write(Script) == Script.size());
    script.close();
    if (row.fleet == Fleet::OneDiffers) {
        // The reference, from a reader known to be right, which then goes away.
        addReader("hidraw9", "1-9", "0003:04B4:210A.0009", "event9");
        ASSERT_EQ(runTool({ "apply", "SCRIPT", "--transcript", "DIR/reference.json" }), Success)
            << errText.toStdString();
        platform.removeDevice(dir.filePath("dev/hidraw9").toStdString());
        outText.clear();
    }
    std::vector<emu::EmulatedReader *> readers;
    if (row.fleet != Fleet::None) {
        readers.push_back(addReader("hidraw1", "1-2", "0003:04B4:210A.0001", "event1"));
        readers.push_back(addReader("hidraw2", "1-3", "0003:04B4:210A.0002", ""));
    }
    if (row.fleet == Fleet::OneSilent)
        readers[1]->setAnswerDelayMs(60000);
    if (row.fleet == Fleet::OneRefused)
        platform.device(dir.filePath("dev/hidraw2").toStdString())->captureRefusal = "no permission";
    if (row.fleet == Fleet::OneDiffers)
        readers[1]->setStoredSettings({ { "beep", "OFF" } });
    if (row.fleet == Fleet::SwipedUnalike)
        readers[1]->setStoredSettings({ { "terminator", "CRLF" } });
    if (row.fleet == Fleet::BothSwiped || row.fleet == Fleet::SwipedUnalike) {
        for (int i = 0; i < 2; ++i)
            QTimer::singleShot(
                100 + 100 * i, readers[std::size_t(i)], [reader = readers[std::size_t(i)]] { reader->swipe(); });
    }
    if (row.fleet == Fleet::BothSwiped || row.fleet == Fleet::SwipedUnalike || row.fleet == Fleet::CtrlCLater) {
        QTimer::singleShot(row.fleet == Fleet::CtrlCLater ? 2500 : 1000, readers[0], [this] {
            if (interrupt)
                interrupt();
        });
    }

    EXPECT_EQ(runTool(row.arguments), row.exit) << errText.toStdString();
    out.flush();
    const QStringList lines = outText.split('\n', Qt::SkipEmptyParts);
    QStringList outcomes;
    for (const QString &line : lines) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        ASSERT_TRUE(document.isObject()) << error.errorString().toStdString() << ": " << line.toStdString();
        EXPECT_EQ(misfits(schemas().at(row.schema), document.object()), QStringList()) << line.toStdString();
        const QJsonObject o = document.object();
        const bool differs = o.value(QStringLiteral("result")) == QLatin1String("differs");
        for (const QString &field : row.differsCarry)
            EXPECT_TRUE(!differs || o.contains(field)) << field.toStdString() << " missing: " << line.toStdString();
        if (o.contains(QStringLiteral("result")) || o.contains(QStringLiteral("event")))
            outcomes << o.value(
                             o.contains(QStringLiteral("result")) ? QStringLiteral("result") : QStringLiteral("event"))
                            .toString();
    }
    if (row.fleet != Fleet::None) {
        EXPECT_FALSE(lines.isEmpty());
    }
    EXPECT_EQ(outcomes, row.outcomes);
    if (row.document) {
        QFile file(dir.filePath(row.document));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << row.document;
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        ASSERT_TRUE(document.isObject());
        EXPECT_EQ(misfits(schemas().at(row.documentSchema), document.object()), QStringList());
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, JsonOutput,
    ::testing::Values(CommandRow { "list", Fleet::TwoReaders, { "list", "--json" }, "list", Success, {} },
        CommandRow { "doctor", Fleet::TwoReaders, { "doctor", "--json" }, "doctor", NotAllConfigured, {} },
        CommandRow { "apply", Fleet::TwoReaders, { "apply", "SCRIPT", "--all", "--json" }, "apply", Success,
            { "configured", "configured" } },
        CommandRow { "applySilent", Fleet::OneSilent, { "apply", "SCRIPT", "--all", "--json" }, "apply",
            NotAllConfigured, { "configured", "reader not responding" } },
        CommandRow { "applyRefused", Fleet::OneRefused, { "apply", "SCRIPT", "--all", "--json" }, "apply",
            NotAllConfigured, { "configured", "refused" } },
        CommandRow { "applyNoReader", Fleet::None, { "apply", "SCRIPT", "--all", "--json" }, "apply", NoReader, {} },
        CommandRow { "applyExpect", Fleet::OneDiffers,
            { "apply", "SCRIPT", "--all", "--json", "--expect", "DIR/reference.json", "--transcript", "DIR/t.json" },
            "apply", Differs, { "configured", "differs" }, "t.json", "transcript" },
        CommandRow { "applyCheck", Fleet::OneRefused, { "apply", "SCRIPT", "--all", "--json", "--check" },
            "apply-check", NotAllConfigured, { "ready", "refused" } },
        CommandRow { "watch", Fleet::CtrlCLater, { "watch", "SCRIPT", "--json" }, "apply", Success,
            { "configured", "configured" } },
        CommandRow { "show", Fleet::None, { "show", "SCRIPT", "--json" }, "show", Success, {} },
        CommandRow { "identify", Fleet::BothSwiped, { "identify", "--json" }, "identify", Success,
            { "attached", "attached", "typed", "typed" } },
        CommandRow { "swipeTest", Fleet::BothSwiped, { "swipe-test", "--all", "--json" }, "swipe-test", Success,
            { "alike", "alike" } },
        CommandRow { "swipeTestExpected", Fleet::BothSwiped,
            { "swipe-test", "--all", "--json", "--expect-shape", R"(pre:"" %[1]? post:"" term:CR)" }, "swipe-test",
            Differs, { "differs", "differs" }, nullptr, nullptr, { "expected", "message" } },
        CommandRow { "swipeTestNoMajority", Fleet::SwipedUnalike, { "swipe-test", "--all", "--json" }, "swipe-test",
            Differs, { "differs", "differs" }, nullptr, nullptr, { "majority", "message" } }),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
