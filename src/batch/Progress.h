// Progress on a terminal while apply runs: one line per reader, each
// rewritten in place as its job goes on, above the cursor.
#pragma once

#include <QString>

#include <memory>
#include <vector>

class QTextStream;

namespace vortal9::batch {

class Job;

// The first line of each job ("reader 1 (/dev/hidraw1): starting"), one per
// job, in their order: the lines that progressLine() rewrites.
void printStarting(QTextStream &err, const std::vector<std::unique_ptr<Job>> &jobs);

// Rewrites the line of the job at index among count jobs: its step while it
// runs, otherwise result; the cursor goes back below the last line.
void progressLine(QTextStream &err, const Job &job, std::size_t index, std::size_t count, const QString &result);

} // namespace vortal9::batch
