// An emulated HID stack behind the same interface as the real backend, for
// the tests and the demo. Devices are plugged and unplugged at run time, every
// failure that discovery and the command channel must survive can be injected
// per device, and every call that matters is logged.
//
// Device sets are live: enumInterface() and interfacePath() look at the
// current device list (index = position in it), so a device attached or
// removed between the two passes of a scan shows up in the second pass.
//
// It is also a capture platform: a reader whose keys are captured types into
// its capture (see EmulatedReader::isGrabbed) instead of the focused widget,
// as a grabbed input device does; unplugging it ends the capture.
#pragma once

#include "device/HidPlatform.h"
#include "EmulatedReader.h"
#include "device/KeyCapture.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vortal9::emu {

class EmulatedReader;

struct EmulatedDevice
{
    std::string path{};
    std::uint16_t vendorId = 0x04B4, productId = 0x210A;
    std::uint16_t versionNumber = 0x0100;
    int featureLength = 9;                                   // 0 = no feature report
    std::optional<std::u16string> manufacturer = u"VORTAL9"; // nullopt: the call fails
    bool failDetailQuery = false;       // interfacePath() returns nullopt
    bool refuseOpen = false;            // every open refused
    bool refuseReadWriteOpen = false;   // open with AccessReadWrite refused, AccessNone accepted
    bool refuseSetFeature = false;      // setFeature returns false
    int refuseSetFeatureAfter = -1;     // accept this many reports, refuse the rest (-1 = never)
    // A signal that arrives while a refused report waits for its answer
    // (0: none): raised before setFeature returns false, as the kernel ends
    // a wait that a signal breaks with EIO, the error of its time-out.
    int signalWhileRefused = 0;
    // How long an accepted report keeps its sender waiting for the device's
    // answer: the kernel blocks HIDIOCSFEATURE until the device has answered
    // (a uhid round trip took about 3 ms in a loaded virtual machine; a USB
    // control transfer takes 1 ms or more). 0: answered at once.
    std::chrono::microseconds answerTime{0};
    // A report whose length is not featureLength, or whose report ID is not 0,
    // is refused, as the HID class driver does.
    bool strictReportLength = true;
    // Why its keys cannot be captured (for example "no permission to read
    // /dev/input/event5"); empty: they can, when it has a reader.
    QString captureRefusal{};
    EmulatedReader *reader = nullptr;   // firmware that receives the reports (null: a plain HID device)
    int acceptedReports = 0;            // bookkeeping: reports accepted so far
};

class EmulatedPlatform : public HidPlatform, public CapturePlatform
{
public:
    struct SentReport
    {
        std::string path; // empty when the handle was unknown or closed
        HidHandle handle;
        std::vector<std::uint8_t> bytes;
        bool accepted;
        std::chrono::steady_clock::time_point at;
    };

    explicit EmulatedPlatform();
    ~EmulatedPlatform() override;
    EmulatedPlatform(const EmulatedPlatform &) = delete;
    EmulatedPlatform &operator=(const EmulatedPlatform &) = delete;

    // Appended in enumeration order. The reference stays valid until the
    // device is removed.
    EmulatedDevice &addDevice(EmulatedDevice d);
    // Creates and owns a reader and appends its device entry (the default
    // reader identifiers and feature length).
    EmulatedReader *addReader(const std::string &path, std::u16string manufacturer = u"VORTAL9");
    // Unplugs every device with this path. Handles open on it stay open but
    // lead nowhere. A reader owned here lives on (powered down, see
    // EmulatedReader::powerCycle) until the platform is destroyed.
    void removeDevice(const std::string &path);
    EmulatedDevice *device(const std::string &path);
    std::vector<std::string> devicePaths() const;

    // Called at the start of every enumInterface(set, index) call, before it
    // answers; lets a test attach or remove devices between the two passes.
    std::function<void(int index)> beforeEnumInterface;

    // Reports through featureSender(), on the sender's own thread, as with
    // hidraw: each reaches its device at once (through setFeature() on the
    // platform's thread), but its sender returns only at answerHeldReport()
    // or after 5 s (refused, the kernel's time-out): a loaded system may wake
    // the sender after the reader has begun, or even finished, answering.
    // Set before the reader is opened. Off: no featureSender.
    void holdReportsOnThread(bool on) { m_reportsOnThread = on; }
    bool reportHeld() const;   // a sender waits for its answer
    void answerHeldReport();   // lets it return, the report taken
    FeatureSender featureSender(HidHandle handle) override;

    // Bookkeeping for tests. Every setFeature call is logged, refused ones too.
    const std::vector<SentReport> &sentReports() const;
    void clearLog(); // sent reports, open and close calls, set counts
    int openHandleCount() const;    // handles open right now
    int liveDeviceSetCount() const; // sets created and not destroyed
    int createdDeviceSetCount() const;
    std::vector<std::pair<std::string, std::uint32_t>> openCalls() const; // (path, desiredAccess), in order
    std::vector<HidHandle> closeCalls() const;                             // every close call, in order
    // The path behind an open handle, nullopt when it is not open.
    std::optional<std::string> handlePath(HidHandle handle) const;

    // CapturePlatform
    CaptureAttempt capture(const std::string &hidPath) override;
    QString blockedReaders() override { return blockedSummary; }
    QString blockedSummary; // what blockedReaders() says
    int captureCount() const { return m_captures; } // captures handed out so far
    // The host's keymap that captures decode the readers' keys with (none:
    // each key types the character the reader meant, as on a U.S. host).
    void setHostKeymap(HostKeymap keymap) { m_hostKeymap = std::move(keymap); }

    // HidPlatform
    HidDeviceSet createDeviceSet() override;
    void destroyDeviceSet(HidDeviceSet set) override;
    bool enumInterface(HidDeviceSet set, int index) override;
    std::optional<std::string> interfacePath(HidDeviceSet set, int index) override;
    HidHandle open(const std::string &path, std::uint32_t desiredAccess) override;
    void close(HidHandle handle) override;
    HidAttributes attributes(HidHandle handle) override;
    int featureReportByteLength(HidHandle handle) override;
    std::optional<std::u16string> manufacturerString(HidHandle handle) override;
    bool setFeature(HidHandle handle, const std::vector<std::uint8_t> &report) override;

private:
    EmulatedDevice *deviceOf(HidHandle handle);
    EmulatedDevice *deviceAt(int index);

    std::vector<std::unique_ptr<EmulatedDevice>> m_devices;
    std::vector<std::unique_ptr<EmulatedReader>> m_ownedReaders;
    struct OpenHandle
    {
        std::string path;
        EmulatedDevice *device; // null once the device was removed
    };
    std::map<HidHandle, OpenHandle> m_handles;
    std::set<HidDeviceSet> m_sets;
    HidHandle m_nextHandle = 1;
    HidDeviceSet m_nextSet = 1;
    int m_createdSets = 0;
    int m_captures = 0;
    HostKeymap m_hostKeymap;
    std::vector<SentReport> m_sent;
    struct HeldReports;
    bool m_reportsOnThread = false;
    std::shared_ptr<HeldReports> m_held;
    std::unique_ptr<QObject> m_context; // the platform's thread, for reports sent from another
    std::vector<std::pair<std::string, std::uint32_t>> m_openCalls;
    std::vector<HidHandle> m_closeCalls;
};

} // namespace vortal9::emu
