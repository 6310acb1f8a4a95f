#include "UhidDevice.h"

#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTimer>

#include <linux/input.h>
#include <linux/uhid.h>

#include <cerrno>
#include <cstddef>
#include <algorithm>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <unistd.h>

namespace vortal9::uhid {

namespace {

// The keyboard part: modifiers (8 bits), a reserved byte, five LED bits out
// with 3 bits of fill, six key usages.
constexpr std::uint8_t BootKeyboardHead[] = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,                   // Generic Desktop, Keyboard, Application
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, //
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02,                   // modifiers: 8 x 1 bit, Input
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,                   // reserved byte, Input constant
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, // LEDs, Output
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,                   // LED fill
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x26, 0xFF, 0x00, //
    0x05, 0x07, 0x19, 0x00, 0x2A, 0xFF, 0x00, 0x81, 0x00, // six key usages, Input array
};
// The reader's command channel: 8 bytes of a vendor page, Feature.
constexpr std::uint8_t VendorFeature[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x08, 0xB1, 0x02,
};
constexpr std::uint8_t EndCollection = 0xC0;

constexpr std::size_t FeaturePayload = 8;
constexpr std::size_t KeyReportSize = 8;

// How long a write waits for room before the event is given up (only a
// socket ever fills up; the kernel's uhid never does).
constexpr int WriteRoomWaitMs = 1000;

// Typed over and over by the endless-typing misbehaviour: no card data.
const QString EndlessText = QStringLiteral("Endless typing 0123456789\n");

struct UsKey
{
    char16_t plain;
    char16_t shifted;
    std::uint8_t usage;
};

// The character keys of the U.S. map that are not letters or digits.
constexpr UsKey UsSymbols[] = {
    {u'-', u'_', 0x2D},  {u'=', u'+', 0x2E}, {u'[', u'{', 0x2F}, {u']', u'}', 0x30}, {u'\\', u'|', 0x31},
    {u';', u':', 0x33},  {u'\'', u'"', 0x34}, {u'`', u'~', 0x35}, {u',', u'<', 0x36}, {u'.', u'>', 0x37},
    {u'/', u'?', 0x38},
};
// Shift on the digit row 1..9, 0.
constexpr char16_t ShiftedDigits[] = u"!@#$%^&*()";

QString hex(const std::uint8_t *data, std::size_t size)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).toHex());
}

std::int64_t monotonicMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

} // namespace

std::vector<std::uint8_t> readerReportDescriptor()
{
    std::vector<std::uint8_t> d;
    d.reserve(sizeof BootKeyboardHead + sizeof VendorFeature + 1);
    d.insert(d.end(), std::begin(BootKeyboardHead), std::end(BootKeyboardHead));
    d.insert(d.end(), std::begin(VendorFeature), std::end(VendorFeature));
    d.push_back(EndCollection);
    return d;
}

std::vector<std::uint8_t> keyboardReportDescriptor()
{
    std::vector<std::uint8_t> d(std::begin(BootKeyboardHead), std::end(BootKeyboardHead));
    d.push_back(EndCollection);
    return d;
}

std::optional<KeyStroke> keyFor(QChar ch)
{
    const char16_t c = ch.unicode();
    if (c >= u'a' && c <= u'z')
        return KeyStroke{0, std::uint8_t(0x04 + (c - u'a'))};
    if (c >= u'A' && c <= u'Z')
        return KeyStroke{ModLeftShift, std::uint8_t(0x04 + (c - u'A'))};
    if (c >= u'1' && c <= u'9')
        return KeyStroke{0, std::uint8_t(0x1E + (c - u'1'))};
    if (c == u'0')
        return KeyStroke{0, 0x27};
    for (int i = 0; i < 10; ++i) {
        if (ShiftedDigits[i] == c)
            return KeyStroke{ModLeftShift, std::uint8_t(0x1E + i)};
    }
    for (const UsKey &k : UsSymbols) {
        if (k.plain == c)
            return KeyStroke{0, k.usage};
        if (k.shifted == c)
            return KeyStroke{ModLeftShift, k.usage};
    }
    switch (c) {
    case u' ':
        return KeyStroke{0, 0x2C};
    case u'\n':
        return KeyStroke{0, 0x28}; // Return
    case u'\r':
        return KeyStroke{ModLeftCtrl, 0x10}; // Ctrl+M
    case u'\t':
        return KeyStroke{0, 0x2B};
    case u'\b':
        return KeyStroke{0, 0x2A};
    case u'\u20AC': // euro sign: Alt Gr + E
        return KeyStroke{ModRightAlt, 0x08};
    case u'\u00B5': // micro sign: Alt Gr + M
        return KeyStroke{ModRightAlt, 0x10};
    case u'\u00B2': // superscript two: Alt Gr + 2
        return KeyStroke{ModRightAlt, 0x1F};
    case u'\u00B3': // superscript three: Alt Gr + 3
        return KeyStroke{ModRightAlt, 0x20};
    default:
        return std::nullopt;
    }
}

bool EventLog::open(const QString &path, QString *error)
{
    if (path.isEmpty())
        return true;
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, m_file.errorString());
        return false;
    }
    return true;
}

void EventLog::write(const QString &device, const QString &event, const QJsonObject &fields)
{
    if (!m_file.isOpen())
        return;
    QJsonObject line = fields;
    line.insert(QStringLiteral("t_us"), qint64(monotonicMicroseconds()));
    line.insert(QStringLiteral("device"), device);
    line.insert(QStringLiteral("event"), event);
    m_file.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    m_file.flush(); // a check reads it while the devices live, or after a kill
}

UhidDevice::UhidDevice(int fd, DeviceConfig config, EventLog *log, QObject *parent)
    : QObject(parent)
    , m_fd(fd)
    , m_config(std::move(config))
    , m_log(log)
{
    if (m_config.reader) {
        m_firmware = std::make_unique<emu::EmulatedReader>();
        m_firmware->setStoredSettings(m_config.firmware.settings);
        m_firmware->setTimings(m_config.firmware.answerDelayMs, m_config.firmware.charIntervalMs,
                               m_config.firmware.lineGapMs);
        // The firmware types into its capture, at its own pace; each character
        // becomes a key on the device.
        m_capture = m_firmware->grab();
        connect(m_capture.get(), &KeyCapture::pressed, this, [this](const CapturedKeys &keys) {
            for (const CapturedKey &key : keys)
                typeText(key.text);
        });
    }
}

UhidDevice::~UhidDevice()
{
    destroy();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UhidDevice::create()
{
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    uhid_create2_req &c = ev.u.create2;
    const QByteArray name = m_config.name.toUtf8().left(sizeof c.name - 1);
    const QByteArray uniq = m_config.serial.toUtf8().left(sizeof c.uniq - 1);
    const QByteArray phys = QByteArrayLiteral("vortal9-uhid-reader");
    std::memcpy(c.name, name.constData(), std::size_t(name.size()));
    std::memcpy(c.uniq, uniq.constData(), std::size_t(uniq.size()));
    std::memcpy(c.phys, phys.constData(), std::size_t(phys.size()));
    const std::vector<std::uint8_t> rd = m_config.reader ? readerReportDescriptor() : keyboardReportDescriptor();
    c.rd_size = std::uint16_t(rd.size());
    std::memcpy(c.rd_data, rd.data(), rd.size());
    c.bus = BUS_USB;
    c.vendor = m_config.vendor;
    c.product = m_config.product;
    if (!writeEvent(&ev)) {
        log(QStringLiteral("create_failed"), {{QStringLiteral("errno"), errno}});
        return false;
    }
    m_created = true;
    log(QStringLiteral("create"),
        {{QStringLiteral("vendor"), m_config.vendor}, {QStringLiteral("product"), m_config.product},
         {QStringLiteral("reader"), m_config.reader}});

    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UhidDevice::readEvents);

    if (m_firmware) {
        for (const emu::FleetSwipe &swipe : m_config.firmware.swipes) {
            QTimer::singleShot(swipe.atMs, this, [this, swipe] {
                if (m_destroyed)
                    return;
                log(QStringLiteral("swipe")); // what the card holds is never logged
                emu::playSwipe(*m_firmware, swipe);
            });
        }
    }
    if (m_config.misbehaviour.endlessTypingAt == 0)
        startEndlessTyping();
    return true;
}

void UhidDevice::destroy()
{
    if (!m_created || m_destroyed)
        return;
    m_destroyed = true;
    if (m_notifier)
        m_notifier->setEnabled(false);
    if (m_endless)
        m_endless->stop();
    if (m_firmware)
        m_firmware->powerCycle();
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    writeEvent(&ev);
    log(QStringLiteral("destroy"));
    Q_EMIT gone();
}

void UhidDevice::readEvents()
{
    for (;;) {
        uhid_event ev{};
        const ssize_t n = ::read(m_fd, &ev, sizeof ev);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            // The other end is gone: nothing more can be served.
            log(QStringLiteral("end"), {{QStringLiteral("errno"), n < 0 ? errno : 0}});
            m_notifier->setEnabled(false);
            if (!m_destroyed) {
                m_destroyed = true;
                Q_EMIT gone();
            }
            return;
        }
        switch (ev.type) {
        case UHID_START:
            log(QStringLiteral("start"), {{QStringLiteral("flags"), qint64(ev.u.start.dev_flags)}});
            break;
        case UHID_STOP:
            log(QStringLiteral("stop"));
            break;
        case UHID_OPEN:
            log(QStringLiteral("open"));
            break;
        case UHID_CLOSE:
            log(QStringLiteral("close"));
            break;
        case UHID_OUTPUT: {
            const std::size_t size = std::min<std::size_t>(ev.u.output.size, sizeof ev.u.output.data);
            log(QStringLiteral("output"), {{QStringLiteral("type"), int(ev.u.output.rtype)},
                                           {QStringLiteral("data"), hex(ev.u.output.data, size)}});
            break;
        }
        case UHID_GET_REPORT:
            handleGetReport(ev.u.get_report.id, ev.u.get_report.rnum, ev.u.get_report.rtype);
            break;
        case UHID_SET_REPORT:
            handleSetReport(ev.u.set_report.id, ev.u.set_report.rtype, ev.u.set_report.data,
                            std::min<std::size_t>(ev.u.set_report.size, sizeof ev.u.set_report.data));
            break;
        default:
            log(QStringLiteral("unknown"), {{QStringLiteral("type"), qint64(ev.type)}});
            break;
        }
        if (m_destroyed)
            return;
    }
}

void UhidDevice::handleSetReport(std::uint32_t id, std::uint8_t type, const std::uint8_t *data, std::size_t size)
{
    QJsonObject fields{{QStringLiteral("type"), type}, {QStringLiteral("data"), hex(data, size)}};
    if (!m_firmware || type != UHID_FEATURE_REPORT) {
        fields.insert(QStringLiteral("answer"), QStringLiteral("error"));
        log(QStringLiteral("set_report"), fields);
        replySet(id, EIO);
        return;
    }
    const int k = ++m_setReports;
    fields.insert(QStringLiteral("n"), k);
    const Misbehaviour &m = m_config.misbehaviour;
    if (k == m.unplugAt) {
        fields.insert(QStringLiteral("answer"), QStringLiteral("unplug"));
        log(QStringLiteral("set_report"), fields);
        destroy();
        return;
    }
    if (k == m.noAnswerAt) {
        fields.insert(QStringLiteral("answer"), QStringLiteral("none"));
        log(QStringLiteral("set_report"), fields);
        return;
    }
    if (k == m.errorAt) {
        fields.insert(QStringLiteral("answer"), QStringLiteral("error"));
        log(QStringLiteral("set_report"), fields);
        replySet(id, EIO);
        return;
    }
    fields.insert(QStringLiteral("answer"), QStringLiteral("ok"));
    log(QStringLiteral("set_report"), fields);
    // The reply first: the sender waits in the kernel until it comes.
    replySet(id, 0);
    // Report ID, the payload, zero fill: the firmware reads every byte after the ID.
    m_firmware->receiveReport(std::vector<std::uint8_t>(data, data + size));
    if (k == m.endlessTypingAt)
        startEndlessTyping();
}

void UhidDevice::handleGetReport(std::uint32_t id, std::uint8_t number, std::uint8_t type)
{
    const bool answered = m_firmware && type == UHID_FEATURE_REPORT;
    log(QStringLiteral("get_report"), {{QStringLiteral("type"), type}, {QStringLiteral("number"), number},
                                       {QStringLiteral("answer"), answered ? "ok" : "error"}});
    if (!answered) {
        replyGet(id, EIO, {});
        return;
    }
    // The report as the host reads it: its ID, then the payload (the
    // firmware keeps nothing to read back: zeros).
    std::vector<std::uint8_t> report(1 + FeaturePayload, 0);
    report[0] = number;
    replyGet(id, 0, report);
}

void UhidDevice::replySet(std::uint32_t id, std::uint16_t err)
{
    uhid_event ev{};
    ev.type = UHID_SET_REPORT_REPLY;
    ev.u.set_report_reply.id = id;
    ev.u.set_report_reply.err = err;
    writeEvent(&ev);
}

void UhidDevice::replyGet(std::uint32_t id, std::uint16_t err, const std::vector<std::uint8_t> &data)
{
    uhid_event ev{};
    ev.type = UHID_GET_REPORT_REPLY;
    ev.u.get_report_reply.id = id;
    ev.u.get_report_reply.err = err;
    // An empty answer has no bytes to copy (and data() may be null).
    const std::size_t size = std::min(data.size(), sizeof ev.u.get_report_reply.data);
    ev.u.get_report_reply.size = std::uint16_t(size);
    if (size > 0)
        std::memcpy(ev.u.get_report_reply.data, data.data(), size);
    writeEvent(&ev);
}

void UhidDevice::startEndlessTyping()
{
    if (m_endless || m_destroyed)
        return;
    log(QStringLiteral("endless_typing"));
    m_endless = new QTimer(this);
    m_endless->setTimerType(Qt::PreciseTimer);
    connect(m_endless, &QTimer::timeout, this, [this] {
        typeText(QString(EndlessText.at(m_endlessPos)));
        m_endlessPos = (m_endlessPos + 1) % EndlessText.size();
    });
    m_endless->start(std::max(1, m_config.firmware.charIntervalMs));
}

void UhidDevice::typeText(const QString &text)
{
    if (!m_created || m_destroyed)
        return;
    for (const QChar ch : text) {
        if (const std::optional<KeyStroke> key = keyFor(ch))
            sendKey(*key);
        else
            log(QStringLiteral("untypable")); // which character stays unsaid
    }
}

void UhidDevice::sendKey(const KeyStroke &key)
{
    const std::uint8_t make[KeyReportSize] = {key.modifiers, 0, key.usage, 0, 0, 0, 0, 0};
    const std::uint8_t release[KeyReportSize] = {};
    if (!sendInput(make) || !sendInput(release)) {
        // Before the kernel has started the device (or after it went away)
        // it refuses input: the key is lost, as with a keyboard not yet
        // enumerated.
        if (m_lostInputs++ == 0)
            log(QStringLiteral("input_lost"), {{QStringLiteral("errno"), errno}});
    }
}

bool UhidDevice::sendInput(const std::uint8_t (&report)[8])
{
    uhid_event ev{};
    ev.type = UHID_INPUT2;
    ev.u.input2.size = KeyReportSize;
    std::memcpy(ev.u.input2.data, report, KeyReportSize);
    // Only the type, the size and the report: a whole event is over 4 KiB,
    // and a typing reader sends hundreds of these a second.
    return writeEvent(&ev, offsetof(uhid_event, u) + offsetof(uhid_input2_req, data) + KeyReportSize);
}

bool UhidDevice::writeEvent(const void *event, std::size_t size)
{
    if (size == 0)
        size = sizeof(uhid_event);
    for (;;) {
        const ssize_t n = ::write(m_fd, event, size);
        if (n == ssize_t(size))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{m_fd, POLLOUT, 0};
            if (::poll(&p, 1, WriteRoomWaitMs) > 0)
                continue;
            errno = EAGAIN;
        }
        return false;
    }
}

void UhidDevice::log(const QString &event, const QJsonObject &fields)
{
    if (m_log)
        m_log->write(m_config.serial.isEmpty() ? m_config.name : m_config.serial, event, fields);
}

} // namespace vortal9::uhid
