// Reading the feature report length out of a HID report descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vortal9 {

// Length in bytes of the longest feature report that the descriptor
// declares, plus one byte for the report ID as the reader's feature reports
// always carry one (byte 0, ID 0 when the device uses no report IDs).
// 0 when the descriptor declares no feature report. Malformed input never
// reads past the end of the span.
int featureReportByteLength(std::span<const std::uint8_t> descriptor);

// The same length for a hidraw device node, read from the report descriptor
// that the kernel publishes in sysfs: for "/dev/hidraw3" that is
// <sysRoot>/class/hidraw/hidraw3/device/report_descriptor. 0 when the path
// does not name a hidraw node or the descriptor cannot be read.
int featureLengthFromSysfs(const std::string &devicePath, const std::string &sysRoot = "/sys");

} // namespace vortal9
