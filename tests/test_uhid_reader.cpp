// vortal9-uhid-reader's side of the uhid protocol, against a SOCK_SEQPACKET
// socket pair standing in for /dev/uhid (one struct uhid_event per message,
// as the kernel reads and writes them): what it creates, how it answers
// set- and get-feature reports, the firmware's typing as boot keyboard
// reports, and the misbehaviours it is asked for.
#include "DeviceSet.h"
#include "UhidDevice.h"
#include "device/ReportDescriptor.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <linux/input.h>
#include <linux/uhid.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vortal9;
using namespace vortal9::uhid;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The kernel's end: a thread keeps reading what the device writes, so the
// device never waits for room.
class KernelEnd
{
public:
    KernelEnd()
    {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
        ::fcntl(sv[0], F_SETFL, O_NONBLOCK);
        m_deviceFd = sv[0];
        m_fd = sv[1];
        m_thread = std::thread([this] {
            for (;;) {
                auto ev = std::make_shared<uhid_event>();
                if (::read(m_fd, ev.get(), sizeof *ev) <= 0)
                    return;
                std::lock_guard lock(m_mutex);
                m_events.push_back(ev);
            }
        });
    }
    ~KernelEnd()
    {
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }

    int takeDeviceFd() { return m_deviceFd; }

    void send(const uhid_event &ev) { ASSERT_EQ(::write(m_fd, &ev, sizeof ev), ssize_t(sizeof ev)); }

    void setFeature(std::uint32_t id, const Bytes &report)
    {
        uhid_event ev{};
        ev.type = UHID_SET_REPORT;
        ev.u.set_report.id = id;
        ev.u.set_report.rnum = 0;
        ev.u.set_report.rtype = UHID_FEATURE_REPORT;
        ev.u.set_report.size = std::uint16_t(report.size());
        std::memcpy(ev.u.set_report.data, report.data(), report.size());
        send(ev);
    }

    std::vector<std::shared_ptr<uhid_event>> events(std::uint32_t type)
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::shared_ptr<uhid_event>> out;
        for (const auto &ev : m_events) {
            if (ev->type == type)
                out.push_back(ev);
        }
        return out;
    }

    // The set-report reply for request id, if one came.
    std::optional<int> setReply(std::uint32_t id)
    {
        for (const auto &ev : events(UHID_SET_REPORT_REPLY)) {
            if (ev->u.set_report_reply.id == id)
                return int(ev->u.set_report_reply.err);
        }
        return std::nullopt;
    }

private:
    int m_fd = -1;
    int m_deviceFd = -1;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::shared_ptr<uhid_event>> m_events;
};

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 5000)
{
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (done())
            return true;
        QTest::qWait(5);
    }
    return done();
}

DeviceConfig fastReader(const QString &serial = QStringLiteral("VT9-T1"))
{
    DeviceConfig c;
    c.serial = serial;
    c.firmware.answerDelayMs = 0;
    c.firmware.charIntervalMs = 1;
    c.firmware.lineGapMs = 1;
    return c;
}

Bytes report(const Bytes &payload)
{
    Bytes r(9, 0); // report ID 0, the payload, zero fill
    std::copy(payload.begin(), payload.end(), r.begin() + 1);
    return r;
}

// The text a U.S. keyboard types for boot keyboard reports (each make
// followed by its break); independent of the program's own table.
QString typedBy(const std::vector<std::shared_ptr<uhid_event>> &inputs, QString *fault)
{
    const QString digits = QStringLiteral("1234567890"), shiftedDigits = QStringLiteral("!@#$%^&*()");
    const QString symbols = QStringLiteral("-=[]\\#;'`,./"), shiftedSymbols = QStringLiteral("_+{}|~:\"~<>?");
    QString text;
    for (std::size_t i = 0; i < inputs.size(); i += 2) {
        const std::uint8_t *make = inputs[i]->u.input2.data;
        if (inputs[i]->u.input2.size != 8 || i + 1 >= inputs.size() || inputs[i + 1]->u.input2.size != 8
            || Bytes(inputs[i + 1]->u.input2.data, inputs[i + 1]->u.input2.data + 8) != Bytes(8, 0)
            || make[1] != 0 || std::any_of(make + 3, make + 8, [](std::uint8_t b) { return b != 0; })) {
            *fault = QStringLiteral("report %1 is not an 8-byte make with one key, then its break").arg(i);
            return text;
        }
        const bool shift = make[0] == 0x02, altGr = make[0] == 0x40;
        if (make[0] != 0 && !shift && !altGr) {
            *fault = QStringLiteral("modifiers %1 at report %2").arg(make[0], 0, 16).arg(i);
            return text;
        }
        const std::uint8_t u = make[2];
        if (altGr && u == 0x08)
            text += QChar(0x20AC);
        else if (u >= 0x04 && u <= 0x1D)
            text += QChar((shift ? 'A' : 'a') + (u - 0x04));
        else if (u >= 0x1E && u <= 0x27)
            text += (shift ? shiftedDigits : digits).at(u - 0x1E);
        else if (u >= 0x2D && u <= 0x38)
            text += (shift ? shiftedSymbols : symbols).at(u - 0x2D);
        else if (u == 0x28)
            text += u'\n';
        else if (u == 0x2C)
            text += u' ';
        else
            text += u'?';
    }
    return text;
}

struct CreateRow
{
    const char *name;
    bool reader;
    std::uint16_t vendor, product;
    int featureLength; // as the program reads it from the descriptor
};

class UhidCreate : public testing::TestWithParam<CreateRow>
{};

TEST_P(UhidCreate, SendsIdsSerialAndTheReportDescriptor)
{
    const CreateRow &row = GetParam();
    KernelEnd kernel;
    DeviceConfig config = fastReader(QStringLiteral("SER-42"));
    config.reader = row.reader;
    config.vendor = row.vendor;
    config.product = row.product;
    UhidDevice device(kernel.takeDeviceFd(), config, nullptr);
    ASSERT_TRUE(device.create());
    ASSERT_TRUE(waitUntil([&] { return !kernel.events(UHID_CREATE2).empty(); }));
    const uhid_create2_req &c = kernel.events(UHID_CREATE2).front()->u.create2;
    EXPECT_EQ(c.bus, BUS_USB);
    EXPECT_EQ(c.vendor, row.vendor);
    EXPECT_EQ(c.product, row.product);
    EXPECT_STREQ(reinterpret_cast<const char *>(c.uniq), "SER-42");
    EXPECT_STRNE(reinterpret_cast<const char *>(c.name), "");
    EXPECT_EQ(featureReportByteLength(std::span(c.rd_data, c.rd_size)), row.featureLength);

    device.destroy();
    EXPECT_TRUE(waitUntil([&] { return kernel.events(UHID_DESTROY).size() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Rows, UhidCreate,
                         testing::Values(CreateRow{"reader", true, 0x04B4, 0x210A, 9},
                                         CreateRow{"plainKeyboard", false, 0x04B4, 0x0101, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(UhidReader, AnswersTheHotKeyAndTypesTheMenuAsKeyReportsWithShift)
{
    KernelEnd kernel;
    UhidDevice device(kernel.takeDeviceFd(), fastReader(), nullptr);
    ASSERT_TRUE(device.create());
    // Left Ctrl, left Alt, F10 made and broken: the hot key, in two reports.
    kernel.setFeature(7, report({0x14, 0x11, 0x09, 0xF0, 0x09, 0xF0, 0x11}));
    kernel.setFeature(8, report({0xF0, 0x14}));
    ASSERT_TRUE(waitUntil([&] { return kernel.setReply(7) && kernel.setReply(8); }));
    EXPECT_EQ(kernel.setReply(7), 0);
    EXPECT_EQ(kernel.setReply(8), 0);
    ASSERT_TRUE(device.firmware()->inConfigMode());
    // The firmware got the reports as sent, report ID first.
    ASSERT_EQ(device.firmware()->receivedReports().size(), 2u);
    EXPECT_EQ(device.firmware()->receivedReports()[1].bytes, report({0xF0, 0x14}));

    ASSERT_TRUE(waitUntil([&] { return !device.firmware()->isTyping(); }));
    const QString menu = device.firmware()->typedText();
    ASSERT_TRUE(menu.startsWith(QLatin1String("VORTAL9 SETUP\n1 Preamble: (none)\n")));
    ASSERT_TRUE(waitUntil([&] { return kernel.events(UHID_INPUT2).size() == std::size_t(2 * menu.size()); }));
    QString fault;
    EXPECT_EQ(typedBy(kernel.events(UHID_INPUT2), &fault), menu);
    EXPECT_EQ(fault, QString());
}

TEST(UhidReader, TypesAltGrCharactersOfThePreamble)
{
    KernelEnd kernel;
    DeviceConfig config = fastReader();
    config.firmware.settings.insert(QStringLiteral("preamble"), QStringLiteral("\u20AC|"));
    UhidDevice device(kernel.takeDeviceFd(), config, nullptr);
    ASSERT_TRUE(device.create());
    kernel.setFeature(1, report({0x14, 0x11, 0x09, 0xF0, 0x09, 0xF0, 0x11}));
    kernel.setFeature(2, report({0xF0, 0x14}));
    ASSERT_TRUE(waitUntil([&] { return kernel.setReply(2) && !device.firmware()->isTyping(); }));
    ASSERT_TRUE(waitUntil([&] {
        return kernel.events(UHID_INPUT2).size() == std::size_t(2 * device.firmware()->typedText().size());
    }));
    QString fault;
    EXPECT_TRUE(typedBy(kernel.events(UHID_INPUT2), &fault).contains(QStringLiteral("1 Preamble: \u20AC|\n")));
    EXPECT_EQ(fault, QString());
}

TEST(UhidReader, GetFeatureIsAnsweredWithTheReportIdAndZerosAndAKeyboardRefusesFeatures)
{
    KernelEnd kernel;
    UhidDevice reader(kernel.takeDeviceFd(), fastReader(), nullptr);
    KernelEnd keyboardKernel;
    DeviceConfig plain = fastReader(QString());
    plain.reader = false;
    UhidDevice keyboard(keyboardKernel.takeDeviceFd(), plain, nullptr);
    ASSERT_TRUE(reader.create());
    ASSERT_TRUE(keyboard.create());
    for (KernelEnd *k : {&kernel, &keyboardKernel}) {
        uhid_event ev{};
        ev.type = UHID_GET_REPORT;
        ev.u.get_report.id = 3;
        ev.u.get_report.rtype = UHID_FEATURE_REPORT;
        k->send(ev);
        k->setFeature(4, report({0x16}));
    }
    ASSERT_TRUE(waitUntil([&] {
        return kernel.events(UHID_GET_REPORT_REPLY).size() == 1 && keyboardKernel.events(UHID_GET_REPORT_REPLY).size() == 1
            && kernel.setReply(4) && keyboardKernel.setReply(4);
    }));
    const uhid_get_report_reply_req &r = kernel.events(UHID_GET_REPORT_REPLY).front()->u.get_report_reply;
    EXPECT_EQ(r.id, 3u);
    EXPECT_EQ(r.err, 0);
    EXPECT_EQ(Bytes(r.data, r.data + r.size), Bytes(9, 0));
    EXPECT_EQ(keyboardKernel.events(UHID_GET_REPORT_REPLY).front()->u.get_report_reply.err, EIO);
    EXPECT_EQ(kernel.setReply(4), 0);
    EXPECT_EQ(keyboardKernel.setReply(4), EIO);
}

struct MisbehaviourRow
{
    const char *name;
    Misbehaviour misbehaviour;
    // The reply to each of three set-feature reports: an errno, or -1 for none.
    std::array<int, 3> replies;
    bool destroyed;
    std::size_t reachedFirmware;
};

class UhidMisbehaviour : public testing::TestWithParam<MisbehaviourRow>
{};

TEST_P(UhidMisbehaviour, RepliesAsAsked)
{
    const MisbehaviourRow &row = GetParam();
    KernelEnd kernel;
    DeviceConfig config = fastReader();
    config.misbehaviour = row.misbehaviour;
    UhidDevice device(kernel.takeDeviceFd(), config, nullptr);
    ASSERT_TRUE(device.create());
    for (std::uint32_t id = 1; id <= 3; ++id)
        kernel.setFeature(id, report({0x16, 0xF0, 0x16}));
    // Every report that gets an answer has one once the last has.
    const std::uint32_t last = row.replies[2] >= 0 ? 3 : 1;
    ASSERT_TRUE(waitUntil([&] { return kernel.setReply(last).has_value(); }));
    if (row.destroyed) {
        ASSERT_TRUE(waitUntil([&] { return kernel.events(UHID_DESTROY).size() == 1; }));
    }
    QTest::qWait(20);
    for (std::uint32_t id = 1; id <= 3; ++id)
        EXPECT_EQ(kernel.setReply(id).value_or(-1), row.replies[id - 1]) << "report " << id;
    EXPECT_EQ(device.isGone(), row.destroyed);
    EXPECT_EQ(kernel.events(UHID_DESTROY).size(), row.destroyed ? 1u : 0u);
    EXPECT_EQ(device.firmware()->receivedReports().size(), row.reachedFirmware);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UhidMisbehaviour,
    testing::Values(MisbehaviourRow{"none", {}, {0, 0, 0}, false, 3},
                    MisbehaviourRow{"noAnswerAt2", {.noAnswerAt = 2}, {0, -1, 0}, false, 2},
                    MisbehaviourRow{"errorAt1", {.errorAt = 1}, {EIO, 0, 0}, false, 2},
                    MisbehaviourRow{"unplugAt2", {.unplugAt = 2}, {0, -1, -1}, true, 1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(UhidReader, EndlessTypingGoesOnAfterItsReport)
{
    KernelEnd kernel;
    DeviceConfig config = fastReader();
    config.misbehaviour.endlessTypingAt = 1;
    UhidDevice device(kernel.takeDeviceFd(), config, nullptr);
    ASSERT_TRUE(device.create());
    QTest::qWait(30);
    EXPECT_TRUE(kernel.events(UHID_INPUT2).empty()); // nothing before its report
    kernel.setFeature(1, report({}));
    // Far more than any answer of the menu holds.
    EXPECT_TRUE(waitUntil([&] { return kernel.events(UHID_INPUT2).size() > 600; }, 20000));
    device.destroy();
}

struct FleetRow
{
    const char *name;
    const char *json;
    bool valid;
};

class UhidFleet : public testing::TestWithParam<FleetRow>
{};

TEST_P(UhidFleet, ParsesTheExtraFields)
{
    QString error;
    const auto devices = parseDeviceFleet(GetParam().json, &error);
    ASSERT_EQ(devices.has_value(), GetParam().valid) << error.toStdString();
    if (!devices)
        return;
    ASSERT_EQ(devices->size(), 2u);
    const DeviceConfig &a = devices->at(0), &b = devices->at(1);
    EXPECT_TRUE(a.reader);
    EXPECT_EQ(a.serial, QStringLiteral("R1"));
    EXPECT_EQ(a.firmware.settings.value(QStringLiteral("beep")), QStringLiteral("OFF"));
    EXPECT_EQ(a.misbehaviour.noAnswerAt, 3);
    EXPECT_EQ(a.misbehaviour.endlessTypingAt, 0);
    EXPECT_EQ(std::make_pair(a.vendor, a.product), std::make_pair(std::uint16_t(0x04B4), std::uint16_t(0x210A)));
    EXPECT_FALSE(b.reader);
    EXPECT_EQ(std::make_pair(b.vendor, b.product), std::make_pair(std::uint16_t(0x1234), std::uint16_t(0xABCD)));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UhidFleet,
    testing::Values(
        FleetRow{"noPathsNeeded",
                 R"({"readers":[{"serial":"R1","settings":{"beep":"OFF"},"noAnswerAt":3,"endlessTypingAt":0},
                                {"keyboard":true,"vendor":"1234","product":43981}]})",
                 true},
        FleetRow{"reportZero", R"({"readers":[{"serial":"R1","unplugAt":0}]})", false},
        FleetRow{"idTooLarge", R"({"readers":[{"keyboard":true,"vendor":"12345"}]})", false},
        FleetRow{"badSetting", R"({"readers":[{"settings":{"beep":"LOUD"}}]})", false}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
