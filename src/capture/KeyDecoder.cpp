#include "capture/KeyDecoder.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

namespace vortal9 {

namespace {

// Linux key codes are XKB key codes less 8 (the evdev rules' offset).
constexpr xkb_keycode_t EvdevOffset = 8;
constexpr xkb_keycode_t LeftShiftKey = 42; // KEY_LEFTSHIFT

// Values of a shell-style KEY="value" file such as /etc/default/keyboard.
QString shellValue(const QString &text, const QString &key)
{
    const QRegularExpression line(QStringLiteral("^\\s*%1\\s*=\\s*(\"([^\"]*)\"|'([^']*)'|(\\S*))").arg(key),
        QRegularExpression::MultilineOption);
    QString value;
    // The last assignment wins, as in the shell.
    auto it = line.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        value = m.captured(2) + m.captured(3) + m.captured(4);
    }
    return value;
}

} // namespace

KeymapNames systemKeymapNames(const QString &keyboardFile)
{
    KeymapNames env { qEnvironmentVariable("XKB_DEFAULT_RULES"), qEnvironmentVariable("XKB_DEFAULT_MODEL"),
        qEnvironmentVariable("XKB_DEFAULT_LAYOUT"), qEnvironmentVariable("XKB_DEFAULT_VARIANT"),
        qEnvironmentVariable("XKB_DEFAULT_OPTIONS") };
    if (!env.rules.isEmpty() || !env.model.isEmpty() || !env.layout.isEmpty() || !env.variant.isEmpty()
        || !env.options.isEmpty()) {
        return env;
    }

    QFile file(keyboardFile);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        const QString text = QString::fromUtf8(file.readAll());
        KeymapNames names { QString(), shellValue(text, QStringLiteral("XKBMODEL")),
            shellValue(text, QStringLiteral("XKBLAYOUT")), shellValue(text, QStringLiteral("XKBVARIANT")),
            shellValue(text, QStringLiteral("XKBOPTIONS")) };
        if (!names.layout.isEmpty()) {
            return names;
        }
    }
    return KeymapNames { QString(), QString(), QStringLiteral("us"), QString(), QString() };
}

std::unique_ptr<KeyDecoder> KeyDecoder::fromNames(const KeymapNames &names, QString *error)
{
    // The names are given in full: XKB must not mix in the environment's.
    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!context) {
        if (error) {
            *error = QStringLiteral("cannot start XKB");
        }
        return nullptr;
    }
    const QByteArray rules = names.rules.toUtf8(), model = names.model.toUtf8(), layout = names.layout.toUtf8(),
                     variant = names.variant.toUtf8(), options = names.options.toUtf8();
    // Empty fields take XKB's defaults; null pointers say so.
    auto field = [](const QByteArray &value) { return value.isEmpty() ? nullptr : value.constData(); };
    const xkb_rule_names ruleNames { field(rules), field(model), field(layout), field(variant), field(options) };
    xkb_keymap *keymap = xkb_keymap_new_from_names(context, &ruleNames, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!keymap) {
        xkb_context_unref(context);
        if (error) {
            *error = QStringLiteral("no keymap for layout \"%1\" (variant \"%2\")").arg(names.layout, names.variant);
        }
        return nullptr;
    }
    return std::unique_ptr<KeyDecoder>(new KeyDecoder(context, keymap));
}

std::unique_ptr<KeyDecoder> KeyDecoder::fromX11(void *xcbConnection, QString *error)
{
    auto *connection = static_cast<xcb_connection_t *>(xcbConnection);
    auto fail = [error](const QString &reason) {
        if (error) {
            *error = reason;
        }
        return std::unique_ptr<KeyDecoder>();
    };
    if (!connection || xcb_connection_has_error(connection)) {
        return fail(QStringLiteral("no connection to the X server"));
    }
    if (!xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
            XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr)) {
        return fail(QStringLiteral("the X server has no keyboard extension"));
    }
    const std::int32_t device = xkb_x11_get_core_keyboard_device_id(connection);
    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    xkb_keymap *keymap = (device < 0 || !context)
        ? nullptr
        : xkb_x11_keymap_new_from_device(context, connection, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!keymap) {
        xkb_context_unref(context);
        return fail(QStringLiteral("cannot read the X server's keymap"));
    }
    auto decoder = std::unique_ptr<KeyDecoder>(new KeyDecoder(context, keymap));
    // The reader types in the layout group the desktop has chosen; its
    // modifiers are its own, not those of the other keyboards.
    if (xkb_state *server = xkb_x11_state_new_from_device(keymap, connection, device)) {
        const xkb_layout_index_t group = xkb_state_serialize_layout(server, XKB_STATE_LAYOUT_LOCKED);
        xkb_state_update_mask(decoder->m_state, 0, 0, 0, 0, 0, group);
        xkb_state_unref(server);
    }
    return decoder;
}

namespace {

// What the compositor has said so far: its seat, that seat's keyboard and
// the keyboard's keymap.
struct WaylandKeyboard
{
    wl_seat *seat = nullptr;
    wl_keyboard *keyboard = nullptr;
    QByteArray keymap;
    bool unsupportedFormat = false;
};

void onKeymap(void *data, wl_keyboard *, uint32_t format, int32_t fd, uint32_t size)
{
    auto *state = static_cast<WaylandKeyboard *>(data);
    if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 || size == 0) {
        state->unsupportedFormat = true;
        ::close(fd);
        return;
    }
    // The keymap is a NUL-terminated text in a file the compositor shares;
    // it is mapped privately and copied, never trusted to end in NUL.
    void *text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (text == MAP_FAILED) {
        state->unsupportedFormat = true;
        return;
    }
    const char *chars = static_cast<const char *>(text);
    state->keymap = QByteArray(chars, qsizetype(::strnlen(chars, size)));
    ::munmap(text, size);
}

// The keyboard's other events concern a client with the focus.
void onEnter(void *, wl_keyboard *, uint32_t, wl_surface *, wl_array *) {}
void onLeave(void *, wl_keyboard *, uint32_t, wl_surface *) {}
void onKey(void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t) {}
void onModifiers(void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
void onRepeatInfo(void *, wl_keyboard *, int32_t, int32_t) {}
const wl_keyboard_listener keyboardListener = {onKeymap, onEnter, onLeave, onKey, onModifiers, onRepeatInfo};

void onCapabilities(void *data, wl_seat *seat, uint32_t capabilities)
{
    auto *state = static_cast<WaylandKeyboard *>(data);
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && !state->keyboard) {
        state->keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(state->keyboard, &keyboardListener, state);
    }
}
void onSeatName(void *, wl_seat *, const char *) {}
const wl_seat_listener seatListener = {onCapabilities, onSeatName};

void onGlobal(void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    auto *state = static_cast<WaylandKeyboard *>(data);
    // The first seat: a desktop session has one.
    if (!state->seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
        state->seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 2u)));
        wl_seat_add_listener(state->seat, &seatListener, state);
    }
}
void onGlobalRemove(void *, wl_registry *, uint32_t) {}
const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

} // namespace

std::unique_ptr<KeyDecoder> KeyDecoder::fromWayland(const char *displayName, QString *error)
{
    auto fail = [error](const QString &reason) {
        if (error) {
            *error = reason;
        }
        return std::unique_ptr<KeyDecoder>();
    };
    wl_display *display = wl_display_connect(displayName);
    if (!display) {
        return fail(QStringLiteral("no connection to the Wayland compositor"));
    }
    WaylandKeyboard state;
    wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &state);
    // Each answer asks the next question: the globals, the seat's
    // capabilities, the keyboard's keymap. A compositor sends the keymap as
    // soon as a keyboard is made.
    for (int round = 0; round < 4 && state.keymap.isEmpty() && !state.unsupportedFormat; ++round) {
        if (wl_display_roundtrip(display) < 0) {
            break;
        }
    }
    if (state.keyboard) {
        wl_keyboard_destroy(state.keyboard);
    }
    if (state.seat) {
        wl_seat_destroy(state.seat);
    }
    wl_registry_destroy(registry);
    wl_display_disconnect(display);

    if (state.keymap.isEmpty()) {
        return fail(state.unsupportedFormat ? QStringLiteral("the Wayland compositor's keymap is not an XKB keymap")
                                            : QStringLiteral("the Wayland compositor offers no keyboard"));
    }
    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    xkb_keymap *keymap = context ? xkb_keymap_new_from_string(context, state.keymap.constData(),
                                                              XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS)
                                 : nullptr;
    if (!keymap) {
        xkb_context_unref(context);
        return fail(QStringLiteral("cannot read the Wayland compositor's keymap"));
    }
    return std::unique_ptr<KeyDecoder>(new KeyDecoder(context, keymap));
}

KeyDecoder::KeyDecoder(xkb_context *context, xkb_keymap *keymap)
    : m_context(context)
    , m_keymap(keymap)
    , m_state(xkb_state_new(keymap))
{
}

KeyDecoder::~KeyDecoder()
{
    xkb_state_unref(m_state);
    xkb_keymap_unref(m_keymap);
    xkb_context_unref(m_context);
}

std::optional<CapturedKey> KeyDecoder::keyEvent(int code, int value)
{
    switch (value) {
    case 1: {
        // The text comes from the state before the key itself changes it; a
        // second press without release types again.
        CapturedKey key{static_cast<quint16>(code), shiftDown(), textOf(code)};
        syncKey(code, true);
        return key;
    }
    case 0: syncKey(code, false); return std::nullopt;
    default: return std::nullopt;
    }
}

bool KeyDecoder::shiftDown() const
{
    return xkb_state_mod_name_is_active(m_state, XKB_MOD_NAME_SHIFT, XKB_STATE_MODS_DEPRESSED) > 0;
}

void KeyDecoder::syncKey(int code, bool down)
{
    const bool seen = m_down.count(code) != 0;
    if (down == seen) {
        return;
    }
    const xkb_keycode_t key = static_cast<xkb_keycode_t>(code) + EvdevOffset;
    if (down) {
        m_down.insert(code);
    } else {
        m_down.erase(code);
    }
    xkb_state_update_key(m_state, key, down ? XKB_KEY_DOWN : XKB_KEY_UP);
}

QString KeyDecoder::typedAlone(int code, bool shifted) const
{
    xkb_state *alone = xkb_state_new(m_keymap);
    xkb_state_update_mask(alone, 0, 0, 0, 0, 0, xkb_state_serialize_layout(m_state, XKB_STATE_LAYOUT_EFFECTIVE));
    if (shifted) {
        xkb_state_update_key(alone, LeftShiftKey + EvdevOffset, XKB_KEY_DOWN);
    }
    QString text = textIn(alone, code);
    xkb_state_unref(alone);
    return text;
}

QString KeyDecoder::textIn(xkb_state *state, int code)
{
    const xkb_keycode_t key = static_cast<xkb_keycode_t>(code) + EvdevOffset;
    switch (xkb_state_key_get_one_sym(state, key)) {
    case XKB_KEY_Return:
    case XKB_KEY_KP_Enter: return QStringLiteral("\n");
    case XKB_KEY_Tab: return QStringLiteral("\t");
    case XKB_KEY_BackSpace: return QStringLiteral("\b");
    default: break;
    }
    char utf8[64];
    xkb_state_key_get_utf8(state, key, utf8, sizeof utf8);
    QString text = QString::fromUtf8(utf8);
    // Escape, Delete and Control combinations give control characters, which
    // a text box would not show either.
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control) {
            return QString();
        }
    }
    return text;
}

} // namespace vortal9
