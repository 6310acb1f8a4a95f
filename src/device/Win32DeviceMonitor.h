// Readers plugged in and out, as Windows announces them: device interface
// notifications of the HID class (RegisterDeviceNotification) on a
// message-only window of the thread that creates the monitor, delivered by
// that thread's event loop (no polling).
//
// A reader is told by the vendor and product identifiers in its interface's
// path; it is announced with its path as the HID platform lists it (Windows
// itself may name it in other letter cases), and a removal is announced for
// any HID interface, as on Linux: whoever plays to it knows it.
#pragma once

#include "device/DeviceMonitor.h"

#include <QStringList>

namespace vortal9 {

class HidPlatform;

class Win32DeviceMonitor : public DeviceMonitor
{
    Q_OBJECT

public:
    explicit Win32DeviceMonitor(HidPlatform &platform, QObject *parent = nullptr);
    ~Win32DeviceMonitor() override;
    // False when Windows refused the notifications; nothing will be announced.
    bool isWatching() const { return m_notification != nullptr; }
    // The window the notifications come to (tests post WM_DEVICECHANGE to it).
    quintptr window() const { return m_window; }

    // Called by the window's procedure: DBT_DEVICEARRIVAL or
    // DBT_DEVICEREMOVECOMPLETE of the interface at path.
    void interfaceArrived(const QString &path);
    void interfaceRemoved(const QString &path);

private:
    // path as the platform lists it, or as given when it lists no such path.
    QString listedPath(const QString &path, bool lookAgain);

    HidPlatform &m_platform;
    quintptr m_window = 0;
    void *m_notification = nullptr;
    QStringList m_known; // paths listed by the platform, as it spells them
};

} // namespace vortal9
