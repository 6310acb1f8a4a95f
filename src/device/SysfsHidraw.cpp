#include "device/SysfsHidraw.h"

#include "device/ReportDescriptor.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <span>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace vortal9::sysfs {

namespace {

// sysfs attribute files are at most a page; a report descriptor at most 4 KiB.
constexpr std::size_t MaxAttributeBytes = 4096;
constexpr std::size_t MaxDescriptorBytes = 64 * 1024;

// The whole of a small file (open, read, close); nullopt when it cannot be read.
std::optional<std::string> readFile(const std::string &path, std::size_t limit = MaxAttributeBytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string bytes(limit, '\0');
    std::size_t size = 0;
    for (;;) {
        const ssize_t n = ::read(fd, bytes.data() + size, limit - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size += std::size_t(n);
        if (size == limit)
            break;
    }
    ::close(fd);
    bytes.resize(size);
    return bytes;
}

// The value of KEY= in a uevent file's text; "" when it has none.
std::string ueventValue(const std::string &uevent, const std::string &key)
{
    const std::string prefix = key + '=';
    std::size_t at = 0;
    while (at < uevent.size()) {
        const std::size_t end = std::min(uevent.find('\n', at), uevent.size());
        if (uevent.compare(at, prefix.size(), prefix) == 0)
            return uevent.substr(at + prefix.size(), end - at - prefix.size());
        at = end + 1;
    }
    return {};
}

std::string fileName(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

bool isNumber(const std::string &text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isHidrawName(const std::string &name)
{
    return name.compare(0, 6, "hidraw") == 0 && isNumber(name.substr(std::min<std::size_t>(6, name.size())));
}

// Numbers joined by dots ("2.4"), none of them empty.
bool isDottedNumbers(const std::string &text)
{
    std::size_t at = 0;
    for (;;) {
        const std::size_t dot = text.find('.', at);
        if (!isNumber(text.substr(at, dot == std::string::npos ? std::string::npos : dot - at)))
            return false;
        if (dot == std::string::npos)
            return true;
        at = dot + 1;
    }
}

// "1-2.4": a USB bus number, "-", then port numbers joined by dots.
bool isUsbDeviceName(const std::string &name)
{
    const std::size_t dash = name.find('-');
    return dash != std::string::npos && isNumber(name.substr(0, dash)) && isDottedNumbers(name.substr(dash + 1));
}

// "1-2.4:1.0": a USB device's name, ":", configuration "." interface.
bool isUsbInterfaceName(const std::string &name)
{
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos || !isUsbDeviceName(name.substr(0, colon)))
        return false;
    const std::string rest = name.substr(colon + 1);
    const std::size_t dot = rest.find('.');
    return dot != std::string::npos && isNumber(rest.substr(0, dot)) && isNumber(rest.substr(dot + 1));
}

// Where the node's folder is, from the class folder's link to it
// ("../../devices/.../0003:04B4:210A.0007/hidraw/hidraw3"), as a path below
// sysRoot; "" when there is no such link.
std::string nodeFolder(const std::string &sysRoot, const std::string &name)
{
    const std::string link = sysRoot + "/class/hidraw/" + name;
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return {};
    std::string path(target, std::size_t(length));
    if (path.compare(0, 6, "../../") == 0)
        return sysRoot + '/' + path.substr(6);
    return path.front() == '/' ? path : sysRoot + "/class/hidraw/" + path;
}

// The device whose node's folder is folder, read from sysfs.
HidrawDevice describeFolder(const std::string &folder)
{
    HidrawDevice device;
    // The node's folder is <HID device>/hidraw/hidrawN.
    const std::string hid = parentOf(parentOf(folder));
    const std::optional<std::string> uevent = readFile(hid + "/uevent");
    if (!uevent)
        return device;
    device.known = true;
    device.sysfsPath = folder;
    if (const auto ids = attributesOfHidId(ueventValue(*uevent, "HID_ID")))
        device.attributes = *ids;
    device.uniq = ueventValue(*uevent, "HID_UNIQ");
    if (const auto descriptor = readFile(hid + "/report_descriptor", MaxDescriptorBytes)) {
        device.featureLength = featureReportByteLength(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t *>(descriptor->data()), descriptor->size()));
    }
    // On USB the HID device sits in the interface's folder ("1-2.4:1.0"),
    // which sits in the USB device's ("1-2.4").
    const std::string interfaceDir = parentOf(hid);
    const std::string usbDir = parentOf(interfaceDir);
    if (isUsbInterfaceName(fileName(interfaceDir)) && isUsbDeviceName(fileName(usbDir))) {
        device.usbDevice = usbDir;
        if (const auto release = readFile(usbDir + "/bcdDevice"))
            device.attributes.versionNumber = std::uint16_t(std::strtoul(release->c_str(), nullptr, 16));
    }
    return device;
}

} // namespace

std::optional<HidAttributes> attributesOfHidId(const std::string &hidId)
{
    // bus:vendor:product, each in hexadecimal.
    const std::size_t first = hidId.find(':');
    const std::size_t second = first == std::string::npos ? first : hidId.find(':', first + 1);
    if (second == std::string::npos || hidId.find(':', second + 1) != std::string::npos)
        return std::nullopt;
    auto hex = [](const std::string &text) -> std::optional<unsigned long> {
        if (text.empty() || text.size() > 8)
            return std::nullopt;
        char *end = nullptr;
        const unsigned long value = std::strtoul(text.c_str(), &end, 16);
        return *end == '\0' && value <= 0xFFFF ? std::optional(value) : std::nullopt;
    };
    const auto vendor = hex(hidId.substr(first + 1, second - first - 1));
    const auto product = hex(hidId.substr(second + 1));
    if (!vendor || !product || !hex(hidId.substr(0, first)))
        return std::nullopt;
    return HidAttributes{std::uint16_t(*vendor), std::uint16_t(*product), 0};
}

std::vector<HidrawNode> listHidrawNodes(const std::string &sysRoot, const std::string &devRoot)
{
    std::vector<HidrawNode> nodes;
    DIR *dir = ::opendir((sysRoot + "/class/hidraw").c_str());
    if (!dir)
        return nodes;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!isHidrawName(name))
            continue;
        const std::string folder = nodeFolder(sysRoot, name);
        if (!folder.empty())
            nodes.push_back({devRoot + '/' + name, describeFolder(folder)});
    }
    ::closedir(dir);
    // udev orders by the node's folder, which keeps the devices of one port together.
    std::sort(nodes.begin(), nodes.end(),
              [](const HidrawNode &a, const HidrawNode &b) { return a.device.sysfsPath < b.device.sysfsPath; });
    return nodes;
}

HidrawDevice describeHidraw(const std::string &nodePath, const std::string &sysRoot, const HidrawDevice *listed)
{
    const std::string name = fileName(nodePath);
    if (!isHidrawName(name))
        return {};
    const std::string folder = nodeFolder(sysRoot, name);
    if (folder.empty())
        return {};
    // The kernel names every HID device anew (0003:04B4:210A.0007, .0008,
    // ...): the same folder is the same device.
    if (listed && listed->known && listed->sysfsPath == folder)
        return *listed;
    return describeFolder(folder);
}

std::string HidrawDevice::hidDevice() const
{
    return parentOf(parentOf(sysfsPath));
}

std::u16string manufacturerOf(const HidrawDevice &device)
{
    if (device.usbDevice.empty())
        return {};
    std::string text = readFile(device.usbDevice + "/manufacturer").value_or(std::string());
    // The kernel ends the attribute with a line break.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    return QString::fromUtf8(text.data(), qsizetype(text.size())).toStdU16String();
}

} // namespace vortal9::sysfs
