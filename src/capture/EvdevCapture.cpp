#include "capture/EvdevCapture.h"

#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <csignal>
#include <cstdint>

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vortal9 {

namespace {
Q_LOGGING_CATEGORY(lcCapture, "vortal9.capture")
}

CaptureAttempt EvdevCapture::open(const QStringList &nodes, std::unique_ptr<KeyDecoder> decoder)
{
    CaptureAttempt attempt;
    if (nodes.isEmpty() || !decoder) {
        attempt.refusal = QStringLiteral("no input device to capture");
        return attempt;
    }
    std::vector<Node> taken;
    auto refuse = [&taken, &attempt](const QString &reason) {
        for (Node &node : taken) {
            release(node);
        }
        attempt.refusal = reason;
        return std::move(attempt);
    };
    for (const QString &path : nodes) {
        Node node;
        node.path = path;
        node.fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (node.fd < 0) {
            const int error = errno;
            if (error == EACCES || error == EPERM) {
                return refuse(QStringLiteral("no permission to read %1").arg(path));
            }
            return refuse(QStringLiteral("cannot open %1: %2").arg(path, qt_error_string(error)));
        }
        taken.push_back(node);
        Node &added = taken.back();
        if (const int rc = libevdev_new_from_fd(added.fd, &added.device); rc < 0) {
            added.device = nullptr;
            return refuse(QStringLiteral("%1 is no input device: %2").arg(path, qt_error_string(-rc)));
        }
        if (const int rc = libevdev_grab(added.device, LIBEVDEV_GRAB); rc < 0) {
            // The kernel gives one exclusive grab per device: EBUSY means
            // another program holds it.
            attempt.inUse = rc == -EBUSY;
            return refuse(attempt.inUse ? QStringLiteral("%1 is held by another program").arg(path)
                                        : QStringLiteral("cannot take %1 for itself: %2").arg(path, qt_error_string(-rc)));
        }
    }
    // Written to end the reading thread.
    const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop < 0) {
        return refuse(QStringLiteral("cannot read %1: %2").arg(nodes.join(QStringLiteral(", ")), qt_error_string(errno)));
    }
    attempt.capture.reset(new EvdevCapture(std::move(taken), std::move(decoder), stop));
    return attempt;
}

EvdevCapture::EvdevCapture(std::vector<Node> nodes, std::unique_ptr<KeyDecoder> decoder, int stop)
    : m_nodes(std::move(nodes))
    , m_decoder(std::move(decoder))
    , m_stop(stop)
{
    m_reading = std::thread([this] { readUntilStopped(); });
}

EvdevCapture::~EvdevCapture()
{
    releaseAll();
}

QStringList EvdevCapture::nodes() const
{
    QStringList paths;
    for (const Node &node : m_nodes) {
        paths << node.path;
    }
    return paths;
}

void EvdevCapture::readUntilStopped()
{
    // The program's signals go to its own thread: Ctrl+C must break a
    // feature report's wait there, not this thread's poll().
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::vector<pollfd> fds;
    for (const Node &node : m_nodes) {
        fds.push_back({ node.fd, POLLIN, 0 });
    }
    fds.push_back({ m_stop, POLLIN, 0 });
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            qCWarning(lcCapture) << "cannot wait for the reader's keys:" << qt_error_string(errno);
            break;
        }
        if (fds.back().revents != 0) {
            return; // stopped
        }
        CapturedKeys keys;
        bool lost = false;
        int failure = 0;
        for (std::size_t i = 0; i < m_nodes.size() && failure == 0; ++i) {
            if (fds[i].revents != 0) {
                failure = readNode(m_nodes[i], keys, lost);
            }
        }
        // Queued: delivered in order on the capture's thread, and dropped
        // with the capture if it is destroyed first.
        if (lost) {
            QMetaObject::invokeMethod(this, [this] { Q_EMIT keysLost(); }, Qt::QueuedConnection);
        }
        if (!keys.empty()) {
            QMetaObject::invokeMethod(
                this, [this, keys = std::move(keys)] { Q_EMIT pressed(keys); }, Qt::QueuedConnection);
        }
        if (failure != 0) {
            break;
        }
    }
    QMetaObject::invokeMethod(this, &EvdevCapture::onLost, Qt::QueuedConnection);
}

int EvdevCapture::readNode(Node &node, CapturedKeys &keys, bool &lost)
{
    for (;;) {
        input_event event {};
        const int rc = libevdev_next_event(
            node.device, node.syncing ? LIBEVDEV_READ_FLAG_SYNC : LIBEVDEV_READ_FLAG_NORMAL, &event);
        if (rc == LIBEVDEV_READ_STATUS_SUCCESS) {
            if (event.type == EV_KEY) {
                if (std::optional<CapturedKey> key = m_decoder->keyEvent(event.code, event.value)) {
                    keys.push_back(std::move(*key));
                }
            }
        } else if (rc == LIBEVDEV_READ_STATUS_SYNC) {
            // The first is SYN_DROPPED: the kernel's queue overflowed. What
            // follows is the difference to the device's state now, which
            // types nothing: those keys went down while no one listened.
            if (!node.syncing) {
                qCWarning(lcCapture).noquote() << node.path << "dropped keys: its queue overflowed";
                lost = true;
            } else if (event.type == EV_KEY) {
                m_decoder->syncKey(event.code, event.value != 0);
            }
            node.syncing = true;
        } else if (rc == -EAGAIN) {
            if (!node.syncing) {
                return 0; // nothing more for now
            }
            node.syncing = false; // state caught up; back to ordinary events
        } else {
            return -rc;
        }
    }
}

void EvdevCapture::onLost()
{
    releaseAll();
    Q_EMIT lost();
}

void EvdevCapture::stopReading()
{
    if (m_reading.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_stop, &one, sizeof one);
        m_reading.join();
    }
    if (m_stop >= 0) {
        ::close(m_stop);
        m_stop = -1;
    }
}

void EvdevCapture::releaseAll()
{
    stopReading();
    for (Node &node : m_nodes) {
        release(node);
    }
    m_nodes.clear();
}

void EvdevCapture::release(Node &node)
{
    if (node.device) {
        libevdev_grab(node.device, LIBEVDEV_UNGRAB);
        libevdev_free(node.device);
        node.device = nullptr;
    }
    if (node.fd >= 0) {
        ::close(node.fd);
        node.fd = -1;
    }
}

} // namespace vortal9
