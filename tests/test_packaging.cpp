// What the packages ship beside the programs, held to the programs
// themselves: the man page of vortal9-batch names exactly the commands,
// options and exit statuses of its --help, and the bash completion offers
// them; --version answers before any command runs.
#include <gtest/gtest.h>

#include <map>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <ostream>
#include <set>

// Words in failure messages as text.
void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

using Words = std::set<QString>;

QString runBatch(const QStringList &arguments, int *status = nullptr)
{
    QProcess batch;
    batch.start(QStringLiteral(VORTAL9_BATCH), arguments);
    EXPECT_TRUE(batch.waitForFinished(10000));
    if (status)
        *status = batch.exitCode();
    return QString::fromUtf8(batch.readAllStandardOutput());
}

// The lines of a help section: from its heading ("Commands:") to the next
// empty line.
QStringList helpSection(const QString &help, const QString &heading)
{
    const QStringList lines = help.split(QLatin1Char('\n'));
    const qsizetype start = lines.indexOf(heading);
    QStringList section;
    for (qsizetype i = start + 1; start >= 0 && i < lines.size() && !lines[i].isEmpty(); ++i)
        section << lines[i];
    return section;
}

// First words of a section's entries (two spaces in, not the continuation
// lines, which are indented further).
Words entries(const QStringList &section)
{
    static const QRegularExpression entry(QStringLiteral("^  (\\S+)"));
    Words words;
    for (const QString &line : section) {
        const auto m = entry.match(line);
        if (m.hasMatch())
            words.insert(m.captured(1));
    }
    return words;
}

Words optionsIn(const QString &text)
{
    static const QRegularExpression option(QStringLiteral("(?<![\\w-])(--?[a-z][a-z-]*)"));
    Words words;
    for (auto it = option.globalMatch(text); it.hasNext();)
        words.insert(it.next().captured(1));
    return words;
}

struct HelpWords
{
    Words commands, options, statuses;
};

HelpWords fromHelp()
{
    const QString help = runBatch({ QStringLiteral("--help") });
    return { entries(helpSection(help, QStringLiteral("Commands:"))), optionsIn(help),
        entries(helpSection(help, QStringLiteral("Exit status:"))) };
}

// The man page's sections: the lines after ".SH NAME", by name.
std::map<QString, QStringList> manSections(const QString &path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text)) << path.toStdString();
    std::map<QString, QStringList> sections;
    QString current;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String(".SH "))) {
            current = line.mid(4).remove(QLatin1Char('"'));
            continue;
        }
        sections[current] << line;
    }
    return sections;
}

// The roff line under each ".TP": the tag of one entry, with "\-" as "-".
QStringList tags(const QStringList &section)
{
    QStringList result;
    for (qsizetype i = 0; i + 1 < section.size(); ++i) {
        if (section[i] == QLatin1String(".TP"))
            result << QString(section[i + 1]).replace(QLatin1String("\\-"), QLatin1String("-"));
    }
    return result;
}

Words firstWords(const QStringList &tagLines)
{
    Words words;
    for (const QString &tag : tagLines)
        words.insert(tag.section(QLatin1Char(' '), 1, 1).remove(QLatin1Char('"')));
    return words;
}

TEST(ManPage, NamesWhatTheHelpNames)
{
    const HelpWords help = fromHelp();
    ASSERT_FALSE(help.commands.empty());
    ASSERT_FALSE(help.statuses.empty());
    auto man = manSections(QStringLiteral(VORTAL9_SOURCE_DIR "/packaging/man/vortal9-batch.1.in"));
    EXPECT_EQ(firstWords(tags(man["COMMANDS"])), help.commands) << "commands";
    EXPECT_EQ(optionsIn(tags(man["OPTIONS"]).join(QLatin1Char('\n'))), help.options) << "options";
    EXPECT_EQ(firstWords(tags(man["EXIT STATUS"])), help.statuses) << "exit statuses";
}

TEST(Version, AnswersBeforeAnyCommand)
{
    const QString expected = QStringLiteral("vortal9-batch " VORTAL9_VERSION "\n");
    for (const QStringList &arguments : { QStringList { QStringLiteral("--version") },
             QStringList { QStringLiteral("list"), QStringLiteral("--version") } }) {
        int status = -1;
        EXPECT_EQ(runBatch(arguments, &status), expected) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(status, 0);
    }
}

// What bash completes for the words typed so far; the last one is being
// completed. sysRoot stands for /sys.
Words complete(const QStringList &typed, const QString &sysRoot = QStringLiteral("/nonexistent"))
{
    QString words;
    for (const QString &word : typed)
        words += QLatin1Char('\'') + word + QLatin1String("' ");
    const QString script
        = QStringLiteral("source /usr/share/bash-completion/bash_completion\n"
                         "source '" VORTAL9_SOURCE_DIR "/packaging/completion/vortal9-batch'\n"
                         "_vortal9_batch_sys='%1'\n"
                         "COMP_WORDS=(%2); COMP_CWORD=%3; COMP_LINE=\"${COMP_WORDS[*]}\"; COMP_POINT=${#COMP_LINE}\n"
                         "_vortal9_batch vortal9-batch \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"\n"
                         "printf '%s\\n' \"${COMPREPLY[@]}\"\n")
              .arg(sysRoot, words)
              .arg(typed.size() - 1);
    QProcess bash;
    bash.start(QStringLiteral("bash"), { QStringLiteral("--norc"), QStringLiteral("-c"), script });
    EXPECT_TRUE(bash.waitForFinished(10000));
    EXPECT_EQ(bash.exitCode(), 0) << bash.readAllStandardError().toStdString();
    Words result;
    for (const QString &line : QString::fromUtf8(bash.readAllStandardOutput()).split(QLatin1Char('\n')))
        if (!line.isEmpty())
            result.insert(line);
    return result;
}

TEST(Completion, OffersTheHelpsCommandsAndOptions)
{
    const HelpWords help = fromHelp();
    EXPECT_EQ(complete({ QStringLiteral("vortal9-batch"), QString() }), help.commands);
    // Options every command takes, and those of one command (after its name).
    const Words everywhere { "--json", "--help", "--version" };
    const std::map<QString, Words> own { { "apply", { "--reader", "--all", "--check", "--transcript", "--expect" } },
        { "show", { "--country" } }, { "swipe-test", { "--reader", "--all", "--expect-shape" } } };
    Words offered = everywhere;
    for (const QString &command : help.commands) {
        Words expected = everywhere;
        if (own.count(command))
            expected.insert(own.at(command).begin(), own.at(command).end());
        const QStringList line = command == "list" || command == "doctor" || command == "identify"
                || command == "swipe-test"
            ? QStringList { "vortal9-batch", command, "--" }
            : QStringList { "vortal9-batch", command, "s.TXT", "--" };
        EXPECT_EQ(complete(line), expected) << command.toStdString();
        offered.insert(expected.begin(), expected.end());
    }
    // Every long option of the help is offered somewhere.
    Words longOptions;
    for (const QString &option : help.options)
        if (option.startsWith(QLatin1String("--")))
            longOptions.insert(option);
    EXPECT_EQ(offered, longOptions);
}

TEST(Completion, OffersReadersFoundInSysfsAndScriptFiles)
{
    QTemporaryDir sys;
    // hidraw3 and hidraw9 are readers (upper and lower case ids), hidraw5 a
    // keyboard.
    const std::pair<const char *, const char *> devices[] = {
        { "hidraw3", "HID_ID=0003:000004B4:0000210A" },
        { "hidraw5", "HID_ID=0003:0000046D:0000C31C" },
        { "hidraw9", "HID_ID=0003:000004b4:0000210a" },
    };
    for (const auto &[name, id] : devices) {
        const QString dir = sys.filePath(QStringLiteral("class/hidraw/%1/device").arg(QLatin1String(name)));
        ASSERT_TRUE(QDir().mkpath(dir));
        QFile uevent(dir + QStringLiteral("/uevent"));
        ASSERT_TRUE(uevent.open(QIODevice::WriteOnly));
        uevent.write(QByteArray("DRIVER=hid-generic\n") + id + "\nHID_NAME=x\n");
    }
    const Words readers
        = complete({ QStringLiteral("vortal9-batch"), QStringLiteral("apply"), QStringLiteral("--reader"), QString() },
            sys.path());
    EXPECT_EQ(readers,
        (Words { QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("/dev/hidraw3"),
            QStringLiteral("/dev/hidraw9") }));

    const QString script = sys.filePath(QStringLiteral("shop.TXT"));
    QFile(script).open(QIODevice::WriteOnly);
    EXPECT_EQ(
        complete({ QStringLiteral("vortal9-batch"), QStringLiteral("watch"), sys.filePath(QStringLiteral("sh")) }),
        Words { script });
}

} // namespace
