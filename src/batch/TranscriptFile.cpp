#include "batch/TranscriptFile.h"

#include "session/Transcript.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace vortal9::batch {

QString transcriptWritable(const QString &file)
{
    QSaveFile probe(file);
    if (!probe.open(QIODevice::WriteOnly))
        return probe.errorString();
    probe.cancelWriting();
    return {};
}

QString writeTranscriptFile(const QString &file, const QString &scriptName, const QJsonArray &readers)
{
    const QJsonObject document { { "schema", QLatin1String(transcript::SchemaName) },
        { "version", transcript::SchemaVersion }, { "script", scriptName }, { "readers", readers } };
    // Readable by its owner only: the file replaces one of that name whole,
    // so a wider mode of an earlier file is not kept either.
    QSaveFile saved(file);
    if (!saved.open(QIODevice::WriteOnly) || !saved.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || saved.write(QJsonDocument(document).toJson()) < 0 || !saved.commit())
        return saved.errorString();
    return {};
}

} // namespace vortal9::batch
