#include "device/AccessUSBIO.h"

#include "device/Messages.h"

#include <QStringList>

namespace vortal9 {

namespace {
constexpr int ErrorPanel = 6;
// The manufacturer string is read into a 100-byte buffer: 50 characters.
constexpr int ManufacturerChars = 50;
} // namespace

OpenedDevice openHidDevice(HidPlatform &platform, const std::string &path, std::uint32_t desiredAccess)
{
    OpenedDevice opened;
    opened.handle = platform.open(path, desiredAccess);
    if (opened.handle == InvalidHandle)
        return opened;
    opened.attributes = platform.attributes(opened.handle);
    opened.featureLength = platform.featureReportByteLength(opened.handle);
    if (opened.featureLength < 1) {
        platform.close(opened.handle);
        opened.handle = 0;
        opened.noFeatureReport = true;
    }
    return opened;
}

bool isReaderHidId(const QString &hidId)
{
    const QStringList ids = hidId.split(QLatin1Char(':'));
    if (ids.size() != 3)
        return false;
    bool vendorOk = false;
    bool productOk = false;
    const unsigned vendor = ids[1].toUInt(&vendorOk, 16);
    const unsigned product = ids[2].toUInt(&productOk, 16);
    return vendorOk && productOk && vendor == ReaderVendorId && product == ReaderProductId;
}

QString manufacturerText(HidPlatform &platform, HidHandle handle)
{
    const std::optional<std::u16string> text = platform.manufacturerString(handle);
    if (!text)
        return {};
    // The low byte of each 16-bit character, zero bytes skipped, on a run of
    // eight "0" characters: short strings come back padded on the left,
    // long ones keep their last eight characters.
    QString result = QStringLiteral("00000000");
    const std::size_t count = std::min<std::size_t>(text->size(), ManufacturerChars);
    for (std::size_t i = 0; i < count; ++i) {
        const auto low = static_cast<unsigned char>((*text)[i] & 0xFF);
        if (low != 0)
            result.append(QChar(low));
    }
    return result.right(8);
}

AccessUSBIO::AccessUSBIO(HidPlatform &platform, DeviceView &view)
    : m_platform(platform)
    , m_view(view)
{
}

bool AccessUSBIO::FindReaders()
{
    // A reader still open (after a playback, say) and a set still held from a
    // scan that found nothing are released first; the scan below takes
    // DeviceHandle over for its probes and would otherwise lose them.
    CloseReader();

    ReaderCount = 0;
    GetHidDeviceSet();
    ScanReaders(false);
    m_view.setReaderCountCaption(QStringLiteral("[ %1 ]").arg(ReaderCount));
    m_view.clearReaderList();
    DevicePaths.clear();
    if (ReaderCount == 0) {
        m_view.setPanelText(ErrorPanel, text::CantFindReader);
        return false;
    }
    DevicePaths.assign(static_cast<std::size_t>(ReaderCount), std::string());
    for (int i = 1; i <= ReaderCount; ++i)
        m_view.addReaderEntry(QStringLiteral(" %1").arg(i));
    m_view.selectReaderEntry(0);
    ScanReaders(true);
    ReleaseDeviceSet();
    return true;
}

void AccessUSBIO::GetHidDeviceSet()
{
    DeviceInfoSet = m_platform.createDeviceSet();
}

bool AccessUSBIO::EnumInterface(int index)
{
    return m_platform.enumInterface(DeviceInfoSet, index);
}

std::string AccessUSBIO::GetDevicePath(int index)
{
    return m_platform.interfacePath(DeviceInfoSet, index).value_or(std::string());
}

void AccessUSBIO::ScanReaders(bool fill)
{
    int slot = 0;
    for (int index = 0; EnumInterface(index); ++index) {
        const std::string path = GetDevicePath(index);
        if (path.empty()) {
            m_view.setPanelText(ErrorPanel, text::CantGetPath);
            return;
        }
        DeviceHandle = OpenReader(path, AccessNone);
        if (DeviceHandle == 0)
            continue;
        if (DeviceAttributes.vendorId == ReaderVendorId && DeviceAttributes.productId == ReaderProductId) {
            if (!fill) {
                ++ReaderCount;
            } else if (slot < ReaderCount) {
                // A reader attached between the two passes is ignored.
                DevicePaths[static_cast<std::size_t>(slot)] = path;
                ++slot;
            }
        }
        m_platform.close(DeviceHandle);
        DeviceHandle = 0;
    }
}

HidHandle AccessUSBIO::OpenReader(const std::string &path, std::uint32_t desiredAccess)
{
    const OpenedDevice opened = openHidDevice(m_platform, path, desiredAccess);
    DeviceHandle = opened.handle;
    if (DeviceHandle == InvalidHandle)
        return 0;
    DeviceAttributes = opened.attributes;
    FeatureReportByteLength = opened.featureLength;
    if (opened.noFeatureReport)
        m_view.setPanelText(ErrorPanel, text::LengthError);
    return DeviceHandle;
}

QString AccessUSBIO::ReadManufacturerString()
{
    return manufacturerText(m_platform, DeviceHandle);
}

void AccessUSBIO::ReleaseDeviceSet()
{
    if (DeviceInfoSet != 0) {
        m_platform.destroyDeviceSet(DeviceInfoSet);
        DeviceInfoSet = 0;
    }
}

void AccessUSBIO::CloseReader()
{
    ReleaseDeviceSet();
    if (DeviceHandle >= 1)
        m_platform.close(DeviceHandle);
    DeviceHandle = 0;
}

} // namespace vortal9
