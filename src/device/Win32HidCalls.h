// The Windows calls that Win32HidPlatform makes, gathered in one table.
//
// A default-constructed table holds the real functions of hid.dll,
// setupapi.dll and kernel32; that is what the program uses. Tests construct
// the platform with a table in which single entries are replaced, to produce
// failures that no running system produces on demand (a device set that
// cannot be made, a detail query that fails) or to watch the arguments.
// Nothing outside the code reaches the table: no setting, variable or
// command line switches it.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <setupapi.h>
// mingw-w64's HID headers declare their functions without C linkage.
extern "C" {
#include <hidsdi.h>
}
#include <winioctl.h>
#include <hidclass.h>

#include <functional>

namespace vortal9 {

struct Win32HidCalls
{
    std::function<void(LPGUID)> getHidGuid = HidD_GetHidGuid;
    std::function<HDEVINFO(const GUID *, PCWSTR, HWND, DWORD)> getClassDevs = SetupDiGetClassDevsW;
    std::function<BOOL(HDEVINFO, PSP_DEVINFO_DATA, const GUID *, DWORD, PSP_DEVICE_INTERFACE_DATA)> enumDeviceInterfaces
        = SetupDiEnumDeviceInterfaces;
    std::function<BOOL(
        HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD, PSP_DEVINFO_DATA)>
        getDeviceInterfaceDetail = SetupDiGetDeviceInterfaceDetailW;
    std::function<BOOL(HDEVINFO)> destroyDeviceInfoList = SetupDiDestroyDeviceInfoList;
    std::function<HANDLE(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)> createFile = CreateFileW;
    std::function<BOOL(HANDLE)> closeHandle = CloseHandle;
    std::function<BOOLEAN(HANDLE, PHIDD_ATTRIBUTES)> getAttributes = HidD_GetAttributes;
    std::function<BOOLEAN(HANDLE, PHIDP_PREPARSED_DATA *)> getPreparsedData = HidD_GetPreparsedData;
    std::function<NTSTATUS(PHIDP_PREPARSED_DATA, PHIDP_CAPS)> getCaps = HidP_GetCaps;
    std::function<BOOLEAN(PHIDP_PREPARSED_DATA)> freePreparsedData = HidD_FreePreparsedData;
    std::function<BOOLEAN(HANDLE, PVOID, ULONG)> getManufacturerString = HidD_GetManufacturerString;
    std::function<BOOLEAN(HANDLE, PVOID, ULONG)> setFeature = HidD_SetFeature;
    // A feature report sent on the channel's report thread, as HidD_SetFeature
    // sends it (IOCTL_HID_SET_FEATURE, the report as its input), but
    // overlapped, so that its wait for the reader's answer can be given up.
    std::function<BOOL(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)> deviceIoControl
        = DeviceIoControl;
    std::function<BOOL(HANDLE, LPOVERLAPPED, LPDWORD, BOOL)> getOverlappedResult = GetOverlappedResult;
    std::function<BOOL(HANDLE)> cancelIo = CancelIo;
};

} // namespace vortal9
