#pragma once

// Keeps the display on and the session unlocked while held.
class PowerAssertion {
public:
    virtual ~PowerAssertion() = default;
    virtual bool hold() = 0;
    virtual void release() = 0;
    // Tells the system the user is active, so idle locking does not start.
    virtual void declareActivity() = 0;
};
