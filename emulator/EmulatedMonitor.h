// Plugging emulated readers in and out, announced as a device monitor does.
#pragma once

#include "EmulatedPlatform.h"
#include "device/DeviceMonitor.h"

namespace vortal9::emu {

class EmulatedMonitor : public DeviceMonitor
{
    Q_OBJECT

public:
    explicit EmulatedMonitor(EmulatedPlatform &platform, QObject *parent = nullptr)
        : DeviceMonitor(parent)
        , m_platform(platform)
    {
    }

    EmulatedReader *plug(const std::string &path)
    {
        EmulatedReader *reader = m_platform.addReader(path);
        Q_EMIT readerAdded(QString::fromStdString(path));
        return reader;
    }

    void unplug(const std::string &path)
    {
        m_platform.removeDevice(path);
        Q_EMIT readerRemoved(QString::fromStdString(path));
    }

private:
    EmulatedPlatform &m_platform;
};

} // namespace vortal9::emu
