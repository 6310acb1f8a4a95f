#include "device/HidapiPlatform.h"
#include "ui/Program.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    vortal9::FontConfigWarmUp fonts;
    QApplication app(argc, argv);
    fonts.wait();
    QApplication::setApplicationName(QStringLiteral("vortal9-setup"));
    QApplication::setWindowIcon(vortal9::applicationIcon());
    vortal9::HidapiPlatform platform;
    return vortal9::runProgram(platform, nullptr, QStringLiteral("vortal9-setup"));
}
