// vortal9-batch on the real system: hidapi, capture through the input event
// nodes, udev for plugging, and Ctrl+C that ends every session cleanly.
#include "batch/BatchTool.h"
#include "batch/UdevMonitor.h"
#include "capture/LinuxCapturePlatform.h"
#include "device/HidapiPlatform.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// SIGINT and SIGTERM are turned into a byte on a socket that the event loop
// watches: nothing but write() runs in the signal handler.
int signalSocket[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalSocket[0], &byte, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vortal9-batch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORTAL9_VERSION));
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    // --version stands before any command and touches nothing.
    if (arguments.contains(QStringLiteral("--version"))) {
        std::printf("vortal9-batch %s\n", VORTAL9_VERSION);
        return 0;
    }

    vortal9::HidapiPlatform platform;
    // The tool has no window: the reader's keys are decoded with the system's
    // keyboard layout.
    vortal9::LinuxCapturePlatform capture;
    vortal9::UdevMonitor monitor;
    QTextStream out(stdout);
    QTextStream err(stderr);

    vortal9::batch::Environment env;
    env.platform = &platform;
    env.capture = &capture;
    env.monitor = monitor.isWatching() ? &monitor : nullptr;
    env.system = vortal9::installedSystemPaths();
    env.out = &out;
    env.err = &err;
    env.terminal = ::isatty(STDERR_FILENO) != 0;

    std::function<void()> interrupt;
    env.onInterrupt = [&interrupt](std::function<void()> handler) { interrupt = std::move(handler); };
    QSocketNotifier *notifier = nullptr;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSocket) == 0) {
        notifier = new QSocketNotifier(signalSocket[1], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&interrupt] {
            char byte = 0;
            [[maybe_unused]] const auto got = ::read(signalSocket[1], &byte, 1);
            if (interrupt)
                interrupt();
        });
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    return vortal9::batch::run(arguments, env);
}
