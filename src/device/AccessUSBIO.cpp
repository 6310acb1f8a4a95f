#include "device/AccessUSBIO.h"

#include "device/CommandChunks.h"
#include "device/Messages.h"
#include "script/FileAccess.h"

namespace vortal9 {

namespace {
constexpr int ErrorPanel = 6;
// The manufacturer string is read into a 100-byte buffer: 50 characters.
constexpr int ManufacturerChars = 50;
} // namespace

AccessUSBIO::AccessUSBIO(HidPlatform &platform, DeviceView &view, FileAccess &files, int pacingMs)
    : m_platform(platform)
    , m_view(view)
    , m_files(files)
    , m_pacingMs(pacingMs)
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
    DeviceHandle = m_platform.open(path, desiredAccess);
    if (DeviceHandle == InvalidHandle)
        return 0;
    GetDeviceCaps();
    if (FeatureReportByteLength >= 1) {
        FeatureReport.assign(static_cast<std::size_t>(FeatureReportByteLength), 0);
        return DeviceHandle;
    }
    m_view.setPanelText(ErrorPanel, text::LengthError);
    m_platform.close(DeviceHandle);
    DeviceHandle = 0;
    return 0;
}

void AccessUSBIO::GetDeviceCaps()
{
    DeviceAttributes = m_platform.attributes(DeviceHandle);
    FeatureReportByteLength = m_platform.featureReportByteLength(DeviceHandle);
}

QString AccessUSBIO::ReadManufacturerString()
{
    const std::optional<std::u16string> text = m_platform.manufacturerString(DeviceHandle);
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

void AccessUSBIO::PacingWait(int intervalMs)
{
    ReportDone = false;
    m_view.startPacingTimer(intervalMs);
    m_view.waitUntil([this] { return ReportDone; });
}

void AccessUSBIO::Timer2_Timer()
{
    ReportDone = true;
}

bool AccessUSBIO::SendFeatureReport(const QString &chunk)
{
    PacingWait(m_pacingMs);
    if (m_view.isUnloading() || chunk.isEmpty())
        return false;

    // A chunk that is not made of hexadecimal pairs, or that has more pairs
    // than the report has payload bytes, is refused as a whole rather than
    // sent with a wrong byte or cut short.
    const auto report = buildFeatureReport(chunk, FeatureReportByteLength);
    if (report) {
        FeatureReport = *report;
        if (m_files.Recording) {
            for (const QString &pair : chunkPairs(chunk))
                m_files.RecordBuffer += pair;
        }
        if (m_platform.setFeature(DeviceHandle, FeatureReport))
            return true;
    }
    m_view.setPanelText(ErrorPanel, text::WriteError);
    m_files.RecordBuffer.clear();
    return false;
}

bool AccessUSBIO::SendCommandString(const QString &text)
{
    for (const QString &chunk : chunkCommand(text)) {
        if (!SendFeatureReport(chunk))
            return false;
    }
    return true;
}

} // namespace vortal9
