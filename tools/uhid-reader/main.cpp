// vortal9-uhid-reader: emulated readers made real to the kernel through
// /dev/uhid, for tests in a virtual machine. Never installed, never run on a
// desktop: a made-up keyboard types into whatever has the focus.
#include "DeviceSet.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>

#include <sys/signalfd.h>
#include <unistd.h>

namespace {

const char Help[] = R"(Usage: vortal9-uhid-reader [OPTION]...
Puts emulated VORTAL9 readers (the emulator's firmware: its menu, settings,
swipes) behind /dev/uhid, one uhid device each, until SIGTERM or SIGINT; then
destroys them and writes each reader's settings. For a virtual machine only.

  --readers N          N readers with default settings, serials PREFIX001...
  --serial-prefix P    the prefix of those serials (default VT9-UHID-)
  --char-interval-ms MS  those readers type one character every MS ms
                       (default the emulator's 3; a USB keyboard polled
                       every 5 ms needs 10: a make and a break report)
  --keyboard           also a plain keyboard of other ids (04B4:0101), no reader
  --fleet FILE         the devices described by FILE (below); with --readers
                       and --keyboard, the fleet's come first
  --log FILE           every report each device received, as JSON lines:
                       {"t_us": CLOCK_MONOTONIC in us, "device": serial,
                        "event": "set_report", "n": k, "type": 0 (feature),
                        "data": "00...", "answer": "ok|error|none|unplug"};
                       other events: create, start, stop, open, close,
                       get_report, output, swipe, endless_typing, destroy,
                       input_lost, end. Typed text is never logged.
  --settings-out FILE  at exit, {"devices": [{"serial", "name", "reader",
                       "reports", "unplugged", "working": {...},
                       "stored": {...}}]}: the settings as the exit found
                       them (a reader still in its menu has working ones
                       that differ from the stored)
  --uhid PATH          the uhid node (default /dev/uhid)
  --print-descriptor   write the reader's report descriptor (binary) to
                       standard output and end; makes no device (for a USB
                       gadget's report_desc)
  --help

Once every device is created, "ready N" is printed on standard output.

Fleet file: the emulator's fleet format ("path" and "usb" are not used)
with these extra fields per entry, all optional:
  { "readers": [ { "serial": "A1", "settings": {...}, "typing": {...},
                   "swipes": [ { "atMs": 1500 } ],
                   "name": "VORTAL9 Card Reader",
                   "keyboard": false,        true: a plain keyboard
                   "vendor": "04B4", "product": "210A",
                   "noAnswerAt": k,          set-feature report k is never answered
                   "errorAt": k,             report k is answered with EIO
                   "unplugAt": k,            the device is destroyed at report k
                   "endlessTypingAt": k } ] } types without end from report k
                                             (0: from creation)
Reports are counted from 1 per device, set-feature reports only. A report
not answered, answered with an error or met by the unplug does not reach the
firmware. Get-feature reports are answered with the report ID and zeros.
The firmware's answers are typed as boot keyboard reports (make, then
break; Shift, Alt Gr for the few characters that need it, U.S. map; "\r" as
Ctrl+M) at the fleet's typing speed.
)";

int signalDescriptor()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    // Blocked before any thread exists, so every thread inherits the mask
    // and the signals arrive only through the descriptor.
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

} // namespace

int main(int argc, char *argv[])
{
    const int sigFd = signalDescriptor();
    // Qt's own event dispatcher, not glib's: each device's thread wakes for
    // every character it types, and glib's costs more per wake-up (under
    // emulation the readers' typing is much of the guest's work).
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = app.arguments().mid(1);

    vortal9::uhid::Options options;
    QString problem;
    if (args.contains(QStringLiteral("--help"))) {
        std::fputs(Help, stdout);
        return 0;
    }
    if (args == QStringList{QStringLiteral("--print-descriptor")}) {
        const std::vector<std::uint8_t> rd = vortal9::uhid::readerReportDescriptor();
        return std::fwrite(rd.data(), 1, rd.size(), stdout) == rd.size() ? 0 : 1;
    }
    if (!vortal9::uhid::parseOptions(args, &options, &problem)) {
        err << "vortal9-uhid-reader: " << problem << Qt::endl << "Try --help." << Qt::endl;
        return 2;
    }
    if (sigFd < 0) {
        err << "vortal9-uhid-reader: no signal descriptor" << Qt::endl;
        return 1;
    }

    vortal9::uhid::DeviceSet devices;
    if (!devices.start(options, &problem)) {
        err << "vortal9-uhid-reader: " << problem << Qt::endl;
        return 1;
    }
    std::printf("ready %d\n", int(devices.size()));
    std::fflush(stdout);

    QSocketNotifier signals(sigFd, QSocketNotifier::Read);
    QObject::connect(&signals, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info{};
        while (::read(sigFd, &info, sizeof info) == sizeof info) {
        }
        QCoreApplication::quit();
    });
    app.exec();

    if (!devices.finish(options.settingsOut, &problem)) {
        err << "vortal9-uhid-reader: " << problem << Qt::endl;
        return 1;
    }
    return 0;
}
