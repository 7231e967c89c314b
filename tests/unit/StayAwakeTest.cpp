#include "OrbelHost/StayAwake.h"
#include "Platform/Fake/FakePowerAssertion.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

namespace {
// Answers a hold later, as a desktop on the bus does.
class SlowPower : public FakePowerAssertion {
public:
    std::function<void(bool)> pending;
    void hold(std::function<void(bool)> done) override
    {
        ++holds;
        pending = std::move(done);
    }
    void answer(bool granted)
    {
        held = granted;
        auto done = std::move(pending);
        done(granted);
    }
};
} // namespace

TEST(StayAwakeTest, OneHoldWhileRunningAndALateGrantAfterStopIsGivenBack)
{
    FakePowerAssertion power;
    StayAwake awake(power, 10);
    awake.start();
    awake.start();
    EXPECT_EQ(power.holds, 1);
    EXPECT_TRUE(power.held);
    EXPECT_TRUE(waitFor([&] { return power.activity >= 4; }, 1000));
    awake.stop();
    awake.stop();
    EXPECT_EQ(power.releases, 1);
    EXPECT_FALSE(awake.running());

    // Stopped before the desktop answered: what it grants goes straight back.
    SlowPower slow;
    StayAwake late(slow, 10);
    late.start();
    late.stop();
    EXPECT_EQ(slow.releases, 0);
    slow.answer(true);
    EXPECT_EQ(slow.releases, 1);
    EXPECT_FALSE(late.running());

    // Refused: it stops, and says so.
    std::optional<bool> result;
    late.start([&](bool running) { result = running; });
    slow.answer(false);
    EXPECT_EQ(result, std::optional<bool>(false));
    EXPECT_FALSE(late.running());
    late.stop();
    EXPECT_EQ(slow.releases, 1);
}
