// list: every attached reader, numbered as "Select Device" numbers them,
// whether it opens, and whether its keys could be captured. Capturability is
// a check of its input event nodes (there, and readable), as the doctor
// makes it; no reader is grabbed, so that list takes no reader's keys and
// never makes an apply that starts at the same moment see it busy.
#include "batch/Output.h"
#include "batch/Runner.h"
#include "device/AccessUSBIO.h"
#include "device/HidPlatform.h"

#include <QJsonObject>
#include <QTextStream>

#include <algorithm>
#include <iterator>

namespace vortal9::batch {

namespace {

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

// Why the reader's keys could not be captured, by the doctor's checks; ""
// when they could.
QString captureProblem(bool captureOffered, const ReaderDiagnosis *d)
{
    if (!captureOffered)
        return QStringLiteral("no capture on this system");
    if (!d)
        return QStringLiteral("not found in sysfs");
    if (d->capturable())
        return {};
    return d->problems().value(0, QStringLiteral("its keys cannot be captured"));
}

} // namespace

int listReaders(Runner &runner, const Options &options)
{
    Environment &env = runner.env();
    QTextStream &out = runner.out();
    const std::vector<std::string> readers = runner.discoverReaders();
    const std::vector<ReaderDiagnosis> diagnoses = runner.diagnoses();
    auto line = [&](const QString &number, const QString &path, const QString &hidDevice, const QString &usb,
                    const QString &manufacturer, const QString &serial, bool opens, const QString &problem) {
        if (options.json) {
            QJsonObject o { { "reader", number == QLatin1String("-") ? QJsonValue() : QJsonValue(number.toInt()) },
                { "hidraw", path }, { "hidDevice", hidDevice }, { "usb", usb }, { "manufacturer", manufacturer },
                { "serial", serial }, { "open", opens }, { "capture", opens && problem.isEmpty() } };
            if (!problem.isEmpty())
                o.insert(QStringLiteral("problem"), problem);
            out << jsonLine(o) << Qt::endl;
            return;
        }
        // Each column padded and then one space, so that a long text never
        // runs into the next column.
        // A reader without a hidraw node is named by its HID device.
        const QString columns[] = { number, shown(path.isEmpty() ? hidDevice : path), orDash(shown(usb)),
            orDash(shown(manufacturer)), orDash(shown(serial)), opens ? QStringLiteral("yes") : QStringLiteral("no") };
        const int widths[] = { 2, 13, 8, 13, 13, 5 };
        for (std::size_t i = 0; i < std::size(columns); ++i)
            out << columns[i].leftJustified(widths[i]) << ' ';
        out << (opens && problem.isEmpty() ? QStringLiteral("yes") : QStringLiteral("no (%1)").arg(problem))
            << Qt::endl;
    };
    if (!options.json)
        out << QStringLiteral("#  hidraw        USB      manufacturer  serial        open  capturable") << Qt::endl;

    int number = 0;
    for (const std::string &stdPath : readers) {
        const QString path = QString::fromStdString(stdPath);
        const ReaderDiagnosis *d = Runner::diagnosisOf(diagnoses, path);
        // Opened without access rights, only for its identification text.
        QString manufacturer;
        const OpenedDevice opened = openHidDevice(*env.platform, stdPath, AccessNone);
        if (opened.handle >= 1) {
            if (const auto text = env.platform->manufacturerString(opened.handle))
                manufacturer = QString::fromStdU16String(*text).trimmed();
            env.platform->close(opened.handle);
        }
        line(QString::number(++number), path, d ? d->hidDevice : QString(), d ? d->usbLocation : QString(),
            manufacturer, d ? d->serial : QString(), opened.handle >= 1, captureProblem(env.capture != nullptr, d));
    }
    // Readers that discovery could not count: the doctor tells why.
    int blocked = 0;
    int withoutNode = 0;
    for (const ReaderDiagnosis &d : diagnoses) {
        if (!d.withoutNode() && std::find(readers.begin(), readers.end(), d.hidraw.toStdString()) != readers.end())
            continue;
        ++blocked;
        withoutNode += d.withoutNode() && d.hasFeatureReport;
        line(QStringLiteral("-"), d.hidraw, d.hidDevice, d.usbLocation, d.manufacturer, d.serial, false,
            d.problems().value(0));
    }
    // An empty list ends as doctor and apply do, so a script can tell "none attached".
    if (readers.empty() && blocked == 0) {
        if (!options.json)
            runner.sayNoReaderAttached();
        return NoReader;
    }
    if (!options.json) {
        runner.err() << "capturable: its input event nodes are there and readable (checked, not taken)." << Qt::endl;
        if (blocked > 0)
            runner.err() << "Readers marked - cannot be opened: run \"" << runner.tool() << " doctor\"." << Qt::endl;
        if (withoutNode > 0)
            runner.err() << withoutNode << (withoutNode == 1 ? " reader" : " readers")
                         << " got no hidraw node from the kernel (it has " << KernelHidrawNodes
                         << " for all HID devices together): not to be configured while so many are attached."
                         << Qt::endl;
    }
    return Success;
}

} // namespace vortal9::batch
