// The transcript file that apply --transcript writes: every chosen reader's
// answers, step by step (schema vortal9-transcript).
#pragma once

#include <QJsonArray>
#include <QString>

namespace vortal9::batch {

// "" when file can be written, otherwise why not; the file is left as it
// was. Checked before any reader is touched, not after.
QString transcriptWritable(const QString &file);

// Writes the transcript of readers (one object per reader) made with the
// script named scriptName: "" when written, otherwise what failed. The
// file is readable and writable by its owner only (0600); an existing file
// is replaced whole, mode included, or left as it was.
QString writeTranscriptFile(const QString &file, const QString &scriptName, const QJsonArray &readers);

} // namespace vortal9::batch
