#include "capture/ReaderDoctor.h"

#include "capture/InputNodes.h"
#include "device/AccessUSBIO.h"
#include "device/ReportDescriptor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

namespace vortal9 {

namespace {

// Small sysfs attribute files; nothing the doctor reads comes near this.
constexpr qint64 MaxAttributeBytes = 4096;

QString readAttribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.read(MaxAttributeBytes)).trimmed();
}

// The value of KEY=value in a uevent file; empty when the key is absent.
QString ueventValue(const QString &ueventPath, QLatin1String key)
{
    const QStringList lines = readAttribute(ueventPath).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.size() > key.size() && line.startsWith(key) && line.at(key.size()) == QLatin1Char('=')) {
            return line.mid(key.size() + 1);
        }
    }
    return {};
}

// True when the HID device's uevent carries the reader's identifiers.
bool isReader(const QString &ueventPath)
{
    return isReaderHidId(ueventValue(ueventPath, QLatin1String("HID_ID")));
}

// The USB device above a HID device: the HID device's folder sits in the
// USB interface's ("1-2.4:1.0"), which sits in the USB device's ("1-2.4").
// An empty QDir path when the HID device is not on USB.
QString usbDeviceDir(const QString &hidDeviceLink)
{
    static const QRegularExpression interfaceName(QStringLiteral("^[0-9]+-[0-9.]+:[0-9]+\\.[0-9]+$"));
    static const QRegularExpression deviceName(QStringLiteral("^[0-9]+-[0-9.]+$"));
    const QString hidDevice = QFileInfo(hidDeviceLink).canonicalFilePath();
    if (hidDevice.isEmpty()) {
        return {};
    }
    const QFileInfo interfaceDir(QFileInfo(hidDevice).path());
    const QFileInfo usbDevice(interfaceDir.path());
    if (!interfaceName.match(interfaceDir.fileName()).hasMatch()
        || !deviceName.match(usbDevice.fileName()).hasMatch()) {
        return {};
    }
    return usbDevice.filePath();
}

bool mayReadAndWrite(const QString &path)
{
    // The effective ids decide what open() may do.
    return faccessat(AT_FDCWD, QFile::encodeName(path).constData(), R_OK | W_OK, AT_EACCESS) == 0;
}

ReaderDiagnosis diagnose(const QString &name, const SystemPaths &paths)
{
    const QString sysDevice = paths.sysRoot + QStringLiteral("/class/hidraw/") + name + QStringLiteral("/device");
    ReaderDiagnosis reader;
    reader.hidraw = paths.devRoot + QLatin1Char('/') + name;
    reader.nodeExists = QFileInfo::exists(reader.hidraw);
    reader.hidrawAccess = reader.nodeExists && mayReadAndWrite(reader.hidraw);
    reader.hasFeatureReport = featureLengthFromSysfs(reader.hidraw.toStdString(), paths.sysRoot.toStdString()) > 0;
    for (const InputNode &node : inputNodesOfHidraw(reader.hidraw, paths)) {
        reader.eventNodes << node.path;
        if (!node.readable) {
            reader.unreadableEventNodes << node.path;
        }
    }
    const QString usbDevice = usbDeviceDir(sysDevice);
    if (!usbDevice.isEmpty()) {
        reader.usbLocation = QFileInfo(usbDevice).fileName();
        reader.serial = readAttribute(usbDevice + QStringLiteral("/serial"));
        reader.manufacturer = readAttribute(usbDevice + QStringLiteral("/manufacturer"));
    }
    if (reader.serial.isEmpty()) {
        // A reader without a USB parent in sysfs (made through uhid) still
        // has its serial number as the HID device's uniq, as every USB HID
        // device has.
        reader.serial = ueventValue(sysDevice + QStringLiteral("/uevent"), QLatin1String("HID_UNIQ")).trimmed();
    }
    return reader;
}

// A reader that the udev rule would let the user reach: it has the
// configuration interface, and its hidraw or event nodes are there but
// closed to the user.
bool udevRuleHelps(const ReaderDiagnosis &reader)
{
    return reader.hasFeatureReport
        && ((reader.nodeExists && !reader.hidrawAccess) || !reader.unreadableEventNodes.isEmpty());
}

QString firstExisting(const QStringList &files)
{
    for (const QString &file : files) {
        if (QFileInfo(file).isFile()) {
            return file;
        }
    }
    return {};
}

} // namespace

bool isReaderHidId(const QString &hidId)
{
    const QStringList ids = hidId.split(QLatin1Char(':'));
    if (ids.size() != 3) {
        return false;
    }
    bool vendorOk = false;
    bool productOk = false;
    const unsigned vendor = ids[1].toUInt(&vendorOk, 16);
    const unsigned product = ids[2].toUInt(&productOk, 16);
    return vendorOk && productOk && vendor == ReaderVendorId && product == ReaderProductId;
}

QStringList ReaderDiagnosis::problems() const
{
    // Without the configuration interface nothing else about the device
    // matters to the program.
    if (!hasFeatureReport) {
        return { QStringLiteral("no feature report: this is not the reader's configuration interface") };
    }
    QStringList found;
    if (!nodeExists) {
        found << QStringLiteral("its hidraw node %1 is missing").arg(hidraw);
    } else if (!hidrawAccess) {
        found << QStringLiteral("no read/write permission on %1").arg(hidraw);
    }
    if (eventNodes.isEmpty()) {
        found << QStringLiteral("no input device, so its keys cannot be captured");
    }
    for (const QString &node : unreadableEventNodes) {
        found << QStringLiteral("no permission to read %1, so its keys cannot be captured").arg(node);
    }
    return found;
}

std::vector<ReaderDiagnosis> diagnoseReaders(const SystemPaths &paths)
{
    static const QRegularExpression hidrawName(QStringLiteral("^hidraw([0-9]+)$"));
    std::vector<std::pair<int, QString>> nodes;
    const QDir classDir(paths.sysRoot + QStringLiteral("/class/hidraw"));
    for (const QString &name : classDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch match = hidrawName.match(name);
        if (match.hasMatch()) {
            nodes.emplace_back(match.captured(1).toInt(), name);
        }
    }
    std::sort(nodes.begin(), nodes.end());

    std::vector<ReaderDiagnosis> readers;
    for (const auto &[number, name] : nodes) {
        if (isReader(classDir.filePath(name) + QStringLiteral("/device/uevent"))) {
            readers.push_back(diagnose(name, paths));
        }
    }
    return readers;
}

QStringList fixesFor(const std::vector<ReaderDiagnosis> &readers, const SystemPaths &paths)
{
    QStringList fixes;
    const auto needRule = std::count_if(readers.begin(), readers.end(), udevRuleHelps);
    if (needRule > 0) {
        QStringList ruleFiles;
        for (const QString &dir : paths.udevRuleDirs) {
            ruleFiles << dir + QLatin1Char('/') + QLatin1String(UdevRuleName);
        }
        const QString installed = firstExisting(ruleFiles);
        const QString target = QStringLiteral("/etc/udev/rules.d/") + QLatin1String(UdevRuleName);
        const QString copy = firstExisting(paths.ruleCopies);
        if (!installed.isEmpty()) {
            fixes << QStringLiteral("The udev rule is installed: %1").arg(installed);
        } else if (!copy.isEmpty()) {
            fixes << QStringLiteral("The udev rule is not where udev reads it. Copy it there:")
                  << QStringLiteral("sudo cp %1 /etc/udev/rules.d/").arg(shellQuoted(copy));
        } else {
            fixes << QStringLiteral("The udev rule is not installed. Write it to %1:").arg(target)
                  << QStringLiteral("sudo tee %1 >/dev/null <<'EOF'").arg(target);
            for (const char *line : UdevRuleLines) {
                fixes << QLatin1String(line);
            }
            fixes << QStringLiteral("EOF");
        }
        // udev acts on a rule when a device comes; trigger replays that for
        // the devices already there, re-plugging makes sure.
        fixes << QStringLiteral("Reload the rules and apply them to the devices already plugged in:")
              << QStringLiteral("sudo udevadm control --reload && sudo udevadm trigger")
              << (needRule == 1 ? QStringLiteral("Then unplug the reader and plug it in again.")
                                : QStringLiteral("Then unplug the readers and plug them in again."))
              << QStringLiteral("The rule gives access to the person logged in at this computer's own screen and "
                                "keyboard (the \"uaccess\" tag, through systemd-logind), not to remote (SSH) "
                                "sessions.");
    }

    for (const ReaderDiagnosis &reader : readers) {
        if (!reader.hasFeatureReport) {
            fixes << QStringLiteral("%1 has no feature report: it is another interface of the device, or not a "
                                    "VORTAL9 reader; there is nothing to fix with udev.")
                         .arg(reader.hidraw);
            continue;
        }
        if (!reader.nodeExists) {
            fixes << QStringLiteral("%1 is missing although the kernel has the device: this /dev is not the "
                                    "system's own (a container?); give it the node, e.g. --device %1, then check "
                                    "again.")
                         .arg(reader.hidraw);
        }
        if (reader.eventNodes.isEmpty()) {
            fixes << QStringLiteral("%1 has no input device, so its keys cannot be captured; udev cannot change "
                                    "that (the window still hears it through the keyboard focus).")
                         .arg(reader.hidraw);
        }
    }
    return fixes;
}

QString blockedSummary(const std::vector<ReaderDiagnosis> &readers, const SystemPaths &paths)
{
    // Devices without the configuration interface are no readers the
    // window would count, and one it cannot capture it still hears.
    const auto blocked = std::count_if(readers.begin(), readers.end(),
        [](const ReaderDiagnosis &reader) { return reader.hasFeatureReport && !reader.usable(); });
    if (blocked == 0) {
        return {};
    }
    return QStringLiteral("can't open %1 %2: %3 doctor")
        .arg(blocked)
        .arg(blocked == 1 ? QStringLiteral("reader") : QStringLiteral("readers"), paths.batchCommand);
}

bool everyReaderReady(const std::vector<ReaderDiagnosis> &readers)
{
    bool anyInterface = false;
    for (const ReaderDiagnosis &reader : readers) {
        if (!reader.hasFeatureReport) {
            continue;
        }
        anyInterface = true;
        if (!reader.capturable()) {
            return false;
        }
    }
    return anyInterface;
}

QStringList checksWithoutReader(const SystemPaths &paths)
{
    // The USB devices the kernel knows, by their port names ("1-2.4").
    static const QRegularExpression deviceName(QStringLiteral("^[0-9]+-[0-9.]+$"));
    const QDir usbDevices(paths.sysRoot + QStringLiteral("/bus/usb/devices"));
    QStringList ports;
    for (const QString &name : usbDevices.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString dir = usbDevices.filePath(name);
        if (deviceName.match(name).hasMatch()
            && readAttribute(dir + QStringLiteral("/idVendor")).toUInt(nullptr, 16) == ReaderVendorId
            && readAttribute(dir + QStringLiteral("/idProduct")).toUInt(nullptr, 16) == ReaderProductId) {
            ports << name;
        }
    }
    const QString ids = QStringLiteral("%1:%2")
                            .arg(ReaderVendorId, 4, 16, QLatin1Char('0'))
                            .arg(ReaderProductId, 4, 16, QLatin1Char('0'));
    if (!ports.isEmpty()) {
        return { QStringLiteral("A USB device with the reader's ids %1 is at USB %2, but the kernel made no hidraw "
                                "node for it: unplug it and plug it in again; if that does not help, the kernel "
                                "messages tell why:")
                     .arg(ids, ports.join(QStringLiteral(", "))),
            QStringLiteral("sudo dmesg | tail -n 30") };
    }
    return { QStringLiteral("Check that the reader's cable is plugged in at both ends (try another port or "
                            "cable), and that a hub between it and the computer has power (or plug it into the "
                            "computer itself)."),
        QStringLiteral("A plugged-in reader shows up as a USB device with the ids %1; list those with:").arg(ids),
        QStringLiteral("lsusb -d %1").arg(ids),
        QStringLiteral("or, without lsusb, by the ids the kernel reads (%1/bus/usb/devices/*/idProduct):")
            .arg(paths.sysRoot),
        QStringLiteral("grep -l %1 %2/bus/usb/devices/*/idProduct")
            .arg(QStringLiteral("%1").arg(ReaderProductId, 4, 16, QLatin1Char('0')), shellQuoted(paths.sysRoot)) };
}

} // namespace vortal9
