#include "DeviceSet.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>

namespace vortal9::uhid {

namespace {

constexpr std::uint16_t KeyboardVendor = 0x04B4;
constexpr std::uint16_t KeyboardProduct = 0x0101;
constexpr int MaxDevices = 1024;
constexpr int MaxCharIntervalMs = 1000;

// A USB id as a number or as hexadecimal text ("04B4").
std::optional<std::uint16_t> usbId(const QJsonValue &v, std::uint16_t fallback)
{
    if (v.isUndefined())
        return fallback;
    bool ok = false;
    const uint id = v.isString() ? v.toString().toUInt(&ok, 16) : uint(v.toInt(-1));
    if (v.isDouble())
        ok = v.toDouble() >= 0 && v.toDouble() == double(id);
    if (!ok || id > 0xFFFF)
        return std::nullopt;
    return std::uint16_t(id);
}

QJsonObject settingsObject(const QMap<QString, QString> &settings)
{
    QJsonObject o;
    for (auto it = settings.begin(); it != settings.end(); ++it)
        o.insert(it.key(), it.value());
    return o;
}

} // namespace

bool parseOptions(const QStringList &args, Options *options, QString *error)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--keyboard")) {
            options->keyboard = true;
            continue;
        }
        QString *text = nullptr;
        if (a == QLatin1String("--fleet"))
            text = &options->fleetFile;
        else if (a == QLatin1String("--serial-prefix"))
            text = &options->serialPrefix;
        else if (a == QLatin1String("--log"))
            text = &options->logFile;
        else if (a == QLatin1String("--settings-out"))
            text = &options->settingsOut;
        else if (a == QLatin1String("--uhid"))
            text = &options->uhidPath;
        else if (a != QLatin1String("--readers") && a != QLatin1String("--char-interval-ms")) {
            *error = QStringLiteral("unknown option %1").arg(a);
            return false;
        }
        if (i + 1 >= args.size()) {
            *error = QStringLiteral("%1 needs a value").arg(a);
            return false;
        }
        const QString value = args.at(++i);
        if (text) {
            *text = value;
            continue;
        }
        bool ok = false;
        const int number = value.toInt(&ok);
        if (a == QLatin1String("--char-interval-ms")) {
            if (!ok || number < 0 || number > MaxCharIntervalMs) {
                *error = QStringLiteral("--char-interval-ms takes 0 to %1").arg(MaxCharIntervalMs);
                return false;
            }
            options->charIntervalMs = number;
            continue;
        }
        if (!ok || number < 0 || number > MaxDevices) {
            *error = QStringLiteral("--readers takes 0 to %1").arg(MaxDevices);
            return false;
        }
        options->readers = number;
    }
    return true;
}

std::optional<std::vector<DeviceConfig>> parseDeviceFleet(const QByteArray &json, QString *error)
{
    const std::optional<emu::Fleet> fleet = emu::parseFleet(json, error, emu::FleetPaths::Ignored);
    if (!fleet)
        return std::nullopt;
    // parseFleet accepted the document, so the list is there, entry for entry.
    const QJsonArray entries = QJsonDocument::fromJson(json).object().value(QLatin1String("readers")).toArray();
    std::vector<DeviceConfig> devices;
    for (std::size_t i = 0; i < fleet->readers.size(); ++i) {
        const QJsonObject o = entries.at(qsizetype(i)).toObject();
        const QString where = QStringLiteral("reader %1: ").arg(i + 1);
        DeviceConfig d;
        d.firmware = fleet->readers[i];
        d.serial = d.firmware.serial;
        d.reader = !o.value(QLatin1String("keyboard")).toBool(false);
        if (!d.reader) {
            d.name = QStringLiteral("Emulated Keyboard");
            d.vendor = KeyboardVendor;
            d.product = KeyboardProduct;
        }
        d.name = o.value(QLatin1String("name")).toString(d.name);
        const std::optional<std::uint16_t> vendor = usbId(o.value(QLatin1String("vendor")), d.vendor);
        const std::optional<std::uint16_t> product = usbId(o.value(QLatin1String("product")), d.product);
        if (!vendor || !product) {
            *error = where + QStringLiteral("\"vendor\" and \"product\" are 16-bit ids, such as \"04B4\"");
            return std::nullopt;
        }
        d.vendor = *vendor;
        d.product = *product;
        bool ok = true;
        auto count = [&](const char *key, int fallback, int lowest) {
            const QJsonValue v = o.value(QLatin1String(key));
            if (v.isUndefined())
                return fallback;
            const int k = v.toInt(lowest - 1);
            if (!v.isDouble() || k < lowest || double(k) != v.toDouble())
                ok = false;
            return k;
        };
        d.misbehaviour.noAnswerAt = count("noAnswerAt", 0, 1);
        d.misbehaviour.errorAt = count("errorAt", 0, 1);
        d.misbehaviour.unplugAt = count("unplugAt", 0, 1);
        d.misbehaviour.endlessTypingAt = count("endlessTypingAt", -1, 0);
        if (!ok) {
            *error = where + QStringLiteral("reports are counted from 1 (endlessTypingAt from 0)");
            return std::nullopt;
        }
        devices.push_back(d);
    }
    return devices;
}

std::optional<std::vector<DeviceConfig>> devicesFor(const Options &options, QString *error)
{
    std::vector<DeviceConfig> devices;
    if (!options.fleetFile.isEmpty()) {
        QFile file(options.fleetFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1: %2").arg(options.fleetFile, file.errorString());
            return std::nullopt;
        }
        QString why;
        std::optional<std::vector<DeviceConfig>> fleet = parseDeviceFleet(file.read(1 << 22), &why);
        if (!fleet) {
            *error = QStringLiteral("%1: %2").arg(options.fleetFile, why);
            return std::nullopt;
        }
        devices = std::move(*fleet);
    }
    for (int i = 1; i <= options.readers; ++i) {
        DeviceConfig d;
        d.serial = options.serialPrefix + QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
        d.firmware.serial = d.serial;
        if (options.charIntervalMs >= 0)
            d.firmware.charIntervalMs = options.charIntervalMs;
        devices.push_back(d);
    }
    if (options.keyboard) {
        DeviceConfig d;
        d.reader = false;
        d.name = QStringLiteral("Emulated Keyboard");
        d.vendor = KeyboardVendor;
        d.product = KeyboardProduct;
        devices.push_back(d);
    }
    if (devices.empty() || devices.size() > std::size_t(MaxDevices)) {
        *error = QStringLiteral("give 1 to %1 devices (--readers, --keyboard, --fleet)").arg(MaxDevices);
        return std::nullopt;
    }
    return devices;
}

DeviceSet::~DeviceSet()
{
    stopAll();
}

void DeviceSet::onItsThread(Served &served, const std::function<void()> &work)
{
    QMetaObject::invokeMethod(served.anchor, work, Qt::BlockingQueuedConnection);
}

void DeviceSet::stopAll()
{
    for (Served &served : m_devices) {
        // Destroyed where it lives: its UHID_DESTROY, its timers and notifier.
        onItsThread(served, [&served] {
            served.device.reset();
            delete served.anchor;
        });
        served.thread->quit();
        served.thread->wait();
    }
    m_devices.clear();
}

bool DeviceSet::start(const Options &options, QString *error)
{
    std::optional<std::vector<DeviceConfig>> configs = devicesFor(options, error);
    if (!configs || !m_log.open(options.logFile, error))
        return false;
    for (DeviceConfig &config : *configs) {
        const int fd = ::open(options.uhidPath.toLocal8Bit().constData(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            *error = QStringLiteral("cannot open %1: %2").arg(options.uhidPath, QString::fromLocal8Bit(std::strerror(errno)));
            stopAll();
            return false;
        }
        const QString serial = config.serial;
        Served served;
        served.thread = std::make_unique<QThread>();
        // A small stack: the default 8 MiB may be backed by a huge page,
        // which costs zeroing 2 MiB per device under emulation.
        served.thread->setStackSize(512 * 1024);
        served.anchor = new QObject;
        served.anchor->moveToThread(served.thread.get());
        served.thread->start();
        bool created = false;
        int createErrno = 0;
        onItsThread(served, [&] {
            served.device = std::make_unique<UhidDevice>(fd, std::move(config), &m_log);
            created = served.device->create();
            createErrno = errno;
        });
        m_devices.push_back(std::move(served));
        if (!created) {
            *error = QStringLiteral("the kernel refused device %1 (%2): %3")
                         .arg(m_devices.size())
                         .arg(serial, QString::fromLocal8Bit(std::strerror(createErrno)));
            stopAll();
            return false;
        }
    }
    return true;
}

bool DeviceSet::finish(const QString &path, QString *error)
{
    QJsonArray list;
    for (Served &served : m_devices) {
        onItsThread(served, [&list, &served] {
            const UhidDevice &device = *served.device;
            QJsonObject o{{QStringLiteral("serial"), device.config().serial},
                          {QStringLiteral("name"), device.config().name},
                          {QStringLiteral("reader"), device.config().reader},
                          {QStringLiteral("reports"), device.setReportCount()},
                          {QStringLiteral("unplugged"), !device.isCreated() || device.isGone()}};
            if (const emu::EmulatedReader *firmware = device.firmware()) {
                o.insert(QStringLiteral("working"), settingsObject(firmware->workingSettings()));
                o.insert(QStringLiteral("stored"), settingsObject(firmware->storedSettings()));
            }
            list.append(o);
        });
    }
    // The devices go before the file is written: a check that waits for the
    // file finds the nodes gone.
    stopAll();
    if (path.isEmpty())
        return true;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(QJsonObject{{QStringLiteral("devices"), list}}).toJson()) < 0 || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace vortal9::uhid
