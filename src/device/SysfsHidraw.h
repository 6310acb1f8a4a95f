// What the kernel publishes about its hidraw nodes in sysfs, read directly:
// one pass over <sys>/class/hidraw lists them, and a handful of files
// describe the device behind one node. libudev answers the same questions by
// building a device object for the node and for each of its parents, each
// from its own files, which costs some thirty look-ups per node and question.
//
//   <sys>/class/hidraw/hidrawN -> ../../devices/.../0003:04B4:210A.0007/hidraw/hidrawN
//   <sys>/class/hidraw/hidrawN/device                 the HID device
//     uevent                                          HID_ID=0003:000004B4:0000210A, ...
//     report_descriptor
//   .../1-2.4/1-2.4:1.0/0003:04B4:210A.0007           on USB: the interface, the USB device
//   .../1-2.4/bcdDevice, manufacturer                 the USB device's release and string
//
// A device made with uhid has no USB parent.
#pragma once

#include "device/HidPlatform.h"

#include <optional>
#include <string>
#include <vector>

namespace vortal9::sysfs {

struct HidrawDevice
{
    bool known = false;       // sysfs knows the node
    std::string sysfsPath;    // where the node's folder is: names the device behind the node
    HidAttributes attributes; // version: the USB device's bcdDevice, 0 without USB parent
    int featureLength = 0;    // from the report descriptor, report ID byte included; 0: none
    std::string uniq;         // HID_UNIQ: the USB serial number, or what the uhid side gave
    std::string usbDevice;    // the USB device's sysfs folder; "" without USB parent

    // The HID device's folder (0003:04B4:210A.0007), which holds the node's.
    std::string hidDevice() const;
};

struct HidrawNode
{
    std::string path; // the device node: <dev>/hidrawN
    HidrawDevice device;
};

// Every hidraw node sysfs lists under sysRoot, named under devRoot, in the
// order of their sysfs folders (as udev lists them), each described as
// describeHidraw() does. Empty when sysfs cannot be read.
std::vector<HidrawNode> listHidrawNodes(const std::string &sysRoot, const std::string &devRoot);

// The device behind a hidraw node as sysfs describes it now (only the file
// name of nodePath counts: "/dev/hidraw3" is hidraw3). listed: what a listing
// found at that node; when the node still leads to the same device (the
// kernel names each HID device once), it is taken as it is, at the cost of
// one look at the node's link.
HidrawDevice describeHidraw(const std::string &nodePath, const std::string &sysRoot,
                            const HidrawDevice *listed = nullptr);

// The manufacturer string of the device's USB parent, as the kernel read it
// from the device; "" when it has none, or no USB parent.
std::u16string manufacturerOf(const HidrawDevice &device);

// The vendor and product in a HID_ID value ("0003:000004B4:0000210A");
// nullopt when it is malformed.
std::optional<HidAttributes> attributesOfHidId(const std::string &hidId);

} // namespace vortal9::sysfs
