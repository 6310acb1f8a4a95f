#include "batch/Signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace vortal9::batch {

namespace {

// Written by the handler, read by the event loop: nothing but write() runs
// in the signal handler.
int signalSocket[2] = { -1, -1 };

void onSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = ::write(signalSocket[0], &byte, 1);
    errno = saved;
}

} // namespace

const std::vector<int> &EndingSignals::handled()
{
    static const std::vector<int> list = { SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE };
    return list;
}

EndingSignals::EndingSignals(QObject *parent)
    : QObject(parent)
{
    if (signalSocket[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSocket) != 0)
        return;
    m_notifier = new QSocketNotifier(signalSocket[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EndingSignals::onReadable);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : handled()) {
        struct sigaction previous = {};
        sigaction(signal, &action, &previous);
        m_previous.push_back(previous);
    }
}

EndingSignals::~EndingSignals()
{
    if (!m_notifier)
        return;
    for (std::size_t i = 0; i < m_previous.size(); ++i)
        sigaction(handled()[i], &m_previous[i], nullptr);
    delete m_notifier;
    ::close(signalSocket[0]);
    ::close(signalSocket[1]);
    signalSocket[0] = signalSocket[1] = -1;
}

bool EndingSignals::pending()
{
    unsigned char byte = 0;
    return signalSocket[1] >= 0 && ::recv(signalSocket[1], &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
}

void EndingSignals::onReadable()
{
    unsigned char byte = 0;
    while (::read(signalSocket[1], &byte, 1) == 1) {
        Q_EMIT received(byte);
        if (m_handler)
            m_handler();
    }
}

} // namespace vortal9::batch
