// One emulated reader (or a plain keyboard) behind a /dev/uhid file
// descriptor: the kernel's HID and input stack sees a USB keyboard with the
// reader's feature report, and the firmware model of emulator/ answers the
// feature reports that reach it.
//
// The device speaks the uhid protocol (linux/uhid.h) on a descriptor it is
// given: UHID_CREATE2 when created, UHID_SET_REPORT / UHID_GET_REPORT answered
// with their replies, the firmware's typing sent as UHID_INPUT2 boot keyboard
// reports (make, then break), UHID_DESTROY when destroyed. Every event is one
// whole struct uhid_event per read or write, so a SOCK_SEQPACKET socket pair
// serves as the kernel's end in tests.
#pragma once

#include "EmulatedReader.h"
#include "Fleet.h"

#include <QFile>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace vortal9::uhid {

// A boot keyboard (8-byte input report: modifiers, reserved, six key usages;
// 1-byte LED output report) with, for a reader, a vendor feature report of 8
// bytes and no report IDs: the host sends 9 bytes, report ID 0 first.
std::vector<std::uint8_t> readerReportDescriptor();
// The same keyboard without the feature report.
std::vector<std::uint8_t> keyboardReportDescriptor();

// Modifier bits of byte 0 of a boot keyboard report.
enum KeyModifier : std::uint8_t {
    ModLeftCtrl = 0x01,
    ModLeftShift = 0x02,
    ModRightAlt = 0x40, // Alt Gr
};

// One key of a boot keyboard: HID usage (keyboard page) and modifier bits.
struct KeyStroke
{
    std::uint8_t modifiers = 0;
    std::uint8_t usage = 0;
    bool operator==(const KeyStroke &) const = default;
};

// The key a U.S. keyboard types ch with, as the firmware's own key map has
// it: Shift for capitals and the shifted symbols, Alt Gr for the few
// characters only Alt Gr gives, Return for "\n", Ctrl+M for "\r" (the
// control character; Return is "\n"), Tab, Backspace. nullopt for a character
// no key types.
std::optional<KeyStroke> keyFor(QChar ch);

// What the device does wrong, counted in set-feature reports (1 is the first).
struct Misbehaviour
{
    int noAnswerAt = 0;      // report k is never answered (the kernel times out)
    int errorAt = 0;         // report k is answered with EIO
    int unplugAt = 0;        // at report k the device is destroyed, unanswered
    int endlessTypingAt = -1; // from report k (0: from creation) it types without end
};

struct DeviceConfig
{
    bool reader = true; // false: a plain keyboard, no feature report, no firmware
    QString name = QStringLiteral("VORTAL9 Card Reader");
    QString serial;
    std::uint16_t vendor = 0x04B4;
    std::uint16_t product = 0x210A;
    emu::FleetReader firmware; // settings, typing speed, swipes (its path and USB port are not used)
    Misbehaviour misbehaviour;
};

// JSON-lines log of what the devices received, each line with its
// CLOCK_MONOTONIC time in microseconds. Never holds typed text. Devices on
// several threads write to it, one whole line at a time.
class EventLog
{
public:
    // An empty path logs nothing.
    bool open(const QString &path, QString *error);
    void write(const QString &device, const QString &event, const QJsonObject &fields = {});

private:
    QMutex m_lock;
    QFile m_file;
};

class UhidDevice : public QObject
{
    Q_OBJECT

public:
    // Takes ownership of fd (closed on destruction). log may be null.
    UhidDevice(int fd, DeviceConfig config, EventLog *log, QObject *parent = nullptr);
    ~UhidDevice() override;

    // Sends UHID_CREATE2 and starts serving; false when the kernel refused it.
    bool create();
    // Sends UHID_DESTROY (once) and stops serving; the firmware loses power.
    void destroy();
    bool isCreated() const { return m_created; }
    // Destroyed, or its descriptor ended.
    bool isGone() const { return m_destroyed; }

    const DeviceConfig &config() const { return m_config; }
    // Null for a plain keyboard.
    const emu::EmulatedReader *firmware() const { return m_firmware.get(); }
    int setReportCount() const { return m_setReports; }

Q_SIGNALS:
    void gone(); // destroyed: by destroy(), a misbehaviour, or the descriptor's end

private:
    void readEvents();
    void handleSetReport(std::uint32_t id, std::uint8_t type, const std::uint8_t *data, std::size_t size);
    void handleGetReport(std::uint32_t id, std::uint8_t number, std::uint8_t type);
    void replySet(std::uint32_t id, std::uint16_t err);
    void replyGet(std::uint32_t id, std::uint16_t err, const std::vector<std::uint8_t> &data);
    void startEndlessTyping();
    void typeText(const QString &text);
    void sendKey(const KeyStroke &key);
    bool sendInput(const std::uint8_t (&report)[8]);
    // Writes the event's first size bytes (the kernel zero-fills the rest);
    // the whole struct when size is 0.
    bool writeEvent(const void *event, std::size_t size = 0);
    void log(const QString &event, const QJsonObject &fields = {});

    int m_fd = -1;
    DeviceConfig m_config;
    EventLog *m_log = nullptr;
    std::unique_ptr<emu::EmulatedReader> m_firmware;
    std::unique_ptr<KeyCapture> m_capture;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_endless = nullptr;
    qsizetype m_endlessPos = 0;
    bool m_created = false;
    bool m_destroyed = false;
    int m_setReports = 0;
    int m_lostInputs = 0;
};

} // namespace vortal9::uhid
