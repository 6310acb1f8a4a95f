#include "batch/BatchTool.h"

#include "batch/Runner.h"

#include <QCommandLineParser>
#include <QTextStream>

namespace vortal9::batch {

const std::vector<Command> &commands()
{
    static const std::vector<Command> table = {
        { QStringLiteral("list"), QString(), false, listReaders,
            QStringLiteral(
                "  list                   every attached reader, numbered as \"Select Device\" numbers them;\n"
                "                         \"capturable\" is checked from its input event nodes, without\n"
                "                         taking the reader\n") },
        { QStringLiteral("doctor"), QString(), false, diagnose,
            QStringLiteral(
                "  doctor                 what keeps each attached reader from being used, and the fix\n"
                "                         (each command on a line of its own, to be pasted into a shell)\n") },
        { QStringLiteral("apply"), QStringLiteral("SCRIPT"), true, applyScript,
            QStringLiteral(
                "  apply SCRIPT [--reader N|PATH]... [--all] [--check] [--transcript FILE] [--expect FILE]\n"
                "                         play SCRIPT to the chosen readers at the same time\n"
                "                         (with one reader attached it is chosen without --reader)\n"
                "    --check              a dry run: tell for each reader whether it would be configured\n"
                "                         (opened and its keys held for a moment), send nothing\n"
                "    --transcript FILE    write each reader's steps and answers to FILE (JSON)\n"
                "    --expect FILE        compare each reader's answers with the first reader of a\n"
                "                         transcript made on a reader known to be right (answers are\n"
                "                         kept exactly; a step during which a card was swiped keeps\n"
                "                         none: \"card swiped\")\n") },
        { QStringLiteral("watch"), QStringLiteral("SCRIPT"), false, watchReaders,
            QStringLiteral(
                "  watch SCRIPT           play SCRIPT to every reader attached and to every reader as it\n"
                "                         is plugged in, until Ctrl+C\n") },
        { QStringLiteral("show"), QStringLiteral("SCRIPT"), false, showScript,
            QStringLiteral("  show SCRIPT [--country NAME]\n"
                           "                         what SCRIPT presses, step by step, as the keys of the window's\n"
                           "                         keyboard in that \"Select Country\" layout (default \"U.S.\")\n") },
        { QStringLiteral("identify"), QString(), false, identifyReaders,
            QStringLiteral(
                "  identify               list the attached readers, then name each reader as it types (a\n"
                "                         swipe, a key; never what it typed), until Ctrl+C\n") },
        { QStringLiteral("swipe-test"), QString(), true, swipeTest,
            QStringLiteral("  swipe-test [--reader N|PATH]... [--all] [--expect-shape SHAPE]\n"
                           "                         swipe one test card on each chosen reader: the shape of what\n"
                           "                         each typed (card data masked), and which reader differs from\n"
                           "                         SHAPE or, without it, from most readers\n") },
    };
    return table;
}

namespace {

// Where a reader's typing lands on Windows, and the option that lets it land
// in another program's window.
const char ForegroundHelp[]
    = "\n"
      "Windows: the readers are heard through Raw Input, and what they type also lands in the\n"
      "window in front (Windows lets no program keep a keyboard's keys from it). The tool\n"
      "plays only while its own console is in front (it discards what landed there at its\n"
      "end) or no window is, and names the window otherwise.\n"
      "  --allow-foreground-window  play even while another program's window is in front\n"
      "Ctrl+C, Ctrl+Break, closing the console, logging off, shutting down and taskkill end\n"
      "the sessions as the signals above do.\n";

QString help()
{
    QString text = QStringLiteral("Usage: vortal9-batch COMMAND [OPTIONS]\n"
                                  "Configure VORTAL9 card readers from the command line.\n"
                                  "\n"
                                  "Commands:\n");
    for (const Command &command : commands())
        text += command.help;
    text += QStringLiteral(
        "\n"
        "Options:\n"
        "  --json                 results as JSON lines, one object per reader (show: one object)\n"
        "  -h, --help             this text\n"
        "  --version              the program's version\n"
        "\n"
        "A reader is configured only while the program holds its keys (capture): without it, the\n"
        "reader's typing would land in this terminal. \"doctor\" tells how to allow it.\n"
        "\n"
        "A reader whose result is \"interrupted\", \"reader not responding\" or \"write error\" may be\n"
        "left in its configuration mode: choose its exit choice in the window's Enter Config session, or\n"
        "unplug it and plug it in again (JSON: \"mayBeInConfigMode\": true). \"keys lost: repeat\": the\n"
        "system dropped some of the keys the reader typed, so its answers cannot be checked: apply\n"
        "the script to it again.\n"
        "\n"
        "Ctrl+C, SIGTERM, SIGHUP (terminal closed), SIGQUIT and SIGPIPE (output closed) all end\n"
        "the sessions cleanly: no key is left held, every reader is let go.\n"
        "\n"
        "Exit status:\n"
        "  0    every reader configured (doctor: every reader can be used)\n"
        "  1    a reader was not configured, or its answers were not heard in full (keys lost: repeat)\n"
        "       (doctor: a reader cannot be used)\n"
        "  2    wrong command line, or a chosen reader is not attached\n"
        "  3    the script (or --expect's transcript) cannot be read or played; no reader was touched\n"
        "  4    no reader attached\n"
        "  5    a reader differs: it answered otherwise than the reference (apply --expect),\n"
        "       or its swipe has another shape (swipe-test)\n"
        "  6    a card was swiped during a step of apply --expect or --transcript: that step's\n"
        "       answer was not kept, so the reader is not proven (\"card swiped\"); apply again\n"
        "  130  apply stopped by Ctrl+C or another ending signal (swipe-test: with a reader not\n"
        "       yet swiped)\n"
        "identify ends with Ctrl+C and exit status 0 (1 when a reader's keys cannot be held, or\n"
        "every reader was unplugged); swipe-test exits 1 when a chosen reader was not tested\n"
        "(its keys cannot be held, or it was unplugged).\n");
    return text;
}

} // namespace

int run(const QStringList &arguments, Environment &env)
{
    QCommandLineParser parser;
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    const QCommandLineOption helpOption(QStringList { QStringLiteral("h"), QStringLiteral("help") });
    const QCommandLineOption readerOption(QStringLiteral("reader"), QString(), QStringLiteral("N|PATH"));
    const QCommandLineOption allOption(QStringLiteral("all"));
    // apply only.
    const QCommandLineOption checkOption(QStringLiteral("check"));
    const QCommandLineOption transcriptOption(QStringLiteral("transcript"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption expectOption(QStringLiteral("expect"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption countryOption(QStringLiteral("country"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption shapeOption(QStringLiteral("expect-shape"), QString(), QStringLiteral("SHAPE"));
    const QCommandLineOption foregroundOption(QStringLiteral("allow-foreground-window"));
    parser.addOptions({ jsonOption, helpOption, readerOption, allOption, checkOption, transcriptOption, expectOption,
        countryOption, shapeOption });
    if (env.allowForegroundWindow)
        parser.addOption(foregroundOption);
    QTextStream &err = *env.err;
    const QString tool = env.system.batchCommand;
    auto usage = [&](const QString &problem) {
        err << "vortal9-batch: " << problem << Qt::endl << "Try \"" << tool << " --help\"." << Qt::endl;
        return UsageError;
    };
    if (!parser.parse(QStringList { QStringLiteral("vortal9-batch") } + arguments))
        return usage(parser.errorText());
    if (parser.isSet(helpOption)) {
        *env.out << help();
        if (env.allowForegroundWindow)
            *env.out << ForegroundHelp;
        env.out->flush();
        return Success;
    }
    const QStringList words = parser.positionalArguments();
    const QString name = words.value(0);
    if (name.isEmpty())
        return usage(QStringLiteral("no command given"));
    const auto &table = commands();
    const auto command = std::find_if(table.begin(), table.end(), [&](const Command &c) { return c.name == name; });
    if (command == table.end())
        return usage(QStringLiteral("unknown command \"%1\"").arg(name));
    if ((parser.isSet(readerOption) || parser.isSet(allOption)) && !command->choosesReaders)
        return usage(QStringLiteral("--reader and --all go with apply and swipe-test"));
    const bool applyOptions = parser.isSet(checkOption) || parser.isSet(transcriptOption) || parser.isSet(expectOption);
    if (applyOptions && command->run != applyScript)
        return usage(QStringLiteral("--check, --transcript and --expect go with apply"));
    if (parser.isSet(checkOption) && (parser.isSet(transcriptOption) || parser.isSet(expectOption)))
        return usage(QStringLiteral("--check sends nothing, so it makes no transcript and compares none"));
    if (parser.isSet(countryOption) && command->run != showScript)
        return usage(QStringLiteral("--country goes with show"));
    if (parser.isSet(shapeOption) && name != QLatin1String("swipe-test"))
        return usage(QStringLiteral("--expect-shape goes with swipe-test"));
    const int operands = command->operand.isEmpty() ? 0 : 1;
    if (words.size() - 1 != operands) {
        return usage(operands == 0 ? QStringLiteral("%1 takes no file").arg(name)
                                   : QStringLiteral("%1 takes one script file").arg(name));
    }

    Options options;
    options.operands = words.mid(1);
    options.readers = parser.values(readerOption);
    options.all = parser.isSet(allOption);
    options.json = parser.isSet(jsonOption);
    options.check = parser.isSet(checkOption);
    options.transcript = parser.value(transcriptOption);
    options.expect = parser.value(expectOption);
    if (parser.isSet(countryOption))
        options.country = parser.value(countryOption);
    options.expectShape = parser.value(shapeOption);
    if (env.allowForegroundWindow)
        env.allowForegroundWindow(parser.isSet(foregroundOption));
    Runner runner(env);
    return command->run(runner, options);
}

} // namespace vortal9::batch
