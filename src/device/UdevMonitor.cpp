#include "device/UdevMonitor.h"

#include "device/AccessUSBIO.h"

#include <QSocketNotifier>

#include <libudev.h>

namespace vortal9 {

namespace {

// Whether a hidraw node belongs to a reader, by its HID device's HID_ID.
bool isReader(struct udev_device *hidraw)
{
    struct udev_device *hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
    const char *id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
    return id && isReaderHidId(QString::fromLatin1(id));
}

} // namespace

UdevMonitor::UdevMonitor(QObject *parent)
    : DeviceMonitor(parent)
{
    m_udev = udev_new();
    if (!m_udev)
        return;
    // "udev" events come after udev has applied its rules, so the node's
    // permissions are in place when a reader is announced.
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (!m_monitor || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", nullptr) < 0
        || udev_monitor_enable_receiving(m_monitor) < 0) {
        if (m_monitor)
            udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
        return;
    }
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UdevMonitor::readEvents);
}

UdevMonitor::~UdevMonitor()
{
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

void UdevMonitor::readEvents()
{
    while (struct udev_device *device = udev_monitor_receive_device(m_monitor)) {
        const QString action = QString::fromLatin1(udev_device_get_action(device));
        const char *node = udev_device_get_devnode(device);
        // A removed device's parent may be gone already: its removal is
        // announced for any hidraw node, and whoever plays to it knows it.
        if (node && action == QLatin1String("add") && isReader(device))
            Q_EMIT readerAdded(QString::fromLocal8Bit(node));
        else if (node && action == QLatin1String("remove"))
            Q_EMIT readerRemoved(QString::fromLocal8Bit(node));
        udev_device_unref(device);
    }
}

} // namespace vortal9
