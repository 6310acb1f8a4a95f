// Where the system's files are, for everything that reads them: capture (a
// reader's event nodes, the keyboard layout) and the doctor (permissions,
// the udev rule). Tests point the roots into a scratch tree.
#pragma once

#include <QString>
#include <QStringList>

namespace vortal9 {

struct SystemPaths
{
    QString sysRoot = QStringLiteral("/sys");
    QString devRoot = QStringLiteral("/dev");
    // The system's configured keyboard layout, for decoding captured keys
    // where no display server gives one.
    QString keyboardFile = QStringLiteral("/etc/default/keyboard");
    // Where udev reads its rules from, in the order it prefers them (a file
    // replaces one of the same name further down). systemd's udev reads
    // /usr/local/lib/udev/rules.d too, where make install puts the rule.
    QStringList udevRuleDirs = { QStringLiteral("/etc/udev/rules.d"), QStringLiteral("/run/udev/rules.d"),
        QStringLiteral("/usr/local/lib/udev/rules.d"), QStringLiteral("/usr/lib/udev/rules.d"),
        QStringLiteral("/lib/udev/rules.d") };
    // Copies of the rule that an installation leaves where udev may not read
    // them (make install puts it under its prefix), to be copied from.
    QStringList ruleCopies;
    // The udev daemon's control socket: where it is missing, no daemon runs
    // (a container, a chroot) and no plug-in is ever announced, as libudev
    // and udevadm tell. Empty on a system that announces every device
    // (Windows).
    QString udevControl = QStringLiteral("/run/udev/control");
    // How hints name the command-line tool, ready to be typed into a shell.
    QString batchCommand = QStringLiteral("vortal9-batch");
};

// The real system's paths, with the copy of the rule that this build's make
// install leaves under its prefix, and the command-line tool named as
// batchCommandFor() names batchProgram: by default the vortal9-batch beside
// the running program's executable.
SystemPaths installedSystemPaths(const QString &batchProgram = {});

// How a user can run the program at programPath from a shell: its plain name
// when searching pathVariable (a PATH value) for that name finds the same
// file, otherwise its full path (quoted for the shell where needed). The
// plain name too when programPath does not exist (an installation that puts
// the tool elsewhere, on PATH).
QString batchCommandFor(const QString &programPath, const QString &pathVariable);

// text as one word for a POSIX shell: unchanged when it holds only
// characters that a shell takes literally, otherwise in single quotes.
QString shellQuoted(const QString &text);

} // namespace vortal9
