#include "capture/ReaderDoctor.h"

#include "capture/InputNodes.h"
#include "device/AccessUSBIO.h"
#include "device/ReportDescriptor.h"
#include "device/SysfsHidraw.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <set>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vortal9 {

namespace {

// Small sysfs attribute files; nothing the doctor reads comes near this.
constexpr qint64 MaxAttributeBytes = 4096;
// A report descriptor is at most 4 KiB (the kernel's limit); read with room.
constexpr qint64 MaxDescriptorBytes = 64 * 1024;

QString readAttribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.read(MaxAttributeBytes)).trimmed();
}

// The value of one KEY=value line of a uevent file; "" when it has none.
QString ueventField(const QString &ueventPath, const char *key)
{
    const QString prefix = QLatin1String(key) + QLatin1Char('=');
    const QStringList lines = readAttribute(ueventPath).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(prefix)) {
            return line.mid(prefix.size());
        }
    }
    return {};
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

// Where the HID device hangs: its USB device's location and strings, when it
// has a USB parent.
void describeUsbParent(ReaderDiagnosis &reader, const QString &hidDeviceLink)
{
    const QString usbDevice = usbDeviceDir(hidDeviceLink);
    if (!usbDevice.isEmpty()) {
        reader.usbLocation = QFileInfo(usbDevice).fileName();
        reader.serial = readAttribute(usbDevice + QStringLiteral("/serial"));
        reader.manufacturer = readAttribute(usbDevice + QStringLiteral("/manufacturer"));
    } else {
        // Not on USB (a device made with /dev/uhid, say): the HID device's
        // uniq is its serial number, as usbhid makes it the USB one.
        reader.serial = ueventField(hidDeviceLink + QStringLiteral("/uevent"), "HID_UNIQ");
    }
}

// The reader at one hidraw node, from what the listing of the nodes read of
// it (the HID device behind the node, its ids, its report descriptor, its USB
// parent), its nodes' permissions and its input event nodes.
ReaderDiagnosis diagnose(const sysfs::HidrawNode &node, const SystemPaths &paths)
{
    ReaderDiagnosis reader;
    reader.hidraw = paths.devRoot + QLatin1Char('/') + QFileInfo(QString::fromStdString(node.path)).fileName();
    reader.hidDevice = QFileInfo(QString::fromStdString(node.device.hidDevice())).fileName();
    // The effective ids decide what open() may do; a node that is not there
    // is told apart from one closed to the user.
    const QByteArray hidraw = QFile::encodeName(reader.hidraw);
    const bool mayOpen = faccessat(AT_FDCWD, hidraw.constData(), R_OK | W_OK, AT_EACCESS) == 0;
    reader.nodeExists = mayOpen || errno != ENOENT;
    reader.hidrawAccess = mayOpen;
    reader.hasFeatureReport = node.device.featureLength > 0;
    for (const InputNode &input : inputNodesOfHidraw(reader.hidraw, paths)) {
        reader.eventNodes << input.path;
        if (!input.readable) {
            reader.unreadableEventNodes << input.path;
        }
    }
    if (!node.device.usbDevice.empty()) {
        const QString usbDevice = QString::fromStdString(node.device.usbDevice);
        reader.usbLocation = QFileInfo(usbDevice).fileName();
        reader.serial = readAttribute(usbDevice + QStringLiteral("/serial"));
        reader.manufacturer = readAttribute(usbDevice + QStringLiteral("/manufacturer"));
    } else {
        // Not on USB (a device made with /dev/uhid, say): the HID device's
        // uniq is its serial number, as usbhid makes it the USB one.
        reader.serial = QString::fromStdString(node.device.uniq).trimmed();
    }
    return reader;
}

// A HID device of the reader's ids that the kernel gave no hidraw node.
ReaderDiagnosis diagnoseWithoutNode(const QString &hidDeviceLink)
{
    ReaderDiagnosis reader;
    reader.hidDevice = QFileInfo(hidDeviceLink).fileName();
    QFile descriptor(hidDeviceLink + QStringLiteral("/report_descriptor"));
    if (descriptor.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = descriptor.read(MaxDescriptorBytes);
        reader.hasFeatureReport = featureReportByteLength({ reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                                      static_cast<std::size_t>(bytes.size()) })
            > 0;
    }
    describeUsbParent(reader, hidDeviceLink);
    return reader;
}

// The group that may read (and, with write, write) the node at path when
// the user is not in it; "" when there is none, or it is root's. A rule that
// gives the readers' nodes to a group (the station's) opens them that way.
QString groupWithoutUser(const QString &path, bool write)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return {};
    }
    const mode_t needed = write ? (S_IRGRP | S_IWGRP) : S_IRGRP;
    if ((info.st_mode & needed) != needed || info.st_gid == 0 || info.st_gid == getegid()) {
        return {};
    }
    std::vector<gid_t> groups(std::size_t(std::max(0, ::getgroups(0, nullptr))));
    const int count = ::getgroups(int(groups.size()), groups.data());
    for (int i = 0; i < count; ++i) {
        if (groups[std::size_t(i)] == info.st_gid) {
            return {};
        }
    }
    const group *entry = ::getgrgid(info.st_gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(info.st_gid);
}

QString userName()
{
    const passwd *entry = ::getpwuid(geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QStringLiteral("$USER");
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

QStringList ReaderDiagnosis::problems() const
{
    // Without the configuration interface nothing else about the device
    // matters to the program.
    if (!hasFeatureReport) {
        return { QStringLiteral("no feature report: this is not the reader's configuration interface") };
    }
    QStringList found;
    if (withoutNode()) {
        return { QStringLiteral("the kernel gave it no hidraw node: it gives at most %1 HID devices one, keyboards "
                                "and mice included, and had none left")
                     .arg(KernelHidrawNodes) };
    }
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
    // Every node is read once, as discovery reads them (SysfsHidraw.h).
    std::vector<sysfs::HidrawNode> nodes = sysfs::listHidrawNodes(paths.sysRoot.toStdString(), paths.devRoot.toStdString());
    auto number = [](const sysfs::HidrawNode &node) {
        return QFileInfo(QString::fromStdString(node.path)).fileName().mid(6).toInt();
    };
    std::sort(nodes.begin(), nodes.end(),
              [&](const sysfs::HidrawNode &a, const sysfs::HidrawNode &b) { return number(a) < number(b); });

    std::vector<ReaderDiagnosis> readers;
    std::set<QString> withNode; // the HID devices that have a node
    for (const sysfs::HidrawNode &node : nodes) {
        withNode.insert(QFileInfo(QString::fromStdString(node.device.hidDevice())).fileName());
        if (node.device.attributes.vendorId == ReaderVendorId && node.device.attributes.productId == ReaderProductId) {
            readers.push_back(diagnose(node, paths));
        }
    }

    // The HID devices the kernel knows are named by bus, vendor, product and
    // instance (0003:04B4:210A.0007); one that has no hidraw child got no node.
    const QDir hidDevices(paths.sysRoot + QStringLiteral("/bus/hid/devices"));
    for (const QString &name : hidDevices.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        if (isReaderHidId(name.section(QLatin1Char('.'), 0, 0)) && withNode.count(name) == 0) {
            readers.push_back(diagnoseWithoutNode(hidDevices.filePath(name)));
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

    // A node open to a group the user is not in (the station's rule gives the
    // readers' nodes to its group): joining the group opens it.
    QStringList groups;
    for (const ReaderDiagnosis &reader : readers) {
        if (!reader.hasFeatureReport) {
            continue;
        }
        QStringList found;
        if (reader.nodeExists && !reader.hidrawAccess) {
            found << groupWithoutUser(reader.hidraw, true);
        }
        for (const QString &node : reader.unreadableEventNodes) {
            found << groupWithoutUser(node, false);
        }
        for (const QString &group : found) {
            if (!group.isEmpty() && !groups.contains(group)) {
                groups << group;
            }
        }
    }
    for (const QString &group : groups) {
        fixes << QStringLiteral("The readers' nodes are open to the group \"%1\", and you are not in it. Add your "
                                "account to it, then log out and in again:")
                     .arg(group)
              << QStringLiteral("sudo usermod -aG %1 %2").arg(shellQuoted(group), shellQuoted(userName()));
    }

    const auto withoutNode = std::count_if(readers.begin(), readers.end(),
        [](const ReaderDiagnosis &reader) { return reader.withoutNode() && reader.hasFeatureReport; });
    if (withoutNode > 0) {
        fixes << QStringLiteral("%1 of the attached readers got no hidraw node: the kernel gives at most %2 HID "
                                "devices one, keyboards and mice included. Attach fewer readers to this computer at "
                                "once (configure them in groups), or unplug other USB input devices.")
                     .arg(withoutNode)
                     .arg(KernelHidrawNodes);
    }

    for (const ReaderDiagnosis &reader : readers) {
        if (reader.withoutNode()) {
            continue;
        }
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
