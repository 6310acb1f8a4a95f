#include "device/Win32DeviceTree.h"

#include "device/AccessUSBIO.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <array>

namespace vortal9 {

namespace {

// The reader's identifiers as they stand in a device instance or path.
bool namesReaderIds(const QString &text)
{
    const QString ids = QStringLiteral("VID_%1&PID_%2")
                            .arg(ReaderVendorId, 4, 16, QLatin1Char('0'))
                            .arg(ReaderProductId, 4, 16, QLatin1Char('0'));
    return text.contains(ids, Qt::CaseInsensitive);
}

QString systemInstanceOf(const QString &interfacePath)
{
    const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return instanceInInterfacePath(interfacePath);
    QString instance;
    const std::wstring path = interfacePath.toStdWString();
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    if (SetupDiOpenDeviceInterfaceW(set, path.c_str(), 0, &interfaceData)) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &needed, nullptr);
        std::vector<DWORD> buffer((needed + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        std::array<wchar_t, MAX_DEVICE_ID_LEN + 1> id {};
        if (needed >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
            && SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, needed, nullptr, &device)
            && SetupDiGetDeviceInstanceIdW(set, &device, id.data(), DWORD(id.size() - 1), nullptr))
            instance = QString::fromWCharArray(id.data());
    }
    SetupDiDestroyDeviceInfoList(set);
    // Without set-up's answer, the path's own words.
    return instance.isEmpty() ? instanceInInterfacePath(interfacePath) : instance;
}

DEVINST devInstOf(const QString &instance)
{
    std::wstring id = instance.toStdWString();
    DEVINST node = 0;
    return CM_Locate_DevNodeW(&node, id.data(), CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS ? node : 0;
}

QString systemParentOf(const QString &instance)
{
    DEVINST parent = 0;
    const DEVINST node = devInstOf(instance);
    std::array<wchar_t, MAX_DEVICE_ID_LEN + 1> id {};
    if (node == 0 || CM_Get_Parent(&parent, node, 0) != CR_SUCCESS
        || CM_Get_Device_IDW(parent, id.data(), ULONG(id.size() - 1), 0) != CR_SUCCESS)
        return {};
    return QString::fromWCharArray(id.data());
}

QString systemLocationOf(const QString &instance)
{
    const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    const std::wstring id = instance.toStdWString();
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    std::array<wchar_t, 256> text {};
    QString location;
    if (SetupDiOpenDeviceInfoW(set, id.c_str(), nullptr, 0, &device)
        && SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_LOCATION_INFORMATION, nullptr,
                                             reinterpret_cast<PBYTE>(text.data()),
                                             DWORD((text.size() - 1) * sizeof(wchar_t)), nullptr))
        location = QString::fromWCharArray(text.data());
    SetupDiDestroyDeviceInfoList(set);
    return location;
}

QString systemSerialOf(const QString &interfacePath)
{
    const std::wstring path = interfacePath.toStdWString();
    const HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    // 126 characters and a zero: what USB string descriptors hold at most.
    std::array<wchar_t, 128> text {};
    QString serial;
    if (HidD_GetSerialNumberString(file, text.data(), ULONG((text.size() - 1) * sizeof(wchar_t))))
        serial = QString::fromWCharArray(text.data());
    CloseHandle(file);
    return serial;
}

std::vector<RawKeyboard> systemRawKeyboards()
{
    UINT count = 0;
    if (GetRawInputDeviceList(nullptr, &count, sizeof(RAWINPUTDEVICELIST)) != 0 || count == 0)
        return {};
    std::vector<RAWINPUTDEVICELIST> list(count);
    const UINT listed = GetRawInputDeviceList(list.data(), &count, sizeof(RAWINPUTDEVICELIST));
    if (listed == UINT(-1))
        return {};
    list.resize(listed);
    std::vector<RawKeyboard> keyboards;
    for (const RAWINPUTDEVICELIST &device : list) {
        if (device.dwType != RIM_TYPEKEYBOARD)
            continue;
        UINT size = 0;
        GetRawInputDeviceInfoW(device.hDevice, RIDI_DEVICENAME, nullptr, &size);
        std::vector<wchar_t> name(size + 1, 0);
        if (size == 0 || GetRawInputDeviceInfoW(device.hDevice, RIDI_DEVICENAME, name.data(), &size) == UINT(-1))
            continue;
        keyboards.push_back({ reinterpret_cast<quintptr>(device.hDevice), QString::fromWCharArray(name.data()) });
    }
    return keyboards;
}

} // namespace

Win32DeviceTree Win32DeviceTree::system()
{
    Win32DeviceTree tree;
    tree.instanceOf = systemInstanceOf;
    tree.parentOf = systemParentOf;
    tree.locationOf = systemLocationOf;
    tree.serialOf = systemSerialOf;
    tree.rawKeyboards = systemRawKeyboards;
    return tree;
}

QString instanceInInterfacePath(const QString &interfacePath)
{
    // \\?\ (or \??\ from older Windows) before it, #{class} after it.
    QString path = interfacePath;
    if (!path.startsWith(QLatin1String(R"(\\?\)")) && !path.startsWith(QLatin1String(R"(\??\)")))
        return {};
    path = path.mid(4);
    const qsizetype classStart = path.lastIndexOf(QLatin1String("#{"));
    if (classStart <= 0 || !path.endsWith(QLatin1Char('}')))
        return {};
    path.truncate(classStart);
    if (path.count(QLatin1Char('#')) != 2)
        return {};
    return path.replace(QLatin1Char('#'), QLatin1Char('\\')).toUpper();
}

QString usbDeviceAbove(const Win32DeviceTree &tree, const QString &instance)
{
    QString node = instance;
    // A HID device sits a few levels below its USB device at most.
    for (int level = 0; level < 8 && !node.isEmpty(); ++level) {
        node = tree.parentOf(node);
        if (node.startsWith(QLatin1String("USB\\"), Qt::CaseInsensitive)
            && !node.contains(QLatin1String("&MI_"), Qt::CaseInsensitive))
            return node;
    }
    return {};
}

QString serialInUsbInstance(const QString &usbInstance)
{
    const QString last = usbInstance.section(QLatin1Char('\\'), 2);
    if (usbInstance.count(QLatin1Char('\\')) != 2 || last.isEmpty() || last.contains(QLatin1Char('&')))
        return {};
    return last;
}

std::vector<RawKeyboard> keyboardsOf(const Win32DeviceTree &tree, const QString &interfacePath)
{
    const QString instance = tree.instanceOf(interfacePath);
    if (instance.isEmpty())
        return {};
    // The parent counts only when it is the reader's own (a USB interface
    // or device with its ids), never a bus that holds other devices.
    QString parent = tree.parentOf(instance);
    if (!namesReaderIds(parent))
        parent.clear();
    std::vector<RawKeyboard> found;
    for (const RawKeyboard &keyboard : tree.rawKeyboards()) {
        const QString its = instanceInInterfacePath(keyboard.name);
        if (its.isEmpty())
            continue;
        if (its.compare(instance, Qt::CaseInsensitive) == 0
            || (!parent.isEmpty() && tree.parentOf(its).compare(parent, Qt::CaseInsensitive) == 0))
            found.push_back(keyboard);
    }
    return found;
}

} // namespace vortal9
