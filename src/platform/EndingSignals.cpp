#include "platform/EndingSignals.h"

#ifdef Q_OS_UNIX

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace vortal9 {

namespace {

// Written by the handler, read by the event loop: nothing but write() runs
// in the signal handler. The writing end is -1 while no instance exists (a
// handler held until exit then writes nowhere).
std::atomic<int> writingEnd { -1 };
int readingEnd = -1;

void onSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (const int fd = writingEnd.load(); fd >= 0) {
        [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
    }
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
    int ends[2] = { -1, -1 };
    if (readingEnd >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0)
        return;
    readingEnd = ends[1];
    writingEnd = ends[0];
    m_notifier = new QSocketNotifier(readingEnd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EndingSignals::onReadable);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    m_previous.resize(handled().size() * sizeof(struct sigaction));
    for (std::size_t i = 0; i < handled().size(); ++i) {
        struct sigaction previous = {};
        sigaction(handled()[i], &action, &previous);
        std::memcpy(m_previous.data() + i * sizeof previous, &previous, sizeof previous);
    }
}

EndingSignals::~EndingSignals()
{
    if (!m_notifier)
        return;
    // Held until exit, the handler stays and writes nowhere from now on.
    const int fd = writingEnd.exchange(-1);
    for (std::size_t i = 0; i < handled().size() && !m_holdUntilExit; ++i) {
        struct sigaction previous = {};
        std::memcpy(&previous, m_previous.data() + i * sizeof previous, sizeof previous);
        sigaction(handled()[i], &previous, nullptr);
    }
    delete m_notifier;
    ::close(fd);
    ::close(readingEnd);
    readingEnd = -1;
}

bool EndingSignals::pending()
{
    unsigned char byte = 0;
    return readingEnd >= 0 && ::recv(readingEnd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
}

void EndingSignals::onReadable()
{
    unsigned char byte = 0;
    while (::read(readingEnd, &byte, 1) == 1) {
        Q_EMIT received(byte);
        if (m_handler)
            m_handler();
    }
}

} // namespace vortal9

#else

namespace vortal9 {

const std::vector<int> &EndingSignals::handled()
{
    static const std::vector<int> none;
    return none;
}

EndingSignals::EndingSignals(QObject *parent)
    : QObject(parent)
{
}

EndingSignals::~EndingSignals() = default;

bool EndingSignals::pending()
{
    return false;
}

void EndingSignals::onReadable()
{
}

} // namespace vortal9

#endif
