#include "Platform/Linux/X11PermissionProbe.h"

#include <QByteArray>

#include <gtest/gtest.h>

// Runs under the test script's Xvfb (with XTEST); a display that is not there grants nothing.
TEST(X11PermissionProbeTest, FollowsTheDisplay)
{
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty())
        GTEST_SKIP() << "needs the X display that scripts/test starts";
    X11PermissionProbe probe;
    EXPECT_TRUE(probe.screenCaptureAllowed());
    EXPECT_TRUE(probe.inputAllowed());
    EXPECT_TRUE(probe.requestInputAccess());

    qputenv("DISPLAY", ":987");
    EXPECT_FALSE(probe.screenCaptureAllowed());
    EXPECT_FALSE(probe.inputAllowed());
    qputenv("DISPLAY", display);
    EXPECT_TRUE(probe.screenCaptureAllowed());
}
