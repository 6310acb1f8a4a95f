// The real HID stack behind HidPlatform, through hidapi's hidraw backend
// (never the libusb one: that detaches the kernel driver, and the reader
// then no longer types its answers).
//
// A device set is a snapshot of the present hidraw nodes; an open handle is a
// small number standing for one hid_device. On Linux what the program asks
// about a device (its identifiers, the feature report length, the
// manufacturer) comes from sysfs, read directly and once per open handle
// (SysfsHidraw.h): hidapi's own answers go through libudev, some thirty
// look-ups per device and question, which is most of the cost of finding and
// opening many readers. hidapi opens, closes and sends the reports.
//
// Any thread may open, ask and close: many readers are opened side by side.
#pragma once

#include "device/HidPlatform.h"
#include "device/SysfsHidraw.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct hid_device_; // hidapi's device type; hidapi.h stays out of this header

namespace vortal9 {

class HidapiPlatform : public HidPlatform
{
public:
    // sysRoot and devRoot stand for /sys and /dev (Linux).
    explicit HidapiPlatform(std::string sysRoot = "/sys", std::string devRoot = "/dev");
    ~HidapiPlatform() override;

    HidapiPlatform(const HidapiPlatform &) = delete;
    HidapiPlatform &operator=(const HidapiPlatform &) = delete;

    HidDeviceSet createDeviceSet() override;
    void destroyDeviceSet(HidDeviceSet set) override;
    bool enumInterface(HidDeviceSet set, int index) override;
    std::optional<std::string> interfacePath(HidDeviceSet set, int index) override;

    // hidraw nodes are always opened for reading and writing: the access
    // that callers ask for (AccessReadWrite or AccessNone) is not used, and
    // a node that the user may not write cannot be opened at all.
    HidHandle open(const std::string &path, std::uint32_t desiredAccess) override;
    void close(HidHandle handle) override;

    HidAttributes attributes(HidHandle handle) override;
    int featureReportByteLength(HidHandle handle) override;
    std::optional<std::u16string> manufacturerString(HidHandle handle) override;
    bool setFeature(HidHandle handle, const std::vector<std::uint8_t> &report) override;
    FeatureSender featureSender(HidHandle handle) override;
    bool callableFromAnyThread() const override { return true; }

private:
    struct Interface
    {
        std::string path;
        HidAttributes attributes;
    };
    struct OpenDevice
    {
        hid_device_ *device = nullptr;
        std::string path;
        HidAttributes attributes; // what the device behind the node says it is
        int featureLength = 0;
#if defined(__linux__)
        sysfs::HidrawDevice described; // read when it was opened
        std::optional<std::u16string> manufacturer; // read when first asked
#endif
    };

    const Interface *findInterface(HidDeviceSet set, int index) const;
    hid_device_ *deviceOf(HidHandle handle) const;

    const std::string m_sysRoot;
    const std::string m_devRoot;
    // Guards the maps and counters below; hidapi's own calls are made
    // outside it, each on its own device.
    mutable std::mutex m_lock;
    std::map<HidDeviceSet, std::vector<Interface>> m_sets;
#if defined(__linux__)
    // What the newest listing found at each node: an open that finds the
    // same device there takes it as it is.
    std::map<std::string, sysfs::HidrawDevice> m_listed;
#endif
    std::map<HidHandle, OpenDevice> m_open;
    HidDeviceSet m_nextSet = 1;
    HidHandle m_nextHandle = 1;
};

// Converts the wide characters that hidapi returns to UTF-16: code points
// above U+FFFF become surrogate pairs, and values that are no code point
// (or lone surrogates) become U+FFFD. Where wchar_t is already 16 bits wide
// the text is taken as it is.
inline std::u16string utf16FromWide(std::wstring_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (const wchar_t wc : text)
    {
        if constexpr (sizeof(wchar_t) == 2)
        {
            out.push_back(static_cast<char16_t>(wc));
        }
        else
        {
            // wchar_t holds a whole code point here; the check mistakes it for a char.
            const auto cp = static_cast<std::uint32_t>(wc); // NOLINT(bugprone-signed-char-misuse)
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            {
                out.push_back(u'\uFFFD');
            }
            else if (cp > 0xFFFF)
            {
                const std::uint32_t v = cp - 0x10000;
                out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
            }
            else
            {
                out.push_back(static_cast<char16_t>(cp));
            }
        }
    }
    return out;
}

} // namespace vortal9
