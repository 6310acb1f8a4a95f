// Device access: finding the attached readers and probing HID devices.
//
// The module keeps the state of the last enumeration (ReaderFound,
// DevicePaths, ...). What it shows goes through DeviceView, which the main
// window implements: the reader list, the count label and the status panels.
// An open reader and what is sent to it belong to a ReaderSession.
#pragma once

#include "device/HidPlatform.h"

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace vortal9 {

inline constexpr std::uint16_t ReaderVendorId = 0x04B4;
inline constexpr std::uint16_t ReaderProductId = 0x210A;

// True when a HID device's HID_ID ("<bus>:<vendor>:<product>", each in
// hexadecimal: "0003:000004B4:0000210A" for USB), as the kernel's uevent and
// udev spell it, names the reader.
bool isReaderHidId(const QString &hidId);

// A HID device opened and asked for its identifiers and the length of its
// feature report. A device without feature report is closed again: handle 0.
struct OpenedDevice
{
    HidHandle handle = 0; // at least 1 when open; InvalidHandle when the open was refused
    HidAttributes attributes;
    int featureLength = 0;
    bool noFeatureReport = false;
};
OpenedDevice openHidDevice(HidPlatform &platform, const std::string &path, std::uint32_t desiredAccess);

// The reader's identification text: the low byte of each of the first 50
// characters of its manufacturer string, zero bytes skipped, on a run of
// eight "0" characters, of which the last eight are kept. Empty when the
// platform cannot read the string.
QString manufacturerText(HidPlatform &platform, HidHandle handle);

class DeviceView
{
public:
    virtual ~DeviceView() = default;
    virtual void setReaderCountCaption(const QString &caption) = 0; // Lb1
    virtual void clearReaderList() = 0;                             // CbNumber
    virtual void addReaderEntry(const QString &entry) = 0;
    virtual void selectReaderEntry(int position) = 0;
    virtual void setPanelText(int panel, const QString &text) = 0;  // StatusBar1, from 1
};

class AccessUSBIO
{
public:
    AccessUSBIO(HidPlatform &platform, DeviceView &view);

    // Reader discovery and open.
    bool FindReaders();
    HidHandle OpenReader(const std::string &path, std::uint32_t desiredAccess);
    QString ReadManufacturerString();
    void CloseReader();
    bool isReaderOpen() const { return DeviceHandle >= 1; }

    // Device state.
    HidHandle DeviceHandle = 0;
    HidDeviceSet DeviceInfoSet = 0;
    bool ReaderFound = false;
    int ReaderCount = 0;
    std::vector<std::string> DevicePaths;
    HidAttributes DeviceAttributes;
    int FeatureReportByteLength = 0;

private:
    void GetHidDeviceSet();
    void ScanReaders(bool fill);
    bool EnumInterface(int index);
    std::string GetDevicePath(int index);
    void ReleaseDeviceSet();

    HidPlatform &m_platform;
    DeviceView &m_view;
};

} // namespace vortal9
