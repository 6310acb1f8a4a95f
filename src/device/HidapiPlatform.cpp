#include "device/HidapiPlatform.h"

#include "device/ReportDescriptor.h"

#include <hidapi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <set>
#include <span>

namespace vortal9 {

namespace
{
// hidapi keeps its last error in one global string, which hid_open_path()
// sets and frees: two opens at once must not touch it together.
std::mutex &hidapiOpenLock()
{
    static std::mutex lock;
    return lock;
}
} // namespace

HidapiPlatform::HidapiPlatform(std::string sysRoot, std::string devRoot)
    : m_sysRoot(std::move(sysRoot))
    , m_devRoot(std::move(devRoot))
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
#if defined(__linux__)
    // One node is one device to open: sysfs lists each once.
    std::map<std::string, sysfs::HidrawDevice> listed;
    for (sysfs::HidrawNode &node : sysfs::listHidrawNodes(m_sysRoot, m_devRoot))
    {
        interfaces.push_back({node.path, node.device.attributes});
        listed.emplace(std::move(node.path), std::move(node.device));
    }
#else
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
#endif

    const std::lock_guard guard(m_lock);
    const HidDeviceSet set = m_nextSet++;
    m_sets.emplace(set, std::move(interfaces));
#if defined(__linux__)
    m_listed = std::move(listed);
#endif
    return set;
}

void HidapiPlatform::destroyDeviceSet(HidDeviceSet set)
{
    const std::lock_guard guard(m_lock);
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
    const std::lock_guard guard(m_lock);
    return findInterface(set, index) != nullptr;
}

std::optional<std::string> HidapiPlatform::interfacePath(HidDeviceSet set, int index)
{
    const std::lock_guard guard(m_lock);
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
    hid_device *device = nullptr;
    {
        const std::lock_guard guard(hidapiOpenLock());
        device = hid_open_path(path.c_str());
    }
    if (device == nullptr)
    {
        return InvalidHandle;
    }

    OpenDevice open;
    open.device = device;
    open.path = path;
#if defined(__linux__)
    // What the node leads to now, which need not be what was listed there:
    // nodes are reused. Read once (or taken from the listing when it is the
    // same device); the handle's questions are answered from it.
    std::optional<sysfs::HidrawDevice> listed;
    {
        const std::lock_guard guard(m_lock);
        if (const auto it = m_listed.find(path); it != m_listed.end())
        {
            listed = it->second;
        }
    }
    open.described = sysfs::describeHidraw(path, m_sysRoot, listed ? &*listed : nullptr);
    open.attributes = open.described.attributes;
    open.featureLength = open.described.featureLength;
#else
    if (const hid_device_info *info = hid_get_device_info(device))
    {
        open.attributes = {info->vendor_id, info->product_id, info->release_number};
    }
    else
    {
        // The newest snapshot that lists the path knows its identifiers,
        // should the device itself not tell them.
        const std::lock_guard guard(m_lock);
        for (auto it = m_sets.rbegin(); it != m_sets.rend(); ++it)
        {
            const auto listed = std::find_if(it->second.begin(), it->second.end(),
                                             [&](const Interface &iface) { return iface.path == path; });
            if (listed != it->second.end())
            {
                open.attributes = listed->attributes;
                break;
            }
        }
    }
#if HID_API_VERSION >= HID_API_MAKE_VERSION(0, 14, 0)
    std::array<unsigned char, HID_API_MAX_REPORT_DESCRIPTOR_SIZE> buffer {};
    const int size = hid_get_report_descriptor(device, buffer.data(), buffer.size());
    if (size > 0)
    {
        open.featureLength = vortal9::featureReportByteLength(
            std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(size)));
    }
#endif
#endif

    const std::lock_guard guard(m_lock);
    const HidHandle handle = m_nextHandle++;
    m_open.emplace(handle, std::move(open));
    return handle;
}

void HidapiPlatform::close(HidHandle handle)
{
    hid_device *device = nullptr;
    {
        const std::lock_guard guard(m_lock);
        const auto it = m_open.find(handle);
        if (it == m_open.end())
        {
            return;
        }
        device = it->second.device;
        m_open.erase(it);
    }
    hid_close(device);
}

hid_device *HidapiPlatform::deviceOf(HidHandle handle) const
{
    const std::lock_guard guard(m_lock);
    const auto it = m_open.find(handle);
    return it == m_open.end() ? nullptr : it->second.device;
}

HidAttributes HidapiPlatform::attributes(HidHandle handle)
{
    const std::lock_guard guard(m_lock);
    const auto it = m_open.find(handle);
    return it == m_open.end() ? HidAttributes{} : it->second.attributes;
}

int HidapiPlatform::featureReportByteLength(HidHandle handle)
{
    const std::lock_guard guard(m_lock);
    const auto it = m_open.find(handle);
    return it == m_open.end() ? 0 : it->second.featureLength;
}

std::optional<std::u16string> HidapiPlatform::manufacturerString(HidHandle handle)
{
#if defined(__linux__)
    sysfs::HidrawDevice described;
    {
        const std::lock_guard guard(m_lock);
        const auto it = m_open.find(handle);
        if (it == m_open.end() || !it->second.described.known)
        {
            return std::nullopt;
        }
        if (it->second.manufacturer)
        {
            return it->second.manufacturer;
        }
        described = it->second.described;
    }
    // As hidapi's hidraw backend has it: the USB device's string, empty
    // without one (a uhid device has no USB parent).
    std::u16string text = sysfs::manufacturerOf(described);
    const std::lock_guard guard(m_lock);
    if (const auto it = m_open.find(handle); it != m_open.end())
    {
        it->second.manufacturer = text;
    }
    return text;
#else
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
#endif
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
