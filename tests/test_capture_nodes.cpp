// Finding a reader's input event nodes from its hidraw node, on a scratch
// sysfs and /dev tree, as a technician's account sees them.

#include "capture/InputNodes.h"

#include "FakeInputTree.h"

#include <gtest/gtest.h>

#include <ostream>

#include <QTemporaryDir>

namespace {

using namespace vortal9;

struct LookupCase
{
    const char *name;
    std::vector<test::FakeInput> inputs; // of the interface behind hidraw3; event10 is write-only
    QString asked;
    std::string expected; // each node found, "=r" readable by the user, "=-" not
};

void PrintTo(const LookupCase &row, std::ostream *os)
{
    *os << row.name;
}

class NodeLookup : public testing::TestWithParam<LookupCase>
{
};

TEST_P(NodeLookup, FindsTheInterfacesEventNodesAndWhichTheUserMayRead)
{
    const LookupCase &row = GetParam();
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    ASSERT_TRUE(test::makeHidDevice(root.path(), { .inputs = row.inputs }));
    // Write-only: not even its owner may read it.
    const QString event10 = root.filePath("dev/input/event10");
    ASSERT_TRUE(!QFile::exists(event10) || QFile::setPermissions(event10, QFile::WriteOwner));

    SystemPaths paths;
    paths.sysRoot = root.filePath("sys");
    paths.devRoot = root.filePath("dev");
    const std::string seen = test::asUnprivileged([&] {
        std::string flags;
        for (const InputNode &node : inputNodesOfHidraw(row.asked, paths)) {
            flags += node.path.mid(root.path().size()).toStdString() + (node.readable ? "=r " : "=- ");
        }
        return flags;
    });
    EXPECT_EQ(seen, row.expected);
}

INSTANTIATE_TEST_SUITE_P(Trees, NodeLookup,
    testing::Values(LookupCase { "one_node", { { "input15", { "event7" } } }, "/dev/hidraw3", "/dev/input/event7=r " },
        // One input device per application collection; sorted by number, not text.
        LookupCase { "nodes_by_number", { { "input16", { "event10" } }, { "input15", { "event9", "event8" } } },
            "/dev/hidraw3", "/dev/input/event8=r /dev/input/event9=r /dev/input/event10=- " },
        LookupCase { "interface_without_input_device", {}, "/dev/hidraw3", "" },
        LookupCase { "other_hidraw_node", { { "input15", { "event7" } } }, "/dev/hidraw4", "" }),
    [](const testing::TestParamInfo<LookupCase> &info) { return std::string(info.param.name); });

} // namespace
