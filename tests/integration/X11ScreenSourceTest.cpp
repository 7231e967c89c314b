// X11ScreenSource against real X servers: the shared test display, and private ones that are
// resized, started without an extension, or killed.

#include "Platform/Linux/X11ScreenSource.h"
#include "support/X11Painter.h"
#include "support/XvfbServer.h"

#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>

#include <gtest/gtest.h>

namespace {
#define REQUIRE_DISPLAY()                                                                                              \
    if (qEnvironmentVariableIsEmpty("DISPLAY"))                                                                        \
    GTEST_SKIP() << "no X display"

// Polls until the source reports `wanted`; false if it reports anything else but None, or
// nothing within five seconds.
bool pollUntil(ScreenSource& source, ScreenSource::Change wanted)
{
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        const auto change = source.poll();
        if (change == wanted)
            return true;
        if (change != ScreenSource::Change::None)
            return false;
        QThread::msleep(2);
    }
    return false;
}

uint32_t rgbAt(const ScreenSource::Image& image, int x, int y)
{
    return reinterpret_cast<const uint32_t*>(image.bgra + std::size_t(y) * image.stride)[x] & 0xffffff;
}

bool reportedChanged(const ScreenSource::Image& image, QPoint point)
{
    return !image.changed || std::any_of(image.changed->begin(), image.changed->end(),
                                         [&](const QRect& rect) { return rect.contains(point); });
}

// Drawing shows up in the next grab, which tells where it was, and nothing is reported once
// it has been grabbed.
void expectDrawingSeen(X11ScreenSource& source, X11Painter& painter)
{
    pollUntil(source, ScreenSource::Change::Content);
    auto image = source.grab();
    ASSERT_TRUE(image);
    EXPECT_FALSE(image->changed) << "the first grab after opening is all new";
    painter.fill(QRect(0, 0, 400, 300), 0xff0000);
    ASSERT_TRUE(pollUntil(source, ScreenSource::Change::Content));
    image = source.grab();
    ASSERT_TRUE(image);
    EXPECT_EQ(rgbAt(*image, 10, 10), 0xff0000u);
    EXPECT_EQ(rgbAt(*image, 399, 299), 0xff0000u);
    EXPECT_TRUE(image->changed);
    EXPECT_TRUE(reportedChanged(*image, QPoint(0, 0)) && reportedChanged(*image, QPoint(399, 299)));

    painter.fill(QRect(100, 100, 10, 10), 0x0000ff);
    ASSERT_TRUE(pollUntil(source, ScreenSource::Change::Content));
    image = source.grab();
    ASSERT_TRUE(image);
    EXPECT_EQ(rgbAt(*image, 105, 105), 0x0000ffu);
    EXPECT_EQ(rgbAt(*image, 50, 50), 0xff0000u);
    EXPECT_TRUE(reportedChanged(*image, QPoint(100, 100)) && reportedChanged(*image, QPoint(109, 109)));
    // Only the square: the red drawn before was in the last grab.
    EXPECT_FALSE(reportedChanged(*image, QPoint(50, 50)) || reportedChanged(*image, QPoint(110, 110)));
}
} // namespace

TEST(X11ScreenSourceTest, OpensTheWholeMainDisplayAndGrabsItThroughSharedMemory)
{
    REQUIRE_DISPLAY();
    X11Painter painter;
    ASSERT_TRUE(painter.ok());
    X11ScreenSource source;
    ASSERT_TRUE(source.open()) << qPrintable(source.errorString());
    EXPECT_EQ(source.displaySize(), painter.rootSize());
    EXPECT_EQ(source.mainDisplayBounds().topLeft(), QPoint(0, 0));
    EXPECT_TRUE(source.usesSharedMemory());

    EXPECT_EQ(source.poll(), ScreenSource::Change::Content); // the first grab is always due
    const auto image = source.grab();
    ASSERT_TRUE(image) << qPrintable(source.errorString());
    EXPECT_EQ(QSize(image->width, image->height), painter.rootSize());
    EXPECT_EQ(image->stride, image->width * 4);
}

TEST(X11ScreenSourceTest, ReadsBackWhatIsDrawnAndReportsNothingForAStillScreen)
{
    REQUIRE_DISPLAY();
    X11Painter painter;
    X11ScreenSource source;
    ASSERT_TRUE(source.open()) << qPrintable(source.errorString());
    expectDrawingSeen(source, painter);

    // Nothing drawn since the grab: no grab is due however often we ask.
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(source.poll(), ScreenSource::Change::None);
        QThread::msleep(2);
    }
}

TEST(X11ScreenSourceTest, DrawingInsideAWindowCountsAsAChange)
{
    REQUIRE_DISPLAY();
    X11Painter painter;
    X11ScreenSource source;
    ASSERT_TRUE(source.open()) << qPrintable(source.errorString());
    const xcb_window_t window = painter.createWindow(QRect(200, 200, 100, 100));
    pollUntil(source, ScreenSource::Change::Content);
    ASSERT_TRUE(source.grab());

    painter.fill(QRect(0, 0, 100, 100), 0x00ff00, window);
    ASSERT_TRUE(pollUntil(source, ScreenSource::Change::Content));
    const auto image = source.grab();
    ASSERT_TRUE(image);
    EXPECT_EQ(rgbAt(*image, 250, 250), 0x00ff00u);
    EXPECT_TRUE(image->changed && reportedChanged(*image, QPoint(250, 250))) << "in screen coordinates";
}

TEST(X11ScreenSourceTest, WithoutSharedMemoryPlainGetImageDoesTheSame)
{
    XvfbServer server({ QStringLiteral("-extension"), QStringLiteral("MIT-SHM") });
    if (!server.running())
        GTEST_SKIP() << "no Xvfb";
    X11Painter painter(server.display());
    X11ScreenSource source(server.display());
    ASSERT_TRUE(source.open()) << qPrintable(source.errorString());
    EXPECT_FALSE(source.usesSharedMemory());
    expectDrawingSeen(source, painter);
}

TEST(X11ScreenSourceTest, WithoutDamageEveryPollAsksForAGrab)
{
    XvfbServer server({ QStringLiteral("-extension"), QStringLiteral("DAMAGE") });
    if (!server.running())
        GTEST_SKIP() << "no Xvfb";
    X11ScreenSource source(server.display());
    ASSERT_TRUE(source.open()) << qPrintable(source.errorString());
    ASSERT_TRUE(source.grab());
    EXPECT_EQ(source.poll(), ScreenSource::Change::Content);
    const auto image = source.grab();
    ASSERT_TRUE(image);
    EXPECT_FALSE(image->changed) << "without damage nothing tells what changed";
    EXPECT_EQ(source.poll(), ScreenSource::Change::Content);
}

TEST(X11ScreenSourceTest, AModeChangeIsReportedAndTheNextOpenHasTheNewSize)
{
    XvfbServer server;
    if (!server.running())
        GTEST_SKIP() << "no Xvfb";
    X11ScreenSource source(server.display());
    ASSERT_TRUE(source.open()) << qPrintable(source.errorString());
    EXPECT_EQ(source.displaySize(), QSize(1920, 1080));
    ASSERT_TRUE(source.grab());

    ASSERT_TRUE(server.setMode(1280, 720));
    ASSERT_TRUE(pollUntil(source, ScreenSource::Change::Geometry));
    EXPECT_EQ(source.errorString(), QStringLiteral("main display changed to 1280x720"));
    source.close();
    ASSERT_TRUE(source.open()) << qPrintable(source.errorString());
    EXPECT_EQ(source.displaySize(), QSize(1280, 720));
    const auto image = source.grab();
    ASSERT_TRUE(image);
    EXPECT_EQ(QSize(image->width, image->height), QSize(1280, 720));
}

TEST(X11ScreenSourceTest, TheServerGoingAwayIsReportedNotFatal)
{
    XvfbServer server;
    if (!server.running())
        GTEST_SKIP() << "no Xvfb";
    X11ScreenSource source(server.display());
    ASSERT_TRUE(source.open()) << qPrintable(source.errorString());
    ASSERT_TRUE(source.grab());

    server.kill();
    QDeadlineTimer deadline(5000);
    bool lost = false;
    while (!lost && !deadline.hasExpired()) {
        lost = source.poll() == ScreenSource::Change::Lost || !source.grab();
        QThread::msleep(2);
    }
    ASSERT_TRUE(lost);
    EXPECT_EQ(source.errorString(), QStringLiteral("lost the connection to the X server"));
    EXPECT_FALSE(source.open());
    EXPECT_TRUE(source.errorString().startsWith(QStringLiteral("cannot open X display \":")))
        << qPrintable(source.errorString());
}
