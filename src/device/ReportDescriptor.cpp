#include "device/ReportDescriptor.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vortal9 {

namespace {

// Item prefixes with the size bits masked off (HID 1.11, 6.2.2).
constexpr std::uint8_t LongItemPrefix = 0xFE;
constexpr std::uint8_t TagFeature = 0xB0;
constexpr std::uint8_t TagReportSize = 0x74;
constexpr std::uint8_t TagReportId = 0x84;
constexpr std::uint8_t TagReportCount = 0x94;
constexpr std::uint8_t TagPush = 0xA4;
constexpr std::uint8_t TagPop = 0xB4;

// HID stacks hand the feature report length around in a 16-bit field, so a
// longer length can only come from a broken descriptor. Clamping keeps both
// the arithmetic and the buffer that the caller allocates bounded.
constexpr std::uint64_t MaxReportBytes = 0xFFFF;
constexpr std::uint64_t MaxPayloadBits = (MaxReportBytes - 1) * 8;

// Far deeper than any real descriptor nests Push items.
constexpr std::size_t MaxPushDepth = 16;

// Larger than any report descriptor the kernel accepts (4096 bytes).
constexpr std::size_t MaxDescriptorFileBytes = 64 * 1024;

// The part of the global item state that decides report lengths.
struct GlobalState
{
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
};

std::uint64_t saturatingAdd(std::uint64_t total, std::uint64_t bits)
{
    return std::min(MaxPayloadBits, total + std::min(MaxPayloadBits, bits));
}

bool isHidrawNodeName(const std::string &name)
{
    constexpr std::string_view prefix = "hidraw";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
    {
        return false;
    }
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

int featureReportByteLength(std::span<const std::uint8_t> descriptor)
{
    GlobalState state;
    std::array<GlobalState, MaxPushDepth> stack {};
    std::size_t depth = 0;

    std::map<std::uint32_t, std::uint64_t> featureBits; // per report ID
    bool sawFeature = false;

    const std::size_t end = descriptor.size();
    std::size_t pos = 0;
    while (pos < end)
    {
        const std::uint8_t prefix = descriptor[pos];
        const std::size_t left = end - pos - 1; // bytes after the prefix

        if (prefix == LongItemPrefix)
        {
            // bDataSize, bLongItemTag, then bDataSize bytes of data. No long
            // item tags are defined, so nothing in them affects reports.
            if (left < 2 || left - 2 < descriptor[pos + 1])
            {
                break;
            }
            pos += 3 + descriptor[pos + 1];
            continue;
        }

        const std::size_t sizeCode = prefix & 0x03;
        const std::size_t dataSize = sizeCode == 3 ? 4 : sizeCode;
        if (left < dataSize)
        {
            break; // truncated item: keep what was read before it
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < dataSize; ++i)
        {
            value |= static_cast<std::uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
        }
        pos += 1 + dataSize;

        switch (prefix & 0xFC)
        {
        case TagReportSize:
            state.reportSize = value;
            break;
        case TagReportCount:
            state.reportCount = value;
            break;
        case TagReportId:
            state.reportId = value;
            break;
        case TagPush:
            if (depth == MaxPushDepth)
            {
                pos = end; // the descriptor is broken from here on
                break;
            }
            stack[depth++] = state;
            break;
        case TagPop:
            if (depth == 0)
            {
                pos = end;
                break;
            }
            state = stack[--depth];
            break;
        case TagFeature:
        {
            sawFeature = true;
            const std::uint64_t bits = std::uint64_t {state.reportSize} * state.reportCount;
            std::uint64_t &total = featureBits[state.reportId];
            total = saturatingAdd(total, bits);
            break;
        }
        default:
            break; // Input, Output, collections, local items, other globals
        }
    }

    if (!sawFeature)
    {
        return 0;
    }
    std::uint64_t longestBits = 0;
    for (const auto &[id, bits] : featureBits)
    {
        longestBits = std::max(longestBits, bits);
    }
    const std::uint64_t bytes = (longestBits + 7) / 8 + 1;
    return static_cast<int>(std::min(bytes, MaxReportBytes));
}

int featureLengthFromSysfs(const std::string &devicePath, const std::string &sysRoot)
{
    const std::string node = std::filesystem::path(devicePath).filename().string();
    if (!isHidrawNodeName(node))
    {
        return 0;
    }
    const std::string file = sysRoot + "/class/hidraw/" + node + "/device/report_descriptor";

    std::ifstream in(file, std::ios::binary);
    if (!in)
    {
        return 0;
    }
    std::vector<char> bytes(MaxDescriptorFileBytes);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad())
    {
        return 0;
    }
    const auto *data = reinterpret_cast<const std::uint8_t *>(bytes.data());
    return featureReportByteLength({data, static_cast<std::size_t>(in.gcount())});
}

} // namespace vortal9
