// The Windows HID backend on the system's own HID stack. Under Wine that
// stack has Wine's virtual HID devices and no reader: discovery runs for real
// over them, and a missing path really fails to open. What the stack does not
// produce on demand (no device set, a failing detail query, a reader's
// identifiers and feature report) comes through the backend's table of calls,
// on top of the real functions.
#include "device/AccessUSBIO.h"
#include "device/Messages.h"
#include "device/Win32HidCalls.h"
#include "device/Win32HidPlatform.h"
#include "session/CommandChannel.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace vortal9 {
namespace {

class RecordingView : public DeviceView
{
public:
    void setReaderCountCaption(const QString &text) override { caption = text; }
    void clearReaderList() override { entries.clear(); }
    void addReaderEntry(const QString &entry) override { entries.append(entry); }
    void selectReaderEntry(int) override { }
    void setPanelText(int panel, const QString &text) override
    {
        if (panel == 6)
            errors.append(text);
    }

    QString caption;
    QStringList entries;
    QStringList errors;
};

// What passed through the table on its way to the real functions.
struct CallLog
{
    struct Open
    {
        DWORD access, share, disposition, flags;
    };
    GUID classGuid {};
    DWORD classFlags = 0;
    int setsMade = 0, setsDestroyed = 0, filesOpened = 0, filesClosed = 0, preparsedTaken = 0, preparsedFreed = 0;
    std::vector<Open> opens;
};

Win32HidCalls watched(CallLog &log, Win32HidCalls c)
{
    c.getClassDevs = [&log, f = c.getClassDevs](const GUID *guid, PCWSTR e, HWND w, DWORD flags) {
        log.classGuid = *guid;
        log.classFlags = flags;
        HDEVINFO set = f(guid, e, w, flags);
        log.setsMade += set != INVALID_HANDLE_VALUE;
        return set;
    };
    c.destroyDeviceInfoList = [&log, f = c.destroyDeviceInfoList](HDEVINFO set) {
        ++log.setsDestroyed;
        return f(set);
    };
    c.createFile
        = [&log, f = c.createFile](LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD fl, HANDLE t) {
              log.opens.push_back({ a, s, d, fl });
              HANDLE file = f(p, a, s, sa, d, fl, t);
              log.filesOpened += file != INVALID_HANDLE_VALUE;
              return file;
          };
    c.closeHandle = [&log, f = c.closeHandle](HANDLE file) {
        ++log.filesClosed;
        return f(file);
    };
    c.getPreparsedData = [&log, f = c.getPreparsedData](HANDLE file, PHIDP_PREPARSED_DATA *data) {
        const BOOLEAN ok = f(file, data);
        log.preparsedTaken += ok != FALSE;
        return ok;
    };
    c.freePreparsedData = [&log, f = c.freePreparsedData](PHIDP_PREPARSED_DATA data) {
        ++log.preparsedFreed;
        return f(data);
    };
    return c;
}

// Every HID interface of the system answers as a reader with a 9-byte
// feature report; the rest is real.
Win32HidCalls asReaders()
{
    Win32HidCalls c;
    c.getAttributes = [f = c.getAttributes](HANDLE file, PHIDD_ATTRIBUTES attributes) {
        f(file, attributes);
        attributes->VendorID = ReaderVendorId;
        attributes->ProductID = ReaderProductId;
        return BOOLEAN(TRUE);
    };
    c.getCaps = [f = c.getCaps](PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
        const NTSTATUS status = f(data, caps);
        caps->FeatureReportByteLength = 9;
        return status;
    };
    return c;
}

std::vector<std::string> systemInterfacePaths()
{
    Win32HidPlatform platform;
    const HidDeviceSet set = platform.createDeviceSet();
    std::vector<std::string> paths;
    for (int index = 0; platform.enumInterface(set, index); ++index)
        paths.push_back(platform.interfacePath(set, index).value_or(std::string()));
    platform.destroyDeviceSet(set);
    return paths;
}

std::vector<std::string> lines(const QStringList &list)
{
    std::vector<std::string> out;
    for (const QString &s : list)
        out.push_back(s.toStdString());
    return out;
}

TEST(Win32HidStack, EnumeratesOpensAndReleasesTheSystemsHidInterfaces)
{
    const std::vector<std::string> paths = systemInterfacePaths();
    ASSERT_FALSE(paths.empty()) << "the system (Wine) lists no HID interface";

    CallLog log;
    {
        Win32HidPlatform platform(watched(log, {}));
        const HidDeviceSet set = platform.createDeviceSet();
        ASSERT_NE(set, 0);
        const int count = static_cast<int>(paths.size());
        for (int index = 0; index < count; ++index) {
            const std::string path = platform.interfacePath(set, index).value_or(std::string());
            EXPECT_EQ(path, paths[index]);
            EXPECT_EQ(path.rfind(R"(\\?\)", 0), 0u) << path;
            const HidHandle handle = platform.open(path, AccessNone);
            ASSERT_GE(handle, 1) << path;
            EXPECT_NE(platform.attributes(handle).vendorId, 0) << path;
            platform.close(handle);
        }
        // No interface past the last, before the first, or in a set that is gone.
        EXPECT_FALSE(platform.enumInterface(set, count));
        EXPECT_EQ(platform.interfacePath(set, count), std::nullopt);
        EXPECT_FALSE(platform.enumInterface(set, -1));
        platform.destroyDeviceSet(set);
        EXPECT_FALSE(platform.enumInterface(set, 0));
        EXPECT_FALSE(platform.enumInterface(0, 0));
    }
    EXPECT_EQ(log.setsDestroyed, log.setsMade);
    EXPECT_EQ(log.filesClosed, log.filesOpened);
}

TEST(Win32HidStack, AMissingDeviceIsRefusedAndNothingUsesTheRefusedHandle)
{
    Win32HidPlatform platform;
    const std::string missing = R"(\\?\hid#vid_04b4&pid_210a#0&0000&0#{4d1e55b2-f16f-11cf-88cb-001111000030})";
    for (std::uint32_t access : { AccessReadWrite, AccessNone })
        EXPECT_EQ(platform.open(missing, access), InvalidHandle);
    EXPECT_EQ(platform.featureReportByteLength(InvalidHandle), 0);
    EXPECT_EQ(platform.manufacturerString(InvalidHandle), std::nullopt);
    EXPECT_FALSE(platform.setFeature(InvalidHandle, { 0, 1, 2 }));
}

// The readers that the real-kernel test's virtual machine makes with uhid
// (make windows-kernel-test), which Wine's HID bus shows on their hidraw
// nodes: VORTAL9_UHID_READERS lists their serials, and VORTAL9_UHID_SILENT
// the serial of one among them that never answers a report. Elsewhere the
// system (Wine's own devices) has no reader.
QStringList uhidReaders()
{
    return qEnvironmentVariable("VORTAL9_UHID_READERS").split(QLatin1Char(','), Qt::SkipEmptyParts);
}

QString serialOf(const std::string &path)
{
    const std::wstring wide = QString::fromStdString(path).toStdWString();
    const HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
    wchar_t serial[128] = {};
    QString text;
    if (file != INVALID_HANDLE_VALUE && HidD_GetSerialNumberString(file, serial, sizeof serial - sizeof(wchar_t)))
        text = QString::fromWCharArray(serial);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return text;
}

TEST(Win32HidStack, FindReadersCountsTheReadersAttached)
{
    const QStringList serials = uhidReaders();
    CallLog log;
    Win32HidPlatform platform(watched(log, {}));
    RecordingView view;
    AccessUSBIO usb(platform, view);
    EXPECT_EQ(usb.FindReaders(), !serials.isEmpty());
    EXPECT_EQ(view.caption, QStringLiteral("[ %1 ]").arg(serials.size()));
    EXPECT_EQ(view.entries.size(), serials.size());
    if (serials.isEmpty()) {
        ASSERT_FALSE(view.errors.isEmpty());
        EXPECT_EQ(view.errors.last(), text::CantFindReader);
    }
    QStringList found;
    for (const std::string &path : usb.DevicePaths)
        found << serialOf(path);
    found.sort();
    QStringList expected = serials;
    expected.sort();
    EXPECT_EQ(lines(found), lines(expected));
    usb.CloseReader();
    EXPECT_EQ(log.setsMade, 1);
    EXPECT_EQ(log.setsDestroyed, 1);
    EXPECT_EQ(log.filesClosed, log.filesOpened);
    EXPECT_EQ(log.preparsedFreed, log.preparsedTaken);
}

TEST(Win32HidStack, ADeviceWithoutFeatureReportIsOpenedRefusedAndClosed)
{
    // Wine's virtual mouse and keyboard have no feature report.
    std::string plainDevice;
    {
        Win32HidPlatform platform;
        for (const std::string &path : systemInterfacePaths()) {
            const HidHandle handle = platform.open(path, AccessNone);
            const bool plain = handle >= 1 && platform.featureReportByteLength(handle) == 0;
            if (plain) {
                EXPECT_FALSE(platform.setFeature(handle, std::vector<std::uint8_t>(9, 0)));
            }
            platform.close(handle);
            if (plain) {
                plainDevice = path;
                break;
            }
        }
    }
    if (plainDevice.empty())
        GTEST_SKIP() << "every HID interface here has a feature report";

    CallLog log;
    Win32HidPlatform platform(watched(log, {}));
    RecordingView view;
    AccessUSBIO usb(platform, view);
    EXPECT_EQ(usb.OpenReader(plainDevice, AccessNone), 0);
    EXPECT_EQ(lines(view.errors), lines({ text::LengthError }));
    EXPECT_EQ(usb.DeviceHandle, 0);
    EXPECT_EQ(log.filesOpened, 1);
    EXPECT_EQ(log.filesClosed, 1);
    EXPECT_EQ(log.preparsedFreed, log.preparsedTaken);
}

// One failure of discovery per row, on interfaces that would otherwise all
// be readers. n is the number of the system's HID interfaces.
struct DiscoveryRow
{
    const char *name;
    std::function<void(Win32HidCalls &)> fail;
    bool found;
    std::function<QStringList(int n)> errors;
};

void PrintTo(const DiscoveryRow &row, std::ostream *os)
{
    *os << row.name;
}

class Win32Discovery : public ::testing::TestWithParam<DiscoveryRow>
{
};

TEST_P(Win32Discovery, ReportsTheFailureAndReleasesWhatItTook)
{
    const DiscoveryRow &row = GetParam();
    const std::vector<std::string> paths = systemInterfacePaths();
    ASSERT_FALSE(paths.empty());
    const int n = static_cast<int>(paths.size());

    Win32HidCalls calls = asReaders();
    row.fail(calls);
    CallLog log;
    Win32HidPlatform platform(watched(log, calls));
    RecordingView view;
    AccessUSBIO usb(platform, view);

    EXPECT_EQ(usb.FindReaders(), row.found);
    EXPECT_EQ(lines(view.errors), lines(row.errors(n)));
    EXPECT_EQ(view.caption, QStringLiteral("[ %1 ]").arg(row.found ? n : 0));
    if (row.found) {
        EXPECT_EQ(usb.DevicePaths, paths);
    }
    usb.CloseReader();
    EXPECT_EQ(log.setsDestroyed, log.setsMade);
    EXPECT_EQ(log.filesClosed, log.filesOpened);
    EXPECT_EQ(log.preparsedFreed, log.preparsedTaken);
}

QStringList repeat(const QString &text, int times)
{
    QStringList out;
    for (int i = 0; i < times; ++i)
        out.append(text);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Failures, Win32Discovery,
    ::testing::Values(DiscoveryRow { "NoFailure", [](Win32HidCalls &) {}, true, [](int) { return QStringList(); } },
        DiscoveryRow { "NoDeviceSet",
            [](Win32HidCalls &c) {
                c.getClassDevs = [](const GUID *, PCWSTR, HWND, DWORD) { return HDEVINFO(INVALID_HANDLE_VALUE); };
            },
            false, [](int) { return QStringList { text::CantFindReader }; } },
        DiscoveryRow { "NoInterface",
            [](Win32HidCalls &c) {
                c.enumDeviceInterfaces
                    = [](HDEVINFO, PSP_DEVINFO_DATA, const GUID *, DWORD, PSP_DEVICE_INTERFACE_DATA) { return FALSE; };
            },
            false, [](int) { return QStringList { text::CantFindReader }; } },
        DiscoveryRow { "DetailQueryFails",
            [](Win32HidCalls &c) {
                c.getDeviceInterfaceDetail
                    = [f = c.getDeviceInterfaceDetail](HDEVINFO s, PSP_DEVICE_INTERFACE_DATA d,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD needed, PSP_DEVINFO_DATA info) {
                          // The size query still answers; the query for the path fails.
                          return detail == nullptr ? f(s, d, detail, size, needed, info) : FALSE;
                      };
            },
            false,
            [](int) {
                return QStringList { text::CantGetPath, text::CantFindReader };
            } },
        DiscoveryRow { "OpenRefused",
            [](Win32HidCalls &c) {
                c.createFile = [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
                    return INVALID_HANDLE_VALUE;
                };
            },
            false, [](int) { return QStringList { text::CantFindReader }; } },
        DiscoveryRow { "NoFeatureReport",
            [](Win32HidCalls &c) {
                c.getCaps = [f = c.getCaps](PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
                    const NTSTATUS status = f(data, caps);
                    caps->FeatureReportByteLength = 0;
                    return status;
                };
            },
            false, [](int n) { return repeat(text::LengthError, n) + QStringList { text::CantFindReader }; } },
        DiscoveryRow { "PreparsedDataRefused",
            [](Win32HidCalls &c) {
                c.getPreparsedData = [](HANDLE, PHIDP_PREPARSED_DATA *) { return BOOLEAN(FALSE); };
            },
            false, [](int n) { return repeat(text::LengthError, n) + QStringList { text::CantFindReader }; } },
        DiscoveryRow { "CapsRefused",
            [](Win32HidCalls &c) {
                // A length in the record does not count when the call fails.
                c.getCaps = [](PHIDP_PREPARSED_DATA, PHIDP_CAPS caps) {
                    caps->FeatureReportByteLength = 9;
                    return NTSTATUS(HIDP_STATUS_INVALID_PREPARSED_DATA);
                };
            },
            false, [](int n) { return repeat(text::LengthError, n) + QStringList { text::CantFindReader }; } }),
    [](const ::testing::TestParamInfo<DiscoveryRow> &info) { return std::string(info.param.name); });

TEST(Win32HidCallsOfAReader, CarryTheValuesTheReaderIsOpenedAndDrivenWith)
{
    Win32HidCalls calls = asReaders();
    std::vector<ULONG> manufacturerLengths;
    std::vector<std::vector<std::uint8_t>> sent;
    calls.getManufacturerString = [&manufacturerLengths](HANDLE, PVOID buffer, ULONG length) {
        manufacturerLengths.push_back(length);
        std::memcpy(buffer, L"VORTAL9", sizeof(L"VORTAL9"));
        return BOOLEAN(TRUE);
    };
    calls.setFeature = [&sent](HANDLE, PVOID buffer, ULONG length) {
        const auto *bytes = static_cast<const std::uint8_t *>(buffer);
        sent.emplace_back(bytes, bytes + length);
        return BOOLEAN(TRUE);
    };
    CallLog log;
    Win32HidPlatform platform(watched(log, calls));
    RecordingView view;
    AccessUSBIO usb(platform, view);

    ASSERT_TRUE(usb.FindReaders());
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    EXPECT_EQ(std::memcmp(&log.classGuid, &hidGuid, sizeof(GUID)), 0);
    EXPECT_EQ(log.classFlags, 0x12u); // DIGCF_PRESENT | DIGCF_DEVICEINTERFACE

    ASSERT_GE(usb.OpenReader(usb.DevicePaths[0], AccessReadWrite), 1);
    ASSERT_FALSE(log.opens.empty());
    for (std::size_t i = 0; i < log.opens.size(); ++i) {
        const CallLog::Open &open = log.opens[i];
        const bool last = i + 1 == log.opens.size();
        EXPECT_EQ(open.access, last ? 0xC0000000u : 0u) << i;
        EXPECT_EQ(open.share, DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE)) << i;
        EXPECT_EQ(open.disposition, DWORD(OPEN_EXISTING)) << i;
        EXPECT_EQ(open.flags, DWORD(FILE_FLAG_OVERLAPPED)) << i;
    }

    EXPECT_EQ(usb.ReadManufacturerString(), QStringLiteral("0VORTAL9"));
    EXPECT_EQ(manufacturerLengths, std::vector<ULONG> { 100 });

    CommandChannel channel(platform, 0);
    channel.attach(usb.DeviceHandle, usb.FeatureReportByteLength);
    ASSERT_TRUE(channel.sendNow(QStringLiteral("141109")));
    const std::vector<std::uint8_t> report { 0x00, 0x14, 0x11, 0x09, 0, 0, 0, 0, 0 };
    EXPECT_EQ(sent, std::vector<std::vector<std::uint8_t>> { report });
}

// Reports on the channel's report thread: the request HidD_SetFeature would
// make (IOCTL_HID_SET_FEATURE, the 9 bytes as its input), overlapped on the
// reader's handle, its answer waited for there; a report that a silent
// reader holds is cancelled when the program gives up on it (a call queued
// to the waiting thread) and counts as refused, also when the system does
// not end the cancelled request (Wine's HID bus waits for the kernel's 5 s).
enum class Answer { AtOnce, Later, Refused, Never, NeverAndCancelIgnored };

struct ReportThreadRow
{
    const char *name;
    Answer answer;
    bool giveUp;
    bool accepted;
};

void PrintTo(const ReportThreadRow &row, std::ostream *os)
{
    *os << row.name;
}

class Win32ReportThread : public ::testing::TestWithParam<ReportThreadRow>
{
protected:
    // The channel's answers come through an event loop.
    static QCoreApplication &application()
    {
        static int argc = 1;
        static char name[] = "test_win32_platform";
        static char *argv[] = { name, nullptr };
        static QCoreApplication app(argc, argv);
        return app;
    }

    // The fake's side of one request: answered from another thread, or
    // never, unless cancelled.
    struct Request
    {
        std::mutex mutex;
        LPOVERLAPPED overlapped = nullptr;
        HANDLE file = nullptr;
        DWORD code = 0;
        DWORD outLength = 0;
        std::vector<std::uint8_t> bytes;
        std::atomic<int> made { 0 }, cancels { 0 };
        bool cancelled = false;
    };

    ~Win32ReportThread() override
    {
        if (answering.joinable())
            answering.join();
    }

    Win32HidCalls calls(Answer answer)
    {
        Win32HidCalls c = asReaders();
        c.deviceIoControl = [this, answer](HANDLE file, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                DWORD outLength, LPDWORD, LPOVERLAPPED overlapped) -> BOOL {
            {
                const std::lock_guard lock(request.mutex);
                request.file = file;
                request.code = code;
                request.outLength = out ? outLength : 0;
                const auto *bytes = static_cast<const std::uint8_t *>(in);
                request.bytes.assign(bytes, bytes + inLength);
                request.overlapped = overlapped;
            }
            ++request.made;
            switch (answer) {
            case Answer::AtOnce: return TRUE;
            case Answer::Refused: SetLastError(ERROR_GEN_FAILURE); return FALSE;
            case Answer::Later:
                answering = std::thread([overlapped] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(80));
                    SetEvent(overlapped->hEvent);
                });
                break;
            case Answer::Never:
            case Answer::NeverAndCancelIgnored: break;
            }
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        };
        c.cancelIo = [this, answer](HANDLE file) -> BOOL {
            const std::lock_guard lock(request.mutex);
            EXPECT_EQ(file, request.file);
            ++request.cancels;
            if (answer == Answer::NeverAndCancelIgnored)
                return TRUE;
            request.cancelled = true;
            SetEvent(request.overlapped->hEvent);
            return TRUE;
        };
        c.getOverlappedResult = [this](HANDLE file, LPOVERLAPPED overlapped, LPDWORD, BOOL) -> BOOL {
            const std::lock_guard lock(request.mutex);
            EXPECT_EQ(file, request.file);
            EXPECT_EQ(overlapped, request.overlapped);
            if (!request.cancelled)
                return TRUE;
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        };
        // Only sendNow() goes through HidD_SetFeature itself.
        c.setFeature = [](HANDLE, PVOID, ULONG) {
            ADD_FAILURE() << "HidD_SetFeature on the report thread";
            return BOOLEAN(FALSE);
        };
        return c;
    }

    static void runEventsUntil(const std::function<bool()> &done, int ms = 3000)
    {
        QDeadlineTimer deadline(ms);
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    Request request;
    std::thread answering;
};

TEST_P(Win32ReportThread, SendsOverlappedAndWaitsForTheAnswerThere)
{
    application();
    const ReportThreadRow &row = GetParam();
    Win32HidPlatform platform(calls(row.answer));
    RecordingView view;
    AccessUSBIO usb(platform, view);
    ASSERT_TRUE(usb.FindReaders());
    ASSERT_GE(usb.OpenReader(usb.DevicePaths[0], AccessReadWrite), 1);
    CommandChannel channel(platform, 0);
    channel.attach(usb.DeviceHandle, usb.FeatureReportByteLength);
    std::vector<std::vector<std::uint8_t>> told;
    int refusals = 0;
    QObject::connect(&channel, &CommandChannel::reportSent, &channel, [&](const auto &payload) { told.push_back(payload); });
    QObject::connect(&channel, &CommandChannel::reportRefused, &channel, [&] { ++refusals; });
    std::optional<bool> done;
    channel.send(QStringLiteral("141109"), [&](bool sent) { done = sent; });

    if (row.giveUp) {
        runEventsUntil([&] { return request.made == 1; });
        ASSERT_EQ(request.made, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // well inside its wait
        const auto from = std::chrono::steady_clock::now();
        channel.giveUp();
        EXPECT_LT(std::chrono::steady_clock::now() - from, std::chrono::milliseconds(1000));
        EXPECT_EQ(request.cancels, 1);
    } else {
        runEventsUntil([&] { return done.has_value(); });
        EXPECT_EQ(done, row.accepted);
        EXPECT_EQ(request.cancels, 0);
    }
    EXPECT_EQ(request.made, 1);
    EXPECT_EQ(request.code, DWORD(IOCTL_HID_SET_FEATURE));
    EXPECT_EQ(request.outLength, 0u);
    EXPECT_EQ(request.bytes, (std::vector<std::uint8_t> { 0x00, 0x14, 0x11, 0x09, 0, 0, 0, 0, 0 }));
    using Payloads = std::vector<std::vector<std::uint8_t>>;
    EXPECT_EQ(told, (row.accepted ? Payloads { { 0x14, 0x11, 0x09 } } : Payloads {}));
    EXPECT_EQ(refusals, row.accepted || row.giveUp ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Reports, Win32ReportThread,
    ::testing::Values(ReportThreadRow { "AnsweredAtOnce", Answer::AtOnce, false, true },
        ReportThreadRow { "AnsweredLater", Answer::Later, false, true },
        ReportThreadRow { "Refused", Answer::Refused, false, false },
        ReportThreadRow { "SilentReaderGivenUp", Answer::Never, true, false },
        ReportThreadRow { "SilentReaderGivenUpThoughTheCancelIsIgnored", Answer::NeverAndCancelIgnored, true, false }),
    [](const ::testing::TestParamInfo<ReportThreadRow> &info) { return std::string(info.param.name); });

// The uhid readers of the virtual machine (see uhidReaders()), on Windows'
// own calls: the hot key's first report reaches every reader from its
// channel's report thread, all of them waiting for their answers at once;
// the silent reader's report is given up on when the program ends. (The
// readers' log shows the bytes; make windows-kernel-test checks them.)
class Win32Readers : public Win32ReportThread
{
protected:
    void SetUp() override
    {
        if (uhidReaders().isEmpty())
            GTEST_SKIP() << "no reader attached (make windows-kernel-test attaches uhid readers)";
        application();
    }

    // The attached readers' paths by serial.
    std::map<QString, std::string> readers()
    {
        Win32HidPlatform platform;
        RecordingView view;
        AccessUSBIO usb(platform, view);
        usb.FindReaders();
        std::map<QString, std::string> bySerial;
        for (const std::string &path : usb.DevicePaths)
            bySerial[serialOf(path)] = path;
        return bySerial;
    }
};

TEST_F(Win32Readers, EachReaderGetsItsReportFromItsOwnThread)
{
    const QString silent = qEnvironmentVariable("VORTAL9_UHID_SILENT");
    Win32HidPlatform platform;
    RecordingView view;
    AccessUSBIO usb(platform, view);
    std::vector<std::unique_ptr<CommandChannel>> channels;
    std::vector<HidHandle> handles;
    int answered = 0, accepted = 0;
    for (const auto &[serial, path] : readers()) {
        if (serial == silent)
            continue;
        const OpenedDevice opened = openHidDevice(platform, path, AccessReadWrite);
        ASSERT_GE(opened.handle, 1) << serial.toStdString();
        EXPECT_EQ(opened.featureLength, 9);
        handles.push_back(opened.handle);
        channels.push_back(std::make_unique<CommandChannel>(platform, 0));
        channels.back()->attach(opened.handle, opened.featureLength);
        channels.back()->send(QStringLiteral("141109"), [&](bool sent) { ++answered, accepted += sent; });
    }
    ASSERT_FALSE(channels.empty());
    runEventsUntil([&] { return answered == int(channels.size()); }, 20000);
    EXPECT_EQ(accepted, int(channels.size()));
    channels.clear();
    for (const HidHandle handle : handles)
        platform.close(handle);
}

TEST_F(Win32Readers, ASilentReadersReportIsGivenUpOnWhenTheProgramEnds)
{
    const QString silent = qEnvironmentVariable("VORTAL9_UHID_SILENT");
    const auto all = readers();
    const auto it = all.find(silent);
    ASSERT_NE(it, all.end()) << "no reader with the serial " << silent.toStdString();
    Win32HidPlatform platform;
    const OpenedDevice opened = openHidDevice(platform, it->second, AccessReadWrite);
    ASSERT_GE(opened.handle, 1);
    CommandChannel channel(platform, 0);
    channel.attach(opened.handle, opened.featureLength);
    int goingOut = 0, told = 0;
    QObject::connect(&channel, &CommandChannel::reportGoingOut, &channel, [&] { ++goingOut; });
    QObject::connect(&channel, &CommandChannel::reportSent, &channel, [&] { ++told; });
    channel.send(QStringLiteral("141109"));
    runEventsUntil([&] { return goingOut == 1; });
    ASSERT_EQ(goingOut, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the reader holds it
    const auto from = std::chrono::steady_clock::now();
    channel.giveUp();
    // Windows cancels the report. Wine sends it inside DeviceIoControl
    // itself, overlapped or not, and neither a queued call nor
    // CancelSynchronousIo ends that: there the kernel's time-out (5 s)
    // ends it, and it still counts as refused.
    const auto took = std::chrono::steady_clock::now() - from;
    EXPECT_LT(took, std::chrono::milliseconds(6000));
    EXPECT_EQ(told, 0);
    std::printf("given up %lld ms after giveUp()\n",
                (long long)std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
    platform.close(opened.handle);
}

// What HidD_GetManufacturerString leaves in the buffer, and what the program
// makes of it.
struct ManufacturerRow
{
    const char *name;
    std::u16string written; // into the 100-byte buffer; empty with ok false = the call fails
    bool ok;
    const char *shown;
};

void PrintTo(const ManufacturerRow &row, std::ostream *os)
{
    *os << row.name;
}

class Win32Manufacturer : public ::testing::TestWithParam<ManufacturerRow>
{
};

TEST_P(Win32Manufacturer, IsReadFromAHundredByteBuffer)
{
    const ManufacturerRow &row = GetParam();
    Win32HidCalls calls = asReaders();
    calls.getManufacturerString = [&row](HANDLE, PVOID buffer, ULONG length) {
        std::memcpy(buffer, row.written.data(), std::min<std::size_t>(length, row.written.size() * 2));
        return BOOLEAN(row.ok);
    };
    Win32HidPlatform platform(calls);
    RecordingView view;
    AccessUSBIO usb(platform, view);
    ASSERT_TRUE(usb.FindReaders());
    ASSERT_GE(usb.OpenReader(usb.DevicePaths[0], AccessReadWrite), 1);
    EXPECT_EQ(usb.ReadManufacturerString().toStdString(), row.shown);
}

INSTANTIATE_TEST_SUITE_P(Strings, Win32Manufacturer,
    ::testing::Values(ManufacturerRow { "Short", u"ABCD", true, "0000ABCD" },
        ManufacturerRow { "ZeroInside", std::u16string(u"AB\0CD", 5), true, "0000ABCD" },
        // 50 characters fill the buffer with no zero after them.
        ManufacturerRow { "FillsTheBuffer", std::u16string(42, u'x') + u"12345678", true, "12345678" },
        ManufacturerRow { "CallFails", u"", false, "" }),
    [](const ::testing::TestParamInfo<ManufacturerRow> &info) { return std::string(info.param.name); });

} // namespace
} // namespace vortal9
