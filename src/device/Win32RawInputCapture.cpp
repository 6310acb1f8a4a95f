#include "device/Win32RawInputCapture.h"

#include "capture/ReaderDoctor.h"
#include "device/Win32HidPlatform.h"
#include "device/Win32ReaderDoctor.h"

#include <QFileInfo>

#include <array>

namespace vortal9 {

namespace {

constexpr wchar_t WindowClass[] = L"Vortal9RawInput";
constexpr USHORT KeyboardPage = 0x01, KeyboardUsage = 0x06;
// ToUnicodeEx: leave the keyboard state (dead keys) as it is.
constexpr UINT KeepKeyboardState = 0x4;

LRESULT CALLBACK captureProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *platform = reinterpret_cast<Win32RawInputCapture *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (platform && message == WM_INPUT) {
        platform->onInput(reinterpret_cast<HRAWINPUT>(lParam));
        // The system's own clean-up of the input still runs.
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (platform && message == WM_INPUT_DEVICE_CHANGE) {
        platform->onDeviceChange(wParam, reinterpret_cast<HANDLE>(lParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

QString windowTitle(HWND window)
{
    std::array<wchar_t, 256> text {};
    const int length = GetWindowTextW(window, text.data(), int(text.size()));
    return QString::fromWCharArray(text.data(), std::max(length, 0));
}

QString programOf(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    const HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
    if (!handle)
        return {};
    std::array<wchar_t, MAX_PATH> path {};
    DWORD size = DWORD(path.size());
    QString name;
    if (QueryFullProcessImageNameW(handle, 0, path.data(), &size))
        name = QFileInfo(QString::fromWCharArray(path.data(), int(size))).fileName();
    CloseHandle(handle);
    return name;
}

} // namespace

quint16 linuxKeyCode(USHORT makeCode, bool extended)
{
    if (!extended)
        return makeCode < 0x80 ? makeCode : 0;
    // Linux's codes of the keys that send E0 first (input-event-codes.h).
    switch (makeCode) {
    case 0x1C: return 96;  // KEY_KPENTER
    case 0x1D: return 97;  // KEY_RIGHTCTRL
    case 0x35: return 98;  // KEY_KPSLASH
    case 0x37: return 99;  // KEY_SYSRQ
    case 0x38: return 100; // KEY_RIGHTALT
    case 0x47: return 102; // KEY_HOME
    case 0x48: return 103; // KEY_UP
    case 0x49: return 104; // KEY_PAGEUP
    case 0x4B: return 105; // KEY_LEFT
    case 0x4D: return 106; // KEY_RIGHT
    case 0x4F: return 107; // KEY_END
    case 0x50: return 108; // KEY_DOWN
    case 0x51: return 109; // KEY_PAGEDOWN
    case 0x52: return 110; // KEY_INSERT
    case 0x53: return 111; // KEY_DELETE
    case 0x5B: return 125; // KEY_LEFTMETA
    case 0x5C: return 126; // KEY_RIGHTMETA
    case 0x5D: return 127; // KEY_COMPOSE
    default: return 0;
    }
}

Win32RawInputCapture::Win32RawInputCapture(Win32DeviceTree tree, Win32InputCalls calls)
    : m_tree(std::move(tree))
    , m_calls(std::move(calls))
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = captureProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = WindowClass;
    RegisterClassW(&windowClass); // a second platform finds it registered
    m_window = CreateWindowExW(0, WindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (m_window)
        SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32RawInputCapture::~Win32RawInputCapture()
{
    registerKeyboards(false);
    for (const auto &[device, capture] : m_byDevice)
        capture->m_platform = nullptr;
    if (m_window)
        DestroyWindow(m_window);
}

bool Win32RawInputCapture::registerKeyboards(bool on)
{
    if (on == m_registered)
        return true;
    RAWINPUTDEVICE device = {};
    device.usUsagePage = KeyboardPage;
    device.usUsage = KeyboardUsage;
    device.dwFlags = on ? RIDEV_INPUTSINK | RIDEV_DEVNOTIFY : RIDEV_REMOVE;
    device.hwndTarget = on ? m_window : nullptr;
    if (!m_calls.registerRawInputDevices(&device, 1, sizeof(device)))
        return false;
    m_registered = on;
    return true;
}

QString Win32RawInputCapture::foreignForeground() const
{
    const HWND front = m_calls.foregroundWindow();
    if (!front)
        return {};
    DWORD process = 0;
    GetWindowThreadProcessId(front, &process);
    if (process == GetCurrentProcessId())
        return {};
    // The console this program runs in: its window, or the window that
    // shows it (a terminal program owns the console's hidden window).
    if (const HWND console = m_calls.consoleWindow()) {
        if (front == console || front == GetAncestor(console, GA_ROOTOWNER) || front == GetWindow(console, GW_OWNER))
            return {};
    }
    const QString title = windowTitle(front);
    const QString program = programOf(front);
    QString named = QStringLiteral("\"%1\"").arg(title.isEmpty() ? QStringLiteral("(untitled)") : title);
    if (!program.isEmpty())
        named += QStringLiteral(" (%1)").arg(program);
    return named;
}

CaptureAttempt Win32RawInputCapture::capture(const std::string &hidPath)
{
    CaptureAttempt attempt;
    if (!m_window) {
        attempt.refusal = QStringLiteral("Raw Input cannot be used here (no window for it)");
        return attempt;
    }
    std::vector<HANDLE> devices;
    for (const RawKeyboard &keyboard : keyboardsOf(m_tree, QString::fromStdString(hidPath))) {
        const HANDLE device = reinterpret_cast<HANDLE>(keyboard.handle);
        if (m_byDevice.count(device) != 0) {
            // One program hears a keyboard once: this reader is being heard.
            attempt.inUse = true;
            attempt.refusal = QStringLiteral("its keys are already being heard by this program");
            return attempt;
        }
        devices.push_back(device);
    }
    if (devices.empty()) {
        attempt.refusal = QStringLiteral("Raw Input lists no keyboard of its own for it, so its typing cannot be "
                                         "told from other keyboards'");
        return attempt;
    }
    const QString front = foreignForeground();
    if (!front.isEmpty() && !m_allowForeground) {
        attempt.refusal = QStringLiteral("its typing would land in %1, the window in front (Windows lets no "
                                         "program keep a keyboard's keys from it): bring this program's window to "
                                         "the front, or allow it with --allow-foreground-window")
                              .arg(front);
        return attempt;
    }
    if (!registerKeyboards(true)) {
        attempt.refusal = QStringLiteral("Windows refused Raw Input for the keyboards (error %1)").arg(GetLastError());
        return attempt;
    }
    if (!m_noticed && m_notice) {
        m_noticed = true;
        m_notice(front.isEmpty()
                     ? QStringLiteral("The readers' typing is heard through Raw Input, and also lands in this "
                                      "program's window (its console), which discards it at the end; keep it in front.")
                     : QStringLiteral("The readers' typing is heard through Raw Input, and also lands in %1, the "
                                      "window in front (allowed).")
                           .arg(front));
    }
    auto capture = std::make_unique<Win32KeyCapture>(*this, devices);
    for (const HANDLE device : devices)
        m_byDevice[device] = capture.get();
    attempt.capture = std::move(capture);
    return attempt;
}

QString Win32RawInputCapture::blockedReaders()
{
    return blockedSummary(diagnoseReaders());
}

void Win32RawInputCapture::release(Win32KeyCapture *capture)
{
    for (auto it = m_byDevice.begin(); it != m_byDevice.end();) {
        if (it->second == capture)
            it = m_byDevice.erase(it);
        else
            ++it;
    }
    if (m_byDevice.empty())
        registerKeyboards(false);
}

void Win32RawInputCapture::onInput(HRAWINPUT input)
{
    RAWINPUT raw = {};
    UINT size = sizeof(raw);
    if (m_calls.getRawInputData(input, RID_INPUT, &raw, &size, sizeof(RAWINPUTHEADER)) == UINT(-1)
        || raw.header.dwType != RIM_TYPEKEYBOARD)
        return;
    const auto it = m_byDevice.find(raw.header.hDevice);
    if (it == m_byDevice.end())
        return;
    Win32KeyCapture *capture = it->second;
    if (std::optional<CapturedKey> key
        = capture->decode({raw.data.keyboard.MakeCode, raw.data.keyboard.Flags, raw.data.keyboard.VKey}))
        Q_EMIT capture->pressed(CapturedKeys{std::move(*key)});
}

void Win32RawInputCapture::onDeviceChange(WPARAM change, HANDLE device)
{
    if (change != GIDC_REMOVAL)
        return;
    const auto it = m_byDevice.find(device);
    if (it != m_byDevice.end())
        it->second->deviceGone();
}

Win32KeyCapture::Win32KeyCapture(Win32RawInputCapture &platform, std::vector<HANDLE> devices)
    : m_platform(&platform)
    , m_devices(std::move(devices))
{
}

Win32KeyCapture::~Win32KeyCapture()
{
    if (m_platform)
        m_platform->release(this);
}

void Win32KeyCapture::deviceGone()
{
    if (m_platform)
        m_platform->release(this);
    m_platform = nullptr;
    Q_EMIT lost();
}

std::optional<CapturedKey> Win32KeyCapture::decode(const RawKey &key)
{
    const bool extended = (key.flags & RI_KEY_E0) != 0;
    const bool released = (key.flags & RI_KEY_BREAK) != 0;
    // Windows sends a fake Shift (E0 2A, E0 36) around extended keys while
    // Num Lock is on or Shift is down, and 0xFF for keys that are no key.
    if ((extended && (key.makeCode == 0x2A || key.makeCode == 0x36)) || key.vkey == 0xFF)
        return std::nullopt;
    const quint32 position = key.makeCode | (extended ? 0xE000u : 0u) | ((key.flags & RI_KEY_E1) ? 0xE1000u : 0u);
    bool *modifier = nullptr;
    switch (key.vkey) {
    case VK_SHIFT:
    case VK_LSHIFT:
    case VK_RSHIFT: modifier = key.makeCode == 0x36 ? &m_rightShift : &m_leftShift; break;
    case VK_CONTROL:
    case VK_LCONTROL:
    case VK_RCONTROL: modifier = &m_control; break;
    case VK_MENU:
    case VK_LMENU:
    case VK_RMENU: modifier = extended ? &m_altGr : &m_alt; break;
    default: break;
    }
    if (released) {
        m_down.erase(position);
        if (modifier)
            *modifier = false;
        return std::nullopt;
    }
    if (!m_down.insert(position).second)
        return std::nullopt; // held: the system repeats it
    CapturedKey captured;
    captured.code = (key.flags & RI_KEY_E1) ? 119 /* KEY_PAUSE */ : linuxKeyCode(key.makeCode, extended);
    captured.shifted = m_leftShift || m_rightShift;
    if (modifier) {
        *modifier = true;
        return captured; // types nothing
    }
    switch (key.vkey) {
    case VK_RETURN: captured.text = QStringLiteral("\n"); return captured;
    case VK_TAB: captured.text = QStringLiteral("\t"); return captured;
    case VK_BACK: captured.text = QStringLiteral("\b"); return captured;
    default: break;
    }
    std::array<BYTE, 256> state {};
    if (captured.shifted)
        state[VK_SHIFT] = state[m_rightShift ? VK_RSHIFT : VK_LSHIFT] = 0x80;
    // Alt Gr is Ctrl and Alt to Windows' layouts.
    if (m_control || m_altGr)
        state[VK_CONTROL] = state[VK_LCONTROL] = 0x80;
    if (m_altGr)
        state[VK_MENU] = state[VK_RMENU] = 0x80;
    else if (m_alt)
        state[VK_MENU] = state[VK_LMENU] = 0x80;
    std::array<wchar_t, 8> text {};
    const Win32InputCalls &calls = m_platform ? m_platform->m_calls : Win32InputCalls();
    const int length = calls.toUnicodeEx(key.vkey, key.makeCode | (extended ? 0xE000u : 0u), state.data(),
                                         text.data(), int(text.size()), KeepKeyboardState, calls.keyboardLayout(0));
    // A dead key (negative) types nothing by itself.
    if (length > 0)
        captured.text = QString::fromWCharArray(text.data(), length);
    return captured;
}

} // namespace vortal9
