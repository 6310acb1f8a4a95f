// The devices one vortal9-uhid-reader process serves: what the command line
// and the fleet file ask for, their start and their orderly end.
//
// Each device is served on a thread of its own, with an event loop of its
// own: its firmware types and answers at its own pace, as a reader on its
// own USB port does, instead of waiting its turn behind the other devices'
// keys on one event loop.
#pragma once

#include "UhidDevice.h"

#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vortal9::uhid {

struct Options
{
    QString fleetFile;
    int readers = 0;
    QString serialPrefix = QStringLiteral("VT9-UHID-");
    int charIntervalMs = -1; // for the --readers readers; -1: the firmware's own
    bool keyboard = false;
    QString logFile;
    QString settingsOut;
    QString uhidPath = QStringLiteral("/dev/uhid");
};

// false, and why in *error, on an unknown option or a missing value.
bool parseOptions(const QStringList &args, Options *options, QString *error);

// The devices a fleet file describes (see --help), or nullopt and why.
std::optional<std::vector<DeviceConfig>> parseDeviceFleet(const QByteArray &json, QString *error);

// The devices the options ask for, in order: the fleet's, the readers, the keyboard.
std::optional<std::vector<DeviceConfig>> devicesFor(const Options &options, QString *error);

class DeviceSet
{
public:
    // Opens the uhid node once per device and creates each; false and why
    // when one cannot be made (those made so far are destroyed).
    bool start(const Options &options, QString *error);
    // Takes every reader's settings, destroys every device, then writes the
    // settings to path (none when empty).
    bool finish(const QString &path, QString *error);
    std::size_t size() const { return m_devices.size(); }

    DeviceSet() = default;
    DeviceSet(const DeviceSet &) = delete;
    DeviceSet &operator=(const DeviceSet &) = delete;
    ~DeviceSet();

private:
    // One device and the thread it is served on; the device is made, asked
    // and destroyed on that thread (through its anchor, which lives there).
    struct Served
    {
        std::unique_ptr<QThread> thread;
        QObject *anchor = nullptr;
        std::unique_ptr<UhidDevice> device;
    };
    // Runs work on the device's thread and waits for it.
    static void onItsThread(Served &served, const std::function<void()> &work);
    void stopAll();

    EventLog m_log;
    std::vector<Served> m_devices;
};

} // namespace vortal9::uhid
