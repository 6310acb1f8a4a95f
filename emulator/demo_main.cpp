// The window on two emulated readers, for trying every feature without
// hardware. Never part of the real program.
#include "EmulatedPlatform.h"
#include "ui/Program.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    vortal9::FontConfigWarmUp fonts;
    QApplication app(argc, argv);
    fonts.wait();
    QApplication::setApplicationName(QStringLiteral("vortal9-setup-demo"));
    QApplication::setWindowIcon(vortal9::applicationIcon());
    vortal9::emu::EmulatedPlatform platform;
    // A keyboard without feature report and a mouse, as a real machine has,
    // next to the two readers.
    vortal9::emu::EmulatedDevice keyboard;
    keyboard.path = "/dev/hidraw0";
    keyboard.vendorId = 0x046D;
    keyboard.productId = 0xC31C;
    keyboard.featureLength = 0;
    platform.addDevice(keyboard);
    platform.addReader("/dev/hidraw1", u"VORTAL9 Demo A");
    platform.addReader("/dev/hidraw2", u"VORTAL9 Demo B");
    return vortal9::runProgram(platform, &platform, QStringLiteral("vortal9-setup-demo"));
}
