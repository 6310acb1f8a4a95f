// The real hidapi backend against the stand-in library and a scratch sysfs:
// what it lists, opens and closes, the identifiers, feature report length
// and manufacturer string it reads from sysfs for an open handle, and the
// bytes it sends.
#include "FakeInputTree.h"
#include "HidapiStandIn.h"
#include "device/HidapiPlatform.h"
#include "session/ReaderOpener.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <memory>
#include <ostream>

namespace vortal9 {

void PrintTo(const HidAttributes &a, std::ostream *os)
{
    *os << '{' << a.vendorId << ", " << a.productId << ", " << a.versionNumber << '}';
}

bool operator==(const HidAttributes &a, const HidAttributes &b)
{
    return a.vendorId == b.vendorId && a.productId == b.productId && a.versionNumber == b.versionNumber;
}

} // namespace vortal9

namespace {

using namespace vortal9;
namespace standin = vortal9::test::hidapi;

// The reader's configuration interface: a keyboard with an 8-byte feature report.
const QByteArray ReaderDescriptor = QByteArray::fromHex("05010906a1017508950881009508b102c0");
const QByteArray KeyboardDescriptor = QByteArray::fromHex("05010906a101750895088100c0");

template <typename Row>
std::string rowName(const testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

class HidapiPlatformTest : public testing::Test
{
protected:
    void SetUp() override
    {
        standin::reset();
        ASSERT_TRUE(root.isValid());
        platform = std::make_unique<HidapiPlatform>(sys.toStdString(), dev.toStdString());
    }

    void TearDown() override
    {
        platform.reset();
        // Whatever a test did, every list is freed, every device closed once.
        const standin::Calls &calls = standin::standIn().calls;
        EXPECT_EQ(calls.freedEnumerations, calls.enumerations);
        EXPECT_EQ(calls.closedUnknown, 0);
        EXPECT_EQ(standin::openDevices(), 0u);
        standin::reset();
    }

    static standin::StandIn &library() { return standin::standIn(); }

    // A device in the scratch sysfs that the stand-in library opens.
    std::string attach(const test::FakeHidDevice &device)
    {
        EXPECT_TRUE(test::makeHidDevice(root.path(), device));
        const std::string path = (dev + QLatin1Char('/') + device.hidraw).toStdString();
        library().devices[path] = {};
        return path;
    }

    QTemporaryDir root;
    const QString sys = root.path() + QStringLiteral("/sys");
    const QString dev = root.path() + QStringLiteral("/dev");
    const std::string Reader = (dev + QStringLiteral("/hidraw3")).toStdString();
    const std::string Keyboard = (dev + QStringLiteral("/hidraw0")).toStdString();
    std::unique_ptr<HidapiPlatform> platform;
};

test::FakeHidDevice usbReader(const char *hidraw, const char *port, const char *instance)
{
    test::FakeHidDevice d;
    d.hidraw = QLatin1String(hidraw);
    d.usbDevice = QLatin1String(port);
    d.hidDevice = QStringLiteral("0003:04B4:210A.") + QLatin1String(instance);
    d.reportDescriptor = ReaderDescriptor;
    d.manufacturer = "VORTAL9\n";
    return d;
}

test::FakeHidDevice usbKeyboard(const char *hidraw, const char *port, const char *instance)
{
    test::FakeHidDevice d;
    d.hidraw = QLatin1String(hidraw);
    d.usbDevice = QLatin1String(port);
    d.hidDevice = QStringLiteral("0003:046D:C31C.") + QLatin1String(instance);
    d.reportDescriptor = KeyboardDescriptor;
    return d;
}

test::FakeHidDevice uhidReader(const char *hidraw, const char *instance)
{
    test::FakeHidDevice d = usbReader(hidraw, "1-1", instance);
    d.onUsb = false;
    return d;
}

TEST_F(HidapiPlatformTest, ListsEachHidrawNodeOnceInTheOrderOfItsSysfsFolder)
{
    // As udev lists them: by where the node's folder is, so a uhid device
    // (devices/virtual) after the USB ones, port 1-2 before 1-3, whatever
    // their numbers.
    attach(uhidReader("hidraw1", "0009"));
    attach(usbKeyboard("hidraw2", "1-3", "0002"));
    attach(usbReader("hidraw3", "1-2", "0003"));
    test::FakeHidDevice withoutNode = usbReader("", "1-4", "0004");
    attach(withoutNode);
    const HidDeviceSet set = platform->createDeviceSet();
    std::vector<std::string> paths;
    for (int i = 0; platform->enumInterface(set, i); ++i)
        paths.push_back(platform->interfacePath(set, i).value_or("<no path>"));
    EXPECT_EQ(paths, (std::vector<std::string>{Reader, (dev + "/hidraw2").toStdString(),
                                               (dev + "/hidraw1").toStdString()}));
    EXPECT_EQ(platform->interfacePath(set, 3), std::nullopt);
    EXPECT_FALSE(platform->enumInterface(set, -1));
    platform->destroyDeviceSet(set);
    EXPECT_FALSE(platform->enumInterface(set, 0));

    // No sysfs to read (nothing attached, or none mounted): still a set (0
    // would mean none), an empty one.
    HidapiPlatform nowhere(root.filePath(QStringLiteral("none")).toStdString(), dev.toStdString());
    const HidDeviceSet empty = nowhere.createDeviceSet();
    EXPECT_NE(empty, 0);
    EXPECT_FALSE(nowhere.enumInterface(empty, 0));
}

TEST_F(HidapiPlatformTest, OpenGivesADistinctHandleOnlyForAPathThatOpens)
{
    library().devices[Reader] = {};
    library().devices[Keyboard] = {.opens = false};

    EXPECT_EQ(platform->open("", AccessReadWrite), InvalidHandle);
    EXPECT_TRUE(library().calls.opened.empty()); // an empty path never reaches the library
    EXPECT_EQ(platform->open(Keyboard, AccessReadWrite), InvalidHandle);
    EXPECT_EQ(platform->open("/dev/hidraw9", AccessNone), InvalidHandle);

    // Opened whatever the access asked for, and a device of its own each time.
    const HidHandle first = platform->open(Reader, AccessReadWrite);
    const HidHandle second = platform->open(Reader, AccessNone);
    EXPECT_GE(std::min(first, second), 1);
    EXPECT_NE(first, second);
    EXPECT_EQ(standin::openDevices(), 2u);
}

TEST_F(HidapiPlatformTest, CloseAndDestructionReleaseEachDeviceOnce)
{
    library().devices[Reader] = {};
    library().devices[Keyboard] = {};
    const HidHandle reader = platform->open(Reader, AccessReadWrite);
    platform->open(Keyboard, AccessReadWrite);
    platform->close(reader);
    platform->close(reader);
    platform->close(InvalidHandle);
    EXPECT_EQ(library().calls.closed, 1);
    // A closed handle no longer reaches the device.
    EXPECT_FALSE(platform->setFeature(reader, {0x00, 0x1E}));
    EXPECT_EQ(platform->manufacturerString(reader), std::nullopt);
    EXPECT_TRUE(library().calls.sent.empty());

    platform.reset(); // closes the keyboard and shuts the library down
    EXPECT_EQ(standin::openDevices(), 0u);
    EXPECT_EQ(library().calls.init, 1);
    EXPECT_EQ(library().calls.exit, 1);
}

// What an open handle is told about its device: read from sysfs when it was
// opened, from what the node leads to then.
struct DescriptionRow
{
    std::string name;
    std::vector<test::FakeHidDevice> listed; // in sysfs when the set is made
    std::vector<test::FakeHidDevice> opened; // in sysfs (anew) when hidraw3 is opened
    const char *bcdDevice;                   // the USB device's release, when written
    HidAttributes attributes;
    int featureLength;
    std::optional<std::u16string> manufacturer;
};

class DescriptionTest : public HidapiPlatformTest, public testing::WithParamInterface<DescriptionRow>
{
};

TEST_P(DescriptionTest, ComesFromWhatTheNodeLeadsToWhenOpened)
{
    const DescriptionRow &row = GetParam();
    auto writeRelease = [&] {
        const QString usb = QFileInfo(sys + QStringLiteral("/class/hidraw/hidraw3/device/../..")).canonicalFilePath();
        return !row.bcdDevice || test::writeFile(usb + QStringLiteral("/bcdDevice"), row.bcdDevice);
    };
    for (const test::FakeHidDevice &d : row.listed)
        attach(d);
    ASSERT_TRUE(!row.opened.empty() || writeRelease());
    platform->destroyDeviceSet(platform->createDeviceSet());
    if (!row.opened.empty()) {
        ASSERT_TRUE(QDir(sys).removeRecursively() && QDir(dev).removeRecursively());
        for (const test::FakeHidDevice &d : row.opened)
            attach(d);
        ASSERT_TRUE(writeRelease());
    }
    library().devices[Reader] = {};
    const HidHandle handle = platform->open(Reader, AccessReadWrite);
    ASSERT_GE(handle, 1);
    EXPECT_EQ(platform->attributes(handle), row.attributes);
    EXPECT_EQ(platform->featureReportByteLength(handle), row.featureLength);
    EXPECT_EQ(platform->manufacturerString(handle), row.manufacturer);
    // Asked again, it gives the same (read once); an unknown handle nothing.
    EXPECT_EQ(platform->manufacturerString(handle), row.manufacturer);
    EXPECT_EQ(platform->attributes(handle + 1), HidAttributes{});
    EXPECT_EQ(platform->featureReportByteLength(handle + 1), 0);
    EXPECT_EQ(platform->manufacturerString(handle + 1), std::nullopt);
}

test::FakeHidDevice withManufacturer(test::FakeHidDevice d, const QByteArray &manufacturer)
{
    d.manufacturer = manufacturer;
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DescriptionTest,
    testing::Values(
        DescriptionRow{"AUsbReader", {usbReader("hidraw3", "1-2", "0003")}, {}, "0102\n",
                       {0x04b4, 0x210a, 0x0102}, 9, u"VORTAL9"},
        // A uhid device has no USB parent: no release, no manufacturer string.
        DescriptionRow{"AUhidReader", {uhidReader("hidraw3", "0003")}, {}, nullptr, {0x04b4, 0x210a, 0}, 9, u""},
        DescriptionRow{"NoManufacturerString", {withManufacturer(usbReader("hidraw3", "1-2", "0003"), {})}, {},
                       nullptr, {0x04b4, 0x210a, 0}, 9, u""},
        DescriptionRow{"BeyondAscii",
                       {withManufacturer(usbReader("hidraw3", "1-2", "0003"), "M\xC3\xBCller \xF0\x9F\x92\xB3\n")},
                       {}, nullptr, {0x04b4, 0x210a, 0}, 9, u"M\u00FCller \U0001F4B3"},
        // The reader was listed at hidraw3, then unplugged; a keyboard got the
        // node: what opens is the keyboard, without feature report.
        DescriptionRow{"TheNodeWasGivenToAnotherDevice", {usbReader("hidraw3", "1-2", "0003")},
                       {usbKeyboard("hidraw3", "1-3", "0004")}, nullptr, {0x046d, 0xc31c, 0}, 0, u""},
        // The stand-in opens the path, but sysfs does not know the node.
        DescriptionRow{"UnknownToSysfs", {usbReader("hidraw3", "1-2", "0003")}, {usbReader("hidraw5", "1-2", "0003")},
                       nullptr, {}, 0, std::nullopt}),
    rowName<DescriptionRow>);

TEST_F(HidapiPlatformTest, SendsExactlyTheReportBytes)
{
    library().devices[Reader] = {};
    library().devices[Keyboard] = {.refusesReports = true};
    const HidHandle reader = platform->open(Reader, AccessReadWrite);
    const HidHandle keyboard = platform->open(Keyboard, AccessReadWrite);

    const std::vector<std::uint8_t> report{0x00, 0x1E, 0xF0, 0x1E, 0x00, 0x00, 0x00, 0x00, 0xFF};
    EXPECT_TRUE(platform->setFeature(reader, report));
    EXPECT_FALSE(platform->setFeature(keyboard, {0x00, 0x12}));
    EXPECT_FALSE(platform->setFeature(reader, {})); // nothing to send: not passed on
    EXPECT_FALSE(platform->setFeature(keyboard + reader, {0x00, 0x12}));

    const auto &sent = library().calls.sent;
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].path, Reader);
    EXPECT_EQ(sent[0].bytes, report);
}

// Readers opened on the opener's threads, several at once: each is handed
// back on the event loop's thread, as it is ready; one whose asker has gone
// is closed again.
int threadsOfTheProcess()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    return -1;
}

TEST_F(HidapiPlatformTest, ReadersOpenedOnThreadsComeBackToTheEventLoop)
{
    int argc = 1;
    char name[] = "test_hidapi_platform";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    std::vector<std::string> readers;
    for (int i = 1; i <= 6; ++i) {
        const QByteArray node = "hidraw" + QByteArray::number(10 + i);
        const QByteArray port = "1-" + QByteArray::number(i);
        const QByteArray instance = "00" + QByteArray::number(10 + i);
        readers.push_back(attach(usbReader(node.constData(), port.constData(), instance.constData())));
    }
    const std::string keyboard = attach(usbKeyboard("hidraw2", "2-1", "0002"));

    const int threadsBefore = threadsOfTheProcess();
    auto opener = std::make_unique<ReaderOpener>(*platform, nullptr);
    ASSERT_TRUE(opener->opensOnThreads());
    std::map<std::string, ReaderSession::OpenResult::Status> handedBack;
    bool elsewhere = false;
    QObject asker;
    for (const std::string &path : readers) {
        opener->open(path, &asker, [&](ReaderSession::Prepared prepared) {
            elsewhere = elsewhere || QThread::currentThread() != app.thread();
            handedBack[prepared.path()] = prepared.status();
        });
    }
    opener->open(keyboard, &asker, [&](ReaderSession::Prepared prepared) { handedBack[prepared.path()] = prepared.status(); });
    {
        QObject gone;
        opener->open(readers.front(), &gone, [&](ReaderSession::Prepared) { handedBack["gone"] = {}; });
    }
    QDeadlineTimer deadline(10000);
    while (handedBack.size() < readers.size() + 1 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    // Its threads end a little after the last reader: a station waiting for
    // the next one holds no thread (nor its event dispatcher's file) for it.
    QDeadlineTimer idle(ReaderOpener::ExpiryMs + 8000);
    while (threadsOfTheProcess() > threadsBefore && !idle.hasExpired())
        QThread::msleep(100);
    EXPECT_EQ(threadsOfTheProcess(), threadsBefore);
    opener.reset(); // waits for the one nobody takes

    ASSERT_EQ(handedBack.size(), readers.size() + 1);
    for (const std::string &path : readers)
        EXPECT_EQ(handedBack[path], ReaderSession::OpenResult::Opened) << path;
    // Without a feature report it is closed again, whichever access was asked.
    EXPECT_EQ(handedBack[keyboard], ReaderSession::OpenResult::Failed);
    EXPECT_FALSE(elsewhere);
    // Each prepared reader was let go when its hand-over ended; the one whose
    // asker was gone too.
    EXPECT_EQ(standin::openDevices(), 0u);
    EXPECT_EQ(library().calls.opened.size(), readers.size() + 3);
}

} // namespace
