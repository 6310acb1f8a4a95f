// Hearing readers on Windows, behind the tables of calls: what Wine cannot
// show (Raw Input lists one keyboard for all of Wine's keyboards) is
// described here as Windows has it, a keyboard per reader. Raw Input's keys
// as a reader's presses, the reader's keyboards found in the device tree,
// captures refused while another program's window is in front, the reader
// doctor's view of USB readers, the device notifications, and vortal9-batch's
// Windows option.
#include "EmulatedPlatform.h"
#include "batch/BatchTool.h"
#include "device/Win32DeviceMonitor.h"
#include "device/Win32DeviceTree.h"
#include "device/Win32HidCalls.h"
#include "device/Win32HidPlatform.h"
#include "device/Win32RawInputCapture.h"
#include "device/Win32ReaderDoctor.h"

#include <QSignalSpy>
#include <QTextStream>

#include <dbt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <ostream>

using namespace vortal9;

namespace {

constexpr wchar_t KeyboardClass[] = L"{884b96c3-56ef-11d1-bc8c-00a0c91405dd}";
constexpr wchar_t HidClass[] = L"{4d1e55b2-f16f-11cf-88cb-001111000030}";

QString interfacePath(const QString &instance, const wchar_t *classGuid)
{
    QString path = instance;
    return QStringLiteral(R"(\\?\)") + path.replace(QLatin1Char('\\'), QLatin1Char('#')) + QLatin1Char('#')
        + QString::fromWCharArray(classGuid);
}

// A device tree as Windows builds it for USB readers: each reader a USB
// device with a serial number and a port; A's keyboard and feature report
// one collection, B's two collections of one interface; a keyboard of
// other ids; nothing for a reader that Raw Input does not list.
struct Tree
{
    std::map<QString, QString> parents;
    std::map<QString, QString> locations;
    std::vector<RawKeyboard> keyboards;

    Win32DeviceTree table() const
    {
        Win32DeviceTree t;
        t.instanceOf = [](const QString &path) { return instanceInInterfacePath(path); };
        t.parentOf = [this](const QString &instance) {
            const auto it = parents.find(instance.toUpper());
            return it == parents.end() ? QString() : it->second;
        };
        t.locationOf = [this](const QString &instance) {
            const auto it = locations.find(instance);
            return it == locations.end() ? QString() : it->second;
        };
        t.serialOf = [](const QString &) { return QStringLiteral("FROM-HID"); };
        t.rawKeyboards = [this] { return keyboards; };
        return t;
    }
};

const QString ReaderA = QStringLiteral(R"(HID\VID_04B4&PID_210A\7&1A2B&0&0000)");
const QString ReaderB = QStringLiteral(R"(HID\VID_04B4&PID_210A&MI_00&COL02\8&2B3C&0&0001)");
const QString ReaderBKeys = QStringLiteral(R"(HID\VID_04B4&PID_210A&MI_00&COL01\8&2B3C&0&0000)");
const QString OtherKeyboard = QStringLiteral(R"(HID\VID_046D&PID_C31C\7&99&0&0000)");

Tree usbReaders()
{
    Tree tree;
    tree.parents = {{ReaderA, QStringLiteral(R"(USB\VID_04B4&PID_210A\A0123)")},
                    {ReaderB, QStringLiteral(R"(USB\VID_04B4&PID_210A&MI_00\6&33&0&0000)")},
                    {ReaderBKeys, QStringLiteral(R"(USB\VID_04B4&PID_210A&MI_00\6&33&0&0000)")},
                    {QStringLiteral(R"(USB\VID_04B4&PID_210A&MI_00\6&33&0&0000)"),
                     QStringLiteral(R"(USB\VID_04B4&PID_210A\5&44&0&2)")},
                    {OtherKeyboard, QStringLiteral(R"(USB\VID_046D&PID_C31C\5&55&0&3)")}};
    tree.locations = {{QStringLiteral(R"(USB\VID_04B4&PID_210A\A0123)"), QStringLiteral("Port_#0002.Hub_#0001")},
                      {QStringLiteral(R"(USB\VID_04B4&PID_210A\5&44&0&2)"), QStringLiteral("Port_#0003.Hub_#0001")}};
    tree.keyboards = {{0x101, interfacePath(ReaderA, KeyboardClass)},
                      {0x102, interfacePath(ReaderBKeys, KeyboardClass)},
                      {0x103, interfacePath(OtherKeyboard, KeyboardClass)}};
    return tree;
}

std::vector<quintptr> handles(const std::vector<RawKeyboard> &keyboards)
{
    std::vector<quintptr> out;
    for (const RawKeyboard &k : keyboards)
        out.push_back(k.handle);
    return out;
}

} // namespace

TEST(Win32DeviceTree, ReadsInstancesFromInterfacePaths)
{
    EXPECT_EQ(instanceInInterfacePath(interfacePath(ReaderA, HidClass)), ReaderA);
    // SetupDi's paths are in small letters; the instance is Windows' own.
    EXPECT_EQ(instanceInInterfacePath(interfacePath(ReaderA, HidClass).toLower()), ReaderA);
    EXPECT_EQ(instanceInInterfacePath(QStringLiteral(R"(\??\HID#VID_04B4&PID_210A#7&1a2b&0&0000#{x})")), ReaderA);
    for (const char *notOne : {"", R"(HID#VID_04B4&PID_210A#7&1a2b&0&0000#{x})", R"(\\?\HID#VID_04B4#{x})",
                               R"(\\?\HID#VID_04B4&PID_210A#7&1a2b&0&0000)"})
        EXPECT_EQ(instanceInInterfacePath(QString::fromLatin1(notOne)), QString()) << notOne;
}

TEST(Win32DeviceTree, FindsEachReadersKeyboardsUsbDeviceAndSerial)
{
    const Tree tree = usbReaders();
    const Win32DeviceTree t = tree.table();
    EXPECT_EQ(handles(keyboardsOf(t, interfacePath(ReaderA, HidClass).toLower())), std::vector<quintptr>{0x101});
    // The feature report's collection finds its sibling keyboard collection.
    EXPECT_EQ(handles(keyboardsOf(t, interfacePath(ReaderB, HidClass))), std::vector<quintptr>{0x102});
    EXPECT_EQ(usbDeviceAbove(t, ReaderA), QStringLiteral(R"(USB\VID_04B4&PID_210A\A0123)"));
    EXPECT_EQ(usbDeviceAbove(t, ReaderB), QStringLiteral(R"(USB\VID_04B4&PID_210A\5&44&0&2)"));
    EXPECT_EQ(serialInUsbInstance(QStringLiteral(R"(USB\VID_04B4&PID_210A\A0123)")), QStringLiteral("A0123"));
    // Windows made the last part up: the device has no serial number.
    EXPECT_EQ(serialInUsbInstance(QStringLiteral(R"(USB\VID_04B4&PID_210A\5&44&0&2)")), QString());

    // A reader made by Wine (no USB above it), whose keyboard is listed, and
    // one that Raw Input does not list (Wine lists one keyboard for all).
    Tree wine;
    const QString first = QStringLiteral(R"(HID\VID_04B4&PID_210A\0&P1&0&0)");
    const QString second = QStringLiteral(R"(HID\VID_04B4&PID_210A\0&P2&0&1)");
    wine.parents = {{first, QStringLiteral(R"(WINEBUS\WINE_HIDRAW)")}, {second, QStringLiteral(R"(WINEBUS\WINE_HIDRAW)")}};
    wine.keyboards = {{2, interfacePath(first, KeyboardClass)}};
    const Win32DeviceTree w = wine.table();
    EXPECT_EQ(handles(keyboardsOf(w, interfacePath(first, HidClass))), std::vector<quintptr>{2});
    // The shared bus is not the reader's own: the other reader has none.
    EXPECT_TRUE(keyboardsOf(w, interfacePath(second, HidClass)).empty());
    EXPECT_EQ(usbDeviceAbove(w, first), QString());
}

// Raw Input's keys, in order, as the reader's presses: (make code, flags,
// virtual key) in, (code, shifted, text) out for each press.
struct KeysRow
{
    const char *name;
    std::vector<RawKey> in;
    CapturedKeys out;
};

void PrintTo(const KeysRow &row, std::ostream *os)
{
    *os << row.name;
}

class Win32Keys : public ::testing::TestWithParam<KeysRow>
{
};

constexpr USHORT Break = RI_KEY_BREAK, E0 = RI_KEY_E0;

TEST_P(Win32Keys, AreTheReadersPressesWithWhatTheyType)
{
    const Tree tree = usbReaders();
    Win32InputCalls calls;
    // The U.S. layout, whatever this machine's is.
    const HKL us = LoadKeyboardLayoutW(L"00000409", 0);
    calls.keyboardLayout = [us](DWORD) { return us; };
    Win32RawInputCapture platform(tree.table(), calls);
    Win32KeyCapture capture(platform, {});
    CapturedKeys got;
    for (const RawKey &key : GetParam().in) {
        if (auto pressed = capture.decode(key))
            got.push_back(*pressed);
    }
    ASSERT_EQ(got.size(), GetParam().out.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].code, GetParam().out[i].code) << i;
        EXPECT_EQ(got[i].shifted, GetParam().out[i].shifted) << i;
        EXPECT_EQ(got[i].text, GetParam().out[i].text) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    RawInput, Win32Keys,
    ::testing::Values(
        KeysRow{"digitAndLetter", {{0x02, 0, '1'}, {0x02, Break, '1'}, {0x1E, 0, 'A'}, {0x1E, Break, 'A'}},
                {{2, false, QStringLiteral("1")}, {30, false, QStringLiteral("a")}}},
        KeysRow{"shiftedCapital",
                {{0x2A, 0, VK_SHIFT}, {0x1E, 0, 'A'}, {0x1E, Break, 'A'}, {0x2A, Break, VK_SHIFT}, {0x1E, 0, 'A'}},
                {{42, false, QString()}, {30, true, QStringLiteral("A")}, {30, false, QStringLiteral("a")}}},
        // A key held long enough is repeated by the system: one press.
        KeysRow{"repeatIsOnePress", {{0x02, 0, '1'}, {0x02, 0, '1'}, {0x02, 0, '1'}, {0x02, Break, '1'}},
                {{2, false, QStringLiteral("1")}}},
        KeysRow{"returnTabBackspace",
                {{0x1C, 0, VK_RETURN}, {0x1C, Break, VK_RETURN}, {0x0F, 0, VK_TAB}, {0x0F, Break, VK_TAB},
                 {0x0E, 0, VK_BACK}},
                {{28, false, QStringLiteral("\n")}, {15, false, QStringLiteral("\t")}, {14, false, QStringLiteral("\b")}}},
        // The keypad's Enter and the arrows are extended keys; Windows puts a
        // fake Shift around them.
        KeysRow{"extendedKeys",
                {{0x2A, E0, VK_SHIFT}, {0x1C, E0, VK_RETURN}, {0x1C, E0 | Break, VK_RETURN}, {0x2A, E0 | Break, VK_SHIFT},
                 {0x48, E0, VK_UP}, {0x1D, E0, VK_CONTROL}},
                {{96, false, QStringLiteral("\n")}, {103, false, QString()}, {97, false, QString()}}},
        // The reader types "\r" as Ctrl+M.
        KeysRow{"controlM", {{0x1D, 0, VK_CONTROL}, {0x32, 0, 'M'}, {0x32, Break, 'M'}, {0x1D, Break, VK_CONTROL}},
                {{29, false, QString()}, {50, false, QStringLiteral("\r")}}},
        KeysRow{"functionKeyTypesNothing", {{0x44, 0, VK_F10}}, {{68, false, QString()}}}),
    [](const ::testing::TestParamInfo<KeysRow> &info) { return std::string(info.param.name); });

// Capture: refused without a keyboard of the reader's own and while another
// program's window is in front (unless allowed); heard through the window's
// WM_INPUT, device by device; lost when its keyboard goes.
class Win32Capture : public ::testing::Test
{
protected:
    Win32InputCalls calls()
    {
        Win32InputCalls c;
        c.registerRawInputDevices = [this](PCRAWINPUTDEVICE device, UINT count, UINT) {
            registrations.push_back({device->dwFlags, device->hwndTarget, count});
            return TRUE;
        };
        c.getRawInputData = [this](HRAWINPUT input, UINT command, LPVOID data, PUINT size, UINT) -> UINT {
            EXPECT_EQ(command, UINT(RID_INPUT));
            const RAWINPUT &raw = queued.at(reinterpret_cast<quintptr>(input));
            std::memcpy(data, &raw, std::min<std::size_t>(*size, sizeof raw));
            return sizeof raw;
        };
        c.foregroundWindow = [this] { return front; };
        c.consoleWindow = [this] { return console; };
        const HKL us = LoadKeyboardLayoutW(L"00000409", 0);
        c.keyboardLayout = [us](DWORD) { return us; };
        return c;
    }
    // Sends WM_INPUT as Windows does, for a key of device.
    void key(Win32RawInputCapture &platform, quintptr device, USHORT makeCode, USHORT vkey, USHORT flags = 0)
    {
        RAWINPUT raw = {};
        raw.header.dwType = RIM_TYPEKEYBOARD;
        raw.header.hDevice = reinterpret_cast<HANDLE>(device);
        raw.data.keyboard.MakeCode = makeCode;
        raw.data.keyboard.Flags = flags;
        raw.data.keyboard.VKey = vkey;
        const quintptr token = ++tokens;
        queued[token] = raw;
        SendMessageW(platform.window(), WM_INPUT, RIM_INPUTSINK, LPARAM(token));
    }

    struct Registration
    {
        DWORD flags;
        HWND target;
        UINT count;
    };
    std::vector<Registration> registrations;
    std::map<quintptr, RAWINPUT> queued;
    quintptr tokens = 0;
    HWND front = nullptr;
    HWND console = nullptr;
    const Tree tree = usbReaders();
};

TEST_F(Win32Capture, HearsEachReaderFromItsOwnKeyboardAndLetsItGo)
{
    Win32RawInputCapture platform(tree.table(), calls());
    ASSERT_NE(platform.window(), nullptr);
    QStringList notices;
    platform.setNotice([&](const QString &line) { notices << line; });
    CaptureAttempt a = platform.capture(interfacePath(ReaderA, HidClass).toLower().toStdString());
    CaptureAttempt b = platform.capture(interfacePath(ReaderB, HidClass).toLower().toStdString());
    ASSERT_TRUE(a.capture && b.capture) << a.refusal.toStdString() << b.refusal.toStdString();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].flags, DWORD(RIDEV_INPUTSINK | RIDEV_DEVNOTIFY));
    EXPECT_EQ(registrations[0].target, platform.window());
    EXPECT_EQ(notices.size(), 1);
    QString heardA, heardB;
    QObject::connect(a.capture.get(), &KeyCapture::pressed, a.capture.get(), [&](const CapturedKeys &keys) {
        for (const CapturedKey &k : keys)
            heardA += k.text;
    });
    QObject::connect(b.capture.get(), &KeyCapture::pressed, b.capture.get(), [&](const CapturedKeys &keys) {
        for (const CapturedKey &k : keys)
            heardB += k.text;
    });
    key(platform, 0x101, 0x02, '1');
    key(platform, 0x103, 0x03, '2'); // another keyboard: nobody's
    key(platform, 0x102, 0x04, '3');
    key(platform, 0x101, 0x02, '1', Break);
    key(platform, 0x101, 0x05, '4');
    EXPECT_EQ(heardA, "14");
    EXPECT_EQ(heardB, "3");
    // The same reader again, while it is heard: in use.
    const CaptureAttempt again = platform.capture(interfacePath(ReaderA, HidClass).toStdString());
    EXPECT_FALSE(again.capture);
    EXPECT_TRUE(again.inUse);

    QSignalSpy lostB(b.capture.get(), &KeyCapture::lost);
    SendMessageW(platform.window(), WM_INPUT_DEVICE_CHANGE, GIDC_REMOVAL, LPARAM(0x102));
    EXPECT_EQ(lostB.count(), 1);
    key(platform, 0x102, 0x04, '3', Break);
    key(platform, 0x102, 0x06, '5');
    EXPECT_EQ(heardB, "3");
    a.capture.reset();
    // The last one gone, the keyboards are no longer heard at all.
    ASSERT_EQ(registrations.size(), 2u);
    EXPECT_EQ(registrations[1].flags, DWORD(RIDEV_REMOVE));
}

struct FrontRow
{
    const char *name;
    enum Front { Nothing, OwnConsole, OtherProgram } front;
    bool allowed;
    bool captured;
};

void PrintTo(const FrontRow &row, std::ostream *os)
{
    *os << row.name;
}

class Win32CaptureFront : public Win32Capture, public ::testing::WithParamInterface<FrontRow>
{
};

TEST_P(Win32CaptureFront, IsRefusedWhileAnotherProgramsWindowIsInFront)
{
    // The desktop's window stands for a window of another program.
    const HWND other = GetDesktopWindow();
    front = GetParam().front == FrontRow::Nothing ? nullptr : other;
    console = GetParam().front == FrontRow::OwnConsole ? other : nullptr;
    Win32RawInputCapture platform(tree.table(), calls());
    platform.allowForegroundWindow(GetParam().allowed);
    QStringList notices;
    platform.setNotice([&](const QString &line) { notices << line; });
    const CaptureAttempt attempt = platform.capture(interfacePath(ReaderA, HidClass).toStdString());
    EXPECT_EQ(attempt.capture != nullptr, GetParam().captured);
    EXPECT_FALSE(attempt.inUse);
    if (!GetParam().captured) {
        EXPECT_TRUE(attempt.refusal.contains("the window in front")) << attempt.refusal.toStdString();
        EXPECT_TRUE(attempt.refusal.contains("--allow-foreground-window")) << attempt.refusal.toStdString();
        EXPECT_TRUE(registrations.empty());
        EXPECT_TRUE(notices.isEmpty());
    } else {
        ASSERT_EQ(notices.size(), 1);
        EXPECT_EQ(notices[0].contains("window in front (allowed)"), GetParam().front == FrontRow::OtherProgram);
    }
}

INSTANTIATE_TEST_SUITE_P(Front, Win32CaptureFront,
                         ::testing::Values(FrontRow{"noWindow", FrontRow::Nothing, false, true},
                                           FrontRow{"ownConsole", FrontRow::OwnConsole, false, true},
                                           FrontRow{"anotherProgram", FrontRow::OtherProgram, false, false},
                                           FrontRow{"anotherProgramAllowed", FrontRow::OtherProgram, true, true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Win32Capture, IsRefusedForAReaderWithoutAKeyboardOfItsOwn)
{
    Tree wine = tree;
    wine.keyboards.clear();
    Win32RawInputCapture platform(wine.table(), calls());
    const CaptureAttempt attempt = platform.capture(interfacePath(ReaderA, HidClass).toStdString());
    EXPECT_FALSE(attempt.capture);
    EXPECT_FALSE(attempt.inUse);
    EXPECT_TRUE(attempt.refusal.contains("Raw Input lists no keyboard of its own")) << attempt.refusal.toStdString();
}

// The doctor on the system's HID interfaces (Wine's), each made a reader by
// the table, in the tree of USB readers: the first is reader A, the second
// a reader that Raw Input does not list.
TEST(Win32Doctor, TellsEachReadersPortSerialAndWhetherItIsHeard)
{
    Win32HidCalls calls;
    std::vector<std::wstring> paths;
    calls.getAttributes = [](HANDLE, PHIDD_ATTRIBUTES attributes) {
        attributes->VendorID = 0x04B4;
        attributes->ProductID = 0x210A;
        return BOOLEAN(TRUE);
    };
    calls.getCaps = [f = calls.getCaps](PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
        const NTSTATUS status = f(data, caps);
        caps->FeatureReportByteLength = 9;
        return status;
    };
    Win32HidPlatform platform(calls);
    const HidDeviceSet set = platform.createDeviceSet();
    std::vector<QString> listed;
    for (int i = 0; platform.enumInterface(set, i); ++i)
        listed.push_back(QString::fromStdString(platform.interfacePath(set, i).value_or(std::string())));
    platform.destroyDeviceSet(set);
    ASSERT_GE(listed.size(), 2u) << "Wine lists two HID devices of its own";

    Tree tree = usbReaders();
    Win32DeviceTree table = tree.table();
    table.instanceOf = [&](const QString &path) { return path == listed[0] ? ReaderA : instanceInInterfacePath(path); };
    const std::vector<ReaderDiagnosis> readers = diagnoseWin32Readers(platform, table);
    ASSERT_EQ(readers.size(), listed.size());
    const ReaderDiagnosis &a = readers[0];
    EXPECT_EQ(a.hidraw, listed[0]);
    EXPECT_EQ(a.hidDevice, ReaderA);
    EXPECT_EQ(a.usbLocation, "Port_#0002.Hub_#0001");
    EXPECT_EQ(a.serial, "A0123");
    EXPECT_TRUE(a.usable());
    EXPECT_TRUE(a.capturable());
    EXPECT_TRUE(a.problems().isEmpty());
    const ReaderDiagnosis &other = readers[1];
    EXPECT_EQ(other.usbLocation, QString());
    EXPECT_EQ(other.serial, "FROM-HID"); // no USB device above it: the HID interface's own
    EXPECT_TRUE(other.usable());
    EXPECT_FALSE(other.capturable());
    EXPECT_FALSE(everyReaderReady(readers));
    const QStringList fixes = fixesFor({other});
    ASSERT_EQ(fixes.size(), 1);
    EXPECT_TRUE(fixes[0].startsWith(listed[1] + " has no keyboard of its own in Raw Input")) << fixes[0].toStdString();
    EXPECT_EQ(blockedSummary(readers), QString()); // both open: the window can count them
}

// Plugging: Windows names an interface in letters of its own; the monitor
// announces readers by the platform's spelling, removals of any interface.
TEST(Win32Monitor, AnnouncesReadersAsThePlatformListsThem)
{
    emu::EmulatedPlatform platform;
    const std::string reader = R"(\\?\hid#vid_04b4&pid_210a#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";
    emu::EmulatedDevice device;
    device.path = reader;
    platform.addDevice(device);
    Win32DeviceMonitor monitor(platform);
    ASSERT_TRUE(monitor.isWatching());
    QSignalSpy added(&monitor, &DeviceMonitor::readerAdded);
    QSignalSpy removed(&monitor, &DeviceMonitor::readerRemoved);
    auto announce = [&](WPARAM change, const QString &name) {
        std::vector<char> bytes(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + sizeof(wchar_t) * (name.size() + 1), 0);
        auto *dbi = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(bytes.data());
        dbi->dbcc_size = DWORD(bytes.size());
        dbi->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        name.toWCharArray(dbi->dbcc_name);
        SendMessageW(HWND(monitor.window()), WM_DEVICECHANGE, change, LPARAM(dbi));
    };
    announce(DBT_DEVICEARRIVAL, QString::fromStdString(reader).toUpper());
    announce(DBT_DEVICEARRIVAL, QStringLiteral(R"(\\?\HID#VID_046D&PID_C31C#7&99&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})"));
    ASSERT_EQ(added.count(), 1);
    EXPECT_EQ(added[0][0].toString().toStdString(), reader);
    announce(DBT_DEVICEREMOVECOMPLETE, QString::fromStdString(reader).toUpper());
    ASSERT_EQ(removed.count(), 1);
    EXPECT_EQ(removed[0][0].toString().toStdString(), reader);
}

// vortal9-batch's Windows option: listed by --help, handed to the capture;
// unknown where capture holds the keys alone.
TEST(Win32Batch, TakesTheForegroundOptionOnlyWhereTypingLandsInFront)
{
    emu::EmulatedPlatform platform;
    QString out, err;
    QTextStream outStream(&out), errStream(&err);
    batch::Environment env;
    env.platform = &platform;
    env.out = &outStream;
    env.err = &errStream;
    std::vector<bool> told;
    env.allowForegroundWindow = [&](bool allow) { told.push_back(allow); };
    EXPECT_EQ(batch::run({QStringLiteral("--help")}, env), batch::Success);
    EXPECT_TRUE(out.contains("--allow-foreground-window")) << out.toStdString();
    // A script that is not there ends the command before any reader is
    // looked at; the option was handed over first.
    const QString missing = QStringLiteral("no-such-script.txt");
    EXPECT_EQ(batch::run({QStringLiteral("apply"), missing, QStringLiteral("--allow-foreground-window")}, env),
              batch::ScriptRefused);
    EXPECT_EQ(batch::run({QStringLiteral("apply"), missing}, env), batch::ScriptRefused);
    EXPECT_EQ(told, (std::vector<bool>{true, false}));
    env.allowForegroundWindow = {};
    EXPECT_EQ(batch::run({QStringLiteral("apply"), missing, QStringLiteral("--allow-foreground-window")}, env),
              batch::UsageError);
}
