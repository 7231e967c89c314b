// The pointer's position and shape from a private Xvfb, through the cursor monitor: what the
// phones are told while someone moves the pointer over windows with different cursors.

#include "OrbelHost/CursorMonitor.h"
#include "Platform/Linux/X11CursorSource.h"
#include "Platform/Linux/X11EventPoster.h"
#include "support/InputProbe.h"
#include "support/Wait.h"
#include "support/XvfbServer.h"

#include <gtest/gtest.h>

TEST(X11CursorSourceTest, PositionAndShapeChangesReachTheMonitorWithoutWaitingOnTheServer)
{
    XvfbServer xvfb;
    if (!xvfb.running())
        GTEST_SKIP() << "no Xvfb";
    InputProbe probe;
    ASSERT_TRUE(probe.start(xvfb.display()));
    X11EventPoster poster(xvfb.display());
    auto owned = std::make_unique<X11CursorSource>(xvfb.display());
    X11CursorSource& source = *owned;
    ASSERT_TRUE(source.usable());
    EXPECT_EQ(source.mainDisplayBounds(), QRect(0, 0, 1920, 1080));

    CursorMonitor monitor(std::move(owned));
    QList<QJsonObject> messages;
    monitor.onMessage = [&](const QJsonObject& m) { messages << m; };
    const auto last = [&](const char* type) {
        for (auto it = messages.crbegin(); it != messages.crend(); ++it)
            if (it->value("t").toString() == QLatin1String(type))
                return *it;
        return QJsonObject();
    };
    monitor.start();

    poster.moveTo(QPoint(480, 270));
    ASSERT_TRUE(waitFor([&] { return last("cur").value("x").toDouble() == 0.25 && last("cur").value("y").toDouble() == 0.25; }));
    ASSERT_TRUE(waitFor([&] { return !last("shape").isEmpty(); }));

    // Each new pointer shape is reported once, as a PNG at twice the cursor's size.
    for (const QByteArray name : { "ibeam", "cross" }) {
        const QJsonObject before = last("shape");
        probe.setCursor(name);
        ASSERT_TRUE(waitFor([&] { return last("shape") != before; })) << name.constData();
        const QJsonObject shape = last("shape");
        const QImage png = QImage::fromData(QByteArray::fromBase64(shape.value("png").toString().toLatin1()), "PNG");
        EXPECT_EQ(png.size(), QSize(shape.value("w").toInt() * 2, shape.value("h").toInt() * 2));
        EXPECT_GT(shape.value("w").toInt(), 0);
    }
    const auto shapes = std::count_if(messages.cbegin(), messages.cend(), [](const QJsonObject& m) { return m.value("t") == "shape"; });
    pump(300);
    EXPECT_EQ(std::count_if(messages.cbegin(), messages.cend(), [](const QJsonObject& m) { return m.value("t") == "shape"; }), shapes);
}

TEST(X11CursorSourceTest, AGoneServerGivesNoPositionAndNoCrash)
{
    XvfbServer xvfb;
    if (!xvfb.running())
        GTEST_SKIP() << "no Xvfb";
    X11CursorSource source(xvfb.display());
    ASSERT_TRUE(waitFor([&] { return source.position().has_value(); }));
    xvfb.kill();
    EXPECT_TRUE(waitFor([&] { return !source.position().has_value(); }));
    EXPECT_FALSE(source.shape() && source.shape()->image.isNull());

    X11CursorSource nowhere(QByteArray(":999"));
    EXPECT_FALSE(nowhere.usable());
    EXPECT_FALSE(nowhere.position());
    EXPECT_FALSE(nowhere.shape());
}
