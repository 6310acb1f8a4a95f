// A scratch copy of the sysfs and /dev entries the kernel makes for a HID
// interface of a USB device, laid out as on a real system:
//
//   ROOT/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.4/   the USB device ("1-2.4")
//     serial, manufacturer                                      its strings
//     1-2.4:1.0/                                                its interface
//       0003:04B4:210A.0007/                                    the HID device
//         uevent, report_descriptor
//         hidraw/hidrawN/device -> ../../../0003:04B4:210A.0007 its hidraw node
//         input/inputM/eventK/                                  its input devices
//   ROOT/sys/class/hidraw/hidrawN -> ../../devices/.../hidraw/hidrawN
//   ROOT/sys/bus/hid/devices/0003:04B4:210A.0007 -> ../../../devices/.../0003:04B4:210A.0007
//   ROOT/dev/hidrawN, ROOT/dev/input/eventK                     FIFOs standing for the nodes
//
// A device made with uhid has no USB parent: its HID device hangs below
// ROOT/sys/devices/virtual/misc/uhid/. One that the kernel gave no hidraw
// node (it has 64) has no hidraw folder, link or node.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vortal9::test {

// One input device of the interface and the event nodes it has.
using FakeInput = std::pair<QString, QStringList>; // {"input15", {"event7"}}

// One HID interface and what the kernel and udev made for it.
struct FakeHidDevice
{
    QString hidraw = QStringLiteral("hidraw3"); // "": the kernel gave it none
    QString usbDevice = QStringLiteral("1-1"); // bus and port path, e.g. "1-2.4"
    QString hidDevice = QStringLiteral("0003:04B4:210A.0007"); // bus, vendor, product, instance
    std::vector<FakeInput> inputs = {};
    QByteArray reportDescriptor = {}; // none when empty
    QByteArray serial = {}; // the USB device's, which the kernel also gives the HID device (HID_UNIQ); none when empty
    QByteArray manufacturer = {};
    mode_t hidrawMode = 0666; // of ROOT/dev/hidrawN; 0: no node
    mode_t eventMode = 0644; // of each ROOT/dev/input/eventK
    bool onUsb = true; // false: made with uhid, below devices/virtual/misc/uhid, no USB parent; serial is its uniq
    gid_t nodeGroup = gid_t(-1); // the group of its nodes; -1: the creator's
};

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline bool makeNode(const QString &path, mode_t mode, gid_t group = gid_t(-1))
{
    // chmod, as mkfifo's mode passes through the umask.
    const QByteArray name = QFile::encodeName(path);
    return mkfifo(name.constData(), mode) == 0 && (group == gid_t(-1) || chown(name.constData(), uid_t(-1), group) == 0)
        && chmod(name.constData(), mode) == 0;
}

inline bool makeHidDevice(const QString &root, const FakeHidDevice &device)
{
    // "1-2.4" hangs below the hub "1-2", below the root hub "usb1".
    const QString bus = device.usbDevice.section(QLatin1Char('-'), 0, 0);
    const QStringList ports = device.usbDevice.section(QLatin1Char('-'), 1).split(QLatin1Char('.'));
    QString usbPath = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb") + bus;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        usbPath += QLatin1Char('/') + bus + QLatin1Char('-') + QStringList(ports.mid(0, i + 1)).join(QLatin1Char('.'));
    }
    const QString hidPath = device.onUsb
        ? usbPath + QLatin1Char('/') + device.usbDevice + QStringLiteral(":1.0/") + device.hidDevice
        : QStringLiteral("devices/virtual/misc/uhid/") + device.hidDevice;
    const QString usb = root + QStringLiteral("/sys/") + usbPath;
    const QString hid = root + QStringLiteral("/sys/") + hidPath;
    const QString node = hid + QStringLiteral("/hidraw/") + device.hidraw;

    // uevent spells the identifiers out to 8 hex digits: 0003:000004B4:0000210A.
    const QStringList ids = device.hidDevice.section(QLatin1Char('.'), 0, 0).split(QLatin1Char(':'));
    const QString hidId = ids.value(0) + QLatin1Char(':') + ids.value(1).rightJustified(8, QLatin1Char('0'))
        + QLatin1Char(':') + ids.value(2).rightJustified(8, QLatin1Char('0'));

    bool ok = QDir().mkpath(hid) && QDir().mkpath(root + QStringLiteral("/sys/class/hidraw"))
        && QDir().mkpath(root + QStringLiteral("/sys/bus/hid/devices"))
        && QDir().mkpath(root + QStringLiteral("/dev/input"))
        && (QFile::link(QStringLiteral("../../../") + hidPath,
                root + QStringLiteral("/sys/bus/hid/devices/") + device.hidDevice)
            || QFileInfo::exists(root + QStringLiteral("/sys/bus/hid/devices/") + device.hidDevice));
    if (!device.hidraw.isEmpty()) {
        ok = ok && QDir().mkpath(node)
            && QFile::link(QStringLiteral("../../../") + device.hidDevice, node + QStringLiteral("/device"))
            && QFile::link(QStringLiteral("../../") + hidPath + QStringLiteral("/hidraw/") + device.hidraw,
                root + QStringLiteral("/sys/class/hidraw/") + device.hidraw);
    }
    // The HID device's uniq is the USB serial number (usbhid copies it), or
    // what the uhid side gave.
    const QByteArray phys = device.onUsb
        ? "usb-0000:00:14.0-" + device.usbDevice.section(QLatin1Char('-'), 1).toLatin1() + "/input0"
        : QByteArray("vortal9-uhid-reader");
    ok = ok && writeFile(hid + QStringLiteral("/uevent"),
            "DRIVER=hid-generic\nHID_ID=" + hidId.toLatin1() + "\nHID_PHYS=" + phys + "\nHID_UNIQ="
                + device.serial.trimmed() + "\n");
    if (!device.reportDescriptor.isEmpty()) {
        ok = ok && writeFile(hid + QStringLiteral("/report_descriptor"), device.reportDescriptor);
    }
    if (!device.serial.isEmpty() && device.onUsb) {
        ok = ok && writeFile(usb + QStringLiteral("/serial"), device.serial);
    }
    if (!device.manufacturer.isEmpty() && device.onUsb) {
        ok = ok && writeFile(usb + QStringLiteral("/manufacturer"), device.manufacturer);
    }
    if (device.hidrawMode != 0 && !device.hidraw.isEmpty()) {
        ok = ok && makeNode(root + QStringLiteral("/dev/") + device.hidraw, device.hidrawMode, device.nodeGroup);
    }
    for (const auto &[input, events] : device.inputs) {
        for (const QString &event : events) {
            ok = ok && QDir().mkpath(hid + QStringLiteral("/input/") + input + QStringLiteral("/") + event);
            ok = ok && makeNode(root + QStringLiteral("/dev/input/") + event, device.eventMode, device.nodeGroup);
        }
    }
    // Every folder open to all, so that an unprivileged child can walk it.
    ok = ok && chmod(QFile::encodeName(root).constData(), 0755) == 0;
    return ok;
}

// Runs fn as the user "nobody" in a child process when this process is
// root (root passes every permission check, so what a technician's account
// meets cannot be seen otherwise), and directly otherwise. Returns fn's
// result, or "child failed" when the child could not run it.
inline std::string asUnprivileged(const std::function<std::string()> &fn)
{
    if (geteuid() != 0) {
        return fn();
    }
    const passwd *nobody = getpwnam("nobody");
    int channel[2];
    if (!nobody || pipe(channel) != 0) {
        return "child failed";
    }
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
            _exit(1);
        }
        const std::string result = fn();
        const bool written = write(channel[1], result.data(), result.size()) == ssize_t(result.size());
        _exit(written ? 0 : 1);
    }
    close(channel[1]);
    std::string result;
    char buffer[256];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) {
        result.append(buffer, std::size_t(n));
    }
    close(channel[0]);
    int status = 0;
    const bool exited
        = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return exited ? result : "child failed";
}

} // namespace vortal9::test
