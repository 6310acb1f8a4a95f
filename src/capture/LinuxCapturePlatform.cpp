#include "capture/LinuxCapturePlatform.h"

#include "capture/EvdevCapture.h"
#include "capture/InputNodes.h"
#include "capture/KeyDecoder.h"
#include "capture/ReaderDoctor.h"

#include <utility>

namespace vortal9 {

LinuxCapturePlatform::LinuxCapturePlatform(void *xcbConnection, SystemPaths paths)
    : m_xcbConnection(xcbConnection)
    , m_paths(std::move(paths))
{
}

QString LinuxCapturePlatform::blockedReaders()
{
    return blockedSummary(diagnoseReaders(m_paths), m_paths);
}

CaptureAttempt LinuxCapturePlatform::capture(const std::string &hidPath)
{
    const QString path = QString::fromStdString(hidPath);
    QStringList nodes;
    for (const InputNode &node : inputNodesOfHidraw(path, m_paths)) {
        nodes << node.path;
    }
    if (nodes.isEmpty()) {
        return CaptureAttempt { nullptr, QStringLiteral("no input device found for %1").arg(path) };
    }

    // The keymap is read anew for every capture: the desktop's layout may
    // have changed since the last one.
    QString error;
    std::unique_ptr<KeyDecoder> decoder;
    if (m_xcbConnection) {
        decoder = KeyDecoder::fromX11(m_xcbConnection, &error);
    } else if (m_wayland) {
        decoder = KeyDecoder::fromWayland(nullptr, &error);
    }
    if (!decoder) {
        decoder = KeyDecoder::fromNames(systemKeymapNames(m_paths.keyboardFile), &error);
    }
    if (!decoder) {
        return CaptureAttempt { nullptr, QStringLiteral("cannot decode the keys of %1: %2").arg(path, error) };
    }
    return EvdevCapture::open(nodes, std::move(decoder));
}

} // namespace vortal9
