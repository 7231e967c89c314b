// The GNOME Wayland backend against a real mutter (headless, one virtual monitor): its
// remote-desktop session, the screen cast read over PipeWire, and input shown by the cursor.

#include "Platform/Linux/MutterRemoteDesktop.h"
#include "Platform/Linux/PipeWireStream.h"
#include "Platform/Linux/WaylandScreenSource.h"
#include "support/HeadlessMutter.h"

#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>

namespace {
bool within(int ms, const std::function<bool()>& done)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > ms)
            return false;
        QThread::msleep(5);
    }
    return true;
}
} // namespace

TEST(WaylandScreenSourceTest, TheMonitorIsStreamedAndFollowsInjectedInput)
{
    HeadlessMutter mutter(QSize(1280, 720));
    ASSERT_TRUE(mutter.ok()) << mutter.errorString().toStdString();

    auto session = std::make_shared<MutterRemoteDesktop>();
    auto stream = std::make_shared<PipeWireStream>();
    WaylandScreenSource source(session, stream);
    QElapsedTimer opened;
    opened.start();
    ASSERT_TRUE(source.open()) << source.errorString().toStdString();
    std::fprintf(stderr, "session and first frame: %lld ms\n", opened.elapsed());
    EXPECT_NE(session->pipeWireNode(), 0u);
    EXPECT_EQ(source.displaySize(), QSize(1280, 720));
    ASSERT_EQ(source.poll(), ScreenSource::Change::Content);
    const auto image = source.grab();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 1280);
    EXPECT_EQ(image->height, 720);
    EXPECT_GE(image->stride, 1280 * 4);
    EXPECT_EQ(source.poll(), ScreenSource::Change::None) << "a still screen sends nothing new";
    // Where the pointer is and how it looks are known from the start, before anyone moves it.
    const auto cursorKnown = [&] { return stream->cursor().known && !stream->cursor().shape.isNull(); };
    EXPECT_TRUE(within(2000, cursorKnown));
    EXPECT_EQ(source.poll(), ScreenSource::Change::None) << "nor does the pointer's picture";

    // The pointer, moved through the session, comes back as the stream's cursor.
    ASSERT_TRUE(session->pointerMotionAbsolute(321, 123));
    EXPECT_TRUE(within(3000, [&] { return stream->cursor().known && stream->cursor().position == QPoint(321, 123); }))
        << "cursor at " << stream->cursor().position.x() << "," << stream->cursor().position.y();

    // The session ends: the display reads as lost, and opens again with a new session.
    session->close();
    EXPECT_TRUE(within(3000, [&] { return source.poll() == ScreenSource::Change::Lost; }));
    source.close();
    ASSERT_TRUE(source.open()) << source.errorString().toStdString();
    EXPECT_EQ(source.displaySize(), QSize(1280, 720));
    EXPECT_TRUE(within(2000, cursorKnown));
}
