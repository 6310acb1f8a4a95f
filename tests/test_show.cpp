// A script as keys: the steps and legends vortal9-batch show prints, its JSON
// and refusals, and the same text as the tooltip of the window's file-name box.
#include "EmulatedPlatform.h"
#include "WindowFixture.h"
#include "batch/BatchTool.h"
#include "keyboard/ScriptKeys.h"
#include "session/Transcript.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTextStream>

#include <gtest/gtest.h>

using namespace vortal9;

namespace {

const QString Header = QStringLiteral("141109F009F011F014FF");
const QString HotKeyStep
    = QStringLiteral("step 1: Ctrl+Alt+F10 (configuration hot key) \u2014 then the reader answers\n");
const QString Answers = QStringLiteral(" \u2014 then the reader answers");

struct KeysRow
{
    const char *name;
    const char *country;
    QString keys; // after the header
    QString shown; // after the hot key's step
};

class ScriptKeysTest : public ::testing::TestWithParam<KeysRow>
{
};

TEST_P(ScriptKeysTest, ShowsTheKeysOfEachPlaybackStep)
{
    const KeysRow &row = GetParam();
    const auto country = keyboard::countryIndexOf(QString::fromLatin1(row.country));
    ASSERT_TRUE(country);
    const QString script = Header + row.keys;
    const auto steps = keyboard::scriptKeys(script, *country);
    EXPECT_EQ(keyboard::scriptKeysText(steps), HotKeyStep + row.shown);
    // Step by step the same codes as playback's steps, and no code left out.
    const transcript::Steps played = transcript::scriptSteps(script);
    ASSERT_EQ(steps.size(), played.size());
    for (std::size_t i = 0; i < steps.size(); ++i)
        EXPECT_EQ(steps[i].hex, played[i].keys) << "step " << i + 1;
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptKeysTest,
    ::testing::Values(KeysRow { "plainKeys", "U.S.", "2EF02EFF26F026", "step 2: 5" + Answers + "\nstep 3: 3\n" },
        KeysRow { "lowerCaseDigits", "U.S.", "1cf01cff", "step 2: a" + Answers + "\n" },
        KeysRow { "shiftLatchedOverKeys", "U.S.", "121CF01C16F016F0125AF05AFF",
            "step 2: Shift+A Shift+! Enter" + Answers + "\n" },
        KeysRow { "shiftAlone", "U.S.", "12F012", "step 2: Shift\n" },
        KeysRow { "shiftLatchedOverAWait", "U.S.", "12FF1CF01CF012",
            "step 2: Shift down" + Answers + "\nstep 3: Shift+A Shift up\n" },
        KeysRow { "altGrInGerman", "German", "E01115F015F0E01135F035FF", "step 2: Alt Gr+@ z" + Answers + "\n" },
        KeysRow { "rightAltOnUsIsAlt", "u.s.", "E01115F015F0E011", "step 2: right Alt+q\n" },
        KeysRow { "shiftedGerman", "german", "121EF01EF012", "step 2: Shift+\"\n" },
        KeysRow { "keysWithoutLegends", "U.S.", "E014F0E01466F06629F0295AF05A14F014",
            "step 2: right Ctrl BackSp Space Enter Ctrl\n" },
        KeysRow { "markerRunIsOneWait", "U.S.", "2EF02EFFFFFF26F026FFFF",
            "step 2: 5" + Answers + "\nstep 3: 3" + Answers + "\n" },
        KeysRow { "waitBetweenPressAndRelease", "U.S.", "1CFFF01C", "step 2: a down" + Answers + "\nstep 3: a up\n" },
        KeysRow {
            "codesOfNoKey", "U.S.", "76F076E07CF0E07C0DF00DE0FF", "step 2: 0x76 0xE07C 0x0D 0xE0" + Answers + "\n" },
        KeysRow { "releaseOfAKeyNotDown", "U.S.", "F012F076", "step 2: Shift up 0x76 up\n" },
        KeysRow { "onlyTheHotKey", "U.S.", "FFFF", "" },
        // A break's pause is no wait for the reader: one step up to the marker.
        KeysRow { "breakWithoutMarker", "U.S.", "2EF02E3EF03EFF", "step 2: 5 8" + Answers + "\n" }),
    [](const auto &info) { return std::string(info.param.name); });

// ---- vortal9-batch show ---------------------------------------------------------------

class ShowCommandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        env.platform = &platform;
        env.capture = &platform;
        env.system.sysRoot = dir.filePath("sys");
        env.system.devRoot = dir.filePath("dev");
        env.out = &out;
        env.err = &err;
    }

    QString scriptFile(const QString &text)
    {
        QFile file(dir.filePath("shown.TXT"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toLatin1() + "\r\n");
        return file.fileName();
    }

    int runTool(const QStringList &arguments)
    {
        outText.clear();
        errText.clear();
        const int status = batch::run(arguments, env);
        out.flush();
        err.flush();
        return status;
    }

    QTemporaryDir dir;
    emu::EmulatedPlatform platform;
    QString outText, errText;
    QTextStream out { &outText }, err { &errText };
    batch::Environment env;
};

TEST_F(ShowCommandTest, PrintsTheStepsInTheChosenCountry)
{
    platform.addReader("/dev/hidraw1");
    const QString file = scriptFile(Header + "E01115F015F0E011FF35F035");
    EXPECT_EQ(runTool({ "show", file }), batch::Success) << errText.toStdString();
    EXPECT_EQ(outText, HotKeyStep + "step 2: right Alt+q" + Answers + "\nstep 3: y\n");
    EXPECT_EQ(runTool({ "show", file, "--country", "German" }), batch::Success);
    EXPECT_EQ(outText, HotKeyStep + "step 2: Alt Gr+@" + Answers + "\nstep 3: z\n");
    EXPECT_TRUE(platform.openCalls().empty()) << "show touches no reader";

    EXPECT_EQ(runTool({ "show", file, "--country", "German", "--json" }), batch::Success);
    const QJsonObject json = QJsonDocument::fromJson(outText.toUtf8()).object();
    EXPECT_EQ(json.value("version").toInt(), 1);
    EXPECT_EQ(json.value("country").toString(), "German");
    const QJsonArray steps = json.value("steps").toArray();
    ASSERT_EQ(steps.size(), 3);
    EXPECT_EQ(steps[0].toObject().value("keys").toArray()[0].toObject().value("hex").toString(), "141109F009F011F014");
    EXPECT_EQ(steps[1].toObject(),
        QJsonObject({ { "step", 2 }, { "hex", "E01115F015F0E011" }, { "waitsForAnswer", true },
            { "keys", QJsonArray { QJsonObject { { "legend", "Alt Gr+@" }, { "hex", "15F015" } } } } }));
    EXPECT_EQ(steps[2].toObject().value("waitsForAnswer").toBool(true), false);
}

TEST_F(ShowCommandTest, RefusesAScriptAsApplyDoes)
{
    platform.addReader("/dev/hidraw1");
    for (const QString &text : { QStringLiteral("141109F009F011F015FF2EF02EFF"), Header + "2EF02", Header + "2G",
             QStringLiteral("141109F009") }) {
        const QString file = scriptFile(text);
        const int applied = runTool({ "apply", file });
        const QString applyMessage = errText;
        EXPECT_EQ(runTool({ "show", file }), applied);
        EXPECT_EQ(errText, applyMessage);
        EXPECT_EQ(applied, batch::ScriptRefused) << applyMessage.toStdString();
        EXPECT_TRUE(outText.isEmpty());
    }
    EXPECT_TRUE(platform.sentReports().empty());
}

TEST_F(ShowCommandTest, AnUnknownCountryIsAUsageErrorThatListsTheNames)
{
    const QString file = scriptFile(Header + "2EF02E");
    EXPECT_EQ(runTool({ "show", file, "--country", "Klingon" }), batch::UsageError);
    EXPECT_TRUE(errText.startsWith("vortal9-batch: unknown country \"Klingon\": the countries are \"U.S.\", "
                                   "\"German\", \"French/Belgian\""))
        << errText.toStdString();
    EXPECT_EQ(runTool({ "list", "--country", "German" }), batch::UsageError);
    EXPECT_TRUE(errText.startsWith("vortal9-batch: --country goes with show")) << errText.toStdString();
    EXPECT_EQ(runTool({ "--help" }), batch::Success);
    EXPECT_TRUE(outText.contains("show SCRIPT [--country NAME]"));
}

// ---- the window -----------------------------------------------------------------------

class TooltipTest : public test::WindowTest
{
protected:
    QTemporaryDir dir;
};

TEST_F(TooltipTest, LoadFileShowsTheScriptsKeysInTheChosenCountry)
{
    MainForm &w = openWindow();
    auto *box = w.findChild<QLineEdit *>("TxtFileName");
    ASSERT_NE(box, nullptr);
    auto load = [&](const QString &text) {
        QFile file(dir.filePath("tip.TXT"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toLatin1() + "\r\n");
        file.close();
        dialogs.openAnswers.push_back(file.fileName());
        click(button("BtnLoadFile"));
    };
    auto chooseCountry = [&](int country) {
        combo("CbKBType")->setCurrentIndex(country);
        QMetaObject::invokeMethod(combo("CbKBType"), "activated", Q_ARG(int, country));
    };
    EXPECT_EQ(box->toolTip(), "");
    load(Header + "E01115F015F0E011FF35F035");
    const QString us = HotKeyStep + "step 2: right Alt+q" + Answers + "\nstep 3: y";
    EXPECT_EQ(box->toolTip(), us);
    chooseCountry(1);
    EXPECT_EQ(box->toolTip(), HotKeyStep + "step 2: Alt Gr+@" + Answers + "\nstep 3: z");
    chooseCountry(0);
    EXPECT_EQ(box->toolTip(), us);

    load(Header + "2G");
    EXPECT_EQ(box->toolTip(), "This script cannot be played: character 22 is not a hexadecimal digit");
    dialogs.openAnswers.push_back(dir.filePath("missing.TXT"));
    click(button("BtnLoadFile"));
    EXPECT_EQ(box->toolTip(), "") << "no script, nothing to tell";
}

} // namespace
