// The bandwidth controller's reactions to receiver reports: a clean path, loss bursts, a
// growing round trip, its bounds, and frame rate giving way before resolution.

#include "WebRTC/BandwidthController.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {
using Report = BandwidthController::Report;

// Reports every `everyMs` for `forMs` with the given loss and round trip; returns the last target.
BandwidthController::Target feed(BandwidthController& controller, int64_t& clockMs, int64_t forMs, double loss,
                                 double roundTripMs, int64_t everyMs = 200)
{
    BandwidthController::Target last = controller.target();
    for (int64_t end = clockMs + forMs; clockMs < end;) {
        clockMs += everyMs;
        last = controller.onReport({ clockMs, loss, roundTripMs });
    }
    return last;
}
} // namespace

TEST(BandwidthControllerTest, ACleanPathClimbsFromTheStartToTheMaximumAndNoFurther)
{
    BandwidthController controller({ .maxBps = 12'000'000 });
    EXPECT_EQ(controller.target().bitrateBps, 2'500'000);
    int64_t clock = 0;
    controller.onReport({ clock, 0, 20 }); // the first report has no time before it
    // 8 % a second: 2.5 → ~3.7 Mbit/s in 5 s, whatever the report interval.
    const auto after5s = feed(controller, clock, 5000, 0.0, 20);
    EXPECT_NEAR(after5s.bitrateBps, 2'500'000 * std::pow(1.08, 5), 20'000);
    BandwidthController coarse({ .maxBps = 12'000'000 });
    int64_t coarseClock = 0;
    coarse.onReport({ coarseClock, 0, 20 });
    EXPECT_NEAR(feed(coarse, coarseClock, 5000, 0.0, 20, 1000).bitrateBps, after5s.bitrateBps, 20'000);

    const auto later = feed(controller, clock, 60'000, 0.01, 20);
    EXPECT_EQ(later.bitrateBps, 12'000'000);
    EXPECT_EQ(later.framerate, 30);
    // A long silence is not a long clean stretch: one report climbs a second's worth at most.
    BandwidthController quiet({ .maxBps = 12'000'000 });
    EXPECT_LE(quiet.onReport({ 0, 0, 20 }).bitrateBps, 2'500'000);
    EXPECT_LE(quiet.onReport({ 60'000, 0, 20 }).bitrateBps, int(2'500'000 * 1.08) + 1);

    // A maximum below the start starts there.
    BandwidthController low({ .maxBps = 800'000 });
    EXPECT_EQ(low.target().bitrateBps, 800'000);
}

TEST(BandwidthControllerTest, TheRateClimbsOnlyOnWhatWasReallySent)
{
    BandwidthController controller({ .maxBps = 12'000'000 });
    int64_t clock = 0;
    controller.onReport({ clock, 0, 20, 0 });
    // A still screen: almost nothing sent, the clean reports prove nothing.
    for (int i = 0; i < 30; ++i)
        controller.onReport({ clock += 1000, 0, 20, 40'000 });
    EXPECT_EQ(controller.target().bitrateBps, 2'500'000);
    // Motion up to the rate: it climbs, but no further than half again what was sent.
    controller.onReport({ clock += 1000, 0, 20, 2'500'000 });
    EXPECT_EQ(controller.target().bitrateBps, 2'700'000);
    for (int i = 0; i < 30; ++i)
        controller.onReport({ clock += 1000, 0, 20, 2'000'000 });
    EXPECT_EQ(controller.target().bitrateBps, 3'000'000);
    // Unknown sending climbs as before.
    controller.onReport({ clock += 1000, 0, 20 });
    EXPECT_EQ(controller.target().bitrateBps, 3'240'000);

    // Held at a low frame rate for want of bits, the encoder sends little because of that:
    // the rate climbs all the same, and the frame rate with it.
    BandwidthController held({ .maxBps = 12'000'000, .startBps = 800'000 });
    ASSERT_LT(held.target().framerate, 30);
    held.onReport({ clock, 0, 20, 0 });
    for (int i = 0; i < 5; ++i)
        held.onReport({ clock += 1000, 0, 20, 300'000 });
    EXPECT_NEAR(held.target().bitrateBps, 800'000 * std::pow(1.08, 5), 1000);
    // Once the frame rate is whole again, what is sent bounds the climb again.
    for (int i = 0; i < 20; ++i)
        held.onReport({ clock += 1000, 0, 20, 300'000 });
    EXPECT_EQ(held.target().framerate, 30);
    EXPECT_LT(held.target().bitrateBps, 1'555'200 * 1.08);
}

TEST(BandwidthControllerTest, LossBacksOffQuicklyOncePerIntervalHoldsInTheMiddleAndNeverGoesUnderTheFloor)
{
    BandwidthController controller({ .maxBps = 12'000'000 });
    int64_t clock = 0;
    feed(controller, clock, 1000, 0.0, 20);
    const int before = controller.target().bitrateBps;

    // 30 % loss: × 0.85, and the next report 200 ms later changes nothing.
    clock += 200;
    EXPECT_EQ(controller.onReport({ clock, 0.30, 20 }).bitrateBps, int(before * 0.85));
    clock += 200;
    EXPECT_EQ(controller.onReport({ clock, 0.30, 20 }).bitrateBps, int(before * 0.85));

    // 5 % loss: neither up nor down.
    const int held = controller.target().bitrateBps;
    EXPECT_EQ(feed(controller, clock, 3000, 0.05, 20).bitrateBps, held);

    // Lasting heavy loss: down to the floor, not below it.
    EXPECT_EQ(feed(controller, clock, 30'000, 0.5, 20).bitrateBps, 250'000);
    // And up again once the path is clean.
    EXPECT_GT(feed(controller, clock, 5000, 0.0, 20).bitrateBps, 250'000);
}

TEST(BandwidthControllerTest, HeavyLossFallsToWhatGotThroughThenClimbsSlowlyNearWhereLossBegan)
{
    BandwidthController controller({ .maxBps = 12'000'000, .startBps = 8'000'000 });
    int64_t clock = 0;
    controller.onReport({ clock, 0, 20, 8'000'000 });
    // The link fell to 1.5 Mbit/s under 8: 81 % lost. 0.85 × what got through would be
    // 1.275 Mbit/s; one step goes to 30 % at most...
    EXPECT_EQ(controller.onReport({ clock += 1000, 0.8125, 20, 8'000'000 }).bitrateBps, 2'400'000);
    // ...the next to 0.85 × the 1.35 Mbit/s that got through, below what loss alone says.
    EXPECT_EQ(controller.onReport({ clock += 1000, 0.4375, 20, 2'400'000 }).bitrateBps, 1'147'500);
    // Sending unknown: loss alone decides (× 0.9).
    EXPECT_EQ(controller.onReport({ clock += 1000, 0.2, 20 }).bitrateBps, 1'032'750);

    // Clean again, within 10 % under where the last loss began (1.1475 Mbit/s): 2 % a second...
    for (int i = 0; i < 3; ++i)
        controller.onReport({ clock += 1000, 0, 20 });
    EXPECT_NEAR(controller.target().bitrateBps, 1'032'750 * std::pow(1.02, 3), 2);
    // ...and once past it without loss, 8 % again: the path has room after all.
    while (controller.target().bitrateBps < 1'147'500)
        controller.onReport({ clock += 1000, 0, 20 });
    const int past = controller.target().bitrateBps;
    EXPECT_EQ(controller.onReport({ clock += 1000, 0, 20 }).bitrateBps, int(past * 1.08));
}

TEST(BandwidthControllerTest, TooFewPacketsToTellHoldTheRateButAQueueStillBacksOff)
{
    BandwidthController controller({ .maxBps = 12'000'000 });
    int64_t clock = 0;
    feed(controller, clock, 1000, 0.0, 20);
    const int held = controller.target().bitrateBps;
    EXPECT_EQ(feed(controller, clock, 3000, -1, 20).bitrateBps, held);
    controller.onReport({ clock += 1000, -1, 200 });
    EXPECT_EQ(controller.onReport({ clock += 1000, -1, 200 }).bitrateBps, int(held * 0.85));
}

TEST(BandwidthControllerTest, AGrowingRoundTripBacksOffBeforeAnyLossAndStopsTheClimb)
{
    BandwidthController controller({ .maxBps = 12'000'000 });
    int64_t clock = 0;
    feed(controller, clock, 2000, 0.0, 30);
    const int clean = controller.target().bitrateBps;
    // 80 ms more than the smallest: still clean.
    EXPECT_GT(feed(controller, clock, 1000, 0.0, 110).bitrateBps, clean);
    // One long round trip alone (a busy receiver) only holds the climb...
    const int before = controller.target().bitrateBps;
    EXPECT_EQ(controller.onReport({ clock += 200, 0.0, 180 }).bitrateBps, before);
    EXPECT_GT(controller.onReport({ clock += 200, 0.0, 35 }).bitrateBps, before);
    // ...150 ms more in a row: a queue is filling; × 0.85 every second while it lasts, no
    // loss needed.
    const int steady = controller.target().bitrateBps;
    const auto queued = feed(controller, clock, 1400, 0.0, 180);
    EXPECT_EQ(queued.bitrateBps, int(int(steady * 0.85) * 0.85));
    // The queue drains: climbing again.
    EXPECT_GT(feed(controller, clock, 2000, 0.0, 35).bitrateBps, queued.bitrateBps);
}

TEST(BandwidthControllerTest, BelowWhatThePictureNeedsTheFrameRateFallsFirstDownToTen)
{
    // 1080p needs ~1.56 Mbit/s at 30 fps.
    BandwidthController controller({ .maxBps = 12'000'000 });
    EXPECT_EQ(controller.target().framerate, 30);
    int64_t clock = 0;
    feed(controller, clock, 2400, 0.3, 20); // four backoffs: 2.5 Mbit/s × 0.85^4 ≈ 1.3 Mbit/s
    const auto lower = controller.target();
    ASSERT_LT(lower.bitrateBps, 1'555'200);
    EXPECT_NEAR(lower.framerate, 30.0 * lower.bitrateBps / 1'555'200, 0.01);
    EXPECT_EQ(feed(controller, clock, 30'000, 0.5, 20).framerate, 10);

    // A smaller picture (the phone's "low" level) needs less: full frame rate at 800 kbit/s.
    BandwidthController small({ .maxBps = 800'000, .size = { 768, 432 } });
    EXPECT_EQ(small.target(), (BandwidthController::Target { 800'000, 30 }));

    // A new level keeps the rate in effect within its bounds.
    controller.setLimits({ .maxBps = 200'000 });
    EXPECT_EQ(controller.target().bitrateBps, 200'000);
}
