#pragma once
#include <chrono>
#include <cstdint>
#include <functional>

// The capturer's clock and periods; tests shorten the periods and drive the clock by hand.
struct CaptureTiming {
    using Clock = std::function<int64_t()>;

    std::chrono::milliseconds frameInterval { 33 }; // the grab tick: about 30 frames a second
    std::chrono::milliseconds idleFirst { 1000 };   // first idle check after a start
    std::chrono::milliseconds idleEvery { 500 };    // idle checks after that
    std::chrono::nanoseconds idleAfter { std::chrono::milliseconds(500) }; // repeat when more than this has passed since the last hand-off
    std::chrono::nanoseconds statsEvery { std::chrono::seconds(5) };
    Clock now; // monotonic nanoseconds, also the frame timestamps; the steady clock when empty

    static int64_t steadyNow()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
};
