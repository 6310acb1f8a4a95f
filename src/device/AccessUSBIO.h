// Device access: finding the attached readers, opening the chosen one, and
// sending scan-code strings to it as paced feature reports.
//
// The module keeps the device state that the rest of the program tests
// (DeviceHandle, ReaderFound, ...). What it shows goes through DeviceView,
// which the main window implements: the reader list, the count label, the
// status panels, and the pacing timer with its event-processing wait.
#pragma once

#include "device/HidPlatform.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vortal9 {

struct FileAccess;

inline constexpr std::uint16_t ReaderVendorId = 0x04B4;
inline constexpr std::uint16_t ReaderProductId = 0x210A;

class DeviceView
{
public:
    virtual ~DeviceView() = default;
    virtual void setReaderCountCaption(const QString &caption) = 0; // Lb1
    virtual void clearReaderList() = 0;                             // CbNumber
    virtual void addReaderEntry(const QString &entry) = 0;
    virtual void selectReaderEntry(int position) = 0;
    virtual void setPanelText(int panel, const QString &text) = 0;  // StatusBar1, from 1
    // Starts the pacing timer (Timer2) with this interval.
    virtual void startPacingTimer(int intervalMs) = 0;
    // Lets the window process its events, sleeping between them, until done()
    // is true or the window is being unloaded.
    virtual void waitUntil(const std::function<bool()> &done) = 0;
    virtual bool isUnloading() const = 0;
};

class AccessUSBIO
{
public:
    AccessUSBIO(HidPlatform &platform, DeviceView &view, FileAccess &files, int pacingMs);

    // Reader discovery and open.
    bool FindReaders();
    HidHandle OpenReader(const std::string &path, std::uint32_t desiredAccess);
    QString ReadManufacturerString();
    void CloseReader();
    bool isReaderOpen() const { return DeviceHandle >= 1; }

    // Command channel.
    bool SendCommandString(const QString &text);
    bool SendFeatureReport(const QString &chunk);
    void PacingWait(int intervalMs);
    // Handler of the pacing timer's timeout.
    void Timer2_Timer();

    // Device state.
    HidHandle DeviceHandle = 0;
    HidDeviceSet DeviceInfoSet = 0;
    bool ReaderFound = false;
    int ReaderCount = 0;
    std::vector<std::string> DevicePaths;
    std::vector<std::uint8_t> FeatureReport;
    HidAttributes DeviceAttributes;
    int FeatureReportByteLength = 0;
    bool ReportDone = true;

private:
    void GetHidDeviceSet();
    void ScanReaders(bool fill);
    bool EnumInterface(int index);
    std::string GetDevicePath(int index);
    void GetDeviceCaps();
    void ReleaseDeviceSet();

    HidPlatform &m_platform;
    DeviceView &m_view;
    FileAccess &m_files;
    int m_pacingMs;
};

} // namespace vortal9
