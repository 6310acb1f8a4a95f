// One start-up, timed from outside by bench_startup: "form" shows the
// program's window on the real HID backend, "bare" an empty Qt Widgets
// window of the same size. Either ends as soon as its window has painted.
#include "device/HidapiPlatform.h"
#include "ui/MainForm.h"
#include "ui/Program.h"
#include "ui/UserDialogs.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

class QuitOnFirstPaint : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // The first paint of the window is followed, in the same pass, by the
        // paint of all its controls; the zero timer runs right after that.
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            QTimer::singleShot(0, qApp, [] {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                std::printf("%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
                std::fflush(stdout);
                std::_Exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    const bool form = argc > 1 && std::strcmp(argv[1], "form") == 0;
    // The program's own start-up: its font warm-up, then the application.
    std::unique_ptr<vortal9::FontConfigWarmUp> fonts;
    if (form)
        fonts = std::make_unique<vortal9::FontConfigWarmUp>();
    QApplication app(argc, argv);
    if (fonts)
        fonts->wait();
    QuitOnFirstPaint quit;
    std::unique_ptr<vortal9::HidapiPlatform> platform;
    vortal9::QtUserDialogs dialogs;
    std::unique_ptr<QWidget> window;
    if (form) {
        platform = std::make_unique<vortal9::HidapiPlatform>();
        window = std::make_unique<vortal9::MainForm>(*platform, nullptr, dialogs);
    } else {
        window = std::make_unique<QWidget>();
        window->setFixedSize(504, 532);
    }
    window->installEventFilter(&quit);
    window->show();
    return QApplication::exec();
}
