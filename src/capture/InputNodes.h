// The input event nodes that the kernel made for a reader, found from its
// hidraw node through sysfs.
//
// hidraw gives one node per HID interface. The kernel's HID input driver
// makes one input device (or one per application collection) for the same
// interface, and each has an event node:
//
//   /sys/class/hidraw/hidrawN/device          the HID device (0003:VVVV:PPPP.NNNN)
//   .../device/input/inputM/eventK            its input devices and their event nodes
//   /dev/input/eventK                         what a program opens
#pragma once

#include "capture/SystemPaths.h"

#include <QString>

#include <vector>

namespace vortal9 {

struct InputNode
{
    QString path; // the device node, e.g. /dev/input/event7
    bool readable = false; // the current (effective) user may open it for reading
};

// The event nodes of the HID interface behind hidrawPath (e.g. /dev/hidraw3;
// only its file name is used), in the order of their numbers. Empty when the
// path is no hidraw node, when sysfs does not know it, or when the interface
// has no input device (it sends no input reports the kernel understands).
// paths.sysRoot and paths.devRoot stand for /sys and /dev.
std::vector<InputNode> inputNodesOfHidraw(const QString &hidrawPath, const SystemPaths &paths = {});

} // namespace vortal9
