#include "ui/Program.h"

#include "platform/EndingSignals.h"
#include "ui/MainForm.h"
#include "ui/SingleInstance.h"
#include "ui/UserDialogs.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QPainter>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>

#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
#include <dlfcn.h>
#endif

namespace vortal9 {

FontConfigWarmUp::FontConfigWarmUp()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    // fontconfig is already loaded with Qt's libraries; its initialisation is
    // thread-safe and what it loads is shared with Qt's own use of it later.
    using Init = int (*)();
    if (auto init = reinterpret_cast<Init>(dlsym(RTLD_DEFAULT, "FcInit")))
        m_thread = std::thread(init);
#endif
}

FontConfigWarmUp::~FontConfigWarmUp()
{
    wait();
}

void FontConfigWarmUp::wait()
{
    if (m_thread.joinable())
        m_thread.join();
}

namespace {

// How to call vortal9-batch from here: by its name where PATH finds it,
// otherwise by its path beside this program (a source build's bin/).
QString batchTool()
{
    QString name = QStringLiteral("vortal9-batch");
    if (!QStandardPaths::findExecutable(name).isEmpty())
        return name;
    const QString beside = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).dir().filePath(name);
    return QFileInfo(beside).isExecutable() ? beside : name;
}

QtMessageHandler previousHandler = nullptr;
std::vector<PlatformStartGuard::Message> *heldMessages = nullptr;

void holdMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtFatalMsg) {
        // The only fatal message while the application starts is that no
        // platform could be started: no display to reach.
        const QString line = QStringLiteral(
            "vortal9-setup: the window needs a desktop session (X11 or Wayland) and could not reach one; without a "
            "desktop, configure readers with %1 (make demo shows the window on emulated readers, on a desktop).\n")
                                 .arg(batchTool());
        std::fputs(line.toLocal8Bit().constData(), stderr);
        std::fflush(nullptr);
        std::_Exit(1);
    }
    heldMessages->push_back({type, text});
}

} // namespace

PlatformStartGuard::PlatformStartGuard()
{
    heldMessages = &m_held;
    previousHandler = qInstallMessageHandler(holdMessage);
}

PlatformStartGuard::~PlatformStartGuard()
{
    started();
}

void PlatformStartGuard::started()
{
    if (heldMessages != &m_held)
        return;
    qInstallMessageHandler(previousHandler);
    heldMessages = nullptr;
    for (const Message &message : m_held) {
        const QMessageLogContext context;
        if (previousHandler)
            previousHandler(message.type, context, message.text);
        else
            qt_message_output(message.type, context, message.text);
    }
    m_held.clear();
}

QIcon applicationIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal s = size / 16.0;
        painter.setPen(QPen(QColor(0, 64, 0), s * 0.6));
        painter.setBrush(QColor(0, 200, 0));
        painter.drawRoundedRect(QRectF(1 * s, 3 * s, 14 * s, 10 * s), 1.5 * s, 1.5 * s);
        painter.fillRect(QRectF(1.3 * s, 5 * s, 13.4 * s, 2.5 * s), Qt::black);
        painter.fillRect(QRectF(3 * s, 9.5 * s, 6 * s, 1.2 * s), Qt::white);
        icon.addPixmap(pixmap);
    }
    return icon;
}

int runProgram(HidPlatform &platform, CapturePlatform *capture, const QString &lockName, DeviceMonitor *monitor)
{
    // SIGTERM, SIGHUP (a logout, a shutdown, kill) and the other ending
    // signals end the window as "EXIT" does, without its questions; one that
    // comes before the window is there waits for the event loop. Held until
    // exit: one that comes while the program ends changes nothing.
    EndingSignals endingSignals;
    endingSignals.holdUntilExit();
    const SingleInstance instance(lockName);
    if (instance.state() == SingleInstance::State::OtherCopy) {
        requestRaise(lockName, qgetenv("XDG_ACTIVATION_TOKEN"));
        return 0;
    }
    // Listening before the window exists: a request that comes meanwhile is
    // read once the event loop runs.
    RaiseListener raiseRequests(lockName);
    if (instance.state() == SingleInstance::State::Unchecked)
        qWarning().noquote() << QStringLiteral("Cannot tell whether another copy is running (%1); starting anyway.")
                                    .arg(instance.problem());

    QtUserDialogs dialogs;
    MainForm form(platform, capture, dialogs);
    form.setDeviceMonitor(monitor);
    QObject::connect(&form, &MainForm::unloaded, &form, [] {
        // The reader is closed; end at once, without letting any other
        // handler or timer run. The system releases the single-copy lock.
        std::fflush(nullptr);
        std::_Exit(0);
    });
    QObject::connect(&raiseRequests, &RaiseListener::raiseRequested, &form, [&form](const QByteArray &token) {
        // Qt's Wayland platform activates the window with the launcher's
        // token of the second start when it finds one here.
        if (!token.isEmpty())
            qputenv("XDG_ACTIVATION_TOKEN", token);
        form.setWindowState(form.windowState() & ~Qt::WindowMinimized);
        form.show();
        form.raise();
        form.activateWindow();
    });
    endingSignals.setHandler([&form] { form.endWithoutQuestions(); });
    form.show();
#ifdef Q_OS_WIN
    RaiseListener::markWindow(form.winId(), lockName);
#endif
    return QApplication::exec();
}

} // namespace vortal9
