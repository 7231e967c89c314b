// ScreenCapturer on real X servers: colours through to NV12, a still screen, a mode change
// and a server that goes away.

#include "OrbelHost/ScreenCapturer.h"
#include "Platform/Linux/X11ScreenSource.h"
#include "WebRTC/Fake/FakeWebRTC.h"
#include "support/LogCapture.h"
#include "support/Wait.h"
#include "support/X11Painter.h"
#include "support/XvfbServer.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace std::chrono_literals;

namespace {
// Counts the grabs of the real source it wraps.
class CountingSource : public ScreenSource {
public:
    explicit CountingSource(QByteArray display) : inner_(std::move(display)) {}
    bool open() override { return inner_.open(); }
    void close() override { inner_.close(); }
    QSize displaySize() const override { return inner_.displaySize(); }
    Change poll() override { return inner_.poll(); }
    std::optional<Image> grab() override
    {
        ++grabs;
        return inner_.grab();
    }
    QString errorString() const override { return inner_.errorString(); }
    std::atomic<int> grabs { 0 };

private:
    X11ScreenSource inner_;
};

struct Rig {
    explicit Rig(const QByteArray& display = {})
    {
        auto source = std::make_unique<CountingSource>(display);
        counting = source.get();
        ScreenCapturer::Timing timing;
        timing.idleFirst = 50ms;
        timing.idleEvery = 20ms;
        timing.idleAfter = 30ms;
        capturer = std::make_unique<ScreenCapturer>(video, std::move(source), timing);
    }
    // Luma (studio range) at the centre of the last frame.
    int centreLuma() const
    {
        const rtc::VideoFrame frame = video->lastFrame();
        if (!frame.data)
            return -1;
        const auto* y = reinterpret_cast<const uint8_t*>(frame.data->constData());
        return y[std::size_t(frame.height / 2) * frame.strideY + frame.width / 2];
    }
    QSize lastSize() const
    {
        const rtc::VideoFrame frame = video->lastFrame();
        return QSize(frame.width, frame.height);
    }

    LogCapture log;
    std::shared_ptr<rtc::FakeVideoSource> video = std::make_shared<rtc::FakeVideoSource>();
    CountingSource* counting = nullptr;
    std::unique_ptr<ScreenCapturer> capturer;
};

bool near(int value, int wanted)
{
    return std::abs(value - wanted) <= 2;
}
} // namespace

TEST(X11ScreenCapturerTest, SendsWhatIsOnScreenAndRepeatsAStillScreenWithoutGrabbing)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "no X display";
    X11Painter painter;
    const QSize root = painter.rootSize();
    painter.fill(QRect(QPoint(0, 0), root), 0x00ff00);
    Rig rig;
    rig.capturer->start();
    ASSERT_TRUE(waitFor([&] { return near(rig.centreLuma(), 145); })) << rig.centreLuma(); // green

    const int grabs = rig.counting->grabs;
    const int frames = rig.video->frames();
    ASSERT_TRUE(waitFor([&] { return rig.video->frames() >= frames + 3; })); // repeats
    EXPECT_EQ(rig.counting->grabs, grabs);

    painter.fill(QRect(QPoint(0, 0), root), 0x0000ff);
    ASSERT_TRUE(waitFor([&] { return near(rig.centreLuma(), 41); })) << rig.centreLuma(); // blue
    const int later = rig.video->frames();
    ASSERT_TRUE(waitFor([&] { return rig.video->frames() >= later + 3; }));
    EXPECT_EQ(rig.counting->grabs, grabs + 1);

    // U and V of blue, interleaved after the luma plane.
    const rtc::VideoFrame frame = rig.video->lastFrame();
    const auto* uv = reinterpret_cast<const uint8_t*>(frame.data->constData()) + std::size_t(frame.strideY) * frame.height;
    EXPECT_TRUE(near(uv[0], 240)) << int(uv[0]);
    EXPECT_TRUE(near(uv[1], 110)) << int(uv[1]);
    EXPECT_EQ(QSize(frame.width, frame.height), root);
    EXPECT_TRUE(rig.log.contains(QStringLiteral("Orbel: 開始擷取 %1x%2").arg(root.width()).arg(root.height())));
}

TEST(X11ScreenCapturerTest, RestartsAtTheNewSizeWhenTheDisplayChangesMode)
{
    XvfbServer server;
    if (!server.running())
        GTEST_SKIP() << "no Xvfb";
    Rig rig(server.display());
    rig.capturer->start();
    ASSERT_TRUE(waitFor([&] { return rig.lastSize() == QSize(1920, 1080); }));

    ASSERT_TRUE(server.setMode(1280, 720));
    ASSERT_TRUE(waitFor([&] { return rig.lastSize() == QSize(1280, 720); }));
    EXPECT_TRUE(rig.capturer->running());
    EXPECT_TRUE(rig.log.contains(QStringLiteral("Orbel: 擷取中斷 main display changed to 1280x720")));
    EXPECT_TRUE(rig.log.contains(QStringLiteral("Orbel: 開始擷取 1280x720")));
}

TEST(X11ScreenCapturerTest, EndsCaptureWhenTheServerGoesAway)
{
    XvfbServer server;
    if (!server.running())
        GTEST_SKIP() << "no Xvfb";
    Rig rig(server.display());
    rig.capturer->start();
    ASSERT_TRUE(waitFor([&] { return rig.video->frames() >= 1; }));

    server.kill();
    ASSERT_TRUE(waitFor([&] { return !rig.capturer->running(); }));
    EXPECT_TRUE(rig.log.contains(QStringLiteral("Orbel: 擷取中斷 lost the connection to the X server")));
    const QStringList failed = rig.log.startingWith(QStringLiteral("Orbel: 擷取螢幕失敗 cannot open X display"));
    EXPECT_EQ(failed.size(), 1) << qPrintable(rig.log.lines().join(QLatin1Char('\n')));
}
