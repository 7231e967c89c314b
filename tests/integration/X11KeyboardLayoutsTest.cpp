// X keyboard layouts on a private Xvfb with three layouts: listing, switching from here and
// from another client, what each layout types, and typing that must not look like a switch.

#include "Platform/Linux/X11EventPoster.h"
#include "Platform/Linux/X11KeyboardLayouts.h"
#include "support/Wait.h"
#include "support/XvfbServer.h"

#include <QProcess>

#include <gtest/gtest.h>

TEST(X11KeyboardLayoutsTest, ListsSwitchesTranslatesAndReportsOnlyRealSwitches)
{
    XvfbServer xvfb;
    if (!xvfb.running())
        GTEST_SKIP() << "no Xvfb";
    ASSERT_EQ(QProcess::execute("setxkbmap", { "-display", QString::fromLatin1(xvfb.display()), "-layout", "us,de,ru",
                                               "-variant", ",nodeadkeys," }),
              0);
    X11KeyboardLayouts layouts(xvfb.display());
    ASSERT_TRUE(layouts.usable());
    int changes = 0;
    layouts.setOnChanged([&] { ++changes; });

    const auto list = layouts.layouts();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list[0].id, "xkb:us");
    EXPECT_EQ(list[1].id, "xkb:de(nodeadkeys)");
    EXPECT_EQ(list[2].id, "xkb:ru");
    EXPECT_TRUE(list[1].name.startsWith("German")) << list[1].name.toStdString();
    EXPECT_EQ(layouts.currentId(), "xkb:us");
    EXPECT_EQ(layouts.keyText(21, false), QStringLiteral("y")); // KeyY

    EXPECT_TRUE(layouts.select("xkb:de(nodeadkeys)"));
    EXPECT_FALSE(layouts.select("xkb:fr"));
    ASSERT_TRUE(waitFor([&] { return changes == 1; }));
    EXPECT_EQ(layouts.currentId(), "xkb:de(nodeadkeys)");
    EXPECT_EQ(layouts.keyText(21, false), QStringLiteral("z"));
    EXPECT_EQ(layouts.keyText(2, true), QStringLiteral("!")); // Digit1
    EXPECT_EQ(layouts.keyText(12, false), QStringLiteral("ß")); // Minus

    // Another client switches: it is reported too.
    X11KeyboardLayouts other(xvfb.display());
    EXPECT_TRUE(other.select("xkb:ru"));
    ASSERT_TRUE(waitFor([&] { return changes == 2; }));
    EXPECT_EQ(layouts.currentId(), "xkb:ru");
    EXPECT_EQ(layouts.keyText(16, false), QStringLiteral("й")); // KeyQ

    // Typing through spare keycodes changes the keymap but is no switch.
    X11EventPoster poster(xvfb.display());
    poster.typeText(QStringLiteral("漢字かな"));
    poster.key(42, true);
    poster.key(42, false);
    pump(300);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(layouts.currentId(), "xkb:ru");
    EXPECT_EQ(layouts.layouts().size(), 3);
}

TEST(X11KeyboardLayoutsTest, LayoutNamesThatComeAfterTheKeymapAreTakenUp)
{
    XvfbServer xvfb;
    if (!xvfb.running())
        GTEST_SKIP() << "no Xvfb";
    ASSERT_EQ(QProcess::execute("setxkbmap", { "-display", QString::fromLatin1(xvfb.display()), "-layout", "us" }), 0);
    X11KeyboardLayouts layouts(xvfb.display());
    ASSERT_TRUE(layouts.usable());
    int changes = 0;
    layouts.setOnChanged([&] { ++changes; });

    // setxkbmap loads the keymap first and names its layouts on the root window after; a
    // keymap loaded alone leaves the names as they were.
    QProcess print;
    print.start("setxkbmap", { "-display", QString::fromLatin1(xvfb.display()), "-layout", "us,de", "-print" });
    ASSERT_TRUE(print.waitForFinished(10000));
    QProcess load;
    load.start("xkbcomp", { "-w", "0", "-", QString::fromLatin1(xvfb.display()) });
    ASSERT_TRUE(load.waitForStarted(5000));
    load.write(print.readAllStandardOutput());
    load.closeWriteChannel();
    ASSERT_TRUE(load.waitForFinished(10000));
    ASSERT_TRUE(waitFor([&] { return layouts.layouts().size() == 2; }));
    EXPECT_EQ(layouts.layouts()[1].id, "xkb:group2");
    EXPECT_TRUE(layouts.select("xkb:group2"));
    ASSERT_TRUE(waitFor([&] { return changes == 1; }));

    // The names arrive: the layout in use is reported under its real name.
    xcb_connection_t* connection = xcb_connect(xvfb.display().constData(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(connection));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    static const char name[] = "_XKB_RULES_NAMES";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
    ASSERT_TRUE(atom);
    static const char names[] = "evdev\0pc105\0us,de\0,\0";
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, atom->atom, XCB_ATOM_STRING, 8, sizeof names - 1, names);
    xcb_flush(connection);
    std::free(atom);
    EXPECT_TRUE(waitFor([&] { return changes == 2; }));
    EXPECT_EQ(layouts.currentId(), "xkb:de");
    xcb_disconnect(connection);
}
