// A scratch copy of the sysfs and /dev entries the kernel makes for a HID
// reader's interface, for the capture tests:
//
//   ROOT/sys/devices/usb1/1-1/1-1:1.0/0003:04B4:210A.0007/        the HID device
//     hidraw/hidrawN/device -> ../..                              its hidraw node
//     input/inputM/eventK/                                        its input devices
//   ROOT/sys/class/hidraw/hidrawN -> ../../devices/.../hidraw/hidrawN
//   ROOT/dev/input/eventK                                         a FIFO
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vortal9::test {

// One input device of the interface and the event nodes it has.
using FakeInput = std::pair<QString, QStringList>; // {"input15", {"event7"}}

inline bool makeHidrawTree(const QString &root, const QString &hidraw, const std::vector<FakeInput> &inputs)
{
    const QString hid = root + QStringLiteral("/sys/devices/usb1/1-1/1-1:1.0/0003:04B4:210A.0007");
    bool ok = QDir().mkpath(hid + QStringLiteral("/hidraw/") + hidraw) && QDir().mkpath(root + "/sys/class/hidraw")
        && QDir().mkpath(root + QStringLiteral("/dev/input"))
        && QFile::link(QStringLiteral("../.."), hid + QStringLiteral("/hidraw/") + hidraw + QStringLiteral("/device"))
        && QFile::link(QStringLiteral("../../devices/usb1/1-1/1-1:1.0/0003:04B4:210A.0007/hidraw/") + hidraw,
            root + QStringLiteral("/sys/class/hidraw/") + hidraw);
    for (const auto &[input, events] : inputs) {
        for (const QString &event : events) {
            ok = ok && QDir().mkpath(hid + QStringLiteral("/input/") + input + QStringLiteral("/") + event);
            ok = ok && mkfifo(QFile::encodeName(root + QStringLiteral("/dev/input/") + event).constData(), 0644) == 0;
        }
    }
    // Every folder open to all, so that an unprivileged child can walk it.
    ok = ok && chmod(QFile::encodeName(root).constData(), 0755) == 0;
    return ok;
}

// Runs fn as the user "nobody" in a child process when this process is
// root (root passes every permission check, so what a technician's account
// meets cannot be seen otherwise), and directly otherwise. Returns fn's
// result, or "child failed" when the child could not run it.
inline std::string asUnprivileged(const std::function<std::string()> &fn)
{
    if (geteuid() != 0) {
        return fn();
    }
    const passwd *nobody = getpwnam("nobody");
    int channel[2];
    if (!nobody || pipe(channel) != 0) {
        return "child failed";
    }
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
            _exit(1);
        }
        const std::string result = fn();
        const bool written = write(channel[1], result.data(), result.size()) == ssize_t(result.size());
        _exit(written ? 0 : 1);
    }
    close(channel[1]);
    std::string result;
    char buffer[256];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) {
        result.append(buffer, std::size_t(n));
    }
    close(channel[0]);
    int status = 0;
    const bool exited
        = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return exited ? result : "child failed";
}

} // namespace vortal9::test
