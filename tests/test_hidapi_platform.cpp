// The real hidapi backend against the stand-in library: what it lists, opens
// and closes, the identifiers it reports, the bytes it sends and the
// manufacturer string it hands on. The feature report length comes from
// sysfs on Linux and is tested with the report descriptors.
#include "HidapiStandIn.h"
#include "device/HidapiPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>

namespace vortal9 {

void PrintTo(const HidAttributes &a, std::ostream *os)
{
    *os << '{' << a.vendorId << ", " << a.productId << ", " << a.versionNumber << '}';
}

bool operator==(const HidAttributes &a, const HidAttributes &b)
{
    return a.vendorId == b.vendorId && a.productId == b.productId && a.versionNumber == b.versionNumber;
}

} // namespace vortal9

namespace {

using namespace vortal9;
namespace standin = vortal9::test::hidapi;

const std::string Reader = "/dev/hidraw3";
const std::string Keyboard = "/dev/hidraw0";

template <typename Row>
std::string rowName(const testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

class HidapiPlatformTest : public testing::Test
{
protected:
    void SetUp() override
    {
        standin::reset();
        platform = std::make_unique<HidapiPlatform>();
    }

    void TearDown() override
    {
        platform.reset();
        // Whatever a test did, every list is freed, every device closed once.
        const standin::Calls &calls = standin::standIn().calls;
        EXPECT_EQ(calls.freedEnumerations, calls.enumerations);
        EXPECT_EQ(calls.closedUnknown, 0);
        EXPECT_EQ(standin::openDevices(), 0u);
        standin::reset();
    }

    static standin::StandIn &library() { return standin::standIn(); }

    std::unique_ptr<HidapiPlatform> platform;
};

TEST_F(HidapiPlatformTest, EachPathIsListedOnceInFirstSeenOrder)
{
    library().listing = {
        {Reader, {0x04b4, 0x210a, 0x0100}},   // keyboard collection
        {Keyboard, {0x046d, 0xc31c, 0x6400}},
        {Reader, {0x04b4, 0x210a, 0x0100}},   // vendor collection of the same node
        {std::nullopt, {0x1234, 0x5678, 1}},  // an entry without a path
        {"/dev/hidraw7", {0x04b4, 0x210a, 0x0100}},
    };
    const HidDeviceSet set = platform->createDeviceSet();
    std::vector<std::string> paths;
    for (int i = 0; platform->enumInterface(set, i); ++i)
        paths.push_back(platform->interfacePath(set, i).value_or("<no path>"));
    EXPECT_EQ(paths, (std::vector<std::string>{Reader, Keyboard, "/dev/hidraw7"}));
    EXPECT_EQ(platform->interfacePath(set, 3), std::nullopt);
    EXPECT_FALSE(platform->enumInterface(set, -1));
    platform->destroyDeviceSet(set);
    EXPECT_FALSE(platform->enumInterface(set, 0));

    // Nothing attached: still a set (0 would mean none), an empty one.
    library().listing.clear();
    const HidDeviceSet empty = platform->createDeviceSet();
    EXPECT_NE(empty, 0);
    EXPECT_FALSE(platform->enumInterface(empty, 0));
}

TEST_F(HidapiPlatformTest, OpenGivesADistinctHandleOnlyForAPathThatOpens)
{
    library().devices[Reader] = {};
    library().devices[Keyboard] = {.opens = false};

    EXPECT_EQ(platform->open("", AccessReadWrite), InvalidHandle);
    EXPECT_TRUE(library().calls.opened.empty()); // an empty path never reaches the library
    EXPECT_EQ(platform->open(Keyboard, AccessReadWrite), InvalidHandle);
    EXPECT_EQ(platform->open("/dev/hidraw9", AccessNone), InvalidHandle);

    // Opened whatever the access asked for, and a device of its own each time.
    const HidHandle first = platform->open(Reader, AccessReadWrite);
    const HidHandle second = platform->open(Reader, AccessNone);
    EXPECT_GE(std::min(first, second), 1);
    EXPECT_NE(first, second);
    EXPECT_EQ(standin::openDevices(), 2u);
}

TEST_F(HidapiPlatformTest, CloseAndDestructionReleaseEachDeviceOnce)
{
    library().devices[Reader] = {};
    library().devices[Keyboard] = {};
    const HidHandle reader = platform->open(Reader, AccessReadWrite);
    platform->open(Keyboard, AccessReadWrite);
    platform->close(reader);
    platform->close(reader);
    platform->close(InvalidHandle);
    EXPECT_EQ(library().calls.closed, 1);
    // A closed handle no longer reaches the device.
    EXPECT_FALSE(platform->setFeature(reader, {0x00, 0x1E}));
    EXPECT_EQ(platform->manufacturerString(reader), std::nullopt);
    EXPECT_TRUE(library().calls.sent.empty());

    platform.reset(); // closes the keyboard and shuts the library down
    EXPECT_EQ(standin::openDevices(), 0u);
    EXPECT_EQ(library().calls.init, 1);
    EXPECT_EQ(library().calls.exit, 1);
}

struct AttributesRow
{
    std::string name;
    std::optional<standin::Identity> toldByDevice;
    std::vector<std::vector<standin::Listed>> listings; // one device set each, oldest first
    HidAttributes expected;
};

class AttributesTest : public HidapiPlatformTest, public testing::WithParamInterface<AttributesRow>
{
};

TEST_P(AttributesTest, ComeFromTheDeviceElseFromTheNewestListing)
{
    const AttributesRow &row = GetParam();
    library().devices[Reader] = {.info = row.toldByDevice};
    for (const auto &listing : row.listings) {
        library().listing = listing;
        platform->createDeviceSet();
    }
    const HidHandle handle = platform->open(Reader, AccessReadWrite);
    EXPECT_EQ(platform->attributes(handle), row.expected);
    EXPECT_EQ(platform->attributes(handle + 1), HidAttributes{});
}

INSTANTIATE_TEST_SUITE_P(
    Devices, AttributesTest,
    testing::Values(
        AttributesRow{"ToldByTheDevice", standin::Identity{0x04b4, 0x210a, 0x0102},
                      {{{Reader, {0x1111, 0x2222, 0x0003}}}}, {0x04b4, 0x210a, 0x0102}},
        // Not the first entry of the newest set, nor the oldest listing of the path.
        AttributesRow{"FromTheNewestListingWhenTheDeviceIsSilent", std::nullopt,
                      {{{Reader, {0x04b4, 0x210a, 0x0100}}},
                       {{Keyboard, {0x046d, 0xc31c, 0x6400}}, {Reader, {0x04b4, 0x210a, 0x0200}}},
                       {{Keyboard, {0x046d, 0xc31c, 0x6400}}}},
                      {0x04b4, 0x210a, 0x0200}},
        AttributesRow{"NeitherToldNorListed", std::nullopt, {{{Keyboard, {0x046d, 0xc31c, 0x6400}}}}, {}}),
    rowName<AttributesRow>);

TEST_F(HidapiPlatformTest, SendsExactlyTheReportBytes)
{
    library().devices[Reader] = {};
    library().devices[Keyboard] = {.refusesReports = true};
    const HidHandle reader = platform->open(Reader, AccessReadWrite);
    const HidHandle keyboard = platform->open(Keyboard, AccessReadWrite);

    const std::vector<std::uint8_t> report{0x00, 0x1E, 0xF0, 0x1E, 0x00, 0x00, 0x00, 0x00, 0xFF};
    EXPECT_TRUE(platform->setFeature(reader, report));
    EXPECT_FALSE(platform->setFeature(keyboard, {0x00, 0x12}));
    EXPECT_FALSE(platform->setFeature(reader, {})); // nothing to send: not passed on
    EXPECT_FALSE(platform->setFeature(keyboard + reader, {0x00, 0x12}));

    const auto &sent = library().calls.sent;
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].path, Reader);
    EXPECT_EQ(sent[0].bytes, report);
}

struct ManufacturerRow
{
    std::string name;
    std::optional<std::wstring> told;
    std::optional<std::u16string> expected;
};

class ManufacturerTest : public HidapiPlatformTest, public testing::WithParamInterface<ManufacturerRow>
{
};

TEST_P(ManufacturerTest, ConvertedToUtf16)
{
    const ManufacturerRow &row = GetParam();
    library().devices[Reader] = {.manufacturer = row.told};
    EXPECT_EQ(platform->manufacturerString(platform->open(Reader, AccessReadWrite)), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, ManufacturerTest,
    testing::Values(
        ManufacturerRow{"Empty", L"", u""},
        ManufacturerRow{"BeyondAscii", L"M\u00FCller \U0001F4B3", u"M\u00FCller \U0001F4B3"},
        ManufacturerRow{"CutAtTheBuffer", std::wstring(300, L'x'), std::u16string(255, u'x')},
        ManufacturerRow{"CallFails", std::nullopt, std::nullopt}),
    rowName<ManufacturerRow>);

} // namespace
