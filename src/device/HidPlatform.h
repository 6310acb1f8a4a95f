// The operations that reader discovery and the command channel ask of the
// operating system's HID stack, and nothing more. The program talks to the
// real stack through HidapiPlatform; tests and the demo plug in the emulated
// platform from emulator/ behind the same interface.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vortal9 {

// A handle to an open HID interface. Open handles are at least 1; 0 means
// "none", and InvalidHandle is what a refused open leaves behind.
using HidHandle = std::int64_t;
inline constexpr HidHandle InvalidHandle = -1;

// A snapshot of the HID interfaces present when it was made. 0 means none.
using HidDeviceSet = std::int64_t;

// Desired access values that callers pass to open().
inline constexpr std::uint32_t AccessReadWrite = 0xC0000000u;
inline constexpr std::uint32_t AccessNone = 0u;

struct HidAttributes
{
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;
};

class HidPlatform
{
public:
    virtual ~HidPlatform() = default;

    // Takes a snapshot of the present HID interfaces. Never fails: an unusable
    // snapshot simply has no interfaces.
    virtual HidDeviceSet createDeviceSet() = 0;
    virtual void destroyDeviceSet(HidDeviceSet set) = 0;

    // True when the set has an interface with this 0-based index.
    virtual bool enumInterface(HidDeviceSet set, int index) = 0;
    // The device path of that interface; nullopt when the detail query fails.
    virtual std::optional<std::string> interfacePath(HidDeviceSet set, int index) = 0;

    // Opens a device path; returns a handle of at least 1, or InvalidHandle.
    virtual HidHandle open(const std::string &path, std::uint32_t desiredAccess) = 0;
    virtual void close(HidHandle handle) = 0;

    virtual HidAttributes attributes(HidHandle handle) = 0;
    // Length of the longest feature report in bytes, report ID byte included;
    // 0 when the device has no feature report.
    virtual int featureReportByteLength(HidHandle handle) = 0;
    // The manufacturer string as 16-bit characters; nullopt when the call fails.
    virtual std::optional<std::u16string> manufacturerString(HidHandle handle) = 0;
    // Sends report (byte 0 = report ID) as one feature report; true when accepted.
    virtual bool setFeature(HidHandle handle, const std::vector<std::uint8_t> &report) = 0;

    // setFeature for one open handle, callable on another thread while the
    // caller goes on with other handles: the system holds a feature report
    // until the device answers (milliseconds for each report on a real bus),
    // and many readers must not wait for each other. Valid until the handle
    // is closed, which the caller does only once no call is running. Empty
    // when every call must stay on the caller's thread.
    using FeatureSender = std::function<bool(const std::vector<std::uint8_t> &report)>;
    virtual FeatureSender featureSender(HidHandle /*handle*/) { return {}; }

    // True when every call may come from any thread, several at once:
    // readers are then opened side by side, off the event loop.
    virtual bool callableFromAnyThread() const { return false; }
};

} // namespace vortal9
