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

LinuxCapturePlatform::~LinuxCapturePlatform()
{
    // Ungrabs and closes still under way finish before the program ends;
    // left to the end of the process, the kernel would do them one after
    // another.
    EvdevCapture::waitForReleases();
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

    QString error;
    std::unique_ptr<KeyDecoder> decoder = this->decoder(&error);
    if (!decoder) {
        return CaptureAttempt { nullptr, QStringLiteral("cannot decode the keys of %1: %2").arg(path, error) };
    }
    return EvdevCapture::open(nodes, std::move(decoder));
}

std::unique_ptr<KeyDecoder> LinuxCapturePlatform::decoder(QString *error)
{
    if (m_xcbConnection) {
        if (auto decoder = KeyDecoder::fromX11(m_xcbConnection, error)) {
            return decoder;
        }
    }
    // The keymap's source: the compositor's keymap text, or the system's
    // layout names. Compiled under the lock, so that readers opened at the
    // same moment wait for one compilation rather than each making its own.
    QByteArray text;
    if (!m_xcbConnection && m_wayland) {
        text = waylandKeymapText(nullptr, error);
    }
    const std::lock_guard guard(m_keymapLock);
    const bool fromNames = text.isEmpty();
    const KeymapNames names = fromNames ? systemKeymapNames(m_paths.keyboardFile) : KeymapNames {};
    const QByteArray source = fromNames
        ? QStringList { names.rules, names.model, names.layout, names.variant, names.options }
              .join(QLatin1Char('\n'))
              .toUtf8()
        : text;
    if (!m_keymap || fromNames != m_keymapFromNames || source != m_keymapSource) {
        m_keymap = fromNames ? Keymap::fromNames(names, error) : Keymap::fromText(text, error);
        m_keymapFromNames = fromNames;
        m_keymapSource = m_keymap ? source : QByteArray();
    }
    return m_keymap ? std::make_unique<KeyDecoder>(m_keymap) : nullptr;
}

} // namespace vortal9
