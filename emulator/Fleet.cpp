#include "Fleet.h"

#include "EmulatedPlatform.h"
#include "FakeInputTree.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>

#include <set>

namespace vortal9::emu {

namespace {

// The values the reader's menu cycles through, and what it accepts as text.
bool validSetting(const QString &key, const QString &value)
{
    static const QMap<QString, QStringList> choices {
        { QStringLiteral("terminator"), { "CR", "CRLF", "TAB", "NONE" } },
        { QStringLiteral("tracks"), { "123", "12", "23", "13", "1", "2", "3" } },
        { QStringLiteral("beep"), { "ON", "OFF" } },
    };
    if (key == QLatin1String("preamble") || key == QLatin1String("postamble"))
        return value.size() <= EmulatedReader::MaxTextLength;
    return choices.value(key).contains(value);
}

int nonNegative(const QJsonObject &o, const char *key, int fallback, bool *ok)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return fallback;
    const double d = v.toDouble(-1);
    if (!v.isDouble() || d < 0 || d > 24 * 3600 * 1000.0 || d != int(d))
        *ok = false;
    return int(d);
}

} // namespace

std::optional<Fleet> parseFleet(const QByteArray &json, QString *error, FleetPaths paths)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    auto fail = [&](const QString &why) {
        *error = why;
        return std::nullopt;
    };
    if (parseError.error != QJsonParseError::NoError)
        return fail(QStringLiteral("not JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    const QJsonValue list = doc.object().value(QLatin1String("readers"));
    if (!list.isArray())
        return fail(QStringLiteral("no \"readers\" list"));
    static const QRegularExpression hidrawPath(QStringLiteral("^/dev/(hidraw[0-9]{1,4})$"));
    static const QRegularExpression usbPort(QStringLiteral("^[0-9]{1,3}-[0-9]{1,3}(\\.[0-9]{1,3}){0,6}$"));
    Fleet fleet;
    std::set<QString> givenPaths, ports;
    for (const QJsonValue &entry : list.toArray()) {
        const QJsonObject o = entry.toObject();
        FleetReader r;
        const QString where = QStringLiteral("reader %1: ").arg(fleet.readers.size() + 1);
        if (paths == FleetPaths::Required) {
            r.path = o.value(QLatin1String("path")).toString();
            if (!hidrawPath.match(r.path).hasMatch())
                return fail(where + QStringLiteral("\"path\" must be /dev/hidrawN"));
            if (!givenPaths.insert(r.path).second)
                return fail(where + QStringLiteral("%1 is given twice").arg(r.path));
        }
        r.usb = o.value(QLatin1String("usb")).toString(QStringLiteral("1-%1").arg(fleet.readers.size() + 1));
        if (!usbPort.match(r.usb).hasMatch())
            return fail(where + QStringLiteral("\"usb\" must be a bus and port path such as 1-2.4"));
        if (!ports.insert(r.usb).second)
            return fail(where + QStringLiteral("USB port %1 is given twice").arg(r.usb));
        r.serial = o.value(QLatin1String("serial")).toString();
        r.manufacturer = o.value(QLatin1String("manufacturer")).toString(r.manufacturer);
        const QJsonObject settings = o.value(QLatin1String("settings")).toObject();
        for (auto it = settings.begin(); it != settings.end(); ++it) {
            if (!it.value().isString() || !validSetting(it.key(), it.value().toString()))
                return fail(where + QStringLiteral("setting \"%1\" cannot have that value").arg(it.key()));
            r.settings.insert(it.key(), it.value().toString());
        }
        bool ok = true;
        const QJsonObject typing = o.value(QLatin1String("typing")).toObject();
        r.answerDelayMs = nonNegative(typing, "answerDelayMs", r.answerDelayMs, &ok);
        r.charIntervalMs = nonNegative(typing, "charIntervalMs", r.charIntervalMs, &ok);
        r.lineGapMs = nonNegative(typing, "lineGapMs", r.lineGapMs, &ok);
        for (const QJsonValue &s : o.value(QLatin1String("swipes")).toArray()) {
            const QJsonObject so = s.toObject();
            FleetSwipe swipe;
            swipe.atMs = nonNegative(so, "atMs", 0, &ok);
            swipe.card.track1 = so.value(QLatin1String("track1")).toString(swipe.card.track1);
            swipe.card.track2 = so.value(QLatin1String("track2")).toString(swipe.card.track2);
            swipe.card.track3 = so.value(QLatin1String("track3")).toString(swipe.card.track3);
            swipe.typed = so.value(QLatin1String("typed")).toString();
            swipe.pace.charIntervalMs = so.contains(QLatin1String("charIntervalMs"))
                ? nonNegative(so, "charIntervalMs", 0, &ok)
                : -1;
            swipe.pace.pieces = std::max(1, nonNegative(so, "pieces", 1, &ok));
            swipe.pace.gapMs = nonNegative(so, "gapMs", 0, &ok);
            r.swipes.push_back(swipe);
        }
        if (!ok)
            return fail(where + QStringLiteral("times are whole milliseconds, at most one day"));
        fleet.readers.push_back(r);
    }
    return fleet;
}

void playSwipe(EmulatedReader &reader, const FleetSwipe &swipe)
{
    if (swipe.typed.isEmpty())
        reader.swipe(swipe.card, swipe.pace);
    else
        reader.typeSwipe(swipe.typed, swipe.pace);
}

bool installFleet(const Fleet &fleet, const QString &root, EmulatedPlatform &platform, QString *error)
{
    // The emulated monitor stands for a udev daemon: its control socket is there.
    if (!QDir().mkpath(root + QStringLiteral("/run/udev"))
        || !test::writeFile(root + QStringLiteral("/run/udev/control"), {})) {
        *error = QStringLiteral("cannot lay out the emulated devices below %1").arg(root);
        return false;
    }
    int instance = 0;
    for (const FleetReader &r : fleet.readers) {
        ++instance;
        const QString name = r.path.section(QLatin1Char('/'), -1);
        test::FakeHidDevice tree;
        tree.hidraw = name;
        tree.usbDevice = r.usb;
        tree.hidDevice = QStringLiteral("0003:04B4:210A.%1").arg(instance, 4, 16, QLatin1Char('0')).toUpper();
        tree.inputs = { { QStringLiteral("input%1").arg(instance), { QStringLiteral("event%1").arg(instance) } } };
        // One input report of 8 bytes and a feature report of 8 bytes.
        tree.reportDescriptor = QByteArray::fromHex("05010906a1017508950881009508b102c0");
        tree.serial = r.serial.toUtf8();
        tree.manufacturer = r.manufacturer.toUtf8();
        if (!test::makeHidDevice(root, tree)) {
            *error = QStringLiteral("cannot lay out the emulated devices below %1").arg(root);
            return false;
        }
        EmulatedReader *reader = platform.addReader(
            (root + QStringLiteral("/dev/") + name).toStdString(), r.manufacturer.toStdU16String());
        reader->setStoredSettings(r.settings);
        reader->setTimings(r.answerDelayMs, r.charIntervalMs, r.lineGapMs);
        for (const FleetSwipe &swipe : r.swipes)
            QTimer::singleShot(swipe.atMs, reader, [reader, swipe] { playSwipe(*reader, swipe); });
    }
    return true;
}

} // namespace vortal9::emu
