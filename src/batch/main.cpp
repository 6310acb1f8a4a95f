// vortal9-batch on the real system: hidapi, capture through the input event
// nodes, udev for plugging, and the ending signals (Ctrl+C, SIGTERM, SIGHUP,
// SIGQUIT, SIGPIPE) that end every session cleanly.
#include "batch/BatchTool.h"
#include "capture/LinuxCapturePlatform.h"
#include "device/HidapiPlatform.h"
#include "device/UdevMonitor.h"
#include "platform/EndingSignals.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#include <pthread.h>
#include <unistd.h>

namespace {

// The tool starts a few threads per reader (opening it, reading its keys,
// waiting for its reports' answers, letting it go), each needing little
// stack. The system's default of 8 MiB is mapped for each, and where the
// kernel backs it with a huge page, starting a thread zeroes 2 MiB.
void smallThreadStacks()
{
    constexpr std::size_t StackBytes = 512 * 1024;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return;
    if (pthread_attr_setstacksize(&attributes, StackBytes) == 0)
        pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
}

} // namespace

int main(int argc, char *argv[])
{
    smallThreadStacks();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vortal9-batch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORTAL9_VERSION));
    // --version stands before any command and touches nothing.
    if (QCoreApplication::arguments().mid(1).contains(QStringLiteral("--version"))) {
        std::printf("vortal9-batch %s\n", VORTAL9_VERSION);
        return 0;
    }
    // Held until the process ends: a signal while the program tears down,
    // after its result, must not change its exit status.
    vortal9::EndingSignals endingSignals;
    endingSignals.holdUntilExit();

    // The system's paths, with hints naming this very program as the user
    // can run it.
    const vortal9::SystemPaths system = vortal9::installedSystemPaths(QCoreApplication::applicationFilePath());
    vortal9::HidapiPlatform platform;
    // The tool has no window: the reader's keys are decoded with the system's
    // keyboard layout.
    vortal9::LinuxCapturePlatform capture(nullptr, system);
    vortal9::UdevMonitor monitor;
    QTextStream out(stdout);
    QTextStream err(stderr);

    vortal9::batch::Environment env;
    env.platform = &platform;
    env.capture = &capture;
    env.monitor = monitor.isWatching() ? &monitor : nullptr;
    env.system = system;
    env.out = &out;
    env.err = &err;
    env.terminal = ::isatty(STDERR_FILENO) != 0;
    env.onInterrupt = [&endingSignals](std::function<void()> handler) { endingSignals.setHandler(std::move(handler)); };

    // The arguments as the bytes they are: a file name need not be UTF-8.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << vortal9::batch::argumentFromBytes(QByteArray(argv[i]));
    return vortal9::batch::run(arguments, env);
}
