// A stand-in for the hidapi library: the C functions that HidapiPlatform
// calls, declared by hidapi's own header, behaving as a test describes. A
// test sets what hid_enumerate() lists and what each path opens as, then
// reads back what the backend asked of the library. Only tests link it; the
// program links the real library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vortal9::test::hidapi {

struct Identity
{
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t releaseNumber = 0;
};

// One entry of the enumeration, in list order. A device with several
// top-level collections is listed once per collection, with the same path.
struct Listed
{
    std::optional<std::string> path; // nullopt: the entry has no path
    Identity identity;
};

// What opening a path gives. Paths not described here cannot be opened.
struct Device
{
    bool opens = true;
    // What hid_get_device_info() tells; nullopt: it returns nullptr.
    std::optional<Identity> info = std::nullopt;
    // What hid_get_manufacturer_string() gives; nullopt: it fails (-1).
    std::optional<std::wstring> manufacturer = std::nullopt;
    // hid_send_feature_report() refuses every report with -1.
    bool refusesReports = false;
};

struct SentReport
{
    std::string path;
    std::vector<std::uint8_t> bytes; // exactly the length that was passed
};

// What the backend did with the library.
struct Calls
{
    int init = 0;
    int exit = 0;
    int enumerations = 0;
    int freedEnumerations = 0;
    std::vector<std::string> opened; // every path passed to hid_open_path()
    int closed = 0;
    int closedUnknown = 0; // hid_close() of something that is not an open device
    std::vector<SentReport> sent;
};

struct StandIn
{
    std::vector<Listed> listing;
    std::map<std::string, Device> devices;
    Calls calls;
};

// The library's state. reset() forgets everything; devices still open
// then are freed.
StandIn &standIn();
void reset();
// Devices opened and not yet closed.
std::size_t openDevices();

} // namespace vortal9::test::hidapi
