#include "batch/Progress.h"

#include "batch/Job.h"
#include "batch/Output.h"

#include <QTextStream>

namespace vortal9::batch {

void printStarting(QTextStream &err, const std::vector<std::unique_ptr<Job>> &jobs)
{
    for (const auto &job : jobs)
        err << "reader " << job->number() << " (" << shown(job->path()) << "): starting" << Qt::endl;
}

void progressLine(QTextStream &err, const Job &job, std::size_t index, std::size_t count, const QString &result)
{
    // Up to the reader's line, rewrite it, and back down below the last one.
    const qsizetype up = qsizetype(count) - qsizetype(index);
    QString text = QStringLiteral("reader %1 (%2): ").arg(job.number()).arg(shown(job.path()));
    text += job.result() == Job::Result::None ? QStringLiteral("step %1 of %2").arg(job.step()).arg(job.steps())
                                              : result;
    err << "\x1b[" << up << "A\r\x1b[2K" << text << "\x1b[" << up << "B\r" << Qt::flush;
}

} // namespace vortal9::batch
