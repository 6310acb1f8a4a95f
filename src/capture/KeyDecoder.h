// Turning a reader's key events into the text they type, through
// libxkbcommon: the same keymap and modifier logic that the desktop would
// have applied to the reader's keys.
#pragma once

#include "device/KeyCapture.h"

#include <QString>

#include <memory>
#include <optional>
#include <set>

struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace vortal9 {

// The names from which XKB compiles a keymap; empty ones take XKB's
// defaults (rules "evdev", model "pc105", layout "us").
struct KeymapNames
{
    QString rules;
    QString model;
    QString layout;
    QString variant;
    QString options;
};

// The layout the system is configured for, as a console or a session
// without X would have it: XKB_DEFAULT_RULES/MODEL/LAYOUT/VARIANT/OPTIONS when
// any is set, otherwise XKBMODEL/XKBLAYOUT/XKBVARIANT/XKBOPTIONS from
// keyboardFile (Debian's /etc/default/keyboard), otherwise U.S.
KeymapNames systemKeymapNames(const QString &keyboardFile = QStringLiteral("/etc/default/keyboard"));

class KeyDecoder
{
public:
    // A keymap compiled from names. Null, with the reason in *error, when XKB
    // cannot compile it (an unknown layout, no XKB data).
    static std::unique_ptr<KeyDecoder> fromNames(const KeymapNames &names, QString *error = nullptr);
    // The keymap of an X server's core keyboard, in the layout group that is
    // locked there now. xcbConnection is an xcb_connection_t* (Qt's, in the
    // window). Null, with the reason in *error, when the server has no XKB.
    static std::unique_ptr<KeyDecoder> fromX11(void *xcbConnection, QString *error = nullptr);
    // The keymap a Wayland compositor gives its clients' keyboards: the
    // session's layout, as the desktop's keyboard settings chose it, which
    // the compositor applies to every keyboard, the reader included. Read
    // through a connection of its own to the compositor at displayName (null:
    // WAYLAND_DISPLAY, as Qt's Wayland platform connects). Decoded in the
    // first layout group: the group locked now is told only to a client
    // with the keyboard focus. Null, with the reason in *error, when no
    // compositor answers or none of its seats has a keyboard.
    static std::unique_ptr<KeyDecoder> fromWayland(const char *displayName = nullptr, QString *error = nullptr);

    ~KeyDecoder();
    KeyDecoder(const KeyDecoder &) = delete;
    KeyDecoder &operator=(const KeyDecoder &) = delete;

    // One key event (a Linux key code; value 1 press, 0 release, 2 repeat).
    // A press gives the key with what it types under the current modifiers:
    // its character, "\n" for Return and Enter, "\t" for Tab, "\b" for
    // BackSpace, and "" for modifiers, dead keys and keys without a
    // character. Releases give nothing, and so do repeats: a reader never
    // holds a key on purpose, and a key held past the system's repeat delay
    // (a busy machine) was still pressed once. Releases of keys whose press
    // was not seen (held before the decoder started) change nothing.
    std::optional<CapturedKey> keyEvent(int code, int value);
    // Brings the key's state up to date without typing: after events were
    // lost, the input device reports which keys are down now.
    void syncKey(int code, bool down);
    // What the key types on its own, with Shift or without, whatever is
    // down now (in the layout group this decoder types in).
    QString typedAlone(int code, bool shifted) const;

private:
    KeyDecoder(xkb_context *context, xkb_keymap *keymap);
    QString textOf(int code) const { return textIn(m_state, code); }
    static QString textIn(xkb_state *state, int code);
    bool shiftDown() const;

    xkb_context *m_context;
    xkb_keymap *m_keymap;
    xkb_state *m_state;
    std::set<int> m_down; // keys whose press this decoder saw
};

} // namespace vortal9
