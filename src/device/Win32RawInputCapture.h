// Hearing each reader on Windows through Raw Input: one message-only window
// registered for the keyboards (RIDEV_INPUTSINK, so that it hears them
// whatever window is in front; RIDEV_DEVNOTIFY, so that it is told when one
// goes away). Each WM_INPUT names the device it comes from; a reader's
// devices are the keyboards Raw Input lists for its device instance
// (Win32DeviceTree's keyboardsOf). The messages come through the event loop
// of the thread that made the platform.
//
// Windows gives no public way to keep one keyboard's keys from the window
// that has the keyboard focus: a reader's typing also lands there. A
// capture is therefore refused while another program's window is in front,
// unless that is allowed; the program's own console is its own (what lands
// there the program discards at its end). The platform says once where the
// typing lands (notice()).
#pragma once

#include "device/KeyCapture.h"
#include "device/Win32DeviceTree.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <QString>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace vortal9 {

class Win32KeyCapture;

// The calls the capture makes besides the device tree's, in one table: a
// default-made one holds Windows' own; tests replace entries.
struct Win32InputCalls
{
    std::function<BOOL(PCRAWINPUTDEVICE, UINT, UINT)> registerRawInputDevices = RegisterRawInputDevices;
    std::function<UINT(HRAWINPUT, UINT, LPVOID, PUINT, UINT)> getRawInputData = GetRawInputData;
    std::function<HWND()> foregroundWindow = GetForegroundWindow;
    std::function<HWND()> consoleWindow = GetConsoleWindow;
    // What a key types: ToUnicodeEx on the given keyboard state, in the
    // layout of this thread's input language.
    std::function<int(UINT, UINT, const BYTE *, LPWSTR, int, UINT, HKL)> toUnicodeEx = ToUnicodeEx;
    std::function<HKL(DWORD)> keyboardLayout = GetKeyboardLayout;
};

// One key as Raw Input reports it, for decodeRawKey().
struct RawKey
{
    USHORT makeCode = 0;
    USHORT flags = 0; // RI_KEY_BREAK, RI_KEY_E0, RI_KEY_E1
    USHORT vkey = 0;
};

// The key's position as a Linux input key code (CapturedKey::code): the
// set-1 make code, an extended (E0) key mapped to Linux's own code; 0 when
// Linux has none for it.
quint16 linuxKeyCode(USHORT makeCode, bool extended);

class Win32RawInputCapture : public CapturePlatform
{
public:
    explicit Win32RawInputCapture(Win32DeviceTree tree = Win32DeviceTree::system(),
                                  Win32InputCalls calls = Win32InputCalls());
    ~Win32RawInputCapture() override;
    Win32RawInputCapture(const Win32RawInputCapture &) = delete;
    Win32RawInputCapture &operator=(const Win32RawInputCapture &) = delete;

    CaptureAttempt capture(const std::string &hidPath) override;
    QString blockedReaders() override;

    // Let the readers play while another program's window is in front (their
    // typing then lands there too).
    void allowForegroundWindow(bool allow) { m_allowForeground = allow; }
    // Where the readers' typing lands, said once, with the first capture.
    void setNotice(std::function<void(const QString &)> notice) { m_notice = std::move(notice); }
    // The window Raw Input reports to (tests send it WM_INPUT).
    HWND window() const { return m_window; }

    // The window's messages.
    void onInput(HRAWINPUT input);
    void onDeviceChange(WPARAM change, HANDLE device);

private:
    friend class Win32KeyCapture;
    void release(Win32KeyCapture *capture);
    bool registerKeyboards(bool on);
    // "" when the typing lands in the program's own console, or nowhere;
    // otherwise the window in front, named.
    QString foreignForeground() const;

    Win32DeviceTree m_tree;
    Win32InputCalls m_calls;
    HWND m_window = nullptr;
    bool m_registered = false;
    bool m_allowForeground = false;
    bool m_noticed = false;
    std::function<void(const QString &)> m_notice;
    std::map<HANDLE, Win32KeyCapture *> m_byDevice;
};

// One reader's keyboards, heard through the platform. Only presses are told
// (no releases, no repeats); Shift, Ctrl and Alt Gr are followed per reader,
// so that its keys type what they type under this computer's layout.
class Win32KeyCapture : public KeyCapture
{
    Q_OBJECT

public:
    Win32KeyCapture(Win32RawInputCapture &platform, std::vector<HANDLE> devices);
    ~Win32KeyCapture() override;

    const std::vector<HANDLE> &devices() const { return m_devices; }
    // A key of one of its devices; nullopt for a release, a repeat (a press
    // of a key already down), or a fake Shift that Windows sends around
    // extended keys. A modifier's press is a key that types nothing.
    std::optional<CapturedKey> decode(const RawKey &key);
    void deviceGone();

private:
    friend class Win32RawInputCapture;
    Win32RawInputCapture *m_platform; // null once the platform or the device is gone
    std::vector<HANDLE> m_devices;
    std::set<quint32> m_down; // keys held down (make code, with 0xE000 when extended)
    bool m_leftShift = false, m_rightShift = false, m_control = false, m_altGr = false, m_alt = false;
};

} // namespace vortal9
