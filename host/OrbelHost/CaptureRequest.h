#pragma once
#include <atomic>
#include <cstdint>

// Whether capture is wanted, shared by the callers and the capture thread. Every start and
// stop makes a new generation, so work on the capture thread can tell whether the start it
// belongs to is still the current one.
class CaptureRequest {
public:
    // Marks capture wanted; the new generation, or 0 when it already was wanted.
    uint64_t want()
    {
        uint64_t state = state_.load();
        do {
            if (state & 1)
                return 0;
        } while (!state_.compare_exchange_weak(state, next(state) | 1));
        return generation(state) + 1;
    }
    // Marks capture unwanted; false when it already was.
    bool unwant()
    {
        uint64_t state = state_.load();
        do {
            if (!(state & 1))
                return false;
        } while (!state_.compare_exchange_weak(state, next(state)));
        return true;
    }
    // A start that failed gives up, unless a stop or start has come since.
    bool withdraw(uint64_t generation)
    {
        uint64_t expected = (generation << 1) | 1;
        return state_.compare_exchange_strong(expected, generation << 1);
    }
    bool wanted() const { return state_.load() & 1; }
    // The generation capture is wanted under, or 0 when it is not wanted.
    uint64_t current() const
    {
        const uint64_t state = state_.load();
        return (state & 1) ? generation(state) : 0;
    }
    bool isCurrent(uint64_t generation) const { return generation != 0 && current() == generation; }

private:
    static uint64_t generation(uint64_t state) { return state >> 1; }
    static uint64_t next(uint64_t state) { return (generation(state) + 1) << 1; }

    std::atomic<uint64_t> state_ { 0 };
};
