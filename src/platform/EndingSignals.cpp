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
    auto *notifier = new QSocketNotifier(readingEnd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &EndingSignals::onReadable);
    m_notifier = notifier;
    m_active = true;
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

#elif defined(Q_OS_WIN)

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QWinEventNotifier>

#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace vortal9 {

namespace {

// How long the thread that heard an ending keeps Windows from ending the
// process, at most: the paced release of a held key and a report's answer
// (the kernel gives up on one after 5 s) fit in it. Windows itself gives a
// closed console 5 s and a session's end about as long before it ends the
// process anyway.
constexpr DWORD GraceMs = 10000;
constexpr wchar_t WindowClass[] = L"Vortal9EndingSignals";

// Shared by the console handler, the window's thread and the instance; the
// instance exists while `event` is not null.
struct Endings
{
    std::mutex mutex;
    HANDLE event = nullptr;       // set when an ending came: the event loop reads `codes`
    HANDLE ended = nullptr;       // set when the instance goes: a waiting handler may answer
    std::vector<int> codes;
    bool holdUntilExit = false;
    bool consoleHandler = false;  // installed once, stays
};

Endings &endings()
{
    static Endings shared;
    return shared;
}

// Called on a thread of Windows' (console) or of ours (window): hands the
// ending to the event loop. False when no instance is there to take it.
bool tell(int code)
{
    Endings &e = endings();
    const std::lock_guard lock(e.mutex);
    if (!e.event)
        return false;
    e.codes.push_back(code);
    SetEvent(e.event);
    return true;
}

// Windows ends the process when this returns: wait until the program has
// ended (the process goes with this thread in it) or the grace is over.
void holdTheEnd()
{
    HANDLE ended = nullptr;
    {
        Endings &e = endings();
        const std::lock_guard lock(e.mutex);
        if (e.ended)
            DuplicateHandle(GetCurrentProcess(), e.ended, GetCurrentProcess(), &ended, 0, FALSE, DUPLICATE_SAME_ACCESS);
    }
    if (ended) {
        WaitForSingleObject(ended, GraceMs);
        CloseHandle(ended);
    }
}

BOOL WINAPI onConsoleEvent(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT: tell(SIGINT); return TRUE;
    case CTRL_BREAK_EVENT: tell(SIGBREAK); return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        if (tell(SIGTERM))
            holdTheEnd();
        return TRUE;
    default: return FALSE;
    }
}

LRESULT CALLBACK endingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE; // never refuse: the ending follows with WM_ENDSESSION
    case WM_ENDSESSION:
        if (wParam && tell(SIGTERM))
            holdTheEnd();
        return 0;
    case WM_CLOSE: // taskkill, or a task manager's "End task"
        tell(SIGTERM);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Qt's windows answer the session's end by quitting the event loop at once;
// the program's own way out (the ending above) must run instead, paced.
class EndSessionFilter : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray &, void *message, qintptr *result) override
    {
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message != WM_ENDSESSION || msg->hwnd == nullptr)
            return false;
        // The event loop's own filtering of a message it fetched has no
        // result to give.
        if (result)
            *result = 0;
        return true;
    }
};

} // namespace

// The hidden window and its thread.
struct EndingSignalsWindow
{
    std::thread thread;
    DWORD threadId = 0;
    EndSessionFilter filter;
};

const std::vector<int> &EndingSignals::handled()
{
    static const std::vector<int> list = { SIGINT, SIGBREAK, SIGTERM };
    return list;
}

EndingSignals::EndingSignals(QObject *parent)
    : QObject(parent)
{
    Endings &e = endings();
    {
        const std::lock_guard lock(e.mutex);
        if (e.event)
            return; // only one instance at a time
        e.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        e.ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        e.codes.clear();
        e.holdUntilExit = false;
        if (!e.event || !e.ended)
            return;
    }
    if (!e.consoleHandler)
        e.consoleHandler = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != FALSE;

    auto *window = new EndingSignalsWindow;
    m_window = window;
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    window->thread = std::thread([window, started] {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = endingWindowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = WindowClass;
        RegisterClassW(&windowClass); // fails harmlessly when a second instance registers again
        // A top-level window, never shown: message-only windows are not
        // told of the session's end.
        const HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, WindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                          nullptr, instance, nullptr);
        window->threadId = hwnd ? GetCurrentThreadId() : 0;
        SetEvent(started);
        if (!hwnd)
            return;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.hwnd == nullptr && msg.message == WM_APP) {
                DestroyWindow(hwnd);
                continue;
            }
            DispatchMessageW(&msg);
        }
    });
    WaitForSingleObject(started, INFINITE);
    CloseHandle(started);

    auto *notifier = new QWinEventNotifier(e.event, this);
    connect(notifier, &QWinEventNotifier::activated, this, &EndingSignals::onReadable);
    m_notifier = notifier;
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installNativeEventFilter(&window->filter);
    m_active = window->threadId != 0;
}

EndingSignals::~EndingSignals()
{
    Endings &e = endings();
    if (!m_window)
        return;
    auto *window = static_cast<EndingSignalsWindow *>(m_window);
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(&window->filter);
    delete m_notifier;
    m_notifier = nullptr;
    HANDLE event = nullptr;
    HANDLE ended = nullptr;
    {
        const std::lock_guard lock(e.mutex);
        event = e.event;
        ended = e.ended;
        e.event = nullptr;
        e.ended = nullptr;
        e.codes.clear();
    }
    // A handler that holds the end answers now. Held until exit, the console
    // handler stays and an ending that comes later takes Windows' own way.
    SetEvent(ended);
    if (window->threadId)
        PostThreadMessageW(window->threadId, WM_APP, 0, 0);
    window->thread.join();
    CloseHandle(event);
    CloseHandle(ended);
    if (!m_holdUntilExit && e.consoleHandler) {
        SetConsoleCtrlHandler(onConsoleEvent, FALSE);
        e.consoleHandler = false;
    }
    delete window;
}

bool EndingSignals::pending()
{
    Endings &e = endings();
    const std::lock_guard lock(e.mutex);
    return !e.codes.empty();
}

void EndingSignals::onReadable()
{
    for (;;) {
        int code = 0;
        {
            Endings &e = endings();
            const std::lock_guard lock(e.mutex);
            if (e.codes.empty())
                return;
            code = e.codes.front();
            e.codes.erase(e.codes.begin());
        }
        Q_EMIT received(code);
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
