// A job's result as the user reads it: one line of text, or one JSON line,
// per reader, with the message that says why it was not configured and the
// fixes that would allow it.
#pragma once

#include "batch/Job.h"
#include "capture/ReaderDoctor.h"
#include "session/Transcript.h"

#include <QString>
#include <QStringList>

#include <optional>

class QTextStream;

namespace vortal9::batch {

// What the results say of a reader besides its job: where it is attached,
// and how it answered against a reference (with --expect).
struct ReaderInfo
{
    QString usb;
    QString serial;
    std::optional<transcript::Difference> difference;
    // With a proof asked for (--expect, --transcript): the first step whose
    // answer was not kept because a card was swiped during it.
    std::optional<int> cardSwipedStep;
};

// The result's word ("configured", "differs", "write error", ...); "" while
// the job has none.
QString resultText(const Job &job, const ReaderInfo &info);

// The job's result on out: a line of text (each fix on a line of its own,
// as it is pasted into a shell), or with json one JSON line. fixes are the
// doctor's for a reader whose capture was refused.
void printResult(QTextStream &out, bool json, const Job &job, const ReaderInfo &info, const QStringList &fixes);

// A reader that the kernel knows but that could not be reached (no hidraw
// node, or one the user may not open): not configured, with the doctor's
// problems as the message; in JSON with its fixes, which the text gives
// once for all such readers (printFixes).
void printUnreached(QTextStream &out, bool json, const ReaderDiagnosis &reader, const QStringList &fixes);

// ". To fix:" and the fixes, each on a line of its own; only the line's end
// when there are none.
void printFixes(QTextStream &out, const QStringList &fixes);

} // namespace vortal9::batch
