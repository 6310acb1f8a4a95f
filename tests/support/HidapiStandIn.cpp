// The stand-in's hidapi functions. Their declarations come from hidapi.h,
// so the compiler holds them to the real library's signatures.
#include "HidapiStandIn.h"

#include <hidapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

struct hid_device_
{
    std::string path;
    hid_device_info info {};
};

namespace vortal9::test::hidapi {

namespace {

// The program opens readers on several threads and closes them on others, as
// the real library allows; what the stand-in records is kept under one lock.
std::mutex &recordLock()
{
    static std::mutex lock;
    return lock;
}

std::set<hid_device *> &liveDevices()
{
    static std::set<hid_device *> devices;
    return devices;
}

void fill(hid_device_info &info, const char *path, const Identity &identity)
{
    info.path = path != nullptr ? ::strdup(path) : nullptr;
    info.vendor_id = identity.vendorId;
    info.product_id = identity.productId;
    info.release_number = identity.releaseNumber;
}

const Device *deviceAt(const std::string &path)
{
    const auto it = standIn().devices.find(path);
    return it == standIn().devices.end() ? nullptr : &it->second;
}

void release(hid_device *device)
{
    std::free(device->info.path);
    delete device;
}

} // namespace

StandIn &standIn()
{
    static StandIn state;
    return state;
}

void reset()
{
    for (hid_device *device : liveDevices())
        release(device);
    liveDevices().clear();
    standIn() = StandIn();
}

std::size_t openDevices()
{
    const std::lock_guard lock(recordLock());
    return liveDevices().size();
}

} // namespace vortal9::test::hidapi

using vortal9::test::hidapi::standIn;

int hid_init(void)
{
    ++standIn().calls.init;
    return 0;
}

int hid_exit(void)
{
    ++standIn().calls.exit;
    return 0;
}

hid_device_info *hid_enumerate(unsigned short, unsigned short)
{
    const std::lock_guard lock(vortal9::test::hidapi::recordLock());
    ++standIn().calls.enumerations;
    hid_device_info *head = nullptr;
    hid_device_info **tail = &head;
    for (const auto &listed : standIn().listing) {
        auto *info = new hid_device_info {};
        vortal9::test::hidapi::fill(*info, listed.path ? listed.path->c_str() : nullptr, listed.identity);
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info *devs)
{
    const std::lock_guard lock(vortal9::test::hidapi::recordLock());
    ++standIn().calls.freedEnumerations;
    while (devs != nullptr) {
        hid_device_info *next = devs->next;
        std::free(devs->path);
        delete devs;
        devs = next;
    }
}

hid_device *hid_open_path(const char *path)
{
    const std::lock_guard lock(vortal9::test::hidapi::recordLock());
    standIn().calls.opened.emplace_back(path);
    const auto *behaviour = vortal9::test::hidapi::deviceAt(path);
    if (behaviour == nullptr || !behaviour->opens)
        return nullptr;
    auto *device = new hid_device {path, {}};
    if (behaviour->info)
        vortal9::test::hidapi::fill(device->info, path, *behaviour->info);
    vortal9::test::hidapi::liveDevices().insert(device);
    return device;
}

void hid_close(hid_device *dev)
{
    const std::lock_guard lock(vortal9::test::hidapi::recordLock());
    if (vortal9::test::hidapi::liveDevices().erase(dev) == 0) {
        ++standIn().calls.closedUnknown;
        return;
    }
    ++standIn().calls.closed;
    vortal9::test::hidapi::release(dev);
}

hid_device_info *hid_get_device_info(hid_device *dev)
{
    const auto *behaviour = vortal9::test::hidapi::deviceAt(dev->path);
    return behaviour != nullptr && behaviour->info ? &dev->info : nullptr;
}

int hid_get_manufacturer_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    const auto *behaviour = vortal9::test::hidapi::deviceAt(dev->path);
    if (behaviour == nullptr || !behaviour->manufacturer || maxlen == 0)
        return -1;
    // As the hidraw backend does: copy at most maxlen characters and end
    // the buffer with a terminator, cutting a longer string.
    const std::wstring &text = *behaviour->manufacturer;
    const std::size_t copied = std::min(text.size(), maxlen - 1);
    std::copy_n(text.begin(), copied, string);
    string[copied] = L'\0';
    return 0;
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length)
{
    const std::lock_guard lock(vortal9::test::hidapi::recordLock());
    standIn().calls.sent.push_back({dev->path, std::vector<std::uint8_t>(data, data + length)});
    const auto *behaviour = vortal9::test::hidapi::deviceAt(dev->path);
    if (behaviour == nullptr || behaviour->refusesReports)
        return -1;
    return static_cast<int>(length);
}
