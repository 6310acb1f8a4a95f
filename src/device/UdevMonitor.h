// Readers plugged in and out, as udev announces them (Linux): a udev monitor
// on the hidraw subsystem, read when its socket has something (no polling).
#pragma once

#include "device/DeviceMonitor.h"

struct udev;
struct udev_monitor;
class QSocketNotifier;

namespace vortal9 {

class UdevMonitor : public DeviceMonitor
{
    Q_OBJECT

public:
    explicit UdevMonitor(QObject *parent = nullptr);
    ~UdevMonitor() override;
    // False when udev could not be reached; nothing will be announced.
    bool isWatching() const { return m_monitor != nullptr; }

private:
    void readEvents();

    struct udev *m_udev = nullptr;
    struct udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace vortal9
