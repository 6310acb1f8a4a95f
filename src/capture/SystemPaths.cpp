#include "capture/SystemPaths.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>

namespace vortal9 {

namespace {

const QString BatchName = QStringLiteral("vortal9-batch");

} // namespace

SystemPaths installedSystemPaths(const QString &batchProgram)
{
    SystemPaths paths;
#ifdef VORTAL9_RULE_COPY
    paths.ruleCopies << QStringLiteral(VORTAL9_RULE_COPY);
#endif
    QString program = batchProgram;
    if (program.isEmpty() && QCoreApplication::instance())
        program = QCoreApplication::applicationDirPath() + QLatin1Char('/') + BatchName;
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
    for (const QString &dir : pathVariable.split(QLatin1Char(':'))) {
        const QFileInfo found((dir.isEmpty() ? QStringLiteral(".") : dir) + QLatin1Char('/') + BatchName);
        if (found.isFile() && found.isExecutable())
            return found.canonicalFilePath() == program ? BatchName : shellQuoted(program);
    }
    return shellQuoted(program);
}

QString shellQuoted(const QString &text)
{
    static const QRegularExpression literal(QStringLiteral("^[A-Za-z0-9_@%+=:,./-]+$"));
    if (literal.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace vortal9
