// The real HID stack behind HidPlatform, through hidapi's hidraw backend
// (never the libusb one: that detaches the kernel driver, and the reader
// then no longer types its answers).
//
// A device set is a snapshot of hid_enumerate(); an open handle is a small
// number standing for one hid_device. The feature report length comes from
// the report descriptor, which on Linux the kernel publishes in sysfs.
#pragma once

#include "device/HidPlatform.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct hid_device_; // hidapi's device type; hidapi.h stays out of this header

namespace vortal9 {

class HidapiPlatform : public HidPlatform
{
public:
    HidapiPlatform();
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
        HidAttributes attributes; // from enumeration, when the path was listed
    };

    const Interface *findInterface(HidDeviceSet set, int index) const;
    hid_device_ *deviceOf(HidHandle handle) const;

    std::map<HidDeviceSet, std::vector<Interface>> m_sets;
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
