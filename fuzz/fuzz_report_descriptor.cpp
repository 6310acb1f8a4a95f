// Fuzzes the HID report descriptor parser that finds the feature report
// length. The descriptor comes from the device (through sysfs or hidapi), so
// any bytes are possible. libFuzzer hands over a heap buffer of exactly the
// input's size, so AddressSanitizer catches a read past the descriptor's end.
#include "FuzzCheck.h"

#include "device/ReportDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const int length = vortal9::featureReportByteLength(std::span<const std::uint8_t>(data, size));
    // The caller allocates a report buffer of this size: never negative, and
    // bounded by the 16-bit length field of the HID stacks (plus the ID byte).
    FUZZ_CHECK(length >= 0);
    FUZZ_CHECK(length <= 65536);
    return 0;
}
