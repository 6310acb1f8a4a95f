// Which readers a command works on: the attached readers as "Select Device"
// numbers them, and the ones that --reader and --all chose among them.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

class QTextStream;

namespace vortal9 {
class HidPlatform;
}

namespace vortal9::batch {

// The readers' paths in the order "Select Device" numbers them.
std::vector<std::string> discoverReaders(HidPlatform &platform);

// The numbers (from 1) of the readers that choices (--reader: a number or a
// path, in the order given) and all (--all) chose among readers; all of
// them when one is attached and nothing was chosen. nullopt after saying on
// err what is wrong (a usage error); tool names this program in hints.
std::optional<std::vector<int>> chooseReaders(const QStringList &choices, bool all,
    const std::vector<std::string> &readers, QTextStream &err, const QString &tool);

} // namespace vortal9::batch
