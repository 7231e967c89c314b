#pragma once
// A ScreenCapturer on a fake screen, a fake video source and a clock the test moves by hand,
// with timer periods short enough for unit tests.

#include "OrbelHost/CaptureLoop.h"
#include "OrbelHost/ScreenCapturer.h"
#include "Platform/Fake/FakeScreenSource.h"
#include "WebRTC/Fake/FakeWebRTC.h"
#include "support/LogCapture.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

using namespace std::chrono_literals;

struct CapturerRig {
    CapturerRig() { make(fastTiming()); }
    ~CapturerRig()
    {
        screen->releaseOpens(); // a held open would keep the capture thread from finishing
        capturer.reset();
    }

    ScreenCapturer::Timing fastTiming()
    {
        ScreenCapturer::Timing timing;
        timing.frameInterval = 2ms;
        timing.idleFirst = 10ms;
        timing.idleEvery = 5ms;
        timing.now = [this] { return clockNs.load(); };
        return timing;
    }
    void make(ScreenCapturer::Timing timing)
    {
        if (screen)
            screen->releaseOpens();
        capturer.reset();
        auto fake = std::make_unique<FakeScreenSource>();
        screen = fake.get();
        capturer = std::make_unique<ScreenCapturer>(video, std::move(fake), std::move(timing));
    }

    void advance(std::chrono::nanoseconds by) { clockNs += by.count(); }
    int frames() const { return video->frames(); }
    rtc::VideoFrame last() const { return video->lastFrame(); }
    bool waitForFrames(int count) { return waitFor([&] { return frames() >= count; }); }
    // Lets the idle timer fire a few more times: long enough for any repeat that is due.
    bool idleTicks(int count = 3)
    {
        const int target = capturer->idleTicks() + count;
        return waitFor([&] { return capturer->idleTicks() >= target; });
    }

    // Waits until the capture thread has run everything posted so far; returns whether a timer
    // could still produce a frame.
    bool settleTicking()
    {
        std::atomic<int> state { -1 };
        capturer->afterQueuedWork([&state](const CaptureLoop& loop) { state = loop.ticking() ? 1 : 0; });
        EXPECT_TRUE(waitFor([&] { return state >= 0; })) << "the capture thread did not answer";
        return state == 1;
    }

    std::atomic<int64_t> clockNs { 1'000'000'000 };
    LogCapture log;
    std::shared_ptr<rtc::FakeVideoSource> video = std::make_shared<rtc::FakeVideoSource>();
    FakeScreenSource* screen = nullptr; // owned by the capturer
    std::unique_ptr<ScreenCapturer> capturer;
};
