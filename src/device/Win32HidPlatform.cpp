#include "device/Win32HidPlatform.h"

#include "device/Win32HidCalls.h"

#include <QString>

#include <array>
#include <cstddef>
#include <map>
#include <memory>

namespace vortal9 {

namespace {
// The manufacturer string is asked for with a buffer length of 100 bytes.
constexpr ULONG ManufacturerBytes = 100;

// How long a cancelled report may take to be over. Windows ends a cancelled
// request at once; Wine's HID bus does not cancel one, and ends it only with
// the kernel's own time-out (5 s) for the report.
constexpr DWORD CancelledWithinMs = 200;

// One request and what the system writes to until it is over: the record and
// the buffer, kept together on the heap.
struct FeatureRequest
{
    OVERLAPPED overlapped {};
    std::vector<std::uint8_t> buffer;
};

// Sends report on file and waits for the reader's answer, as HidD_SetFeature
// does (IOCTL_HID_SET_FEATURE with the report as its input); an asynchronous
// procedure call that comes meanwhile cancels it.
bool sendFeatureWaiting(const Win32HidCalls &calls, HANDLE file, const std::vector<std::uint8_t> &report)
{
    if (report.empty())
        return false;
    auto request = std::make_unique<FeatureRequest>();
    request->buffer = report;
    request->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE event = request->overlapped.hEvent;
    if (!event)
        return false;
    DWORD bytes = 0;
    BOOL done = calls.deviceIoControl(file, IOCTL_HID_SET_FEATURE, request->buffer.data(),
                                      static_cast<DWORD>(request->buffer.size()), nullptr, 0, &bytes,
                                      &request->overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObjectEx(event, INFINITE, TRUE) == WAIT_IO_COMPLETION) {
            // Given up on: this thread's requests on the file are this report.
            calls.cancelIo(file);
            if (WaitForSingleObject(event, CancelledWithinMs) != WAIT_OBJECT_0) {
                // Still under way: the system writes to the record and the
                // buffer when it ends, so they stay (the program is ending).
                request.release();
                return false;
            }
        }
        done = calls.getOverlappedResult(file, &request->overlapped, &bytes, FALSE);
    }
    CloseHandle(event);
    return done != FALSE;
}
} // namespace

struct Win32HidPlatform::State
{
    struct DeviceSet
    {
        HDEVINFO info;
        GUID hidGuid;
    };

    explicit State(const Win32HidCalls &c)
        : calls(c)
    {
    }

    HANDLE handleOf(HidHandle handle) const
    {
        const auto it = open.find(handle);
        return it == open.end() ? INVALID_HANDLE_VALUE : it->second;
    }

    // The interface with this member index, as SetupDiEnumDeviceInterfaces
    // describes it; nullptr when the set or the index is unknown.
    const DeviceSet *enumerate(HidDeviceSet set, int index, SP_DEVICE_INTERFACE_DATA &data)
    {
        const auto it = sets.find(set);
        if (it == sets.end() || index < 0)
            return nullptr;
        data = {};
        data.cbSize = sizeof(data);
        if (!calls.enumDeviceInterfaces(
                it->second.info, nullptr, &it->second.hidGuid, static_cast<DWORD>(index), &data))
            return nullptr;
        return &it->second;
    }

    Win32HidCalls calls;
    std::map<HidDeviceSet, DeviceSet> sets;
    std::map<HidHandle, HANDLE> open;
    HidDeviceSet nextSet = 1;
    HidHandle nextHandle = 1;
};

Win32HidPlatform::Win32HidPlatform()
    : Win32HidPlatform(Win32HidCalls())
{
}

Win32HidPlatform::Win32HidPlatform(const Win32HidCalls &calls)
    : m_state(std::make_unique<State>(calls))
{
}

Win32HidPlatform::~Win32HidPlatform()
{
    for (const auto &[handle, file] : m_state->open)
        m_state->calls.closeHandle(file);
    for (const auto &[set, entry] : m_state->sets)
        m_state->calls.destroyDeviceInfoList(entry.info);
}

HidDeviceSet Win32HidPlatform::createDeviceSet()
{
    State::DeviceSet entry {};
    m_state->calls.getHidGuid(&entry.hidGuid);
    entry.info = m_state->calls.getClassDevs(&entry.hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (entry.info == INVALID_HANDLE_VALUE || entry.info == nullptr)
        return 0;
    const HidDeviceSet set = m_state->nextSet++;
    m_state->sets.emplace(set, entry);
    return set;
}

void Win32HidPlatform::destroyDeviceSet(HidDeviceSet set)
{
    const auto it = m_state->sets.find(set);
    if (it == m_state->sets.end())
        return;
    m_state->calls.destroyDeviceInfoList(it->second.info);
    m_state->sets.erase(it);
}

bool Win32HidPlatform::enumInterface(HidDeviceSet set, int index)
{
    SP_DEVICE_INTERFACE_DATA data;
    return m_state->enumerate(set, index, data) != nullptr;
}

std::optional<std::string> Win32HidPlatform::interfacePath(HidDeviceSet set, int index)
{
    SP_DEVICE_INTERFACE_DATA data;
    const State::DeviceSet *entry = m_state->enumerate(set, index, data);
    if (entry == nullptr)
        return std::nullopt;

    // The first call only tells the size of the detail record; it always
    // fails (no buffer), so its result is not looked at.
    DWORD needed = 0;
    m_state->calls.getDeviceInterfaceDetail(entry->info, &data, nullptr, 0, &needed, nullptr);
    if (needed < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(WCHAR))
        return std::nullopt;

    // DWORD-aligned, zeroed, and one character longer than asked for, so the
    // path ends in a zero even if the call leaves it unterminated.
    std::vector<DWORD> buffer((needed + sizeof(WCHAR) + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!m_state->calls.getDeviceInterfaceDetail(entry->info, &data, detail, needed, &needed, nullptr))
        return std::nullopt;
    return QString::fromWCharArray(detail->DevicePath).toStdString();
}

HidHandle Win32HidPlatform::open(const std::string &path, std::uint32_t desiredAccess)
{
    const std::wstring widePath = QString::fromStdString(path).toStdWString();
    HANDLE file = m_state->calls.createFile(widePath.c_str(), desiredAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE || file == nullptr)
        return InvalidHandle;
    const HidHandle handle = m_state->nextHandle++;
    m_state->open.emplace(handle, file);
    return handle;
}

void Win32HidPlatform::close(HidHandle handle)
{
    const auto it = m_state->open.find(handle);
    if (it == m_state->open.end())
        return;
    m_state->calls.closeHandle(it->second);
    m_state->open.erase(it);
}

HidAttributes Win32HidPlatform::attributes(HidHandle handle)
{
    const HANDLE file = m_state->handleOf(handle);
    HIDD_ATTRIBUTES attributes {};
    attributes.Size = sizeof(attributes);
    if (file == INVALID_HANDLE_VALUE || !m_state->calls.getAttributes(file, &attributes))
        return {};
    return { attributes.VendorID, attributes.ProductID, attributes.VersionNumber };
}

int Win32HidPlatform::featureReportByteLength(HidHandle handle)
{
    const HANDLE file = m_state->handleOf(handle);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (file == INVALID_HANDLE_VALUE || !m_state->calls.getPreparsedData(file, &preparsed) || preparsed == nullptr)
        return 0;
    HIDP_CAPS caps {};
    const NTSTATUS status = m_state->calls.getCaps(preparsed, &caps);
    m_state->calls.freePreparsedData(preparsed);
    return status == HIDP_STATUS_SUCCESS ? caps.FeatureReportByteLength : 0;
}

std::optional<std::u16string> Win32HidPlatform::manufacturerString(HidHandle handle)
{
    const HANDLE file = m_state->handleOf(handle);
    // One character more than the length passed, so that the text always
    // ends in a zero.
    std::array<WCHAR, ManufacturerBytes / sizeof(WCHAR) + 1> buffer {};
    if (file == INVALID_HANDLE_VALUE || !m_state->calls.getManufacturerString(file, buffer.data(), ManufacturerBytes))
        return std::nullopt;
    std::size_t length = ManufacturerBytes / sizeof(WCHAR);
    while (length > 0 && buffer[length - 1] == 0)
        --length;
    return std::u16string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

bool Win32HidPlatform::setFeature(HidHandle handle, const std::vector<std::uint8_t> &report)
{
    const HANDLE file = m_state->handleOf(handle);
    if (file == INVALID_HANDLE_VALUE || report.empty())
        return false;
    // The call takes a writable buffer; the report itself stays untouched.
    std::vector<std::uint8_t> buffer = report;
    return m_state->calls.setFeature(file, buffer.data(), static_cast<ULONG>(buffer.size())) != FALSE;
}

HidPlatform::FeatureSender Win32HidPlatform::featureSender(HidHandle handle)
{
    const HANDLE file = m_state->handleOf(handle);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    return [calls = m_state->calls, file](const std::vector<std::uint8_t> &report) {
        return sendFeatureWaiting(calls, file, report);
    };
}

} // namespace vortal9
