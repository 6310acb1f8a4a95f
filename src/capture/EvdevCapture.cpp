#include "capture/EvdevCapture.h"

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

namespace vortal9 {

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
    attempt.capture.reset(new EvdevCapture(std::move(taken), std::move(decoder)));
    return attempt;
}

EvdevCapture::EvdevCapture(std::vector<Node> nodes, std::unique_ptr<KeyDecoder> decoder)
    : m_nodes(std::move(nodes))
    , m_decoder(std::move(decoder))
{
    for (std::size_t i = 0; i < m_nodes.size(); ++i) {
        m_nodes[i].notifier = new QSocketNotifier(m_nodes[i].fd, QSocketNotifier::Read, this);
        connect(m_nodes[i].notifier, &QSocketNotifier::activated, this, [this, i] { readNode(i); });
    }
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

void EvdevCapture::readNode(std::size_t index)
{
    Node &node = m_nodes.at(index);
    QString text;
    int failure = 0;
    for (;;) {
        input_event event {};
        const int rc = libevdev_next_event(
            node.device, node.syncing ? LIBEVDEV_READ_FLAG_SYNC : LIBEVDEV_READ_FLAG_NORMAL, &event);
        if (rc == LIBEVDEV_READ_STATUS_SUCCESS) {
            if (event.type == EV_KEY) {
                text += m_decoder->keyEvent(event.code, event.value);
            }
        } else if (rc == LIBEVDEV_READ_STATUS_SYNC) {
            // The first is SYN_DROPPED: the kernel's queue overflowed. What
            // follows is the difference to the device's state now, which
            // types nothing: those keys went down while no one listened.
            if (node.syncing && event.type == EV_KEY) {
                m_decoder->syncKey(event.code, event.value != 0);
            }
            node.syncing = true;
        } else if (rc == -EAGAIN) {
            if (!node.syncing) {
                break; // nothing more for now
            }
            node.syncing = false; // state caught up; back to ordinary events
        } else {
            failure = -rc; // ENODEV when the reader was unplugged
            break;
        }
    }

    // A receiver may destroy this capture from either signal.
    QPointer<EvdevCapture> self(this);
    if (!text.isEmpty()) {
        Q_EMIT typed(text);
        if (!self) {
            return;
        }
    }
    if (failure != 0) {
        releaseAll();
        Q_EMIT lost();
    }
}

void EvdevCapture::releaseAll()
{
    for (Node &node : m_nodes) {
        delete node.notifier; // before its descriptor closes
        node.notifier = nullptr;
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
