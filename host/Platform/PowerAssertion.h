#pragma once
#include <functional>

// Keeps the display on and the session unlocked while held. Called on the main thread.
class PowerAssertion {
public:
    virtual ~PowerAssertion() = default;
    // Asks for the display to stay on; `done` says, on the main thread, whether the desktop agreed.
    virtual void hold(std::function<void(bool granted)> done) = 0;
    virtual void release() = 0;
    // Tells the desktop the user is active, so idle locking does not start.
    virtual void declareActivity() = 0;
};
