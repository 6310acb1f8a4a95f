// The reader doctor on a scratch sysfs and /dev tree: which devices are
// readers, what blocks each, the fixes and the window's one-line summary.

#include "capture/ReaderDoctor.h"

#include "FakeInputTree.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include <QTemporaryDir>

namespace {

using namespace vortal9;
using namespace std::string_literals;
using test::FakeHidDevice;

// A keyboard with a feature report, as the reader's interface has.
FakeHidDevice device(const char *hidraw, const char *usb, const char *hid, const char *event, mode_t hidrawMode = 0666)
{
    FakeHidDevice d;
    d.hidraw = hidraw;
    d.usbDevice = usb;
    d.hidDevice = hid;
    d.inputs = { { "input15", { event } } };
    d.reportDescriptor = QByteArray::fromHex("05010906a1017508950881009508b102c0");
    d.hidrawMode = hidrawMode;
    return d;
}

FakeHidDevice reader(void (*change)(FakeHidDevice &) = nullptr)
{
    FakeHidDevice d = device("hidraw3", "1-2.4", "0003:04B4:210A.0007", "event7");
    if (change) {
        change(d);
    }
    return d;
}

struct DoctorCase
{
    const char *name;
    std::vector<FakeHidDevice> devices;
    QStringList ruleFiles; // under the scratch root
    std::string report; // per reader its node, usable/capturable and "- " problems; "> " fixes; "= " summary
};

void PrintTo(const DoctorCase &row, std::ostream *os)
{
    *os << row.name;
}

class DoctorTable : public testing::TestWithParam<DoctorCase>
{
};

// Everything as a technician's account sees it (run as root, every
// permission check would pass), with the scratch root cut from the paths.
std::string report(const SystemPaths &paths, const QString &root)
{
    const std::vector<ReaderDiagnosis> readers = diagnoseReaders(paths);
    QStringList lines;
    for (const ReaderDiagnosis &r : readers) {
        lines << r.name() + (r.usable() ? " usable" : "") + (r.capturable() ? " capturable" : "");
        for (const QString &problem : r.problems()) {
            lines << "- " + problem;
        }
    }
    for (const QString &fix : fixesFor(readers, paths)) {
        lines << "> " + fix;
    }
    lines << "= " + blockedSummary(readers);
    return lines.join('\n').remove(root).toStdString();
}

SystemPaths scratchPaths(const QTemporaryDir &root)
{
    SystemPaths paths;
    paths.sysRoot = root.filePath("sys");
    paths.devRoot = root.filePath("dev");
    paths.udevRuleDirs = { root.filePath("etc/udev/rules.d"), root.filePath("usr/lib/udev/rules.d") };
    paths.ruleCopies = { root.filePath("nowhere/70-vortal9.rules"), root.filePath("opt/lib/udev/rules.d/70-vortal9.rules") };
    return paths;
}

TEST_P(DoctorTable, FindsWhatBlocksEachReaderAndTheFix)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    for (const FakeHidDevice &d : GetParam().devices) {
        if (d.nodeGroup != gid_t(-1) && geteuid() != 0) {
            GTEST_SKIP() << "giving a node to another group needs root";
        }
        ASSERT_TRUE(test::makeHidDevice(root.path(), d)) << d.hidraw.toStdString();
    }
    for (const QString &dir : GetParam().ruleFiles) {
        ASSERT_TRUE(
            QDir().mkpath(root.filePath(dir)) && test::writeFile(root.filePath(dir + "/70-vortal9.rules"), "#"));
    }
    const SystemPaths paths = scratchPaths(root);
    EXPECT_EQ(test::asUnprivileged([&] { return report(paths, root.path()); }), GetParam().report);
}

void noAccess(FakeHidDevice &d)
{
    d.hidrawMode = 0444; // readable, not writable: no read/write access, even for its owner
}

// The udev steps after their first lines, which say where the rule is.
std::string udevFix(const std::string &where, bool several = false)
{
    return where + "> Reload the rules and apply them to the devices already plugged in:\n"
        + "> sudo udevadm control --reload && sudo udevadm trigger\n"
        + (several ? "> Then unplug the readers and plug them in again.\n"
                   : "> Then unplug the reader and plug it in again.\n")
        + "> The rule gives access to the person logged in at this computer's own screen and keyboard (the "
          "\"uaccess\" tag, through systemd-logind), not to remote (SSH) sessions.\n";
}

// A reader the kernel gave no hidraw node (it had none of its 64 left).
FakeHidDevice withoutNode(void (*change)(FakeHidDevice &) = nullptr)
{
    FakeHidDevice d = device("", "1-5", "0003:04B4:210A.0041", "event41");
    if (change) {
        change(d);
    }
    return d;
}

const std::string NoNode = "0003:04B4:210A.0041\n- the kernel gave it no hidraw node: it gives at most 64 HID devices "
                           "one, keyboards and mice included, and had none left\n";
const std::string NoNodeFix = "> 1 of the attached readers got no hidraw node: the kernel gives at most 64 HID devices "
                              "one, keyboards and mice included. Attach fewer readers to this computer at once "
                              "(configure them in groups), or unplug other USB input devices.\n";

const std::string Installed = udevFix("> The udev rule is installed: /usr/lib/udev/rules.d/70-vortal9.rules\n");
const std::string Blocked = "/dev/hidraw3\n- no read/write permission on /dev/hidraw3\n";
const std::string OneBlocked = "= can't open 1 reader: vortal9-batch doctor";

INSTANTIATE_TEST_SUITE_P(Trees, DoctorTable,
    testing::Values(DoctorCase { "all_fine", { reader() }, {}, "/dev/hidraw3 usable capturable\n= " },
        DoctorCase { "rule_as_copy", { reader(noAccess) }, { "opt/lib/udev/rules.d" },
            Blocked
                + udevFix("> The udev rule is not where udev reads it. Copy it there:\n"
                          "> sudo cp /opt/lib/udev/rules.d/70-vortal9.rules /etc/udev/rules.d/\n")
                + OneBlocked },
        DoctorCase { "installed_rule_before_copy", { reader(noAccess) },
            { "opt/lib/udev/rules.d", "etc/udev/rules.d", "usr/lib/udev/rules.d" },
            Blocked + udevFix("> The udev rule is installed: /etc/udev/rules.d/70-vortal9.rules\n") + OneBlocked },
        DoctorCase { "no_rule", { reader(noAccess) }, {},
            Blocked
                + udevFix("> The udev rule is not installed. Write it to /etc/udev/rules.d/70-vortal9.rules:\n"
                          "> sudo tee /etc/udev/rules.d/70-vortal9.rules >/dev/null <<'EOF'\n> "s
                    + UdevRuleLines[0] + "\n> " + UdevRuleLines[1] + "\n> EOF\n")
                + OneBlocked },
        // The window still hears it through the keyboard focus: no summary.
        DoctorCase { "event_node_without_permission", { reader([](FakeHidDevice &d) { d.eventMode = 0200; }) },
            { "usr/lib/udev/rules.d" },
            "/dev/hidraw3 usable\n- no permission to read /dev/input/event7, so its keys cannot be captured\n"
                + Installed + "= " },
        DoctorCase { "no_feature_report", { reader([](FakeHidDevice &d) {
                        d.reportDescriptor = QByteArray::fromHex("05010906a101750895088100c0"); // input only
                        d.hidrawMode = 0200;
                    }) },
            { "usr/lib/udev/rules.d" },
            "/dev/hidraw3\n- no feature report: this is not the reader's configuration interface\n"
            "> /dev/hidraw3 has no feature report: it is another interface of the device, or not a VORTAL9 reader; "
            "there is nothing to fix with udev.\n= " },
        DoctorCase { "no_event_node", { reader([](FakeHidDevice &d) { d.inputs = {}; }) }, {},
            "/dev/hidraw3 usable\n- no input device, so its keys cannot be captured\n"
            "> /dev/hidraw3 has no input device, so its keys cannot be captured; udev cannot change that (the window "
            "still hears it through the keyboard focus).\n= " },
        DoctorCase { "hidraw_node_missing", { reader([](FakeHidDevice &d) { d.hidrawMode = 0; }) }, {},
            "/dev/hidraw3\n- its hidraw node /dev/hidraw3 is missing\n"
            "> /dev/hidraw3 is missing although the kernel has the device: this /dev is not the system's own (a "
            "container?); give it the node, e.g. --device /dev/hidraw3, then check again.\n"s
                + OneBlocked },
        DoctorCase { "other_devices_ignored",
            { device("hidraw0", "1-1", "0003:046D:C52B.0001", "event1", 0200),
                device("hidraw1", "1-3", "0003:04B4:2100.0002", "event2", 0200),
                device("hidraw2", "1-4", "0003:04b4:210a.0003", "event3") },
            {}, "/dev/hidraw2 usable capturable\n= " },
        // The kernel knows the reader (bus/hid/devices) but gave it no node:
        // named by its HID device, counted as blocked, and the fix says why.
        DoctorCase { "reader_without_hidraw_node", { reader(), withoutNode() }, {},
            "/dev/hidraw3 usable capturable\n" + NoNode + NoNodeFix + OneBlocked },
        // Another interface of such a reader (no feature report) is no reader to name.
        DoctorCase { "interface_without_hidraw_node",
            { reader(), withoutNode([](FakeHidDevice &d) {
                 d.reportDescriptor = QByteArray::fromHex("05010906a101750895088100c0");
             }) },
            {},
            "/dev/hidraw3 usable capturable\n0003:04B4:210A.0041\n- no feature report: this is not the reader's "
            "configuration interface\n= " },
        // Made with uhid: no USB parent, nothing about USB to say.
        DoctorCase { "uhid_reader_without_usb_parent", { reader([](FakeHidDevice &d) { d.onUsb = false; }) }, {},
            "/dev/hidraw3 usable capturable\n= " },
        // The station's rule gives the nodes to its group: the uaccess fix
        // alone would not help a user outside that group.
        DoctorCase { "nodes_of_a_group_the_user_is_not_in", { reader([](FakeHidDevice &d) {
                        d.hidrawMode = 0660;
                        d.eventMode = 0640;
                        d.nodeGroup = 20; // dialout, standing for vortal9
                    }) },
            { "usr/lib/udev/rules.d" },
            Blocked + "- no permission to read /dev/input/event7, so its keys cannot be captured\n" + Installed
                + "> The readers' nodes are open to the group \"dialout\", and you are not in it. Add your account "
                  "to it, then log out and in again:\n> sudo usermod -aG dialout nobody\n"
                + OneBlocked },
        // Writable but not readable: no read/write access either.
        DoctorCase { "two_readers_by_number",
            { device("hidraw10", "1-3", "0003:04B4:210A.000C", "event12", 0222),
                device("hidraw9", "1-2", "0003:04B4:210A.000B", "event11", 0222) },
            { "usr/lib/udev/rules.d" },
            "/dev/hidraw9\n- no read/write permission on /dev/hidraw9\n"
            "/dev/hidraw10\n- no read/write permission on /dev/hidraw10\n"
                + udevFix("> The udev rule is installed: /usr/lib/udev/rules.d/70-vortal9.rules\n", true)
                + "= can't open 2 readers: vortal9-batch doctor" }),
    [](const testing::TestParamInfo<DoctorCase> &info) { return std::string(info.param.name); });

TEST(ReaderDoctor, ReadsTheUsbDevicesLocationAndStrings)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    FakeHidDevice named = reader();
    named.serial = "A1B2C3\n"; // sysfs ends attributes with a newline
    named.manufacturer = "Card Reader Maker \n";
    ASSERT_TRUE(test::makeHidDevice(root.path(), named));
    ASSERT_TRUE(test::makeHidDevice(root.path(), device("hidraw4", "2-1", "0003:04B4:210A.0008", "event8")));
    // Made with /dev/uhid (as the real-kernel test does): no USB device above
    // it; the kernel gives its serial number as the HID device's uniq.
    FakeHidDevice virtualReader = device("hidraw5", "", "0003:04B4:210A.0009", "event9");
    virtualReader.onUsb = false;
    virtualReader.serial = "VT9-UHID-001";
    ASSERT_TRUE(test::makeHidDevice(root.path(), virtualReader));

    const std::vector<ReaderDiagnosis> readers = diagnoseReaders(scratchPaths(root));
    ASSERT_EQ(readers.size(), 3U);
    EXPECT_EQ(QStringList({ readers[2].hidraw, readers[2].hidDevice }),
        QStringList({ root.filePath("dev/hidraw5"), "0003:04B4:210A.0009" }));
    EXPECT_TRUE(readers[2].usable());
    EXPECT_EQ(QStringList({ readers[0].usbLocation, readers[0].serial, readers[0].manufacturer }),
        QStringList({ "1-2.4", "A1B2C3", "Card Reader Maker" }));
    EXPECT_EQ(QStringList({ readers[1].usbLocation, readers[1].serial, readers[1].manufacturer }),
        QStringList({ "2-1", "", "" }));
    EXPECT_EQ(QStringList({ readers[2].usbLocation, readers[2].serial, readers[2].manufacturer }),
        QStringList({ "", "VT9-UHID-001", "" }));
}

// The rule that the doctor writes out is the one the project installs, and
// the programs know where make install leaves it.
TEST(ReaderDoctor, KnowsTheProjectsUdevRule)
{
    QFile file(QStringLiteral(VORTAL9_UDEV_RULE));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QStringList active;
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (!line.trimmed().isEmpty() && !line.trimmed().startsWith('#')) {
            active << line;
        }
    }
    EXPECT_EQ(QStringList(std::begin(UdevRuleLines), std::end(UdevRuleLines)), active);
    EXPECT_EQ(installedSystemPaths().ruleCopies,
        QStringList { QStringLiteral(VORTAL9_INSTALL_PREFIX "/lib/udev/rules.d/70-vortal9.rules") });
}

// Hints name the tool as the user can run it: the plain name when PATH finds
// this very program, otherwise its full path, ready for a shell.
TEST(ReaderDoctor, NamesTheToolAsAShellFindsIt)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString dir = root.path();
    for (const char *folder : { "bin", "other", "my dir", "links" }) {
        ASSERT_TRUE(QDir(dir).mkpath(folder));
        if (QString(folder) != "links") {
            const QString program = dir + "/" + folder + "/vortal9-batch";
            ASSERT_TRUE(test::writeFile(program, "#!/bin/sh\n"));
            ASSERT_TRUE(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
        }
    }
    ASSERT_TRUE(QFile::link(dir + "/bin/vortal9-batch", dir + "/links/vortal9-batch"));
    const QString bin = dir + "/bin/vortal9-batch";
    const struct
    {
        const char *name;
        QString program;
        QString path;
        QString expected;
    } rows[] = {
        { "itselfOnPath", bin, "/nowhere:" + dir + "/bin", "vortal9-batch" },
        { "linkOnPath", bin, dir + "/links", "vortal9-batch" },
        { "anotherFirstOnPath", bin, dir + "/other:" + dir + "/bin", bin },
        { "notOnPath", bin, "/nowhere", bin },
        { "folderWithSpace", dir + "/my dir/vortal9-batch", "", "'" + dir + "/my dir/vortal9-batch'" },
        { "notBuilt", dir + "/none/vortal9-batch", dir + "/bin", "vortal9-batch" },
    };
    for (const auto &row : rows) {
        EXPECT_EQ(batchCommandFor(row.program, row.path), row.expected) << row.name;
    }
    SystemPaths paths;
    paths.batchCommand = batchCommandFor(dir + "/my dir/vortal9-batch", "");
    ReaderDiagnosis blocked;
    blocked.hasFeatureReport = true;
    EXPECT_EQ(blockedSummary({ blocked }, paths), "can't open 1 reader: '" + dir + "/my dir/vortal9-batch' doctor");
    EXPECT_EQ(shellQuoted("it's"), R"('it'\''s')");
}

// With no reader attached the doctor says what to check, and names a USB
// device of the reader's ids that the kernel made no hidraw node for.
TEST(ReaderDoctor, SaysWhatToCheckWithoutReader)
{
    const struct
    {
        const char *name;
        const char *vendor; // "": no USB device at all
        const char *product;
        QString firstLine; // its start
    } rows[] = {
        { "nothing", "", "", "Check that the reader's cable is plugged in" },
        { "anotherDevice", "046d\n", "c52b\n", "Check that the reader's cable is plugged in" },
        { "readerWithoutHidraw", "04b4\n", "210a\n", "A USB device with the reader's ids 04b4:210a is at USB 1-4," },
    };
    for (const auto &row : rows) {
        QTemporaryDir root;
        ASSERT_TRUE(root.isValid());
        SystemPaths paths;
        paths.sysRoot = root.filePath("sys");
        if (row.vendor[0] != '\0') {
            const QString usb = root.filePath("sys/bus/usb/devices/1-4");
            ASSERT_TRUE(QDir().mkpath(usb) && test::writeFile(usb + "/idVendor", row.vendor)
                && test::writeFile(usb + "/idProduct", row.product));
        }
        const QStringList lines = checksWithoutReader(paths);
        EXPECT_TRUE(lines.value(0).startsWith(row.firstLine)) << row.name << ": " << lines.value(0).toStdString();
        EXPECT_EQ(lines.contains("lsusb -d 04b4:210a"), row.firstLine.startsWith("Check")) << row.name;
    }
}

} // namespace
