// The ladder of encoder groups: where a phone starts, when it moves down and back up.

#include "WebRTC/RateLadder.h"

#include <gtest/gtest.h>

TEST(RateLadderTest, StartsOnTheRungThatHoldsTheStartRateAndFollowsTheLevel)
{
    EXPECT_EQ(RateLadder(2'500'000, 12'000'000).ceiling(12'000'000), 4'000'000);
    EXPECT_EQ(RateLadder(5'000'000, 12'000'000).ceiling(12'000'000), 12'000'000);
    EXPECT_EQ(RateLadder(2'500'000, 3'000'000).ceiling(3'000'000), 3'000'000);
    // The phone's "low" level has a single rung.
    EXPECT_EQ(RateLadder(2'500'000, 800'000).ceiling(800'000), 800'000);
    // A level below the current rung: its own maximum.
    const RateLadder ladder(1'000'000, 12'000'000);
    EXPECT_EQ(ladder.ceiling(12'000'000), 1'500'000);
    EXPECT_EQ(ladder.ceiling(800'000), 800'000);
}

TEST(RateLadderTest, MovesDownAfterTwoSecondsBelowAndUpAfterFiveAbove)
{
    const int max = 12'000'000;
    RateLadder ladder(2'500'000, max);
    int64_t t = 0;
    // A path that fits the rung below for a moment only stays.
    EXPECT_FALSE(ladder.update(t, 1'400'000, max));
    EXPECT_FALSE(ladder.update(t += 1500, 1'400'000, max));
    EXPECT_FALSE(ladder.update(t += 500, 2'000'000, max));
    EXPECT_FALSE(ladder.update(t += 500, 1'400'000, max));
    EXPECT_FALSE(ladder.update(t += 1900, 1'400'000, max));
    EXPECT_TRUE(ladder.update(t += 100, 1'400'000, max));
    EXPECT_EQ(ladder.ceiling(max), 1'500'000);
    // Down one rung at a time, and never below the last.
    for (int i = 0; i < 10; ++i)
        ladder.update(t += 1000, 300'000, max);
    EXPECT_EQ(ladder.ceiling(max), 800'000);

    // Recovering: more than the rung with a margin, five seconds in a row, per rung.
    EXPECT_FALSE(ladder.update(t += 1000, 850'000, max));
    EXPECT_FALSE(ladder.update(t += 1000, 900'000, max));
    EXPECT_FALSE(ladder.update(t += 4900, 900'000, max));
    EXPECT_TRUE(ladder.update(t += 100, 900'000, max));
    EXPECT_EQ(ladder.ceiling(max), 1'500'000);
    for (int i = 0; i < 12; ++i)
        ladder.update(t += 1000, 20'000'000, max);
    EXPECT_EQ(ladder.ceiling(max), max);
    EXPECT_FALSE(ladder.update(t += 10'000, 20'000'000, max)) << "nothing above the top";
}
