#include "device/HidapiPlatform.h"

#include "device/ReportDescriptor.h"

#include <hidapi.h>

#include <array>
#include <cstddef>
#include <set>
#include <span>

namespace vortal9 {

HidapiPlatform::HidapiPlatform()
{
    // Initialising up front rather than on the first enumeration; a failure
    // here shows up later as an empty device set and refused opens.
    hid_init();
}

HidapiPlatform::~HidapiPlatform()
{
    for (auto &[handle, open] : m_open)
    {
        hid_close(open.device);
    }
    m_open.clear();
    hid_exit();
}

HidDeviceSet HidapiPlatform::createDeviceSet()
{
    std::vector<Interface> interfaces;
    // hidraw lists a node once per top-level collection (a keyboard-wedge
    // device with a keyboard and a vendor collection shows up twice with one
    // path). One node is one device to open, so each path is kept once, in
    // the order of its first appearance.
    std::set<std::string> seen;
    hid_device_info *list = hid_enumerate(0, 0);
    for (const hid_device_info *info = list; info != nullptr; info = info->next)
    {
        if (info->path == nullptr || !seen.insert(info->path).second)
        {
            continue;
        }
        interfaces.push_back({info->path, {info->vendor_id, info->product_id, info->release_number}});
    }
    hid_free_enumeration(list);

    const HidDeviceSet set = m_nextSet++;
    m_sets.emplace(set, std::move(interfaces));
    return set;
}

void HidapiPlatform::destroyDeviceSet(HidDeviceSet set)
{
    m_sets.erase(set);
}

const HidapiPlatform::Interface *HidapiPlatform::findInterface(HidDeviceSet set, int index) const
{
    const auto it = m_sets.find(set);
    if (it == m_sets.end() || index < 0 || static_cast<std::size_t>(index) >= it->second.size())
    {
        return nullptr;
    }
    return &it->second[static_cast<std::size_t>(index)];
}

bool HidapiPlatform::enumInterface(HidDeviceSet set, int index)
{
    return findInterface(set, index) != nullptr;
}

std::optional<std::string> HidapiPlatform::interfacePath(HidDeviceSet set, int index)
{
    if (const Interface *iface = findInterface(set, index))
    {
        return iface->path;
    }
    return std::nullopt;
}

HidHandle HidapiPlatform::open(const std::string &path, std::uint32_t /*desiredAccess*/)
{
    if (path.empty())
    {
        return InvalidHandle;
    }
    hid_device *device = hid_open_path(path.c_str());
    if (device == nullptr)
    {
        return InvalidHandle;
    }

    OpenDevice open {device, path, {}};
    // The newest snapshot that lists the path knows its identifiers, should
    // the device itself not tell them.
    for (auto it = m_sets.rbegin(); it != m_sets.rend(); ++it)
    {
        bool found = false;
        for (const Interface &iface : it->second)
        {
            if (iface.path == path)
            {
                open.attributes = iface.attributes;
                found = true;
                break;
            }
        }
        if (found)
        {
            break;
        }
    }

    const HidHandle handle = m_nextHandle++;
    m_open.emplace(handle, std::move(open));
    return handle;
}

void HidapiPlatform::close(HidHandle handle)
{
    const auto it = m_open.find(handle);
    if (it == m_open.end())
    {
        return;
    }
    hid_close(it->second.device);
    m_open.erase(it);
}

hid_device *HidapiPlatform::deviceOf(HidHandle handle) const
{
    const auto it = m_open.find(handle);
    return it == m_open.end() ? nullptr : it->second.device;
}

HidAttributes HidapiPlatform::attributes(HidHandle handle)
{
    const auto it = m_open.find(handle);
    if (it == m_open.end())
    {
        return {};
    }
    if (const hid_device_info *info = hid_get_device_info(it->second.device))
    {
        return {info->vendor_id, info->product_id, info->release_number};
    }
    return it->second.attributes;
}

int HidapiPlatform::featureReportByteLength(HidHandle handle)
{
    const auto it = m_open.find(handle);
    if (it == m_open.end())
    {
        return 0;
    }
#if defined(__linux__)
    // hidapi 0.13 cannot hand out the report descriptor, but the kernel
    // publishes it next to the hidraw node.
    return featureLengthFromSysfs(it->second.path);
#elif HID_API_VERSION >= HID_API_MAKE_VERSION(0, 14, 0)
    std::array<unsigned char, HID_API_MAX_REPORT_DESCRIPTOR_SIZE> buffer {};
    const int size = hid_get_report_descriptor(it->second.device, buffer.data(), buffer.size());
    if (size <= 0)
    {
        return 0;
    }
    return vortal9::featureReportByteLength(
        std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(size)));
#else
    return 0;
#endif
}

std::optional<std::u16string> HidapiPlatform::manufacturerString(HidHandle handle)
{
    hid_device *device = deviceOf(handle);
    if (device == nullptr)
    {
        return std::nullopt;
    }
    std::array<wchar_t, 256> buffer {};
    if (hid_get_manufacturer_string(device, buffer.data(), buffer.size()) < 0)
    {
        return std::nullopt;
    }
    buffer.back() = L'\0';
    return utf16FromWide(buffer.data());
}

namespace
{
bool sendFeatureReport(hid_device *device, const std::vector<std::uint8_t> &report)
{
    return device != nullptr && !report.empty() && hid_send_feature_report(device, report.data(), report.size()) >= 0;
}
} // namespace

bool HidapiPlatform::setFeature(HidHandle handle, const std::vector<std::uint8_t> &report)
{
    return sendFeatureReport(deviceOf(handle), report);
}

HidPlatform::FeatureSender HidapiPlatform::featureSender(HidHandle handle)
{
    // The device is looked up here, on the caller's thread: the sender then
    // touches nothing but that device (hidraw: one ioctl on its descriptor).
    hid_device *device = deviceOf(handle);
    if (device == nullptr)
    {
        return {};
    }
    return [device](const std::vector<std::uint8_t> &report) { return sendFeatureReport(device, report); };
}

} // namespace vortal9
