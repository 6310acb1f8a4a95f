// Start-up shared by the program and the demo: one copy at a time, then the
// window on the given platform.
#pragma once

#include <QIcon>
#include <QString>

namespace vortal9 {

class HidPlatform;

// The program's icon: a magnetic card, drawn rather than shipped as a file.
QIcon applicationIcon();

// Runs the window until it is unloaded. Returns at once with 0, showing no
// window, when another copy that uses the same lock name is running.
int runProgram(HidPlatform &platform, const QString &lockName);

} // namespace vortal9
