// Starting, stopping and restarting the capturer on a fake screen.

#include "support/CapturerRig.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

namespace {
class ScreenCapturerTest : public ::testing::Test {
protected:
    CapturerRig rig;
    ScreenCapturer& capturer() { return *rig.capturer; }
    FakeScreenSource& screen() { return *rig.screen; }
};
} // namespace

TEST_F(ScreenCapturerTest, StartSendsTheScreenAsAnNV12FrameStampedWithTheClock)
{
    EXPECT_FALSE(capturer().running());
    capturer().start();
    EXPECT_TRUE(capturer().running()); // at once, on the caller's thread
    ASSERT_TRUE(rig.waitForFrames(1));

    const rtc::VideoFrame frame = rig.last();
    EXPECT_EQ(frame.width, 1280);
    EXPECT_EQ(frame.height, 720);
    EXPECT_EQ(frame.strideY, 1280);
    EXPECT_EQ(frame.strideUV, 1280);
    ASSERT_TRUE(frame.data);
    EXPECT_EQ(frame.data->size(), 1280 * 720 * 3 / 2);
    EXPECT_EQ(frame.timestampNs, rig.clockNs.load());
    EXPECT_EQ(screen().openCalls(), 1);
    EXPECT_TRUE(rig.log.contains(QStringLiteral("Orbel: 開始擷取 1280x720")));
}

TEST_F(ScreenCapturerTest, OnlyAChangedScreenIsGrabbed)
{
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    rig.idleTicks(); // many grab ticks pass meanwhile
    EXPECT_EQ(screen().grabs(), 1);
    EXPECT_EQ(rig.frames(), 1);

    screen().paint(0xff0000ff);
    ASSERT_TRUE(rig.waitForFrames(2));
    rig.idleTicks();
    EXPECT_EQ(screen().grabs(), 2);
    EXPECT_EQ(rig.frames(), 2);
}

TEST_F(ScreenCapturerTest, SecondStartStartsNothingAndStopWhileIdleDoesNothing)
{
    capturer().stop();
    EXPECT_EQ(screen().closeCalls(), 0);
    capturer().start();
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    rig.idleTicks();
    EXPECT_EQ(screen().openCalls(), 1);
    EXPECT_EQ(screen().grabs(), 1);

    capturer().stop();
    EXPECT_FALSE(capturer().running());
    ASSERT_TRUE(waitFor([&] { return screen().closeCalls() == 1; }));
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(2));
    EXPECT_EQ(screen().openCalls(), 2);
}

TEST_F(ScreenCapturerTest, StopWhileTheScreenIsOpeningLeavesItClosed)
{
    screen().holdOpens();
    capturer().start();
    ASSERT_TRUE(screen().waitForOpenCalls(1));
    capturer().stop();
    screen().releaseOpens();

    ASSERT_TRUE(waitFor([&] { return screen().closeCalls() >= 1; }));
    EXPECT_FALSE(rig.settleTicking());
    EXPECT_FALSE(screen().isOpen());
    EXPECT_FALSE(capturer().running());
    EXPECT_EQ(rig.frames(), 0);
    EXPECT_EQ(screen().openCalls(), 1);
}

TEST_F(ScreenCapturerTest, StopAndStartWhileTheScreenIsOpeningLeaveOneCapture)
{
    screen().holdOpens();
    capturer().start();
    ASSERT_TRUE(screen().waitForOpenCalls(1));
    // Two more starts are asked and withdrawn while the first open hangs; only the last counts.
    capturer().stop();
    capturer().start();
    capturer().stop();
    capturer().start();
    screen().releaseOpens();

    ASSERT_TRUE(rig.waitForFrames(1));
    rig.idleTicks();
    EXPECT_EQ(screen().openCalls(), 2); // the stale open, then the current one
    EXPECT_EQ(screen().closeCalls(), 1);
    EXPECT_TRUE(screen().isOpen());
    EXPECT_EQ(screen().grabs(), 1);

    capturer().stop();
    ASSERT_TRUE(waitFor([&] { return !screen().isOpen(); }));
    const int frames = rig.frames();
    screen().paint(0xff00ff00);
    rig.clockNs += 2'000'000'000;
    EXPECT_FALSE(rig.settleTicking());
    EXPECT_EQ(rig.frames(), frames);
}

TEST_F(ScreenCapturerTest, StartsAndStopsFromTwoThreadsSettleOnTheLastCall)
{
    auto hammer = [this] {
        for (int i = 0; i < 300; ++i) {
            capturer().start();
            capturer().stop();
        }
    };
    std::thread a(hammer), b(hammer);
    a.join();
    b.join();
    ASSERT_TRUE(waitFor([&] { return !screen().isOpen(); }));
    EXPECT_FALSE(capturer().running());

    capturer().start();
    const int frames = rig.frames();
    ASSERT_TRUE(rig.waitForFrames(frames + 1));
    EXPECT_TRUE(screen().isOpen());
    capturer().stop();
    EXPECT_TRUE(waitFor([&] { return !screen().isOpen(); }));
}

TEST_F(ScreenCapturerTest, AFailedStartClearsRunningAndTheNextStartTriesAgain)
{
    screen().setOpenable(false);
    capturer().start();
    ASSERT_TRUE(waitFor([&] { return !capturer().running(); }));
    EXPECT_TRUE(rig.log.contains(QStringLiteral("Orbel: 擷取螢幕失敗 fake display refused")));
    EXPECT_EQ(rig.frames(), 0);

    screen().setOpenable(true);
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    EXPECT_TRUE(capturer().running());
}

TEST_F(ScreenCapturerTest, AResizedDisplayRestartsCaptureAtItsNewSize)
{
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    screen().resize(3840, 2160);
    ASSERT_TRUE(waitFor([&] { return rig.last().width == 2560; }));
    EXPECT_EQ(rig.last().height, 1440);
    EXPECT_EQ(rig.last().data->size(), 2560 * 1440 * 3 / 2);
    EXPECT_TRUE(capturer().running());
    EXPECT_EQ(screen().openCalls(), 2);
    EXPECT_TRUE(rig.log.contains(QStringLiteral("Orbel: 擷取中斷 fake display resized")));
    EXPECT_TRUE(rig.log.contains(QStringLiteral("Orbel: 開始擷取 2560x1440")));
}

TEST_F(ScreenCapturerTest, ADisplayThatGoesAwayIsOpenedAgain)
{
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    screen().unplug();
    ASSERT_TRUE(waitFor([&] { return screen().openCalls() == 2; }));
    ASSERT_TRUE(rig.waitForFrames(2)); // the reopened screen is grabbed afresh
    EXPECT_TRUE(capturer().running());
    EXPECT_TRUE(rig.log.contains(QStringLiteral("Orbel: 擷取中斷 fake display unplugged")));
}

TEST_F(ScreenCapturerTest, ADisplayThatCannotBeOpenedAgainEndsCapture)
{
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    screen().setOpenable(false);
    screen().unplug();
    ASSERT_TRUE(waitFor([&] { return !capturer().running(); }));
    EXPECT_TRUE(rig.log.contains(QStringLiteral("Orbel: 擷取螢幕失敗 fake display refused")));
    // Nothing is left that repeats the old image.
    const int frames = rig.frames();
    rig.clockNs += 2'000'000'000;
    EXPECT_FALSE(rig.settleTicking());
    EXPECT_EQ(rig.frames(), frames);
}

TEST_F(ScreenCapturerTest, WithoutADisplayItStaysStartedUntilStopped)
{
    screen().resize(0, 0);
    capturer().start();
    ASSERT_TRUE(waitFor([&] { return rig.log.contains(QStringLiteral("Orbel: 找不到螢幕")); }));
    EXPECT_TRUE(capturer().running());
    capturer().start();
    rig.settleTicking();
    EXPECT_EQ(screen().openCalls(), 1);
    EXPECT_EQ(rig.frames(), 0);

    capturer().stop();
    screen().resize(1920, 1080);
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    EXPECT_EQ(rig.last().width, 1920);
}

namespace {
// Notes which thread touches it, and when it is destroyed.
class WatchedScreen : public FakeScreenSource {
public:
    explicit WatchedScreen(std::shared_ptr<QStringList> notes) : notes_(std::move(notes)) {}
    ~WatchedScreen() override { *notes_ << QStringLiteral("destroyed on ") + QThread::currentThread()->objectName(); }
    bool open() override
    {
        *notes_ << QStringLiteral("opened on ") + QThread::currentThread()->objectName();
        return FakeScreenSource::open();
    }

private:
    std::shared_ptr<QStringList> notes_;
};

class WatchedVideo : public rtc::VideoSource {
public:
    void pushFrame(const rtc::VideoFrame&) override
    {
        std::lock_guard l(mutex_);
        threads_ << QThread::currentThread()->objectName();
    }
    QStringList threads() const
    {
        std::lock_guard l(mutex_);
        return threads_;
    }

private:
    mutable std::mutex mutex_;
    QStringList threads_;
};
} // namespace

TEST(ScreenCapturerThreadTest, TheScreenAndTheVideoSourceAreOnlyUsedOnTheCaptureThread)
{
    auto notes = std::make_shared<QStringList>();
    auto video = std::make_shared<WatchedVideo>();
    auto capturer = std::make_unique<ScreenCapturer>(video, std::make_unique<WatchedScreen>(notes));
    capturer->start();
    ASSERT_TRUE(waitFor([&] { return !video->threads().isEmpty(); }));
    capturer->repeatLastFrame();
    ASSERT_TRUE(waitFor([&] { return video->threads().size() == 2; }));
    capturer.reset(); // the screen goes with its thread, not leaked
    const QString thread = QStringLiteral("orbel.capture");
    EXPECT_EQ(video->threads(), QStringList({ thread, thread }));
    EXPECT_EQ(*notes, QStringList({ QStringLiteral("opened on ") + thread, QStringLiteral("destroyed on ") + thread }));
}
