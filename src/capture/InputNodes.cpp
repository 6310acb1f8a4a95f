#include "capture/InputNodes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

namespace vortal9 {

namespace {

// The number after a name's prefix ("event12" -> 12), for sorting by number.
int numberAfter(const QString &name, qsizetype prefixLength)
{
    return name.mid(prefixLength).toInt();
}

} // namespace

std::vector<InputNode> inputNodesOfHidraw(const QString &hidrawPath, const SystemPaths &paths)
{
    // Only a plain hidrawN name may be put into a path below sysRoot.
    static const QRegularExpression hidrawName(QStringLiteral("^hidraw[0-9]+$"));
    const QString name = QFileInfo(hidrawPath).fileName();
    if (!hidrawName.match(name).hasMatch()) {
        return {};
    }

    // .../device is a link to the HID device; the system resolves it.
    const QDir inputs(paths.sysRoot + QStringLiteral("/class/hidraw/") + name + QStringLiteral("/device/input"));
    // Filtered by hand: a name filter is a pattern compiled anew for every
    // listing, and this runs for every reader.
    std::vector<QString> events;
    for (const QString &input : inputs.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!input.startsWith(QLatin1String("input"))) {
            continue;
        }
        const QDir inputDir(inputs.filePath(input));
        for (const QString &event : inputDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (event.startsWith(QLatin1String("event"))) {
                events.push_back(event);
            }
        }
    }
    std::sort(events.begin(), events.end(),
        [](const QString &a, const QString &b) { return numberAfter(a, 5) < numberAfter(b, 5); });

    std::vector<InputNode> nodes;
    for (const QString &event : events) {
        InputNode node;
        node.path = paths.devRoot + QStringLiteral("/input/") + event;
        // The effective ids decide what open() may do.
        node.readable = faccessat(AT_FDCWD, QFile::encodeName(node.path).constData(), R_OK, AT_EACCESS) == 0;
        nodes.push_back(node);
    }
    return nodes;
}

} // namespace vortal9
