#include "EmulatedPlatform.h"

#include "EmulatedReader.h"

#include <algorithm>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

namespace vortal9::emu {

EmulatedPlatform::EmulatedPlatform()
    : m_held(std::make_shared<HeldReports>())
    , m_context(std::make_unique<QObject>())
{
}

EmulatedPlatform::~EmulatedPlatform() = default;

EmulatedDevice &EmulatedPlatform::addDevice(EmulatedDevice d)
{
    m_devices.push_back(std::make_unique<EmulatedDevice>(std::move(d)));
    return *m_devices.back();
}

EmulatedReader *EmulatedPlatform::addReader(const std::string &path, std::u16string manufacturer)
{
    // Owned here rather than by a QObject parent: the platform is not a QObject.
    m_ownedReaders.push_back(std::make_unique<EmulatedReader>());
    EmulatedDevice d;
    d.path = path;
    d.manufacturer = std::move(manufacturer);
    d.reader = m_ownedReaders.back().get();
    addDevice(std::move(d));
    return m_ownedReaders.back().get();
}

void EmulatedPlatform::removeDevice(const std::string &path)
{
    auto removed = std::stable_partition(m_devices.begin(), m_devices.end(),
                                         [&](const auto &d) { return d->path != path; });
    for (auto it = removed; it != m_devices.end(); ++it) {
        for (auto &[handle, open] : m_handles) {
            if (open.device == it->get())
                open.device = nullptr;
        }
        if ((*it)->reader) {
            (*it)->reader->powerCycle();
            (*it)->reader->unplugCapture();
        }
    }
    m_devices.erase(removed, m_devices.end());
}

EmulatedDevice *EmulatedPlatform::device(const std::string &path)
{
    for (const auto &d : m_devices) {
        if (d->path == path)
            return d.get();
    }
    return nullptr;
}

std::vector<std::string> EmulatedPlatform::devicePaths() const
{
    std::vector<std::string> paths;
    for (const auto &d : m_devices)
        paths.push_back(d->path);
    return paths;
}

const std::vector<EmulatedPlatform::SentReport> &EmulatedPlatform::sentReports() const
{
    return m_sent;
}

void EmulatedPlatform::clearLog()
{
    m_sent.clear();
    m_openCalls.clear();
    m_closeCalls.clear();
    m_createdSets = 0;
}

int EmulatedPlatform::openHandleCount() const
{
    return int(m_handles.size());
}

int EmulatedPlatform::liveDeviceSetCount() const
{
    return int(m_sets.size());
}

int EmulatedPlatform::createdDeviceSetCount() const
{
    return m_createdSets;
}

std::vector<std::pair<std::string, std::uint32_t>> EmulatedPlatform::openCalls() const
{
    return m_openCalls;
}

std::vector<HidHandle> EmulatedPlatform::closeCalls() const
{
    return m_closeCalls;
}

std::optional<std::string> EmulatedPlatform::handlePath(HidHandle handle) const
{
    const auto it = m_handles.find(handle);
    if (it == m_handles.end())
        return std::nullopt;
    return it->second.path;
}

HidDeviceSet EmulatedPlatform::createDeviceSet()
{
    const HidDeviceSet set = m_nextSet++;
    m_sets.insert(set);
    ++m_createdSets;
    return set;
}

void EmulatedPlatform::destroyDeviceSet(HidDeviceSet set)
{
    m_sets.erase(set); // an unknown set is ignored
}

EmulatedDevice *EmulatedPlatform::deviceAt(int index)
{
    if (index < 0 || std::size_t(index) >= m_devices.size())
        return nullptr;
    return m_devices[std::size_t(index)].get();
}

bool EmulatedPlatform::enumInterface(HidDeviceSet set, int index)
{
    if (beforeEnumInterface)
        beforeEnumInterface(index);
    return m_sets.count(set) != 0 && deviceAt(index) != nullptr;
}

std::optional<std::string> EmulatedPlatform::interfacePath(HidDeviceSet set, int index)
{
    if (m_sets.count(set) == 0)
        return std::nullopt;
    const EmulatedDevice *d = deviceAt(index);
    if (!d || d->failDetailQuery)
        return std::nullopt;
    return d->path;
}

HidHandle EmulatedPlatform::open(const std::string &path, std::uint32_t desiredAccess)
{
    m_openCalls.emplace_back(path, desiredAccess);
    EmulatedDevice *d = path.empty() ? nullptr : device(path);
    if (!d || d->refuseOpen)
        return InvalidHandle;
    if (desiredAccess != AccessNone && d->refuseReadWriteOpen)
        return InvalidHandle;
    const HidHandle handle = m_nextHandle++;
    m_handles.emplace(handle, OpenHandle{path, d});
    return handle;
}

void EmulatedPlatform::close(HidHandle handle)
{
    m_closeCalls.push_back(handle);
    m_handles.erase(handle);
}

CaptureAttempt EmulatedPlatform::capture(const std::string &hidPath)
{
    CaptureAttempt attempt;
    EmulatedDevice *d = device(hidPath);
    if (!d || !d->reader) {
        attempt.refusal = QStringLiteral("no input device found for %1").arg(QString::fromStdString(hidPath));
        return attempt;
    }
    if (!d->captureRefusal.isEmpty()) {
        attempt.refusal = d->captureRefusal;
        return attempt;
    }
    attempt.capture = d->reader->grab();
    if (!attempt.capture) {
        // As the kernel refuses a second exclusive grab of an input device.
        attempt.inUse = true;
        attempt.refusal = QStringLiteral("/dev/input/event of %1 is held by another program")
                              .arg(QString::fromStdString(hidPath));
        return attempt;
    }
    ++m_captures;
    if (m_hostKeymap)
        static_cast<EmulatedCapture *>(attempt.capture.get())->setHostKeymap(m_hostKeymap);
    return attempt;
}

EmulatedDevice *EmulatedPlatform::deviceOf(HidHandle handle)
{
    const auto it = m_handles.find(handle);
    return it == m_handles.end() ? nullptr : it->second.device;
}

HidAttributes EmulatedPlatform::attributes(HidHandle handle)
{
    const EmulatedDevice *d = deviceOf(handle);
    if (!d)
        return {};
    return {d->vendorId, d->productId, d->versionNumber};
}

int EmulatedPlatform::featureReportByteLength(HidHandle handle)
{
    const EmulatedDevice *d = deviceOf(handle);
    return d ? d->featureLength : 0;
}

std::optional<std::u16string> EmulatedPlatform::manufacturerString(HidHandle handle)
{
    const EmulatedDevice *d = deviceOf(handle);
    return d ? d->manufacturer : std::nullopt;
}

bool EmulatedPlatform::setFeature(HidHandle handle, const std::vector<std::uint8_t> &report)
{
    EmulatedDevice *d = deviceOf(handle);
    bool accepted = d != nullptr && !d->refuseSetFeature && d->featureLength > 0;
    if (accepted && d->refuseSetFeatureAfter >= 0 && d->acceptedReports >= d->refuseSetFeatureAfter)
        accepted = false;
    if (accepted && d->strictReportLength
        && (report.size() != std::size_t(d->featureLength) || report.front() != 0))
        accepted = false;

    const auto it = m_handles.find(handle);
    m_sent.push_back({it == m_handles.end() ? std::string() : it->second.path, handle, report, accepted,
                      std::chrono::steady_clock::now()});
    if (!accepted) {
        if (d != nullptr && d->signalWhileRefused != 0)
            ::raise(d->signalWhileRefused);
        return false;
    }
    ++d->acceptedReports;
    if (d->answerTime.count() > 0)
        std::this_thread::sleep_for(d->answerTime); // the caller blocks, as in the kernel
    if (d->reader)
        d->reader->receiveReport(report);
    return true;
}

struct EmulatedPlatform::HeldReports
{
    std::mutex mutex;
    std::condition_variable changed;
    int waiting = 0;  // senders waiting for their answer
    int answers = 0;  // answers given and not yet taken
};

bool EmulatedPlatform::reportHeld() const
{
    const std::lock_guard lock(m_held->mutex);
    return m_held->waiting > m_held->answers;
}

void EmulatedPlatform::answerHeldReport()
{
    {
        const std::lock_guard lock(m_held->mutex);
        ++m_held->answers;
    }
    m_held->changed.notify_all();
}

HidPlatform::FeatureSender EmulatedPlatform::featureSender(HidHandle handle)
{
    if (!m_reportsOnThread)
        return {};
    return [this, handle, held = m_held](const std::vector<std::uint8_t> &report) {
        // To the device now, on the platform's thread: the reader may start
        // answering before this sender is told.
        QMetaObject::invokeMethod(m_context.get(), [this, handle, report] { setFeature(handle, report); },
                                  Qt::QueuedConnection);
        std::unique_lock lock(held->mutex);
        ++held->waiting;
        const bool answered = held->changed.wait_for(lock, std::chrono::seconds(5), [&] { return held->answers > 0; });
        --held->waiting;
        if (answered)
            --held->answers;
        return answered;
    };
}

} // namespace vortal9::emu
