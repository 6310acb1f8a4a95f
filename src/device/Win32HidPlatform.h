// The real HID stack behind HidPlatform on Windows: the HID class
// (hid.dll), device set-up (setupapi.dll) and kernel32, called directly.
//
// A device set is the present interfaces of the HID class as
// SetupDiGetClassDevs returns them; an interface index is the member index
// of SetupDiEnumDeviceInterfaces. Every top-level collection of a HID
// interface is its own device path on Windows, with its own feature report
// length. An open handle is a small number standing for one file handle
// from CreateFile. Device paths travel as UTF-8.
#pragma once

#include "device/HidPlatform.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vortal9 {

struct Win32HidCalls;

class Win32HidPlatform : public HidPlatform
{
public:
    // The real Windows functions.
    Win32HidPlatform();
    // The given table of functions instead (tests).
    explicit Win32HidPlatform(const Win32HidCalls &calls);
    ~Win32HidPlatform() override;

    Win32HidPlatform(const Win32HidPlatform &) = delete;
    Win32HidPlatform &operator=(const Win32HidPlatform &) = delete;

    // 0 when SetupDiGetClassDevs gives no set: there is then nothing to
    // enumerate and nothing to release.
    HidDeviceSet createDeviceSet() override;
    void destroyDeviceSet(HidDeviceSet set) override;
    bool enumInterface(HidDeviceSet set, int index) override;
    std::optional<std::string> interfacePath(HidDeviceSet set, int index) override;

    // CreateFile with the access asked for, shared for reading and writing,
    // overlapped.
    HidHandle open(const std::string &path, std::uint32_t desiredAccess) override;
    void close(HidHandle handle) override;

    HidAttributes attributes(HidHandle handle) override;
    int featureReportByteLength(HidHandle handle) override;
    // What HidD_GetManufacturerString leaves in a 100-byte buffer: up to 50
    // characters, zero characters at the end dropped, any inside kept.
    std::optional<std::u16string> manufacturerString(HidHandle handle) override;
    bool setFeature(HidHandle handle, const std::vector<std::uint8_t> &report) override;
    // The same report through an overlapped IOCTL_HID_SET_FEATURE whose wait
    // for the reader's answer is alertable: an asynchronous procedure call
    // queued to the waiting thread (CommandChannel's giveUp) cancels the
    // report, which then counts as refused; one the system does not end
    // within 200 ms of its cancel is left to it.
    FeatureSender featureSender(HidHandle handle) override;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace vortal9
