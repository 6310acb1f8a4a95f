// doctor: what keeps each attached reader from being used, and the fix: one
// line per step, every command on a line of its own, as it is pasted into a
// shell.
#include "batch/Output.h"
#include "batch/Runner.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

namespace vortal9::batch {

int diagnose(Runner &runner, const Options &options)
{
    QTextStream &out = runner.out();
    const std::vector<ReaderDiagnosis> diagnoses = runner.diagnoses();
    for (const ReaderDiagnosis &d : diagnoses) {
        const QStringList problems = d.problems();
        if (options.json) {
            QJsonObject o { { "hidraw", d.hidraw }, { "hidDevice", d.hidDevice }, { "usb", d.usbLocation },
                { "serial", d.serial }, { "usable", d.usable() }, { "capture", d.capturable() },
                { "problems", QJsonArray::fromStringList(problems) } };
            out << jsonLine(o) << Qt::endl;
            continue;
        }
        out << shown(d.name());
        if (!d.usbLocation.isEmpty())
            out << " (USB " << shown(d.usbLocation) << (d.serial.isEmpty() ? QString() : ", serial " + shown(d.serial))
                << ")";
        out << ": " << (problems.isEmpty() ? QStringLiteral("ready") : shown(problems.join(QStringLiteral("; "))))
            << Qt::endl;
    }
    if (diagnoses.empty()) {
        runner.sayNoReaderAttached();
        return NoReader;
    }
    // A device of the reader's ids without feature report is another of its
    // interfaces: a note, nothing that keeps the readers from being used.
    const bool ready = everyReaderReady(diagnoses);
    const QStringList fixes = fixesFor(diagnoses, runner.env().system);
    if (!fixes.isEmpty() && !options.json) {
        out << Qt::endl << (ready ? "Note:" : "To fix:") << Qt::endl;
        for (const QString &fix : fixes)
            out << fix << Qt::endl;
    }
    return ready ? Success : NotAllConfigured;
}

} // namespace vortal9::batch
