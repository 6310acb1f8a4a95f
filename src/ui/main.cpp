#ifdef _WIN32
#include "device/Win32HidPlatform.h"
#else
#include "device/HidapiPlatform.h"
#endif
#include "ui/Program.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    vortal9::FontConfigWarmUp fonts;
    QApplication app(argc, argv);
    fonts.wait();
    QApplication::setApplicationName(QStringLiteral("vortal9-setup"));
    QApplication::setWindowIcon(vortal9::applicationIcon());
#ifdef _WIN32
    vortal9::Win32HidPlatform platform;
#else
    vortal9::HidapiPlatform platform;
#endif
    return vortal9::runProgram(platform, QStringLiteral("vortal9-setup"));
}
