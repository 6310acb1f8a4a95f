#include "capture/InputNodes.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace vortal9 {

namespace {

// The number after a name's prefix ("event12" -> 12), for sorting by number.
int numberAfter(const QString &name, qsizetype prefixLength)
{
    return name.mid(prefixLength).toInt();
}

// prefix followed by a number ("event12").
bool isNumberedName(const QString &name, QLatin1String prefix)
{
    if (!name.startsWith(prefix) || name.size() == prefix.size()) {
        return false;
    }
    return std::all_of(name.begin() + prefix.size(), name.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// The folders in path (sysfs says what each entry is; "." and ".." left out).
QStringList subfolders(const QString &path)
{
    QStringList names;
    DIR *dir = ::opendir(QFile::encodeName(path).constData());
    if (!dir) {
        return names;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        // Where the file system does not say, the entry is looked at.
        bool folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            folder = QFileInfo(path + QLatin1Char('/') + name).isDir();
        }
        if (folder && name != QLatin1String(".") && name != QLatin1String("..")) {
            names << name;
        }
    }
    ::closedir(dir);
    return names;
}

} // namespace

std::vector<InputNode> inputNodesOfHidraw(const QString &hidrawPath, const SystemPaths &paths)
{
    // Only a plain hidrawN name may be put into a path below sysRoot.
    const QString name = QFileInfo(hidrawPath).fileName();
    if (!isNumberedName(name, QLatin1String("hidraw"))) {
        return {};
    }

    // .../device is a link to the HID device; the system resolves it. Read
    // with the folders' own listings: every reader's capture and the doctor
    // come here, and a listing that tells files from folders by looking at
    // each entry costs a look-up per entry.
    const QString inputs = paths.sysRoot + QStringLiteral("/class/hidraw/") + name + QStringLiteral("/device/input");
    std::vector<QString> events;
    for (const QString &input : subfolders(inputs)) {
        if (isNumberedName(input, QLatin1String("input"))) {
            for (const QString &event : subfolders(inputs + QLatin1Char('/') + input)) {
                if (isNumberedName(event, QLatin1String("event"))) {
                    events.push_back(event);
                }
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
