// The keymap of a Wayland session, as a compositor hands it to its clients'
// keyboards: a small compositor in the test (libwayland-server) offers a seat
// and sends a keymap, and capture decodes the reader's keys with it.

#include "capture/KeyDecoder.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-server.h>
#include <xkbcommon/xkbcommon.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

using vortal9::KeyDecoder;

// A compositor with one seat, on its own thread: with a keyboard it sends
// keymap in format as the keyboard is made.
class Compositor
{
public:
    Compositor(const char *socket, QByteArray keymap, uint32_t format, bool keyboard)
        : m_keymap(std::move(keymap))
        , m_format(format)
        , m_keyboard(keyboard)
        , m_display(wl_display_create())
    {
        EXPECT_EQ(wl_display_add_socket(m_display, socket), 0);
        wl_global_create(m_display, &wl_seat_interface, 5, this, bindSeat);
        m_thread = std::thread([this] {
            wl_event_loop *loop = wl_display_get_event_loop(m_display);
            while (!m_stop) {
                wl_event_loop_dispatch(loop, 50);
                wl_display_flush_clients(m_display);
            }
        });
    }

    ~Compositor()
    {
        m_stop = true;
        m_thread.join();
        wl_display_destroy_clients(m_display);
        wl_display_destroy(m_display);
    }

private:
    static void destroy(wl_client *, wl_resource *resource) { wl_resource_destroy(resource); }
    static void unused(wl_client *, wl_resource *, uint32_t) { }

    static void getKeyboard(wl_client *client, wl_resource *seat, uint32_t id)
    {
        static const struct wl_keyboard_interface keyboardImplementation = { destroy };
        auto *self = static_cast<Compositor *>(wl_resource_get_user_data(seat));
        wl_resource *keyboard = wl_resource_create(client, &wl_keyboard_interface, wl_resource_get_version(seat), id);
        wl_resource_set_implementation(keyboard, &keyboardImplementation, nullptr, nullptr);
        const int fd = memfd_create("keymap", MFD_CLOEXEC);
        const QByteArray text = self->m_keymap + '\0';
        EXPECT_EQ(::write(fd, text.constData(), size_t(text.size())), text.size());
        wl_keyboard_send_keymap(keyboard, self->m_format, fd, uint32_t(text.size()));
        ::close(fd);
    }

    static void bindSeat(wl_client *client, void *data, uint32_t version, uint32_t id)
    {
        static const struct wl_seat_interface seatImplementation = { unused, getKeyboard, unused, destroy };
        auto *self = static_cast<Compositor *>(data);
        wl_resource *seat = wl_resource_create(client, &wl_seat_interface, int(version), id);
        wl_resource_set_implementation(seat, &seatImplementation, self, nullptr);
        wl_seat_send_capabilities(seat, self->m_keyboard ? WL_SEAT_CAPABILITY_KEYBOARD : WL_SEAT_CAPABILITY_POINTER);
    }

    QByteArray m_keymap;
    uint32_t m_format;
    bool m_keyboard;
    wl_display *m_display;
    std::thread m_thread;
    std::atomic<bool> m_stop = false;
};

// The keymap text XKB makes of a layout, as a compositor would send it.
QByteArray keymapText(const char *layout)
{
    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    const xkb_rule_names names { nullptr, nullptr, layout, nullptr, nullptr };
    xkb_keymap *keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    char *text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
    QByteArray result(text);
    free(text);
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    return result;
}

QString tap(KeyDecoder &decoder, int key)
{
    const auto pressed = decoder.keyEvent(key, 1);
    decoder.keyEvent(key, 0);
    return pressed ? pressed->text : QString();
}

class WaylandKeymapTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(runtime.isValid());
        // libwayland finds sockets in XDG_RUNTIME_DIR, on both sides.
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    }

    QTemporaryDir runtime;
};

struct LayoutRow
{
    const char *name;
    const char *layout;
    int key;
    const char *typed;
};

class SessionLayoutTest : public WaylandKeymapTest, public testing::WithParamInterface<LayoutRow>
{
};

TEST_P(SessionLayoutTest, KeysDecodeWithTheCompositorsKeymap)
{
    const Compositor compositor("session", keymapText(GetParam().layout), WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, true);
    QString error;
    auto decoder = KeyDecoder::fromWayland("session", &error);
    ASSERT_TRUE(decoder) << error.toStdString();
    EXPECT_EQ(tap(*decoder, GetParam().key).toStdString(), GetParam().typed);
}

INSTANTIATE_TEST_SUITE_P(Layouts, SessionLayoutTest,
    testing::Values(LayoutRow { "GermanZ", "de", KEY_Y, "z" }, LayoutRow { "GermanY", "de", KEY_Z, "y" },
        LayoutRow { "FrenchA", "fr", KEY_Q, "a" }, LayoutRow { "UsQ", "us", KEY_Q, "q" }),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(WaylandKeymapTest, SaysWhyWhenTheSessionGivesNoKeymap)
{
    QString error;
    EXPECT_FALSE(KeyDecoder::fromWayland("nobody", &error));
    EXPECT_EQ(error.toStdString(), "no connection to the Wayland compositor");
    {
        const Compositor pointerOnly("pointer", keymapText("de"), WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, false);
        EXPECT_FALSE(KeyDecoder::fromWayland("pointer", &error));
        EXPECT_EQ(error.toStdString(), "the Wayland compositor offers no keyboard");
    }
    {
        const Compositor noKeymap("nokeymap", QByteArray(), WL_KEYBOARD_KEYMAP_FORMAT_NO_KEYMAP, true);
        EXPECT_FALSE(KeyDecoder::fromWayland("nokeymap", &error));
        EXPECT_EQ(error.toStdString(), "the Wayland compositor's keymap is not an XKB keymap");
    }
    {
        const Compositor garbage(
            "garbage", QByteArray("xkb_keymap { nonsense"), WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, true);
        EXPECT_FALSE(KeyDecoder::fromWayland("garbage", &error));
        EXPECT_EQ(error.toStdString(), "cannot read the Wayland compositor's keymap");
    }
}

} // namespace
