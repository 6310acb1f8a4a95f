// What stands between an attached reader and the program, read from sysfs
// and the device nodes without opening the reader: permission on its hidraw
// node (to send it commands), a feature report in its report descriptor, and
// permission on its input event nodes (to capture its keys); with the exact
// fix for each.
#pragma once

#include "capture/SystemPaths.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace vortal9 {

// The name of the program's udev rule file.
inline constexpr char UdevRuleName[] = "70-vortal9.rules";

// The active lines of udev/70-vortal9.rules (its comments left out), for a
// system where no copy of the file is at hand. A test keeps them equal to
// the file's.
inline constexpr const char *UdevRuleLines[] = {
    R"(SUBSYSTEM=="hidraw", KERNELS=="0003:04B4:210A.*", SUBSYSTEMS=="hid", TAG+="uaccess")",
    R"(SUBSYSTEM=="input", KERNEL=="event*", KERNELS=="0003:04B4:210A.*", SUBSYSTEMS=="hid", TAG+="uaccess")",
};

// The kernel gives hidraw nodes to at most this many HID devices at a time
// (HIDRAW_MAX_DEVICES), keyboards and mice included.
inline constexpr int KernelHidrawNodes = 64;

struct ReaderDiagnosis
{
    QString hidraw; // the hidraw node, e.g. /dev/hidraw3 (under SystemPaths::devRoot); "" when the kernel gave none
    QString hidDevice; // the kernel's HID device, e.g. 0003:04B4:210A.0007
    QString usbLocation; // bus and port path of the USB device, e.g. "1-2.4"; "" when unknown
    QString serial; // the USB device's serial number; "" when it has none
    QString manufacturer; // the USB device's manufacturer string; "" when it has none
    bool nodeExists = false; // the hidraw node is there
    bool hidrawAccess = false; // the current user may open it for reading and writing
    bool hasFeatureReport = false; // its report descriptor declares a feature report
    QStringList eventNodes; // its input event nodes
    QStringList unreadableEventNodes; // ... those the current user may not read

    // The program can open it and send it commands (the window hears it
    // through the keyboard focus if it cannot be captured).
    bool usable() const { return nodeExists && hidrawAccess && hasFeatureReport; }
    // The kernel knows the device but gave it no hidraw node (it had none left).
    bool withoutNode() const { return hidraw.isEmpty(); }
    // How it is named to the user: its hidraw node, or its HID device when it has none.
    QString name() const { return withoutNode() ? hidDevice : hidraw; }
    // ... and its keys can be captured, as the command-line tool requires.
    bool capturable() const { return usable() && !eventNodes.isEmpty() && unreadableEventNodes.isEmpty(); }
    // What blocks it, one sentence each; empty when nothing does. A device
    // without feature report gets that sentence alone: nothing else about it
    // matters to the program.
    QStringList problems() const;
};

// Every HID device with the reader's vendor and product identifiers (04b4,
// 210a) that the kernel made a hidraw node for (sysfs lists it; nodeExists
// tells whether devRoot has it), in the order of the hidraw numbers; then
// those the kernel knows (sysRoot/bus/hid/devices) but gave no hidraw node,
// in the order of their names. A device without a USB parent (made with
// uhid) has no USB location, serial or manufacturer.
std::vector<ReaderDiagnosis> diagnoseReaders(const SystemPaths &paths = {});

// The exact steps that remove what blocks the readers: the udev rule (where
// it is and where it goes, or that it is installed already), the reload
// command, re-plugging; joining the group that a node is open to (as the
// station's rule gives the nodes to its group); for a device without
// feature report, that it is no configuration interface of a reader; and for
// readers without a hidraw node, that the kernel had none left. One line each; a command stands on
// a line of its own, ready to be copied. Empty when nothing blocks any.
// The programs pass installedSystemPaths(), which knows the rule's copy.
QStringList fixesFor(const std::vector<ReaderDiagnosis> &readers, const SystemPaths &paths = {});

// One line for a window that found fewer readers than are attached: how many
// cannot be used and where to look ("" when every reader can be used). It
// counts the devices with a feature report that are not usable(); one that
// cannot be captured is not counted, as the window still hears it through
// the keyboard focus. The tool is named by paths.batchCommand.
QString blockedSummary(const std::vector<ReaderDiagnosis> &readers, const SystemPaths &paths = {});

// True when at least one device is a reader's configuration interface and
// every such interface can be opened and captured. Devices of the reader's
// ids without a feature report (its other interfaces) do not count.
bool everyReaderReady(const std::vector<ReaderDiagnosis> &readers);

// What to check when no device with the reader's ids has a hidraw node: the
// cable, a hub's power, and whether the USB device shows up at all (a USB
// device with the reader's ids under sysRoot is named by its port). One line
// each; a command stands on a line of its own.
QStringList checksWithoutReader(const SystemPaths &paths = {});

} // namespace vortal9
