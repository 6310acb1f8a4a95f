#include "device/HidapiPlatform.h"
#include "device/ReportDescriptor.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <string>
#include <vector>

using vortal9::featureLengthFromSysfs;
using vortal9::featureReportByteLength;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
    {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// HID 1.11, Appendix B.1: the boot protocol keyboard. Input and output
// reports only.
const Bytes BootKeyboard = {
    0x05, 0x01, // Usage Page (Generic Desktop)
    0x09, 0x06, // Usage (Keyboard)
    0xA1, 0x01, // Collection (Application)
    0x05, 0x07, //   Usage Page (Key Codes)
    0x19, 0xE0, //   Usage Minimum (224)
    0x29, 0xE7, //   Usage Maximum (231)
    0x15, 0x00, //   Logical Minimum (0)
    0x25, 0x01, //   Logical Maximum (1)
    0x75, 0x01, //   Report Size (1)
    0x95, 0x08, //   Report Count (8)
    0x81, 0x02, //   Input (Data, Variable, Absolute): modifiers
    0x95, 0x01, //   Report Count (1)
    0x75, 0x08, //   Report Size (8)
    0x81, 0x01, //   Input (Constant): reserved byte
    0x95, 0x05, //   Report Count (5)
    0x75, 0x01, //   Report Size (1)
    0x05, 0x08, //   Usage Page (LEDs)
    0x19, 0x01, //   Usage Minimum (1)
    0x29, 0x05, //   Usage Maximum (5)
    0x91, 0x02, //   Output (Data, Variable, Absolute): LEDs
    0x95, 0x01, //   Report Count (1)
    0x75, 0x03, //   Report Size (3)
    0x91, 0x01, //   Output (Constant): padding
    0x95, 0x06, //   Report Count (6)
    0x75, 0x08, //   Report Size (8)
    0x15, 0x00, //   Logical Minimum (0)
    0x25, 0x65, //   Logical Maximum (101)
    0x05, 0x07, //   Usage Page (Key Codes)
    0x19, 0x00, //   Usage Minimum (0)
    0x29, 0x65, //   Usage Maximum (101)
    0x81, 0x00, //   Input (Data, Array): key array
    0xC0,       // End Collection
};

// HID 1.11, Appendix B.2: the boot protocol mouse.
const Bytes BootMouse = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,       // Generic Desktop, Mouse, Application
    0x09, 0x01, 0xA1, 0x00,                   //   Pointer, Physical
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03,       //     Buttons 1..3
    0x15, 0x00, 0x25, 0x01,                   //     Logical 0..1
    0x95, 0x03, 0x75, 0x01, 0x81, 0x02,       //     3 x 1 bit Input
    0x95, 0x01, 0x75, 0x05, 0x81, 0x01,       //     5 bits Input (Constant)
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31,       //     X, Y
    0x15, 0x81, 0x25, 0x7F,                   //     Logical -127..127
    0x75, 0x08, 0x95, 0x02, 0x81, 0x06,       //     2 x 8 bits Input (Relative)
    0xC0, 0xC0,                               //   End Collection x2
};

// A keyboard-wedge device: the boot keyboard plus a vendor-defined
// collection with an 8-byte feature report, no report IDs.
const Bytes VendorFeature8 = {
    0x06, 0x00, 0xFF, // Usage Page (Vendor 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xA1, 0x01,       // Collection (Application)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x08,       //   Report Count (8)
    0x09, 0x02,       //   Usage (2)
    0xB1, 0x02,       //   Feature (Data, Variable, Absolute)
    0xC0,             // End Collection
};
const Bytes KeyboardWedge = concat({BootKeyboard, VendorFeature8});

// Report IDs 1..4: feature reports of 2, 16 and 4 bytes, and a 63-byte
// input report that must not count. ID 1 gets its bytes in two items, in
// two different collections.
const Bytes SeveralReportIds = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, // Vendor collection
    0x75, 0x08,                               //   Report Size (8)
    0x85, 0x01, 0x95, 0x01, 0xB1, 0x02,       //   ID 1: 1 byte
    0x85, 0x02, 0x95, 0x10, 0xB1, 0x02,       //   ID 2: 16 bytes
    0x85, 0x04, 0x95, 0x3F, 0x81, 0x02,       //   ID 4: 63-byte Input
    0x91, 0x02,                               //   ID 4: 63-byte Output
    0xC0,                                     // End Collection
    0x06, 0x01, 0xFF, 0x09, 0x01, 0xA1, 0x01, // Second vendor collection
    0x85, 0x03, 0x95, 0x04, 0xB1, 0x02,       //   ID 3: 4 bytes
    0x85, 0x01, 0x95, 0x01, 0xB1, 0x02,       //   ID 1: 1 more byte
    0xC0,
};

struct DescriptorCase
{
    const char *name;
    Bytes descriptor;
    int expected;
};

void PrintTo(const DescriptorCase &c, std::ostream *os)
{
    *os << c.name;
}

class FeatureLength : public testing::TestWithParam<DescriptorCase>
{
};

TEST_P(FeatureLength, MatchesLongestFeatureReportPlusIdByte)
{
    const DescriptorCase &c = GetParam();
    EXPECT_EQ(featureReportByteLength(c.descriptor), c.expected);
}

Bytes pushes(int count)
{
    return Bytes(static_cast<std::size_t>(count), 0xA4);
}

const DescriptorCase Cases[] = {
    {"Empty", {}, 0},
    {"BootKeyboardHasNoFeature", BootKeyboard, 0},
    {"BootMouseHasNoFeature", BootMouse, 0},
    {"KeyboardWedgeEightByteFeature", KeyboardWedge, 9},
    {"VendorFeatureBeforeKeyboard", concat({VendorFeature8, BootKeyboard}), 9},
    {"LongestReportIdWins", SeveralReportIds, 17},
    {"OneBitFieldsRoundUp", {0x75, 0x01, 0x95, 0x03, 0xB1, 0x02}, 2},
    {"BitsAddUpAcrossItems", {0x75, 0x01, 0x95, 0x03, 0xB1, 0x02, 0x95, 0x06, 0xB1, 0x03}, 3},
    {"InputAndOutputDoNotCount", {0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x91, 0x02, 0x95, 0x02, 0xB1, 0x02}, 3},
    {"ReportCountIsUnsigned", {0x75, 0x08, 0x95, 0xFF, 0xB1, 0x02}, 256},
    {"TwoByteReportCount", {0x75, 0x08, 0x96, 0x00, 0x01, 0xB1, 0x02}, 257},
    {"SizeCodeThreeMeansFourBytes",
     {0x77, 0x08, 0x00, 0x00, 0x00, 0x97, 0x02, 0x00, 0x00, 0x00, 0xB3, 0x02, 0x00, 0x00, 0x00}, 3},
    {"FeatureWithTwoDataBytes", {0x75, 0x08, 0x95, 0x18, 0xB2, 0x02, 0x01}, 25},
    {"FeatureWithNoDataByte", {0x75, 0x08, 0x95, 0x05, 0xB0}, 6},
    // The long item's data looks like Report Count (64) and a Feature item.
    {"LongItemSkipped",
     {0xFE, 0x04, 0x10, 0x95, 0x40, 0xB1, 0x02, 0x75, 0x08, 0x95, 0x02, 0xB1, 0x02}, 3},
    {"EmptyLongItemSkipped", {0xFE, 0x00, 0x10, 0x75, 0x08, 0x95, 0x02, 0xB1, 0x02}, 3},
    // ID 1, 8 bits x 4; Push; ID 2, one byte; Pop; feature again: back on
    // ID 1 with 4 bytes.
    {"PopRestoresSizeCountAndId",
     {0x85, 0x01, 0x75, 0x08, 0x95, 0x04, 0xA4, 0x85, 0x02, 0x95, 0x01, 0xB1, 0x02, 0xB4, 0xB1, 0x02}, 5},
    {"NestedPushPop",
     {0x75, 0x08, 0x95, 0x02, 0xA4, 0x95, 0x03, 0xA4, 0x95, 0x07, 0xB4, 0xB4, 0xB1, 0x02}, 3},
    {"SixteenPushesAccepted", concat({{0x75, 0x08, 0x95, 0x02}, pushes(16), {0xB1, 0x02}}), 3},
    {"SeventeenthPushEndsParse", concat({{0x75, 0x08, 0x95, 0x02}, pushes(17), {0xB1, 0x02}}), 0},
    {"PopWithoutPushEndsParse", {0x75, 0x08, 0x95, 0x02, 0xB1, 0x02, 0xB4, 0x95, 0x10, 0xB1, 0x02}, 3},
    {"TruncatedFeatureNotCounted", {0x75, 0x08, 0x95, 0x04, 0xB1}, 0},
    {"TruncatedItemKeepsEarlierReports", {0x75, 0x08, 0x95, 0x04, 0xB1, 0x02, 0x96, 0x10}, 5},
    {"TruncatedFourByteItem", {0x75, 0x08, 0x95, 0x04, 0xB1, 0x02, 0x97, 0x10, 0x00, 0x00}, 5},
    {"TruncatedLongItemHeader", {0x75, 0x08, 0x95, 0x04, 0xB1, 0x02, 0xFE, 0x05}, 5},
    {"TruncatedLongItemData", {0x75, 0x08, 0x95, 0x04, 0xB1, 0x02, 0xFE, 0x05, 0x10, 0xB1, 0x02}, 5},
    {"KeyboardWedgeWithoutEndCollection", Bytes(KeyboardWedge.begin(), KeyboardWedge.end() - 1), 9},
    {"KeyboardWedgeCutInFeatureItem", Bytes(KeyboardWedge.begin(), KeyboardWedge.end() - 2), 0},
    {"HugeSizeAndCountClamped",
     {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02, 0xB1, 0x02, 0xB1, 0x02}, 0xFFFF},
    // The three items add up to 2^64 + 7 bits: a wrapping sum would end up tiny.
    {"BitSumDoesNotWrap",
     {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02, 0x95, 0x02, 0xB1, 0x02,
      0x75, 0x08, 0x95, 0x01, 0xB1, 0x02},
     0xFFFF},
    {"LengthAtClamp", {0x75, 0x08, 0x96, 0xFE, 0xFF, 0xB1, 0x02}, 0xFFFF},
    {"LengthAboveClamp", {0x75, 0x08, 0x96, 0xFF, 0xFF, 0xB1, 0x02}, 0xFFFF},
    {"LengthBelowClamp", {0x75, 0x08, 0x96, 0xFD, 0xFF, 0xB1, 0x02}, 0xFFFE},
};

INSTANTIATE_TEST_SUITE_P(Descriptors, FeatureLength, testing::ValuesIn(Cases),
                         [](const testing::TestParamInfo<DescriptorCase> &info) { return info.param.name; });

// --- the descriptor of a hidraw node, read from a fake sysfs tree ---

bool writeFile(const QString &path, const Bytes &bytes)
{
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly))
    {
        return false;
    }
    const auto size = static_cast<qint64>(bytes.size());
    return file.write(reinterpret_cast<const char *>(bytes.data()), size) == size;
}

struct SysfsCase
{
    const char *name;
    std::string devicePath;
    int expected;
};

void PrintTo(const SysfsCase &c, std::ostream *os)
{
    *os << c.name;
}

class SysfsFeatureLength : public testing::TestWithParam<SysfsCase>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        const QString hidraw = m_root.path() + QStringLiteral("/class/hidraw/");
        ASSERT_TRUE(writeFile(hidraw + QStringLiteral("hidraw3/device/report_descriptor"), KeyboardWedge));
        ASSERT_TRUE(writeFile(hidraw + QStringLiteral("hidraw12/device/report_descriptor"), SeveralReportIds));
        ASSERT_TRUE(writeFile(hidraw + QStringLiteral("hidraw5/device/report_descriptor"), {}));
        // A directory where the descriptor should be: unreadable.
        ASSERT_TRUE(QDir().mkpath(hidraw + QStringLiteral("hidraw6/device/report_descriptor")));
        // Descriptors under names that are no hidraw node must not be read.
        ASSERT_TRUE(writeFile(hidraw + QStringLiteral("event3/device/report_descriptor"), KeyboardWedge));
        ASSERT_TRUE(writeFile(hidraw + QStringLiteral("hidraw/device/report_descriptor"), KeyboardWedge));
    }

    QTemporaryDir m_root;
};

TEST_P(SysfsFeatureLength, ReadsDescriptorOfTheNamedNode)
{
    const SysfsCase &c = GetParam();
    EXPECT_EQ(featureLengthFromSysfs(c.devicePath, m_root.path().toStdString()), c.expected);
}

const SysfsCase SysfsCases[] = {
    {"KeyboardWedgeNode", "/dev/hidraw3", 9},
    {"TwoDigitNode", "/dev/hidraw12", 17},
    {"MissingNode", "/dev/hidraw4", 0},
    {"EmptyDescriptorFile", "/dev/hidraw5", 0},
    {"DescriptorIsDirectory", "/dev/hidraw6", 0},
    {"NotAHidrawNode", "/dev/input/event3", 0},
    {"HidrawWithoutNumber", "/dev/hidraw", 0},
    {"EmptyPath", "", 0},
};

INSTANTIATE_TEST_SUITE_P(FakeSysfs, SysfsFeatureLength, testing::ValuesIn(SysfsCases),
                         [](const testing::TestParamInfo<SysfsCase> &info) { return info.param.name; });

// --- manufacturer strings: hidapi's wide characters to UTF-16 ---

struct WideCase
{
    const char *name;
    std::wstring wide;
    std::u16string utf16;
    // The wide text holds values that only a 32-bit wchar_t can (Linux);
    // where wchar_t is 16 bits (Windows) the text is UTF-16 already.
    bool needsWideCodePoints = false;
};

void PrintTo(const WideCase &c, std::ostream *os)
{
    *os << c.name;
}

class WideToUtf16 : public testing::TestWithParam<WideCase>
{
};

TEST_P(WideToUtf16, Converts)
{
    const WideCase &c = GetParam();
    if (c.needsWideCodePoints && sizeof(wchar_t) < 4)
        GTEST_SKIP() << "wchar_t is 16 bits wide here";
    EXPECT_EQ(vortal9::utf16FromWide(c.wide), c.utf16);
}

const WideCase WideCases[] = {
    {"Empty", L"", u""},
    {"Ascii", L"Maker Inc.", u"Maker Inc."},
    {"Latin1AndBmp", L"M\u00FCller \u20AC", u"M\u00FCller \u20AC"},
    {"LastBmpCharacter", L"\uFFFD\uFFFF", u"\uFFFD\uFFFF"},
    {"FirstSupplementary", std::wstring(1, static_cast<wchar_t>(0x10000)), u"\xD800\xDC00", true},
    {"Emoji", L"a\U0001F600b", u"a\xD83D\xDE00" u"b"},
    {"LastCodePoint", std::wstring(1, static_cast<wchar_t>(0x10FFFF)), u"\xDBFF\xDFFF", true},
    {"BeyondUnicode", std::wstring {L'x', static_cast<wchar_t>(0x110000), L'y'}, u"x\uFFFDy", true},
    {"LoneSurrogate", std::wstring {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDFFF)}, u"\uFFFD\uFFFD",
     true},
};

INSTANTIATE_TEST_SUITE_P(Strings, WideToUtf16, testing::ValuesIn(WideCases),
                         [](const testing::TestParamInfo<WideCase> &info) { return info.param.name; });

} // namespace
