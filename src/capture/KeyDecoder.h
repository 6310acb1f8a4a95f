// Turning a reader's key events into the text they type, through
// libxkbcommon: the same keymap and modifier logic that the desktop would
// have applied to the reader's keys.
//
// A compiled keymap (Keymap) is made once and shared by every decoder of the
// same layout: compiling one reads some thirty XKB files. Each decoder keeps
// its own state (its keys down, its modifiers) on top of it.
#pragma once

#include "device/KeyCapture.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <mutex>
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

// A compiled keymap. It does not change once made, so decoders on any thread
// may use it at the same time.
class Keymap
{
public:
    // Compiled from names. Null, with the reason in *error, when XKB cannot
    // compile it (an unknown layout, no XKB data).
    static std::shared_ptr<const Keymap> fromNames(const KeymapNames &names, QString *error = nullptr);
    // Compiled from a keymap's text (XKB_KEYMAP_FORMAT_TEXT_V1), as a
    // Wayland compositor hands it out. Null when it cannot be read.
    static std::shared_ptr<const Keymap> fromText(const QByteArray &text, QString *error = nullptr);

    ~Keymap();
    Keymap(const Keymap &) = delete;
    Keymap &operator=(const Keymap &) = delete;

private:
    friend class KeyDecoder;
    Keymap(xkb_context *context, xkb_keymap *keymap);
    // A state of one's own on the keymap, and its end. libxkbcommon counts
    // the keymap's references without atomics, so states are made and ended
    // one at a time.
    xkb_state *newState() const;
    void freeState(xkb_state *state) const;

    xkb_context *m_context;
    xkb_keymap *m_keymap;
    mutable std::mutex m_references;
};

// The text of the keymap a Wayland compositor gives its clients' keyboards:
// the session's layout, as the desktop's keyboard settings chose it, which
// the compositor applies to every keyboard, the reader included. Read
// through a connection of its own to the compositor at displayName (null:
// WAYLAND_DISPLAY, as Qt's Wayland platform connects). Empty, with the reason
// in *error, when no compositor answers or none of its seats has a keyboard.
QByteArray waylandKeymapText(const char *displayName = nullptr, QString *error = nullptr);

class KeyDecoder
{
public:
    // A decoder of its own on a shared keymap (never null).
    explicit KeyDecoder(std::shared_ptr<const Keymap> keymap);

    // A keymap compiled from names. Null, with the reason in *error, when XKB
    // cannot compile it (an unknown layout, no XKB data).
    static std::unique_ptr<KeyDecoder> fromNames(const KeymapNames &names, QString *error = nullptr);
    // The keymap of an X server's core keyboard, in the layout group that is
    // locked there now. xcbConnection is an xcb_connection_t* (Qt's, in the
    // window). Null, with the reason in *error, when the server has no XKB.
    static std::unique_ptr<KeyDecoder> fromX11(void *xcbConnection, QString *error = nullptr);
    // The keymap a Wayland compositor gives its clients' keyboards
    // (waylandKeymapText()). Decoded in the first layout group: the group
    // locked now is told only to a client with the keyboard focus. Null,
    // with the reason in *error, when no compositor answers or none of its
    // seats has a keyboard.
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
    QString textOf(int code) const { return textIn(m_state, code); }
    static QString textIn(xkb_state *state, int code);
    bool shiftDown() const;

    std::shared_ptr<const Keymap> m_keymap;
    xkb_state *m_state;
    std::set<int> m_down; // keys whose press this decoder saw
};

} // namespace vortal9
