// The capturer's repeats of the last frame and its statistics line, on a clock the test moves.

#include "support/CapturerRig.h"

#include <gtest/gtest.h>

namespace {
class ScreenCapturerRepeatTest : public ::testing::Test {
protected:
    CapturerRig rig;
    ScreenCapturer& capturer() { return *rig.capturer; }
    FakeScreenSource& screen() { return *rig.screen; }
};
} // namespace

TEST_F(ScreenCapturerRepeatTest, AStillScreenIsRepeatedOnceMoreThanHalfASecondHasPassed)
{
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    const rtc::VideoFrame first = rig.last();

    rig.advance(400ms);
    ASSERT_TRUE(rig.idleTicks());
    EXPECT_EQ(rig.frames(), 1);

    rig.advance(100ms); // exactly half a second: not yet
    ASSERT_TRUE(rig.idleTicks());
    EXPECT_EQ(rig.frames(), 1);

    rig.advance(1ns);
    ASSERT_TRUE(rig.waitForFrames(2));
    const rtc::VideoFrame repeat = rig.last();
    EXPECT_EQ(repeat.timestampNs, first.timestampNs + 500'000'001);
    EXPECT_EQ(repeat.data, first.data); // the same buffer, not a copy
    EXPECT_EQ(repeat.width, first.width);

    // The repeat counts as a hand-off: the next one is due half a second after it.
    ASSERT_TRUE(rig.idleTicks());
    EXPECT_EQ(rig.frames(), 2);
    rig.advance(500ms + 1ns);
    ASSERT_TRUE(rig.waitForFrames(3));
    EXPECT_EQ(screen().grabs(), 1);
}

TEST_F(ScreenCapturerRepeatTest, TheIdleTimerWaitsItsFirstPeriodBeforeTheShorterOnes)
{
    auto timing = rig.fastTiming();
    timing.idleFirst = std::chrono::hours(1);
    timing.idleEvery = 1ms;
    rig.make(timing);
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    rig.advance(10s);
    pump(50);
    EXPECT_EQ(capturer().idleTicks(), 0);
    EXPECT_EQ(rig.frames(), 1);
}

TEST_F(ScreenCapturerRepeatTest, RepeatLastFrameSendsItAtOnceWithAFreshTimestamp)
{
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    const rtc::VideoFrame first = rig.last();
    rig.advance(1ms);
    capturer().repeatLastFrame();
    ASSERT_TRUE(rig.waitForFrames(2));
    EXPECT_EQ(rig.last().timestampNs, first.timestampNs + 1'000'000);
    EXPECT_EQ(rig.last().data, first.data);
    EXPECT_EQ(screen().grabs(), 1);
}

TEST_F(ScreenCapturerRepeatTest, RepeatLastFrameBeforeAnyFrameDoesNothing)
{
    capturer().repeatLastFrame();
    // Work runs in order on the capture thread, so the repeat was handled before this start.
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    ASSERT_TRUE(rig.idleTicks());
    EXPECT_EQ(rig.frames(), 1);
}

TEST_F(ScreenCapturerRepeatTest, StopDropsTheLastFrame)
{
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    capturer().stop();
    capturer().repeatLastFrame();
    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(2));
    ASSERT_TRUE(rig.idleTicks());
    EXPECT_EQ(rig.frames(), 2); // the fresh grab only
    EXPECT_EQ(screen().grabs(), 2);
}

TEST_F(ScreenCapturerRepeatTest, StatisticsAreWrittenEveryFiveSecondsAndStartAgainFromZero)
{
    auto timing = rig.fastTiming();
    timing.idleFirst = std::chrono::hours(1); // no repeats of their own in this test
    rig.make(timing);
    const QString prefix = QStringLiteral("Orbel: 擷取 收到");

    capturer().start();
    ASSERT_TRUE(rig.waitForFrames(1));
    for (int i = 2; i <= 5; ++i) {
        screen().paint(0xff000000u | uint32_t(i));
        ASSERT_TRUE(rig.waitForFrames(i));
    }
    rig.advance(4999ms);
    screen().paint(0xff0000ff);
    ASSERT_TRUE(rig.waitForFrames(6));
    EXPECT_TRUE(rig.log.startingWith(prefix).isEmpty());

    rig.advance(1ms);
    screen().paint(0xff00ff00);
    ASSERT_TRUE(rig.waitForFrames(7));
    // Written when the seventh grab came in, before it was handed on.
    EXPECT_EQ(rig.log.startingWith(prefix), QStringList { QStringLiteral("Orbel: 擷取 收到 7 張、送出 6 張（5 秒）") });

    rig.advance(5s);
    capturer().repeatLastFrame();
    ASSERT_TRUE(rig.waitForFrames(8));
    EXPECT_EQ(rig.log.startingWith(prefix).value(1), QStringLiteral("Orbel: 擷取 收到 0 張、送出 2 張（5 秒）"));
}
