#include "device/HidapiPlatform.h"
#include "ui/Program.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vortal9-setup"));
    QApplication::setWindowIcon(vortal9::applicationIcon());
    vortal9::HidapiPlatform platform;
    return vortal9::runProgram(platform, QStringLiteral("vortal9-setup"));
}
