// Decoding a reader's key events through XKB keymaps: U.S., German and
// French, from names, from the system's configuration and from an X server.

#include "capture/KeyDecoder.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <linux/input-event-codes.h>
#include <xcb/xcb.h>

#include <ostream>
#include <utility>
#include <vector>

void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

using namespace vortal9;

using Events = std::vector<std::pair<int, int>>; // (key code, 1 press / 0 release / 2 repeat)

Events taps(std::initializer_list<int> keys)
{
    Events events;
    for (const int key : keys) {
        events.insert(events.end(), { { key, 1 }, { key, 0 } });
    }
    return events;
}

// keys typed while a modifier is held.
Events with(int modifier, const Events &inner)
{
    Events events { { modifier, 1 } };
    events.insert(events.end(), inner.begin(), inner.end());
    events.push_back({ modifier, 0 });
    return events;
}

Events operator+(Events a, const Events &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Events digitRow = taps({ KEY_1, KEY_2, KEY_3, KEY_4, KEY_5, KEY_6, KEY_7, KEY_8, KEY_9, KEY_0 });

QString typed(KeyDecoder &decoder, const Events &events)
{
    QString text;
    for (const auto &[code, value] : events) {
        if (const auto key = decoder.keyEvent(code, value)) {
            text += key->text;
        }
    }
    return text;
}

struct DecodeCase
{
    const char *name;
    QString layout;
    Events events;
    QString expected;
};

void PrintTo(const DecodeCase &row, std::ostream *os)
{
    *os << row.name;
}

class Decoding : public testing::TestWithParam<DecodeCase>
{
};

TEST_P(Decoding, TypesWhatTheLayoutTypes)
{
    const DecodeCase &row = GetParam();
    QString error;
    const auto decoder = KeyDecoder::fromNames({ {}, {}, row.layout, {}, {} }, &error);
    ASSERT_TRUE(decoder) << error.toStdString();
    EXPECT_EQ(typed(*decoder, row.events), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Keymaps, Decoding,
    testing::Values(
        DecodeCase { "us_letters", "us", taps({ KEY_Y, KEY_Z }) + with(KEY_LEFTSHIFT, taps({ KEY_Y, KEY_Z })), "yzYZ" },
        DecodeCase { "us_right_shift_digits", "us", with(KEY_RIGHTSHIFT, digitRow), "!@#$%^&*()" },
        DecodeCase {
            "us_return_tab_backspace", "us", taps({ KEY_ENTER, KEY_TAB, KEY_BACKSPACE, KEY_KPENTER }), "\n\t\b\n" },
        DecodeCase { "us_caps_lock", "us", taps({ KEY_CAPSLOCK, KEY_A, KEY_CAPSLOCK, KEY_A }), "Aa" },
        // A key held past the repeat delay (a busy machine) was pressed once:
        // the kernel's repeats are not typing.
        DecodeCase { "us_repeat", "us", Events { { KEY_A, 1 }, { KEY_A, 2 }, { KEY_A, 2 }, { KEY_A, 0 } }, "a" },
        // Keys held before the decoder started: their repeats and releases
        // type nothing, and a Shift released that way changes nothing.
        DecodeCase { "us_held_before_start", "us",
            Events { { KEY_A, 2 }, { KEY_A, 0 }, { KEY_LEFTSHIFT, 0 } } + taps({ KEY_B }), "b" },
        DecodeCase { "us_keys_without_character", "us",
            taps({ KEY_LEFTSHIFT, KEY_F1, KEY_ESC, KEY_DELETE }) + with(KEY_LEFTCTRL, taps({ KEY_C }))
                + taps({ KEY_X }),
            "x" },
        DecodeCase { "de_letters", "de", taps({ KEY_Y, KEY_Z }) + with(KEY_LEFTSHIFT, taps({ KEY_Y, KEY_Z })), "zyZY" },
        DecodeCase { "de_shift_digits", "de", with(KEY_LEFTSHIFT, digitRow), "!\"§$%&/()=" },
        DecodeCase { "de_altgr", "de", with(KEY_RIGHTALT, taps({ KEY_Q, KEY_E, KEY_7 })), "@€{" },
        // ^ is a dead key on the German layout: it types nothing by itself.
        DecodeCase { "de_dead_key", "de", taps({ KEY_GRAVE, KEY_A }), "a" },
        // The digit row types symbols unshifted, digits shifted.
        DecodeCase { "fr_digits", "fr", digitRow + with(KEY_LEFTSHIFT, digitRow), "&é\"'(-è_çà1234567890" }),
    [](const testing::TestParamInfo<DecodeCase> &info) { return std::string(info.param.name); });

TEST(Decoding, SyncedKeysChangeTheStateWithoutTyping)
{
    const auto decoder = KeyDecoder::fromNames({ {}, {}, "us", {}, {} });
    ASSERT_TRUE(decoder);
    decoder->syncKey(KEY_LEFTSHIFT, true);
    decoder->syncKey(KEY_B, true);
    EXPECT_EQ(typed(*decoder, taps({ KEY_A })), "A");
    decoder->syncKey(KEY_LEFTSHIFT, false);
    // The synced key is down (its repeat would type, were repeats typing),
    // and Shift is up again.
    EXPECT_EQ(typed(*decoder, Events { { KEY_B, 2 } } + taps({ KEY_A })), "a");
}

TEST(Decoding, AnUnknownLayoutIsRefused)
{
    QString error;
    EXPECT_FALSE(KeyDecoder::fromNames({ {}, {}, "no-such-layout", {}, {} }, &error));
    EXPECT_TRUE(error.contains("no-such-layout")) << error.toStdString();
}

// ---------------------------------------------------------------- the system's layout

struct SystemCase
{
    const char *name;
    std::vector<std::pair<const char *, const char *>> environment;
    const char *keyboardFile; // null: no file
    KeymapNames expected;
};

void PrintTo(const SystemCase &row, std::ostream *os)
{
    *os << row.name;
}

class SystemLayout : public testing::TestWithParam<SystemCase>
{
};

TEST_P(SystemLayout, ComesFromTheEnvironmentThenTheFileThenUS)
{
    const SystemCase &row = GetParam();
    for (const char *name : { "XKB_DEFAULT_RULES", "XKB_DEFAULT_MODEL", "XKB_DEFAULT_LAYOUT", "XKB_DEFAULT_VARIANT",
             "XKB_DEFAULT_OPTIONS" }) {
        qunsetenv(name);
    }
    for (const auto &[name, value] : row.environment) {
        qputenv(name, value);
    }
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("keyboard");
    if (row.keyboardFile) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(row.keyboardFile);
    }

    const auto fields = [](const KeymapNames &n) {
        return QStringList { n.rules, n.model, n.layout, n.variant, n.options };
    };
    EXPECT_EQ(fields(systemKeymapNames(path)), fields(row.expected));
    for (const auto &[name, value] : row.environment) {
        qunsetenv(name);
    }
}

const char *const debianFile = "# KEYBOARD CONFIGURATION FILE\n\n"
                               "XKBMODEL=\"pc105\"\n"
                               "XKBLAYOUT=\"fr\"\n"
                               "XKBVARIANT='oss'\n"
                               "XKBOPTIONS=lv3:ralt_switch\n\n"
                               "BACKSPACE=\"guess\"\n";

INSTANTIATE_TEST_SUITE_P(Sources, SystemLayout,
    testing::Values(SystemCase { "environment_over_file",
                        { { "XKB_DEFAULT_LAYOUT", "de" }, { "XKB_DEFAULT_VARIANT", "nodeadkeys" } }, debianFile,
                        { "", "", "de", "nodeadkeys", "" } },
        SystemCase { "environment_rules_and_options",
            { { "XKB_DEFAULT_RULES", "evdev" }, { "XKB_DEFAULT_OPTIONS", "grp:alt_shift_toggle" } }, nullptr,
            { "evdev", "", "", "", "grp:alt_shift_toggle" } },
        SystemCase { "keyboard_file", {}, debianFile, { "", "pc105", "fr", "oss", "lv3:ralt_switch" } },
        SystemCase { "file_without_layout", {}, "XKBMODEL=\"pc105\"\n# XKBLAYOUT=\"de\"\n", { "", "", "us", "", "" } },
        SystemCase { "nothing_configured", {}, nullptr, { "", "", "us", "", "" } }),
    [](const testing::TestParamInfo<SystemCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- an X server's keymap

// The keymap comes from the X server, not from the system's configuration:
// a scratch Xvfb whose Y key is remapped to z/Z.
TEST(X11Keymap, IsTheServersKeymap)
{
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty()) {
        GTEST_SKIP() << "Xvfb is not installed (make deps installs it)";
    }
    QProcess server;
    // -displayfd 1: the server picks a free display and writes its number to stdout.
    server.start(xvfb, { "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "64x64x24" });
    ASSERT_TRUE(server.waitForStarted());
    while (!server.canReadLine() && server.waitForReadyRead(10000)) { }
    const QByteArray display = ":" + server.readLine().trimmed();
    ASSERT_GT(display.size(), 1);

    xcb_connection_t *connection = xcb_connect(display.constData(), nullptr);
    const xcb_keysym_t zZ[] = { 'z', 'Z' };
    xcb_generic_error_t *remapError
        = xcb_request_check(connection, xcb_change_keyboard_mapping_checked(connection, 1, KEY_Y + 8, 2, zZ));
    ASSERT_EQ(remapError, nullptr);
    QString error;
    const auto decoder = KeyDecoder::fromX11(connection, &error);
    ASSERT_TRUE(decoder) << error.toStdString();
    EXPECT_EQ(typed(*decoder, taps({ KEY_Y, KEY_Z }) + with(KEY_LEFTSHIFT, taps({ KEY_Y }))), QString("zzZ"));
    xcb_disconnect(connection);

    EXPECT_FALSE(KeyDecoder::fromX11(nullptr, &error));
    server.terminate();
    server.waitForFinished();
}

} // namespace
