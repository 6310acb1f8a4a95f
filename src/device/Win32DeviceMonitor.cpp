#include "device/Win32DeviceMonitor.h"

#include "device/AccessUSBIO.h"
#include "device/HidPlatform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <dbt.h>
extern "C" {
#include <hidsdi.h>
}

namespace vortal9 {

namespace {

constexpr wchar_t WindowClass[] = L"Vortal9DeviceMonitor";

LRESULT CALLBACK monitorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *monitor = reinterpret_cast<Win32DeviceMonitor *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message != WM_DEVICECHANGE || !monitor || lParam == 0)
        return DefWindowProcW(window, message, wParam, lParam);
    const auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(lParam);
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return TRUE;
    const auto *device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(lParam);
    const QString path = QString::fromWCharArray(device->dbcc_name);
    if (wParam == DBT_DEVICEARRIVAL)
        monitor->interfaceArrived(path);
    else if (wParam == DBT_DEVICEREMOVECOMPLETE)
        monitor->interfaceRemoved(path);
    return TRUE;
}

// The reader's identifiers as they stand in an interface path
// (\\?\hid#vid_04b4&pid_210a#...), in any letter case.
bool namesReader(const QString &path)
{
    const QString ids = QStringLiteral("vid_%1&pid_%2")
                            .arg(ReaderVendorId, 4, 16, QLatin1Char('0'))
                            .arg(ReaderProductId, 4, 16, QLatin1Char('0'));
    return path.contains(ids, Qt::CaseInsensitive);
}

} // namespace

Win32DeviceMonitor::Win32DeviceMonitor(HidPlatform &platform, QObject *parent)
    : DeviceMonitor(parent)
    , m_platform(platform)
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = monitorProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = WindowClass;
    RegisterClassW(&windowClass); // a second monitor finds it registered
    const HWND window
        = CreateWindowExW(0, WindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (!window)
        return;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_window = reinterpret_cast<quintptr>(window);
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    m_notification = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    listedPath(QString(), true);
}

Win32DeviceMonitor::~Win32DeviceMonitor()
{
    if (m_notification)
        UnregisterDeviceNotification(m_notification);
    if (m_window)
        DestroyWindow(reinterpret_cast<HWND>(m_window));
}

void Win32DeviceMonitor::interfaceArrived(const QString &path)
{
    if (namesReader(path))
        Q_EMIT readerAdded(listedPath(path, true));
}

void Win32DeviceMonitor::interfaceRemoved(const QString &path)
{
    const QString listed = listedPath(path, false);
    m_known.removeAll(listed);
    Q_EMIT readerRemoved(listed);
}

QString Win32DeviceMonitor::listedPath(const QString &path, bool lookAgain)
{
    if (lookAgain) {
        const HidDeviceSet set = m_platform.createDeviceSet();
        for (int index = 0; m_platform.enumInterface(set, index); ++index) {
            const QString listed = QString::fromStdString(m_platform.interfacePath(set, index).value_or(std::string()));
            if (!listed.isEmpty() && !m_known.contains(listed))
                m_known << listed;
        }
        if (set != 0)
            m_platform.destroyDeviceSet(set);
    }
    for (const QString &known : m_known) {
        if (known.compare(path, Qt::CaseInsensitive) == 0)
            return known;
    }
    return path;
}

} // namespace vortal9
