#include "device/Win32ReaderDoctor.h"

#include "device/AccessUSBIO.h"
#include "device/Win32DeviceTree.h"
#include "device/Win32HidPlatform.h"

#include <algorithm>

namespace vortal9 {

namespace {

QString ids()
{
    return QStringLiteral("VID_%1&PID_%2")
        .arg(ReaderVendorId, 4, 16, QLatin1Char('0'))
        .arg(ReaderProductId, 4, 16, QLatin1Char('0'))
        .toUpper();
}

} // namespace

std::vector<ReaderDiagnosis> diagnoseWin32Readers(HidPlatform &platform, const Win32DeviceTree &tree)
{
    std::vector<ReaderDiagnosis> readers;
    const HidDeviceSet set = platform.createDeviceSet();
    for (int index = 0; platform.enumInterface(set, index); ++index) {
        const std::string path = platform.interfacePath(set, index).value_or(std::string());
        if (path.empty())
            continue;
        // Identified without access rights, as discovery does.
        OpenedDevice probe = openHidDevice(platform, path, AccessNone);
        if (probe.handle == InvalidHandle)
            continue;
        const bool reader = probe.attributes.vendorId == ReaderVendorId && probe.attributes.productId == ReaderProductId;
        if (probe.handle >= 1)
            platform.close(probe.handle);
        if (!reader)
            continue;

        ReaderDiagnosis d;
        d.hidraw = QString::fromStdString(path);
        d.hidDevice = tree.instanceOf(d.hidraw);
        d.nodeExists = true;
        d.hasFeatureReport = !probe.noFeatureReport;
        // The session opens it for reading and writing, or with no access
        // rights where that is refused: either carries its reports.
        for (const std::uint32_t access : {AccessReadWrite, AccessNone}) {
            const HidHandle handle = platform.open(path, access);
            if (handle >= 1) {
                d.hidrawAccess = true;
                if (const auto text = platform.manufacturerString(handle))
                    d.manufacturer = QString::fromStdU16String(*text).trimmed();
                platform.close(handle);
                break;
            }
        }
        const QString usb = usbDeviceAbove(tree, d.hidDevice);
        if (!usb.isEmpty()) {
            d.usbLocation = tree.locationOf(usb);
            d.serial = serialInUsbInstance(usb);
        }
        if (d.serial.isEmpty())
            d.serial = tree.serialOf(d.hidraw);
        for (const RawKeyboard &keyboard : keyboardsOf(tree, d.hidraw))
            d.eventNodes << keyboard.name;
        readers.push_back(d);
    }
    if (set != 0)
        platform.destroyDeviceSet(set);
    return readers;
}

std::vector<ReaderDiagnosis> diagnoseReaders(const SystemPaths &)
{
    Win32HidPlatform platform;
    return diagnoseWin32Readers(platform, Win32DeviceTree::system());
}

QStringList ReaderDiagnosis::problems() const
{
    if (!hasFeatureReport)
        return {QStringLiteral("no feature report (not the reader's configuration interface)")};
    QStringList problems;
    if (!hidrawAccess)
        problems << QStringLiteral("Windows does not let this program open it");
    if (eventNodes.isEmpty())
        problems << QStringLiteral("Raw Input lists no keyboard of its own for it, so its typing cannot be told "
                                   "from other keyboards'");
    return problems;
}

QStringList fixesFor(const std::vector<ReaderDiagnosis> &readers, const SystemPaths &)
{
    QStringList fixes;
    for (const ReaderDiagnosis &reader : readers) {
        if (!reader.hasFeatureReport) {
            fixes << QStringLiteral("%1 has no feature report: it is another interface of the device, or not a "
                                    "VORTAL9 reader; there is nothing to fix.")
                         .arg(reader.hidraw);
            continue;
        }
        if (!reader.hidrawAccess) {
            fixes << QStringLiteral("Windows refused to open %1: close the program that holds it (another "
                                    "vortal9-batch, VORTAL9 Configuration Setup, or a vendor's tool), or unplug the "
                                    "reader and plug it in again.")
                         .arg(reader.hidraw);
        }
        if (reader.eventNodes.isEmpty()) {
            fixes << QStringLiteral("%1 has no keyboard of its own in Raw Input (Wine lists one keyboard for all "
                                    "its keyboards): unplug it and plug it in again; Device Manager shows a reader "
                                    "under Keyboards as well. The window still hears it through the keyboard focus.")
                         .arg(reader.hidraw);
        }
    }
    return fixes;
}

QString blockedSummary(const std::vector<ReaderDiagnosis> &readers, const SystemPaths &paths)
{
    const auto blocked = std::count_if(readers.begin(), readers.end(),
        [](const ReaderDiagnosis &reader) { return reader.hasFeatureReport && !reader.usable(); });
    if (blocked == 0)
        return {};
    return QStringLiteral("can't open %1 %2: %3 doctor")
        .arg(blocked)
        .arg(blocked == 1 ? QStringLiteral("reader") : QStringLiteral("readers"), paths.batchCommand);
}

bool everyReaderReady(const std::vector<ReaderDiagnosis> &readers)
{
    bool anyInterface = false;
    for (const ReaderDiagnosis &reader : readers) {
        if (!reader.hasFeatureReport)
            continue;
        anyInterface = true;
        if (!reader.capturable())
            return false;
    }
    return anyInterface;
}

QStringList checksWithoutReader(const SystemPaths &)
{
    return {QStringLiteral("Check that the reader's cable is plugged in at both ends (try another port or cable), "
                           "and that a hub between it and the computer has power (or plug it into the computer "
                           "itself)."),
            QStringLiteral("A plugged-in reader shows up as a USB device with the ids %1; list those in PowerShell "
                           "with:")
                .arg(ids()),
            QStringLiteral("Get-PnpDevice -PresentOnly | Where-Object InstanceId -like 'USB\\%1*'").arg(ids()),
            QStringLiteral("If it is listed there but not here, Windows made no HID device for it: see its status "
                           "in Device Manager, or unplug it and plug it in again.")};
}

} // namespace vortal9
