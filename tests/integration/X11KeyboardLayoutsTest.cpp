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
