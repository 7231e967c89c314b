// The fakes' threaded mode really moves events off the caller's thread (else the threaded.*
// runs would check nothing), and an event fired from inside another does not deadlock.

#include "WebRTC/Fake/FakeEventThread.h"
#include "support/Wait.h"

#include <QtGlobal>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

TEST(FakeEventThreadTest, EventsRunWhereTheModeSays)
{
    EXPECT_EQ(rtc::fake::ownThread(), qEnvironmentVariable("VELQUIN_FAKE_RTC_THREAD") == QLatin1String("1"));
    const auto caller = std::this_thread::get_id();
    std::thread::id outer, inner;
    rtc::fake::fire([&] {
        outer = std::this_thread::get_id();
        rtc::fake::fire([&] { inner = std::this_thread::get_id(); });
    });
    EXPECT_EQ(outer != caller, rtc::fake::ownThread());
    EXPECT_EQ(inner, outer);

    std::atomic<bool> ran { false };
    std::atomic<bool> elsewhere { false };
    rtc::fake::later([&] {
        elsewhere = std::this_thread::get_id() != caller;
        ran = true;
    });
    EXPECT_FALSE(ran && !rtc::fake::ownThread()); // on the caller's loop it waits for a later turn
    ASSERT_TRUE(waitFor([&] { return ran.load(); }));
    EXPECT_EQ(elsewhere.load(), rtc::fake::ownThread());
}
