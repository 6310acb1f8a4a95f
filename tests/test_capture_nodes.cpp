// Finding a reader's input event nodes from its hidraw node, on a scratch
// sysfs and /dev tree.

#include "capture/InputNodes.h"

#include "FakeInputTree.h"

#include <gtest/gtest.h>

#include <ostream>

#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

using namespace vortal9;
using vortal9::test::FakeInput;

struct LookupCase
{
    const char *name;
    std::vector<FakeInput> inputs; // of the interface behind hidraw3
    QString asked;
    QStringList expected; // event node names under dev/input
};

void PrintTo(const LookupCase &row, std::ostream *os)
{
    *os << row.name;
}

class NodeLookupTable : public testing::TestWithParam<LookupCase>
{
};

TEST_P(NodeLookupTable, FindsTheInterfacesEventNodes)
{
    const LookupCase &row = GetParam();
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    ASSERT_TRUE(test::makeHidrawTree(root.path(), QStringLiteral("hidraw3"), row.inputs));

    QStringList found;
    for (const InputNode &node : inputNodesOfHidraw(row.asked, root.path() + "/sys", root.path() + "/dev")) {
        found << node.path.mid(root.path().size());
        EXPECT_TRUE(node.readable) << node.path.toStdString(); // as created: 0644
    }
    QStringList expected;
    for (const QString &event : row.expected) {
        expected << QStringLiteral("/dev/input/") + event;
    }
    EXPECT_EQ(found, expected);
}

INSTANTIATE_TEST_SUITE_P(Trees, NodeLookupTable,
    testing::Values(LookupCase { "one_node", { { "input15", { "event7" } } }, "/dev/hidraw3", { "event7" } },
        // One input device per application collection; sorted by number, not text.
        LookupCase { "two_nodes_by_number", { { "input16", { "event10" } }, { "input15", { "event9" } } },
            "/dev/hidraw3", { "event9", "event10" } },
        LookupCase { "interface_without_input_device", {}, "/dev/hidraw3", {} },
        LookupCase { "other_hidraw_node", { { "input15", { "event7" } } }, "/dev/hidraw4", {} },
        LookupCase { "no_hidraw_path", { { "input15", { "event7" } } }, "/dev/input/event7", {} }),
    [](const testing::TestParamInfo<LookupCase> &info) { return std::string(info.param.name); });

TEST(NodeLookup, TellsWhichNodesTheUserMayRead)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    ASSERT_TRUE(
        test::makeHidrawTree(root.path(), QStringLiteral("hidraw3"), { { "input15", { "event7", "event8" } } }));
    ASSERT_EQ(chmod(QFile::encodeName(root.path() + "/dev/input/event8").constData(), 0200),
        0); // its owner may not read it either

    const std::string seen = test::asUnprivileged([&root] {
        std::string flags;
        for (const InputNode &node : inputNodesOfHidraw("/dev/hidraw3", root.path() + "/sys", root.path() + "/dev")) {
            flags += node.path.section('/', -1).toStdString() + (node.readable ? "=r " : "=- ");
        }
        return flags;
    });
    EXPECT_EQ(seen, "event7=r event8=- ");
}

} // namespace
