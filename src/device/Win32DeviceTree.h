// Where a HID interface sits in Windows' device tree, and the keyboards that
// Raw Input lists: what the reader doctor and the capture ask of Windows
// besides the HID class, gathered in one table (as Win32HidCalls gathers the
// HID class's). A default-made table asks Windows (setupapi, cfgmgr32, user32,
// hid.dll); tests describe a tree of their own.
//
// A HID interface path (\\?\hid#vid_04b4&pid_210a#7&1a2b&0&0000#{4d1e55b2-...})
// names its device instance (HID\VID_04B4&PID_210A\7&1A2B&0&0000). Raw Input
// names a keyboard by its keyboard interface (...#{884b96c3-...}) of the same
// device instance when the reader's keyboard and its feature report are one
// collection; when they are two collections (&Col01, &Col02) of one USB
// interface, the two instances share their parent.
#pragma once

#include <QString>

#include <functional>
#include <vector>

namespace vortal9 {

struct RawKeyboard
{
    quintptr handle = 0; // hDevice of its WM_INPUT messages
    QString name;        // its interface path (RIDI_DEVICENAME)
};

struct Win32DeviceTree
{
    // The device instance of an interface path; "" when Windows knows none.
    std::function<QString(const QString &interfacePath)> instanceOf;
    // The parent of a device instance; "" at the root or when unknown.
    std::function<QString(const QString &instance)> parentOf;
    // A device's location as Device Manager shows it (a USB device:
    // "Port_#0002.Hub_#0001"); "" when it has none.
    std::function<QString(const QString &instance)> locationOf;
    // The serial number string a HID interface reports; "" when none.
    std::function<QString(const QString &interfacePath)> serialOf;
    // The keyboards Raw Input lists now.
    std::function<std::vector<RawKeyboard>()> rawKeyboards;

    // Windows' own.
    static Win32DeviceTree system();
};

// The device instance an interface path names (Raw Input's names and
// SetupDi's paths alike): "\\?\" and the interface class dropped, "#" read
// as "\". "" when the path is not of that form.
QString instanceInInterfacePath(const QString &interfacePath);

// The USB device above a device instance (the first ancestor on the USB bus
// that is not one of its interfaces, &MI_nn); "" when there is none (a
// device made by Wine or a virtual bus).
QString usbDeviceAbove(const Win32DeviceTree &tree, const QString &instance);

// The serial number in a USB device's instance (USB\VID_04B4&PID_210A\A0123);
// "" when Windows made the last part up because the device has no serial
// number (it then holds "&").
QString serialInUsbInstance(const QString &usbInstance);

// The Raw Input keyboards that are the reader at interfacePath: those of its
// device instance, or of a sibling collection (the same parent, itself one
// of the reader's own devices). Empty when Raw Input lists none of it.
std::vector<RawKeyboard> keyboardsOf(const Win32DeviceTree &tree, const QString &interfacePath);

} // namespace vortal9
