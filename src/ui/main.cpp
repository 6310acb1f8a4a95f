#ifdef _WIN32
#include "device/Win32DeviceMonitor.h"
#include "device/Win32HidPlatform.h"
#else
#include "device/HidapiPlatform.h"
#endif
#include "ui/Program.h"

#include <QApplication>

#if defined(Q_OS_LINUX)
#include "capture/LinuxCapturePlatform.h"
#include "device/UdevMonitor.h"

#include <QGuiApplication>
#endif

int main(int argc, char *argv[])
{
    vortal9::FontConfigWarmUp fonts;
    vortal9::PlatformStartGuard platformStart;
    QApplication app(argc, argv);
    platformStart.started();
    fonts.wait();
    QApplication::setApplicationName(QStringLiteral("vortal9-setup"));
    QApplication::setWindowIcon(vortal9::applicationIcon());
#ifdef _WIN32
    vortal9::Win32HidPlatform platform;
#else
    vortal9::HidapiPlatform platform;
#endif
#if defined(Q_OS_LINUX)
    // The reader's keys are decoded with the keymap of the desktop session
    // the window runs in: the X server's on X11 (XWayland's mirrors the
    // compositor's), the compositor's on Wayland; the system's layout
    // elsewhere (offscreen) or when the session gives none.
    void *xcbConnection = nullptr;
#if QT_CONFIG(xcb)
    if (auto *x11 = app.nativeInterface<QNativeInterface::QX11Application>())
        xcbConnection = x11->connection();
#endif
    vortal9::LinuxCapturePlatform capture(xcbConnection);
    if (QGuiApplication::platformName() == QLatin1String("wayland"))
        capture.useWaylandKeymap();
    // Unplugging is noticed through udev as well, which a reader heard
    // without capture needs.
    vortal9::UdevMonitor monitor;
    return vortal9::runProgram(platform, &capture, QStringLiteral("vortal9-setup"),
                               monitor.isWatching() ? &monitor : nullptr);
#elif defined(_WIN32)
    // The reader is heard through the keyboard focus; an unplugged one is
    // noticed through Windows' device notifications.
    vortal9::Win32DeviceMonitor monitor(platform);
    return vortal9::runProgram(platform, nullptr, QStringLiteral("vortal9-setup"),
                               monitor.isWatching() ? &monitor : nullptr);
#else
    return vortal9::runProgram(platform, nullptr, QStringLiteral("vortal9-setup"));
#endif
}
