// Capturing a reader through its event nodes, on a scratch sysfs and /dev
// tree whose event nodes are FIFOs.
//
// These machines have no input devices and no uinput. The kernel's side of an
// event node is played here: this binary defines ioctl() and read(), which
// libevdev reaches before the C library's. For a FIFO registered as a fake
// node, opened for reading (as the capture opens it), they answer as evdev
// does (device bits, held keys, EVIOCGRAB, ENODEV once unplugged); every
// other call goes to the kernel unchanged. The test writes struct
// input_event records into the FIFO, as the kernel would queue them.

#include "capture/EvdevCapture.h"
#include "capture/LinuxCapturePlatform.h"

#include "FakeInputTree.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

struct FakeNode
{
    std::set<int> held; // keys down, as EVIOCGKEY reports them
    std::vector<int> grabs; // every EVIOCGRAB argument accepted, in order
    int grabError = 0; // EVIOCGRAB(1) fails with this when set
    bool gone = false; // unplugged: everything fails with ENODEV
    std::atomic<int> keyQueries = 0; // EVIOCGKEY calls: libevdev asks after dropping what was queued
};

std::map<std::pair<dev_t, ino_t>, FakeNode> fakeNodes;

FakeNode *fakeOf(int fd)
{
    struct stat st = {};
    if (fakeNodes.empty() || fstat(fd, &st) != 0 || (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY) {
        return nullptr;
    }
    const auto it = fakeNodes.find({ st.st_dev, st.st_ino });
    return it == fakeNodes.end() ? nullptr : &it->second;
}

int fail(int error)
{
    errno = error;
    return -1;
}

// Copies a bit field of the given bits into a caller's buffer of size bytes.
int bits(void *buffer, unsigned size, const std::set<int> &set)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    std::memset(bytes, 0, size);
    for (const int bit : set) {
        if (unsigned(bit) / 8 < size) {
            bytes[bit / 8] |= 1u << (bit % 8);
        }
    }
    return int(size);
}

// What the evdev driver answers a reader of a keyboard with keys 1 to 255.
// What libevdev asks besides (name, identifiers, other bit fields) reads as
// zeros.
int evdevIoctl(FakeNode &node, unsigned long request, void *arg)
{
    if (node.gone) {
        return fail(ENODEV);
    }
    if (request == EVIOCGRAB) {
        if (arg && node.grabError) {
            return fail(node.grabError);
        }
        node.grabs.push_back(arg ? 1 : 0);
        return 0;
    }
    if (_IOC_TYPE(request) != 'E' || _IOC_DIR(request) != _IOC_READ) {
        return fail(EINVAL);
    }
    const unsigned nr = _IOC_NR(request);
    const unsigned size = _IOC_SIZE(request);
    if (nr == _IOC_NR(EVIOCGKEY(0))) {
        ++node.keyQueries;
        return bits(arg, size, node.held);
    }
    if (nr == _IOC_NR(EVIOCGBIT(0, 0))) {
        return bits(arg, size, { EV_SYN, EV_KEY });
    }
    std::set<int> keys;
    if (nr == _IOC_NR(EVIOCGBIT(EV_KEY, 0))) {
        for (int key = 1; key < 256; ++key) {
            keys.insert(key);
        }
    }
    return bits(arg, size, keys);
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (FakeNode *node = fakeOf(fd)) {
        return evdevIoctl(*node, request, arg);
    }
    return int(syscall(SYS_ioctl, fd, request, arg));
}

// The evdev driver keeps 64 events for each reader of a keyboard's node and,
// when one more comes, drops them all for a SYN_DROPPED: a FIFO holding more
// than that is read as such a queue would be.
constexpr int EvdevQueueEvents = 64;

extern "C" ssize_t read(int fd, void *buffer, size_t size)
{
    FakeNode *node = fakeOf(fd);
    if (node && node->gone) {
        return fail(ENODEV);
    }
    int queued = 0;
    if (node && size >= sizeof(input_event) && syscall(SYS_ioctl, fd, FIONREAD, &queued) == 0
        && queued > int(EvdevQueueEvents * sizeof(input_event))) {
        std::vector<char> dropped(static_cast<std::size_t>(queued));
        if (syscall(SYS_read, fd, dropped.data(), dropped.size()) < 0) {
            return -1;
        }
        const input_event synDropped { {}, EV_SYN, SYN_DROPPED, 0 };
        std::memcpy(buffer, &synDropped, sizeof synDropped);
        return sizeof synDropped;
    }
    return syscall(SYS_read, fd, buffer, size);
}

namespace {

using namespace vortal9;

class Capture : public testing::Test
{
protected:
    void SetUp() override
    {
        fakeNodes.clear();
        ASSERT_TRUE(root.isValid());
        ASSERT_TRUE(test::writeFile(root.filePath("keyboard"), "XKBLAYOUT=\"de\"\n")); // Y types z
        for (const char *name : { "XKB_DEFAULT_RULES", "XKB_DEFAULT_MODEL", "XKB_DEFAULT_LAYOUT", "XKB_DEFAULT_VARIANT",
                 "XKB_DEFAULT_OPTIONS" }) {
            qunsetenv(name);
        }
        SystemPaths paths;
        paths.sysRoot = root.filePath("sys");
        paths.devRoot = root.filePath("dev");
        paths.keyboardFile = root.filePath("keyboard");
        platform = std::make_unique<LinuxCapturePlatform>(nullptr, paths);
    }
    void TearDown() override
    {
        for (const auto &[event, fd] : writers) {
            close(fd);
        }
        fakeNodes.clear();
    }

    QString node(const char *event) const { return root.filePath("dev/input/") + event; }

    // Builds hidraw3 with these event nodes, each a fake evdev node.
    void makeReader(const QStringList &events)
    {
        ASSERT_TRUE(test::makeHidDevice(root.path(), { .inputs = { { "input15", events } } }));
        for (const QString &event : events) {
            fakeNodes[keyOf(event.toLatin1())];
        }
    }
    std::pair<dev_t, ino_t> keyOf(const char *event) const
    {
        struct stat st = {};
        stat(QFile::encodeName(node(event)).constData(), &st);
        return { st.st_dev, st.st_ino };
    }
    FakeNode &fake(const char *event) { return fakeNodes.at(keyOf(event)); }

    // True while some process holds the FIFO open for reading.
    bool isOpen(const char *event) const
    {
        const int fd = open(QFile::encodeName(node(event)).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            close(fd);
        }
        return fd >= 0;
    }

    // Queues records on a node that is open, as the kernel would.
    void sendRecords(const char *event, const std::vector<input_event> &records)
    {
        int &fd = writers[event];
        if (fd == 0) {
            fd = open(QFile::encodeName(node(event)).constData(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
        }
        const auto bytes = ssize_t(records.size() * sizeof(input_event));
        ASSERT_EQ(write(fd, records.data(), std::size_t(bytes)), bytes);
    }
    // Key events, a SYN_REPORT after each.
    void send(const char *event, std::initializer_list<std::pair<int, int>> keys)
    {
        std::vector<input_event> records;
        for (const auto &[code, value] : keys) {
            records.push_back(input_event { {}, EV_KEY, std::uint16_t(code), value });
            records.push_back(input_event { {}, EV_SYN, SYN_REPORT, 0 });
        }
        sendRecords(event, records);
    }

    // Runs the event loop until done() or 5 s; it sleeps between events.
    static bool waitFor(const std::function<bool()> &done)
    {
        QDeadlineTimer deadline(5000);
        while (!done() && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        return done();
    }
    // Until the capture has read all that was written to the node.
    bool drained(const char *event)
    {
        const int fd = writers.at(event);
        return waitFor([fd] {
            int queued = -1;
            return syscall(SYS_ioctl, fd, FIONREAD, &queued) == 0 && queued == 0;
        });
    }

    CaptureAttempt captureAndListen()
    {
        CaptureAttempt attempt = platform->capture("/dev/hidraw3");
        if (attempt.capture) {
            QObject::connect(attempt.capture.get(), &KeyCapture::pressed, attempt.capture.get(),
                [this](const CapturedKeys &keys) {
                    for (const CapturedKey &key : keys) {
                        text += key.text;
                    }
                });
            QObject::connect(attempt.capture.get(), &KeyCapture::lost, attempt.capture.get(), [this] { ++losses; });
        }
        return attempt;
    }

    QTemporaryDir root;
    std::unique_ptr<LinuxCapturePlatform> platform;
    std::map<std::string, int> writers; // by event node
    QString text;
    int losses = 0;
};

TEST_F(Capture, GrabsEveryNodeTypesThroughTheKeymapAndReleasesOnDestruction)
{
    makeReader({ "event7", "event8" });
    CaptureAttempt attempt = captureAndListen();
    ASSERT_TRUE(attempt.capture) << attempt.refusal.toStdString();
    EXPECT_EQ(fake("event7").grabs, std::vector<int> { 1 });
    EXPECT_EQ(fake("event8").grabs, std::vector<int> { 1 });

    send("event7", { { KEY_Y, 1 }, { KEY_Y, 0 } });
    EXPECT_TRUE(waitFor([this] { return text == "z"; })) << text.toStdString();
    // Both nodes are one keyboard: Shift on one applies to keys of the other.
    send("event7", { { KEY_LEFTSHIFT, 1 } });
    ASSERT_TRUE(drained("event7"));
    send("event8", { { KEY_Z, 1 }, { KEY_Z, 0 }, { KEY_ENTER, 1 }, { KEY_ENTER, 0 } });
    EXPECT_TRUE(waitFor([this] { return text == "zY\n"; })) << text.toStdString();

    attempt.capture.reset();
    EXPECT_EQ(fake("event7").grabs, (std::vector<int> { 1, 0 }));
    EXPECT_EQ(fake("event8").grabs, (std::vector<int> { 1, 0 }));
    EXPECT_FALSE(isOpen("event7"));
    EXPECT_FALSE(isOpen("event8"));
}

// The decoder learns keys that went down unseen, without typing them.
TEST_F(Capture, KeysDownBeforeTheGrabOrWhileEventsWereLostTypeNothing)
{
    makeReader({ "event7" });
    fake("event7").held = { KEY_A };
    CaptureAttempt attempt = captureAndListen();
    ASSERT_TRUE(attempt.capture) << attempt.refusal.toStdString();
    send("event7", { { KEY_A, 2 }, { KEY_A, 0 }, { KEY_B, 1 }, { KEY_B, 0 } });
    EXPECT_TRUE(waitFor([this] { return text == "b"; })) << text.toStdString();

    // The queue overflowed while Shift and B went down.
    fake("event7").held = { KEY_LEFTSHIFT, KEY_B };
    const int queries = fake("event7").keyQueries;
    sendRecords("event7", { input_event { {}, EV_SYN, SYN_DROPPED, 0 } });
    // libevdev drops what the node has queued, then asks for the keys down:
    // only keys sent after that are typed.
    ASSERT_TRUE(waitFor([&] { return fake("event7").keyQueries > queries; }));
    send("event7", { { KEY_A, 1 }, { KEY_A, 0 } });
    EXPECT_TRUE(waitFor([this] { return text == "bA"; })) << text.toStdString();
}

// A reader types faster than a busy event loop (a repaint, a feature report
// the kernel holds until the reader answers) comes back to its nodes: bursts
// of 12 characters (48 events), 50 ms apart, while the loop runs nothing for
// 300 ms. Before, the nodes were read on the event loop and the kernel's
// queue of 64 events overflowed: the keys in it were lost.
TEST_F(Capture, ABusyEventLoopLosesNoKey)
{
    makeReader({ "event7" });
    CaptureAttempt attempt = captureAndListen();
    ASSERT_TRUE(attempt.capture) << attempt.refusal.toStdString();
    constexpr int Bursts = 6;
    constexpr int Characters = 12;
    for (int burst = 0; burst < Bursts; ++burst) {
        std::vector<input_event> records;
        for (int i = 0; i < Characters; ++i) {
            for (const int value : { 1, 0 }) {
                records.push_back(input_event { {}, EV_KEY, KEY_X, value });
                records.push_back(input_event { {}, EV_SYN, SYN_REPORT, 0 });
            }
        }
        sendRecords("event7", records);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(waitFor([this] { return text.size() >= Bursts * Characters; }));
    EXPECT_EQ(text, QString(Bursts * Characters, QLatin1Char('x')));
}

TEST_F(Capture, UnpluggingIsReportedOnceAndReleasesEverything)
{
    makeReader({ "event7", "event8" });
    CaptureAttempt attempt = captureAndListen();
    ASSERT_TRUE(attempt.capture) << attempt.refusal.toStdString();
    send("event7", { { KEY_X, 1 }, { KEY_X, 0 } });
    ASSERT_TRUE(drained("event7"));

    // Unplugged: reads fail with ENODEV and the kernel wakes the reader.
    fake("event7").gone = fake("event8").gone = true;
    close(writers.at("event7"));
    writers.erase("event7");
    EXPECT_TRUE(waitFor([this] { return losses > 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(losses, 1);
    EXPECT_TRUE(static_cast<EvdevCapture *>(attempt.capture.get())->nodes().isEmpty());
    EXPECT_FALSE(isOpen("event8"));
}

// ---------------------------------------------------------------- refusals

enum class Trouble {
    None,
    Busy, // another program holds a grab
    NotEvdev, // a FIFO that no fake answers for: ioctls fail with ENOTTY
    Missing, // sysfs lists it, /dev has no node
    Unreadable, // write-only (not even its owner may read it), tried as an unprivileged user
};

struct RefusalCase
{
    const char *name;
    Trouble troubleOfEvent8;
    const char *hidraw;
    QString refusal; // ROOT stands for the scratch tree
};

void PrintTo(const RefusalCase &row, std::ostream *os)
{
    *os << row.name;
}

class Refusal : public Capture, public testing::WithParamInterface<RefusalCase>
{
};

TEST_P(Refusal, NamesTheNodeAndReleasesWhatWasTaken)
{
    const RefusalCase &row = GetParam();
    makeReader({ "event7", "event8" });
    const QByteArray event8 = QFile::encodeName(node("event8"));
    switch (row.troubleOfEvent8) {
    case Trouble::None: break;
    case Trouble::Busy: fake("event8").grabError = EBUSY; break;
    case Trouble::NotEvdev: fakeNodes.erase(keyOf("event8")); break;
    case Trouble::Missing: ASSERT_EQ(unlink(event8.constData()), 0); break;
    case Trouble::Unreadable: ASSERT_EQ(chmod(event8.constData(), 0200), 0); break;
    }

    bool inUse = false;
    const auto attempt = [this, &row, &inUse] {
        const CaptureAttempt attempt = platform->capture(row.hidraw);
        inUse = attempt.inUse;
        return attempt.capture ? std::string("captured") : attempt.refusal.toStdString();
    };
    const std::string refusal = row.troubleOfEvent8 == Trouble::Unreadable ? test::asUnprivileged(attempt) : attempt();
    EXPECT_EQ(QString::fromStdString(refusal), QString(row.refusal).replace("ROOT", root.path()));
    EXPECT_FALSE(isOpen("event7"));
    // Only a grab that another program holds makes the reader "in use".
    EXPECT_EQ(inUse, row.troubleOfEvent8 == Trouble::Busy);
    if (row.troubleOfEvent8 == Trouble::Busy) {
        EXPECT_EQ(fake("event7").grabs, (std::vector<int> { 1, 0 })); // taken, then given back
    }
}

INSTANTIATE_TEST_SUITE_P(Troubles, Refusal,
    testing::Values(RefusalCase { "another_program_holds_it", Trouble::Busy, "/dev/hidraw3",
                        "ROOT/dev/input/event8 is held by another program" },
        RefusalCase { "no_input_device", Trouble::NotEvdev, "/dev/hidraw3",
            "ROOT/dev/input/event8 is no input device: Inappropriate ioctl for device" },
        RefusalCase { "node_missing", Trouble::Missing, "/dev/hidraw3",
            "cannot open ROOT/dev/input/event8: No such file or directory" },
        RefusalCase {
            "no_permission", Trouble::Unreadable, "/dev/hidraw3", "no permission to read ROOT/dev/input/event8" },
        RefusalCase { "no_event_node", Trouble::None, "/dev/hidraw4", "no input device found for /dev/hidraw4" }),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
