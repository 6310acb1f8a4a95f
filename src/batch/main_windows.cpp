// vortal9-batch on Windows: the HID class (hid.dll, setupapi.dll), Raw Input
// to hear each reader, Windows' device notifications for plugging, and the
// ways Windows ends a console program (Ctrl+C, Ctrl+Break, the console
// closed, logging off, shutting down, taskkill), which end every session
// cleanly as the signals do on Linux.
#include "batch/BatchTool.h"
#include "capture/SystemPaths.h"
#include "device/Win32DeviceMonitor.h"
#include "device/Win32HidPlatform.h"
#include "device/Win32RawInputCapture.h"
#include "platform/EndingSignals.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#include <io.h>
#include <windows.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vortal9-batch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORTAL9_VERSION));
    // The command line as Windows gives it (UTF-16), not in the ANSI code page.
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.contains(QStringLiteral("--version"))) {
        std::printf("vortal9-batch %s\n", VORTAL9_VERSION);
        return 0;
    }
    // What the tool prints is UTF-8; a console shows it so.
    SetConsoleOutputCP(CP_UTF8);
    vortal9::EndingSignals endingSignals;
    endingSignals.holdUntilExit();

    const vortal9::SystemPaths system = vortal9::installedSystemPaths();
    vortal9::Win32HidPlatform platform;
    vortal9::Win32RawInputCapture capture;
    vortal9::Win32DeviceMonitor monitor(platform);
    QTextStream out(stdout);
    QTextStream err(stderr);
    capture.setNotice([&err](const QString &line) { err << line << Qt::endl; });

    vortal9::batch::Environment env;
    env.platform = &platform;
    env.capture = &capture;
    env.monitor = monitor.isWatching() ? &monitor : nullptr;
    env.system = system;
    env.system.udevControl.clear(); // Windows announces every device
    env.out = &out;
    env.err = &err;
    env.terminal = _isatty(_fileno(stderr)) != 0;
    env.onInterrupt = [&endingSignals](std::function<void()> handler) { endingSignals.setHandler(std::move(handler)); };
    env.allowForegroundWindow = [&capture](bool allow) { capture.allowForegroundWindow(allow); };

    QStringList words;
    for (const QString &argument : arguments)
        words << vortal9::batch::argumentFromBytes(argument.toUtf8());
    const int status = vortal9::batch::run(words, env);
    out.flush();
    err.flush();
    // What the readers typed into this console while they were heard is
    // theirs, not a command for the shell that comes back now.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode))
        FlushConsoleInputBuffer(input);
    return status;
}
