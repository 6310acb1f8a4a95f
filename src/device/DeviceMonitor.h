// Readers as they are plugged in and out, as the system announces them.
#pragma once

#include <QObject>
#include <QString>

namespace vortal9 {

class DeviceMonitor : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~DeviceMonitor() override = default;

Q_SIGNALS:
    // A reader's HID device appeared, with the path its HidPlatform opens.
    void readerAdded(const QString &path);
    // ... went away.
    void readerRemoved(const QString &path);
};

} // namespace vortal9
