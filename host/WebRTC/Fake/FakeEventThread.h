#pragma once
// Where the WebRTC fakes deliver their events.
//
// By default on the caller's thread, with completions on a later turn of its event loop. With
// VELQUIN_FAKE_RTC_THREAD=1 in the environment they arrive, as from a real media stack, on a
// thread of the fakes' own: events are fired there and waited for (so a test still sees their
// effect when the call returns), completions are queued there. Run the same tests both ways to
// check every thread hop the real backends rely on.

#include <functional>

namespace rtc::fake {

bool ownThread();

// Runs `event` now: on the caller's thread, or on the fakes' thread while the caller waits.
// On the fakes' thread itself (an event fired from inside another) it runs at once.
void fire(const std::function<void()>& event);

// Runs `work` later: on the caller's event loop, or on the fakes' thread.
void later(std::function<void()> work);

} // namespace rtc::fake
