#include "capture/SystemPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace vortal9 {

namespace {

#ifdef Q_OS_WIN
// Windows' shells run vortal9-batch.exe by the name without its suffix.
const QString BatchName = QStringLiteral("vortal9-batch");
const QString BatchFile = QStringLiteral("vortal9-batch.exe");
constexpr Qt::CaseSensitivity FileNameCase = Qt::CaseInsensitive;
#else
const QString BatchName = QStringLiteral("vortal9-batch");
const QString BatchFile = BatchName;
constexpr Qt::CaseSensitivity FileNameCase = Qt::CaseSensitive;
#endif

} // namespace

SystemPaths installedSystemPaths(const QString &batchProgram)
{
    SystemPaths paths;
#ifdef VORTAL9_RULE_COPY
    paths.ruleCopies << QStringLiteral(VORTAL9_RULE_COPY);
#endif
    QString program = batchProgram;
    if (program.isEmpty() && QCoreApplication::instance())
        program = QCoreApplication::applicationDirPath() + QLatin1Char('/') + BatchFile;
    if (!program.isEmpty())
        paths.batchCommand = batchCommandFor(program, qEnvironmentVariable("PATH"));
    return paths;
}

QString batchCommandFor(const QString &programPath, const QString &pathVariable)
{
    const QString program = QFileInfo(programPath).canonicalFilePath();
    if (program.isEmpty())
        return BatchName;
    // The shell runs the first executable of that name along PATH; an empty
    // entry stands for the current folder.
    for (const QString &dir : pathVariable.split(QDir::listSeparator())) {
        const QFileInfo found((dir.isEmpty() ? QStringLiteral(".") : dir) + QLatin1Char('/') + BatchFile);
        if (found.isFile() && found.isExecutable())
            return found.canonicalFilePath().compare(program, FileNameCase) == 0 ? BatchName : shellQuoted(program);
    }
    return shellQuoted(program);
}

QString shellQuoted(const QString &text)
{
#ifdef Q_OS_WIN
    // PowerShell and cmd alike take a path in double quotes (PowerShell runs
    // a quoted program after "& "); a path holds no double quote.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@%+=:,./\\-]+$"));
    if (plain.match(text).hasMatch())
        return QDir::toNativeSeparators(text);
    return QLatin1Char('"') + QDir::toNativeSeparators(text) + QLatin1Char('"');
#else
    static const QRegularExpression literal(QStringLiteral("^[A-Za-z0-9_@%+=:,./-]+$"));
    if (literal.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
#endif
}

} // namespace vortal9
